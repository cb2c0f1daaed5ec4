#include "db/driver_sqlite/connection.hpp"

#include <cstring>

#include "util/hex.hpp"

namespace NORRIK::Data::SQLite {

namespace {
// Pages of write-ahead log after which a commit copies the log into the file.
constexpr int kCheckpointPages = 10000;
}  // namespace

std::unique_ptr<Connection> Connection::open(const std::string& fileName, int flags, std::size_t cacheCapacity) {
    // SQLite's memory statistics take a global mutex around every allocation
    // (dozens per announce) and nothing here reads them. Switched off once,
    // before the library initialises; when it already has (another SQLite
    // user in the process came first) the call changes nothing.
    static const bool statisticsOff = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        return true;
    }();
    (void)statisticsOff;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(fileName.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Pages are read again from the file when they fall out of the cache:
    // with the default 2 MiB most of a database with a thousand active
    // torrents would, and with 64 MiB much of one with a million peers
    // (80 MiB). The cache grows only as far as pages are used.
    sqlite3_exec(db, "PRAGMA cache_size=-262144", nullptr, nullptr, nullptr);
    // A checkpoint (copying the log into the file, two fsyncs) holds the
    // writer for milliseconds; after every 10,000 pages of log instead of
    // 1,000 it runs a tenth as often and writes each page once for all its
    // changes in between. The log grows to some 40 MiB.
    sqlite3_wal_autocheckpoint(db, kCheckpointPages);
    // Durable at every checkpoint, not at every commit: a power cut may lose
    // the last announces, never the file's consistency.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);

    return std::unique_ptr<Connection>(new Connection(db, cacheCapacity));
}

Connection::~Connection() {
    for (Entry& entry : recent_) sqlite3_finalize(entry.stmt);
    sqlite3_close(db_);
}

Connection::Key Connection::keyFor(const char* sql, const uint8_t* info_hash) {
    Key key;
    key.sql = sql;
    if (info_hash != nullptr) std::memcpy(key.table.data(), info_hash, key.table.size());
    return key;
}

std::string Connection::textOf(const Key& key) {
    std::string text;
    char digits[kInfoHashHexSize + 1];
    hashToHex(key.table.data(), digits);
    for (const char* c = key.sql; *c != '\0'; ++c) {
        if (*c == '@') {
            text += 't';
            text += digits;
        } else {
            text += *c;
        }
    }
    return text;
}

std::size_t Connection::KeyHash::operator()(const Key& key) const noexcept {
    // Only statements this store makes are keys; their info_hashes come from
    // clients, so the bytes are mixed rather than used as they are.
    std::size_t value = std::hash<const void*>()(key.sql);
    uint64_t part[3] = {};
    std::memcpy(part, key.table.data(), key.table.size());
    for (uint64_t word : part) value = (value ^ word) * 0x9E3779B97F4A7C15ull + (value >> 29);
    return value;
}

sqlite3_stmt* Connection::cached(const Key& key) {
    // The same statement again (a batch of one torrent's rows): no look-up.
    if (last_ != recent_.end() && last_->key == key) return last_->stmt;
    auto found = index_.find(key);
    if (found != index_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second);
        last_ = found->second;
        return found->second->stmt;
    }
    const std::string sql = textOf(key);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    if (stmt == nullptr) return nullptr;  // only white space or comments
    if (recent_.size() >= capacity_) {
        if (last_ == std::prev(recent_.end())) last_ = recent_.end();
        Entry& oldest = recent_.back();
        sqlite3_finalize(oldest.stmt);
        index_.erase(oldest.key);
        recent_.pop_back();
    }
    recent_.push_front(Entry{key, stmt});
    index_.emplace(key, recent_.begin());
    last_ = recent_.begin();
    return stmt;
}

void Connection::evict(const Key& key) {
    auto found = index_.find(key);
    if (found == index_.end()) return;
    evictEntry(found->second);
}

int Connection::run(const char* sql) {
    Query query(*this, sql);
    if (!query.ok()) {
        const int code = sqlite3_errcode(db_);
        return code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW ? SQLITE_ERROR : code;
    }
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) {
    }
    return rc;
}

int Connection::exec(const std::string& sql, std::string* error) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK && error != nullptr) *error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return rc;
}

void Connection::evictTable(const uint8_t* info_hash) {
    std::array<uint8_t, 20> table;
    std::memcpy(table.data(), info_hash, table.size());
    for (auto entry = recent_.begin(); entry != recent_.end();) {
        auto next = std::next(entry);
        if (entry->key.table == table) evictEntry(entry);
        entry = next;
    }
}

void Connection::evictEntry(std::list<Entry>::iterator entry) {
    if (last_ == entry) last_ = recent_.end();
    sqlite3_finalize(entry->stmt);
    index_.erase(entry->key);
    recent_.erase(entry);
}

Statement::Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Query::Query(Connection& connection, const char* sql, const uint8_t* info_hash)
    : connection_(connection), key_(Connection::keyFor(sql, info_hash)), stmt_(connection_.cached(key_)) {}

Query::~Query() {
    if (stmt_ == nullptr) return;
    if (failed_) {
        connection_.evict(key_);
        return;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int Query::step() {
    if (stmt_ == nullptr) return SQLITE_DONE;
    int rc = sqlite3_step(stmt_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed_ = true;
    return rc;
}

}  // namespace NORRIK::Data::SQLite
