#pragma once
// NORRIK::Data::SQLite::SQLiteBackend: what both SQLite layouts share: the
// one connection (the writer's), transactions, the statistics rows, the
// registration rows, shrinking the write-ahead log when idle, and telling
// passing failures (locks, a full disk) from lasting ones.

#include <memory>
#include <string>

#include "db/driver_sqlite/connection.hpp"
#include "db/store_backend.hpp"

namespace NORRIK::Data::SQLite {

class SQLiteBackend : public StoreBackend {
public:
    explicit SQLiteBackend(std::unique_ptr<Connection> db) : db_(std::move(db)) {}

    StoreResult begin() override;
    StoreResult commit() override;
    void rollback() override;
    StoreResult writeStatistics(const StatsRow* rows, std::size_t count) override;
    bool idle() override;

    Connection& connection() { return *db_; }

protected:
    // The failure of the last call on the connection (code `rc`), passing
    // or lasting, with SQLite's text (or `text` when given).
    StoreResult failure(int rc, const std::string& text = {}) const;
    // INSERT OR IGNORE of the registration row (first registration time
    // stays); a file without any table gets the schema first.
    StoreResult insertRegistration(const uint8_t* info_hash, int32_t time);
    // Reads `torrents` and `stats` into the loader (inside the load's
    // read transaction).
    StoreResult loadRegistrations(SwarmLoader& loader);
    // Makes this layout's tables in a file without any table.
    virtual int makeSchema() = 0;
    // Savepoints around one operation, so that a failed one changes nothing.
    StoreResult savepoint();
    StoreResult release();
    void rollbackToSavepoint();

    std::unique_ptr<Connection> db_;
};

}  // namespace NORRIK::Data::SQLite
