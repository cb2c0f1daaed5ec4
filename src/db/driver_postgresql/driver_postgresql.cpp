#include "db/driver_postgresql/driver_postgresql.hpp"

#include <libpq-fe.h>
#include <sodium.h>

#include <cstring>

#include "db/driver_postgresql/connection.hpp"
#include "db/driver_postgresql/pg_schema.hpp"
#include "db/driver_postgresql/postgresql_backend.hpp"
#include "db/driver_postgresql/synchroniser.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

bool isSecret(const char* keyword) {
    return std::strcmp(keyword, "password") == 0 || std::strcmp(keyword, "sslpassword") == 0;
}

// A value as libpq reads it back: quoted when it is empty or holds a space,
// a quote or a backslash.
std::string quoted(const char* value) {
    const bool plain = *value != '\0' && std::strpbrk(value, " \t\n'\\") == nullptr;
    if (plain) return value;
    std::string out = "'";
    for (const char* c = value; *c != '\0'; ++c) {
        if (*c == '\'' || *c == '\\') out += '\\';
        out += *c;
    }
    return out + "'";
}

// A random node id, positive and not 0 (0 is the origin of rows written by
// other programs).
int64_t newNodeId() {
    if (sodium_init() < 0) return 1;
    int64_t id = 0;
    while (id <= 0) {
        uint64_t bits = 0;
        randombytes_buf(&bits, sizeof bits);
        id = static_cast<int64_t>(bits >> 1);
    }
    return id;
}

}  // namespace

struct PostgreSQLDriver::Opened {
    std::unique_ptr<StoreBackend> backend;
    PostgreSQL::PostgreSQLBackend* postgres = nullptr;  // the same object as `backend`
    std::unique_ptr<PostgreSQL::Connection> listener;
    int64_t nodeId = 0;
};

std::string PostgreSQLDriver::describeConninfo(const std::string& conninfo) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        // libpq's message quotes the text it could not read, which may hold
        // a password: not shown.
        if (error != nullptr) PQfreemem(error);
        return "(unreadable conninfo)";
    }
    std::string out;
    for (const PQconninfoOption* option = options; option->keyword != nullptr; ++option) {
        if (option->val == nullptr || isSecret(option->keyword)) continue;
        if (!out.empty()) out += ' ';
        out += option->keyword;
        out += '=';
        out += quoted(option->val);
    }
    PQconninfoFree(options);
    return out.empty() ? "(default)" : out;
}

PostgreSQLDriver::Opened PostgreSQLDriver::open(Settings::Section* settings) {
    const std::string conninfo = settings != nullptr ? settings->get("conninfo") : std::string();
    const std::string shown = describeConninfo(conninfo);
    const std::string layout = settings != nullptr ? settings->get("layout") : std::string();
    if (!layout.empty() && layout != "flat") {
        Log::error("Warning: the PostgreSQL store keeps the flat layout; \"layout\" (" + layout + ") is not used");
    }

    std::string error;
    std::unique_ptr<PostgreSQL::Connection> writer = PostgreSQL::Connection::open(conninfo, error);
    if (writer) {
        if (!PostgreSQL::ensureSchema(*writer, error)) {
            Log::error("Cannot use the PostgreSQL database (" + shown + "): " + PostgreSQL::oneLine(error));
            throw DatabaseException(DatabaseException::kConnectFailed);
        }
    }
    // The listener before the load: whatever is committed after the load
    // reads the database is announced to it.
    Opened opened;
    if (writer) opened.listener = PostgreSQL::Synchroniser::listen(conninfo, error);
    if (!writer || !opened.listener) {
        Log::error("Cannot connect to the PostgreSQL server (" + shown + "): " + PostgreSQL::oneLine(error));
        throw DatabaseException(DatabaseException::kConnectFailed);
    }
    opened.nodeId = newNodeId();
    auto backend = std::make_unique<PostgreSQL::PostgreSQLBackend>(std::move(writer), opened.nodeId);
    opened.postgres = backend.get();
    opened.backend = std::move(backend);
    Log::info("Database " + shown + ": PostgreSQL, flat layout");
    return opened;
}

std::unique_ptr<StoreBackend> PostgreSQLDriver::openBackend(const std::string& conninfo, std::string& error) {
    std::unique_ptr<PostgreSQL::Connection> db = PostgreSQL::Connection::open(conninfo, error);
    if (!db) return nullptr;
    if (!PostgreSQL::ensureSchema(*db, error)) return nullptr;
    return std::make_unique<PostgreSQL::PostgreSQLBackend>(std::move(db), newNodeId());
}

PostgreSQLDriver::PostgreSQLDriver(Settings::Section* settings, bool isDynamic, StoreOptions options)
    : PostgreSQLDriver(settings, isDynamic, options, open(settings)) {}

PostgreSQLDriver::PostgreSQLDriver(Settings::Section* settings, bool isDynamic, StoreOptions options,
                                   Opened opened)
    : Store(settings, isDynamic, std::move(opened.backend), options), nodeId_(opened.nodeId) {
    PostgreSQL::Synchroniser::Options sync;
    sync.nodeId = nodeId_;
    // The backend's bound is set by the load in Store's constructor; the
    // writer thread never changes it.
    synchroniser_ =
        std::make_unique<PostgreSQL::Synchroniser>(std::move(opened.listener), swarms(), opened.postgres->loadedBound(), sync);
}

PostgreSQLDriver::~PostgreSQLDriver() {
    synchroniser_.reset();  // it merges into the Swarms, which the Store owns
    stopWriter();
}

uint64_t PostgreSQLDriver::synchronisedReads() const { return synchroniser_ ? synchroniser_->status().reads : 0; }

}  // namespace NORRIK::Data
