#include "db/driver_sqlite/driver_sqlite.hpp"

#include <cstring>
#include <string_view>

#include "db/driver_sqlite/connection.hpp"
#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/driver_sqlite/tables_layout.hpp"
#include "util/hex.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

// Prepared statements kept: about three per active torrent in the tables
// layout. Beyond that the least recently used are prepared again.
constexpr std::size_t kStatementCacheSize = 8192;

}  // namespace

struct SQLite3Driver::Opened {
    std::unique_ptr<StoreBackend> backend;
    std::string fileName;
    bool serialized = false;
};

SQLite3Driver::Opened SQLite3Driver::open(Settings::Section* settings) {
    Opened opened;
    if (settings != nullptr) opened.fileName = settings->get("file");
    if (opened.fileName.empty()) {
        opened.fileName = kDefaultFileName;
        Log::info(std::string("No database file configured, using ") + kDefaultFileName);
    }
    std::unique_ptr<SQLite::Connection> db =
        SQLite::Connection::open(opened.fileName, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kStatementCacheSize);
    if (!db) throw DatabaseException(DatabaseException::kConnectFailed);
    opened.serialized = sqlite3_db_mutex(db->handle()) != nullptr;

    // WAL: a commit appends to the log instead of rewriting pages through a
    // rollback journal, and other programs can read the file meanwhile.
    {
        SQLite::Statement journal(db->handle(), "PRAGMA journal_mode=WAL");
        if (journal.ok()) sqlite3_step(journal.get());
    }
    if (SQLite::detectLayout(*db) == SQLite::Layout::kNone) SQLite::ensureSchema(*db);
    opened.backend = std::make_unique<SQLite::TablesLayout>(std::move(db));
    return opened;
}

SQLite3Driver::SQLite3Driver(Settings::Section* settings, bool isDynamic)
    : SQLite3Driver(settings, isDynamic, open(settings)) {}

SQLite3Driver::SQLite3Driver(Settings::Section* settings, bool isDynamic, Opened opened)
    : Store(settings, isDynamic, std::move(opened.backend)),
      fileName_(std::move(opened.fileName)),
      serialized_(opened.serialized) {}

SQLite3Driver::~SQLite3Driver() { stopWriter(); }

bool SQLite3Driver::_hash_to_bin(const char* digits, uint8_t* info_hash) {
    if (digits == nullptr) return false;
    return hexToHash(std::string_view(digits, strnlen(digits, kInfoHashHexSize + 1)), info_hash);
}

}  // namespace NORRIK::Data
