#include "db/driver_sqlite/sqlite_backend.hpp"


#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/writer_pause.hpp"

#include <cstring>

namespace NORRIK::Data::SQLite {

namespace {

constexpr const char* kRegisterTorrent = "INSERT OR IGNORE INTO torrents (info_hash,created) VALUES (?,?)";
// Full counts and time; `completed` only grows by what was announced since
// the last write.
constexpr const char* kStoreStats =
    "INSERT INTO stats (info_hash,last_mod,seeders,leechers,completed) VALUES (?,?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET last_mod=excluded.last_mod,seeders=excluded.seeders,"
    "leechers=excluded.leechers,completed=completed+excluded.completed";

// The writer lets the request threads run after this many rows: on one core
// a request that arrives while it writes waits a few rows, not the batch.
constexpr std::size_t kRowsBetweenYields = 32;

bool isPassing(int rc) {
    switch (rc & 0xff) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_FULL:
        case SQLITE_IOERR:
        case SQLITE_NOMEM:
        case SQLITE_CANTOPEN:
        case SQLITE_PROTOCOL:
        case SQLITE_READONLY:
        case SQLITE_INTERRUPT:
            return true;
        default:
            return false;
    }
}

}  // namespace

StoreResult SQLiteBackend::failure(int rc, const std::string& text) const {
    std::string why = text.empty() ? std::string(sqlite3_errmsg(db_->handle())) : text;
    if (why.empty() || why == "not an error") why = sqlite3_errstr(rc);
    return isPassing(rc) ? StoreResult::transient(why) : StoreResult::failed(why);
}

StoreResult SQLiteBackend::begin() {
    // IMMEDIATE takes the write lock now (waiting up to the busy timeout),
    // so a lock held elsewhere fails the transaction here, before any write.
    const int rc = db_->run("BEGIN IMMEDIATE");
    return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
}

StoreResult SQLiteBackend::commit() {
    const int rc = db_->run("COMMIT");
    if (rc == SQLITE_DONE) return StoreResult::ok();
    StoreResult result = failure(rc);
    result.code = StoreResult::Code::kTransient;  // nothing of it is stored: the writer tries again
    return result;
}

void SQLiteBackend::rollback() {
    if (sqlite3_get_autocommit(db_->handle()) == 0) db_->run("ROLLBACK");
}

StoreResult SQLiteBackend::savepoint() {
    const int rc = db_->run("SAVEPOINT operation");
    return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
}

StoreResult SQLiteBackend::release() {
    const int rc = db_->run("RELEASE operation");
    return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
}

void SQLiteBackend::rollbackToSavepoint() {
    db_->run("ROLLBACK TO operation");
    db_->run("RELEASE operation");
}

StoreResult SQLiteBackend::insertRegistration(const uint8_t* info_hash, int32_t time) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        Query insert(*db_, kRegisterTorrent);
        if (!insert.ok()) {
            const int rc = sqlite3_errcode(db_->handle());
            // A file without any table (left empty by a first start that
            // could not write) gets this layout's tables, then again.
            if (attempt == 0 && detectLayout(*db_) == Layout::kNone && makeSchema() == SQLITE_OK) continue;
            return failure(rc);
        }
        insert.bindBlob(1, info_hash, 20);
        insert.bindInt(2, time);
        const int rc = insert.step();
        return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
    }
    return StoreResult::failed("no torrents table");
}

namespace {

bool hashColumn(sqlite3_stmt* stmt, int column, uint8_t* out) {
    // Only 20-byte blobs can match an info_hash bound as a blob.
    if (sqlite3_column_type(stmt, column) != SQLITE_BLOB || sqlite3_column_bytes(stmt, column) != 20) return false;
    std::memcpy(out, sqlite3_column_blob(stmt, column), 20);
    return true;
}

}  // namespace

StoreResult SQLiteBackend::loadRegistrations(SwarmLoader& loader) {
    uint8_t hash[20];
    {
        Statement list(db_->handle(), "SELECT info_hash FROM torrents");
        if (!list.ok() && (sqlite3_errcode(db_->handle()) & 0xff) == SQLITE_NOTADB) {
            return failure(SQLITE_NOTADB);
        }
        int rc = SQLITE_DONE;
        while (list.ok() && (rc = sqlite3_step(list.get())) == SQLITE_ROW) {
            if (hashColumn(list.get(), 0, hash)) loader.registration(hash);
        }
        if (rc != SQLITE_DONE) return failure(rc);
    }
    Statement list(db_->handle(), "SELECT info_hash,seeders,leechers,completed FROM stats");
    while (list.ok() && sqlite3_step(list.get()) == SQLITE_ROW) {
        if (!hashColumn(list.get(), 0, hash)) continue;
        loader.statistics(hash, sqlite3_column_int(list.get(), 1), sqlite3_column_int(list.get(), 2),
                          sqlite3_column_int(list.get(), 3));
    }
    return StoreResult::ok();
}

StoreResult SQLiteBackend::writeStatistics(const StatsRow* rows, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if ((i + 1) % kRowsBetweenYields == 0) writerPause();
        const StatsRow& row = rows[i];
        Query store(*db_, kStoreStats);
        if (!store.ok()) return failure(sqlite3_errcode(db_->handle()));
        store.bindBlob(1, row.info_hash.data(), 20);
        store.bindInt(2, row.time);
        store.bindInt(3, row.seeders);
        store.bindInt(4, row.leechers);
        store.bindInt(5, row.completedAdded);
        const int rc = store.step();
        if (rc != SQLITE_DONE) {
            StoreResult result = failure(rc);
            if (result.isTransient()) return result;
        }
    }
    return StoreResult::ok();
}

bool SQLiteBackend::idle() {
    // With nothing to write the log is copied into the file and cut to
    // nothing; while another program reads an older snapshot it cannot be,
    // and the writer tries again at its next idle moment.
    // It does not wait for readers: the writer must stay free for the next
    // announces.
    sqlite3_busy_timeout(db_->handle(), 0);
    const int rc = sqlite3_wal_checkpoint_v2(db_->handle(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(db_->handle(), Connection::kBusyTimeoutMs);
    return rc == SQLITE_OK;
}

}  // namespace NORRIK::Data::SQLite
