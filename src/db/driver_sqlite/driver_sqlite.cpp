#include "db/driver_sqlite/driver_sqlite.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "db/driver_sqlite/connection.hpp"
#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/driver_sqlite/flat_layout.hpp"
#include "db/driver_sqlite/tables_layout.hpp"
#include "util/hex.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

// Prepared statements kept: about three per active torrent in the tables
// layout. Beyond that the least recently used are prepared again.
constexpr std::size_t kStatementCacheSize = 8192;
constexpr long long kDefaultJournalSizeLimit = 64ll << 20;

// Key "journal_size_limit" (bytes; 0 cuts the log to nothing at every
// checkpoint); a value that is not a number keeps the default.
long long journalSizeLimit(Settings::Section* settings) {
    const std::string text = settings != nullptr ? settings->get("journal_size_limit") : std::string();
    if (text.empty()) return kDefaultJournalSizeLimit;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < 0) {
        Log::error("journal_size_limit '" + text + "' is not a number of bytes; using " +
                   std::to_string(kDefaultJournalSizeLimit));
        return kDefaultJournalSizeLimit;
    }
    return value;
}

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
    // The log is cut back to this size after a checkpoint that could not
    // reset it (another program held a read snapshot meanwhile).
    sqlite3_exec(db->handle(), ("PRAGMA journal_size_limit=" + std::to_string(journalSizeLimit(settings))).c_str(),
                 nullptr, nullptr, nullptr);

    // The file keeps the layout it has; a file without tables gets the one
    // asked for.
    const std::string asked = settings != nullptr ? settings->get("layout") : std::string();
    SQLite::Layout wanted = SQLite::Layout::kTables;
    if (asked == "flat") {
        wanted = SQLite::Layout::kFlat;
    } else if (!asked.empty() && asked != "tables") {
        Log::error("Unknown database layout '" + asked + "'; a new file gets the tables layout");
    }
    SQLite::Layout layout = SQLite::detectLayout(*db);
    if (layout == SQLite::Layout::kNone) {
        layout = wanted;
        if (layout == SQLite::Layout::kFlat) {
            SQLite::FlatLayout::createSchema(*db);
        } else {
            SQLite::ensureSchema(*db);
        }
    }
    const char* name = layout == SQLite::Layout::kFlat ? "flat" : "tables";
    Log::info(std::string("Database: SQLite, ") + name + " layout");
    if (!asked.empty() && layout != wanted) {
        Log::error("Warning: the database file " + opened.fileName + " holds the " + name +
                   " layout, not the one set in \"layout\" (" + asked + "); it is used as it is (norrik-migrate copies "
                   "it into another layout)");
    }
    if (layout == SQLite::Layout::kFlat) {
        opened.backend = std::make_unique<SQLite::FlatLayout>(std::move(db));
    } else {
        opened.backend = std::make_unique<SQLite::TablesLayout>(std::move(db));
    }
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
