#pragma once
// One SQLite connection with a bounded cache of prepared statements, and the
// small RAII helpers the store uses on it.
//
// Contract: a Connection is used by one thread at a time (the store's writer
// thread); it is still opened in serialized mode. Cached statements
// are reset and their bindings cleared when the Query using them ends; a
// statement whose step failed is dropped from the cache, so it is prepared
// afresh next time. The connection and every cached statement are released
// by the destructor.
//
// Cached statements are keyed by the address of their SQL text (a constant)
// and, for statements on one torrent's peer table, its info_hash: the text
// is built only when the statement is prepared. In a per-torrent text each
// '@' stands for the table name (`t` and the 40 hex digits).

#include <sqlite3.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

namespace NORRIK::Data::SQLite {

class Connection {
public:
    // How long a statement waits for a lock held by another connection
    // (another process, or a checkpoint) before it fails.
    static constexpr int kBusyTimeoutMs = 5000;

    // Opens the file with the given flags (SQLITE_OPEN_FULLMUTEX is always
    // added) and sets the per-connection options. Null when it cannot be
    // opened.
    static std::unique_ptr<Connection> open(const std::string& fileName, int flags, std::size_t cacheCapacity);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    sqlite3* handle() const { return db_; }

    struct Key {
        const char* sql;                  // the constant text (or pattern)
        std::array<uint8_t, 20> table{};  // info_hash of the peer table; zeros for other statements
        bool operator==(const Key& other) const { return sql == other.sql && table == other.table; }
    };
    static Key keyFor(const char* sql, const uint8_t* info_hash = nullptr);
    // The text of a keyed statement.
    static std::string textOf(const Key& key);

    // The cached statement for `key`, prepared on first use; null when it
    // cannot be prepared (sqlite3_errmsg tells why).
    sqlite3_stmt* cached(const Key& key);
    // Finalizes and forgets the cached statement for `key`.
    void evict(const Key& key);

    // Runs one cached constant statement without parameters to its end;
    // SQLITE_DONE, or the code of the failure.
    int run(const char* sql);

    // Runs SQL text with sqlite3_exec; on failure `error` receives SQLite's
    // text when given. SQLITE_OK or the code of the failure.
    int exec(const std::string& sql, std::string* error = nullptr);

    // Finalizes and forgets the cached statements on one torrent's peer
    // table (its table was dropped).
    void evictTable(const uint8_t* info_hash);

private:
    explicit Connection(sqlite3* db, std::size_t capacity) : db_(db), capacity_(capacity) {}

    struct Entry {
        Key key;
        sqlite3_stmt* stmt;
    };
    struct KeyHash {
        std::size_t operator()(const Key& key) const noexcept;
    };
    void evictEntry(std::list<Entry>::iterator entry);

    sqlite3* db_;
    std::size_t capacity_;
    std::list<Entry> recent_;  // most recently used first
    std::unordered_map<Key, std::list<Entry>::iterator, KeyHash> index_;
    std::list<Entry>::iterator last_ = recent_.end();  // the entry returned last, while cached
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
    // A constant statement, or (with info_hash) one on that torrent's peer
    // table, `sql` being its pattern.
    explicit Query(Connection& connection, const char* sql, const uint8_t* info_hash = nullptr);
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
    Connection::Key key_;
    sqlite3_stmt* stmt_;
    bool failed_ = false;
};

}  // namespace NORRIK::Data::SQLite
