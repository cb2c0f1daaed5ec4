#include "db/driver_sqlite/connection.hpp"

namespace NORRIK::Data::SQLite {

namespace {
// How long a statement waits for a lock held by another connection (another
// process, or a checkpoint) before it fails.
constexpr int kBusyTimeoutMs = 5000;
}  // namespace

std::unique_ptr<Connection> Connection::open(const std::string& fileName, int flags, std::size_t cacheCapacity) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(fileName.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Durable at every checkpoint, not at every commit: a power cut may lose
    // the last announces, never the file's consistency.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    return std::unique_ptr<Connection>(new Connection(db, cacheCapacity));
}

Connection::~Connection() {
    for (Entry& entry : recent_) sqlite3_finalize(entry.stmt);
    sqlite3_close(db_);
}

sqlite3_stmt* Connection::cached(const std::string& sql) {
    auto found = index_.find(sql);
    if (found != index_.end()) {
        recent_.splice(recent_.begin(), recent_, found->second);
        return found->second->stmt;
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                           nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    if (stmt == nullptr) return nullptr;  // only white space or comments
    if (recent_.size() >= capacity_) {
        Entry& oldest = recent_.back();
        sqlite3_finalize(oldest.stmt);
        index_.erase(oldest.sql);
        recent_.pop_back();
    }
    recent_.push_front(Entry{sql, stmt});
    index_.emplace(sql, recent_.begin());
    return stmt;
}

void Connection::evict(const std::string& sql) {
    auto found = index_.find(sql);
    if (found == index_.end()) return;
    sqlite3_finalize(found->second->stmt);
    recent_.erase(found->second);
    index_.erase(found);
}

bool Connection::run(const std::string& sql) {
    Query query(*this, sql);
    if (!query.ok()) return false;
    int rc;
    while ((rc = query.step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE;
}

bool Connection::exec(const std::string& sql, std::string* error) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK && error != nullptr) *error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

Statement::Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

Query::Query(Connection& connection, std::string sql)
    : connection_(connection), sql_(std::move(sql)), stmt_(connection_.cached(sql_)) {}

Query::~Query() {
    if (stmt_ == nullptr) return;
    if (failed_) {
        connection_.evict(sql_);
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

Transaction::Transaction(Connection& connection)
    : connection_(connection),
      active_(sqlite3_get_autocommit(connection.handle()) != 0 && connection.run("BEGIN IMMEDIATE")) {}

bool Transaction::commit() {
    if (!active_) return true;
    active_ = false;
    if (connection_.run("COMMIT")) return true;
    connection_.run("ROLLBACK");
    return false;
}

Transaction::~Transaction() { commit(); }

}  // namespace NORRIK::Data::SQLite
