#pragma once
// One SQLite connection with a bounded cache of prepared statements, and the
// small RAII helpers the store uses on it.
//
// Contract: a Connection is used by one thread at a time (the store guards
// its writer with a mutex and lends reader connections out one thread at a
// time); the connection is still opened in serialized mode. Cached statements
// are reset and their bindings cleared when the Query using them ends; a
// statement whose step failed is dropped from the cache, so it is prepared
// afresh next time. The connection and every cached statement are released
// by the destructor.

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

namespace NORRIK::Data::SQLite {

class Connection {
public:
    // Opens the file with the given flags (SQLITE_OPEN_FULLMUTEX is always
    // added) and sets the per-connection options. Null when it cannot be
    // opened.
    static std::unique_ptr<Connection> open(const std::string& fileName, int flags, std::size_t cacheCapacity);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* handle() const { return db_; }

    // The cached statement for `sql`, prepared on first use; null when it
    // cannot be prepared (sqlite3_errmsg tells why).
    sqlite3_stmt* cached(const std::string& sql);
    // Finalizes and forgets the cached statement for `sql`.
    void evict(const std::string& sql);

    // Runs one cached statement without parameters to its end.
    bool run(const std::string& sql);

    // Runs SQL text with sqlite3_exec; on failure `error` receives SQLite's
    // text when given.
    bool exec(const std::string& sql, std::string* error = nullptr);

private:
    explicit Connection(sqlite3* db, std::size_t capacity) : db_(db), capacity_(capacity) {}

    struct Entry {
        std::string sql;
        sqlite3_stmt* stmt;
    };
    sqlite3* db_;
    std::size_t capacity_;
    std::list<Entry> recent_;  // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

// A statement prepared for one use and finalized at scope end.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// One use of a cached statement. Binds and steps on a statement that could
// not be prepared do nothing, so a missing table reads as "no rows".
class Query {
public:
    Query(Connection& connection, std::string sql);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    void bindBlob(int index, const void* data, int size) {
        if (stmt_) sqlite3_bind_blob(stmt_, index, data, size, SQLITE_STATIC);
    }
    void bindInt(int index, int32_t value) {
        if (stmt_) sqlite3_bind_int(stmt_, index, value);
    }
    void bindInt64(int index, int64_t value) {
        if (stmt_) sqlite3_bind_int64(stmt_, index, value);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code; a statement that could not be
    // prepared is done at once.
    int step();
    bool stepRow() { return step() == SQLITE_ROW; }

private:
    Connection& connection_;
    std::string sql_;
    sqlite3_stmt* stmt_;
    bool failed_ = false;
};

// Wraps the statements of one operation in a write transaction, unless one
// is open already on the connection (nested operations join the outer one).
// commit() ends it and says whether its changes are stored: a failed commit
// (disk full, a lock held past the busy timeout) rolls back and returns
// false. A joined transaction's commit() returns true: the outer one decides.
// Without an explicit commit() the destructor commits.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool commit();

private:
    Connection& connection_;
    bool active_;
};

}  // namespace NORRIK::Data::SQLite
