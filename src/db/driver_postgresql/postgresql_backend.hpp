#pragma once
// NORRIK::Data::PostgreSQL::PostgreSQLBackend: the store's writer on a
// PostgreSQL server, in the flat layout of pg_schema.hpp. It reads the
// database into memory and carries out the writer's transactions on one
// connection of its own.
//
// Contract (beyond StoreBackend's):
// - Rows go in batches: COPY into a temporary staging table, then one
//   INSERT ... SELECT ... ON CONFLICT DO UPDATE; statistics likewise. Peer
//   and statistics rows are only stored for torrents registered in the
//   database, so a removal made by another node meanwhile does not leave
//   rows behind. A removal locks `peers` and `stats` against writers
//   (SHARE) for the moment it runs, so no writer can store a row for the
//   torrent after the removal deleted its rows.
// - A registration, a removal, a batch of rows, a batch of statistics and a
//   step of the maintenance pass each run under a savepoint: a failure of
//   its own changes nothing and the transaction goes on without it.
// - A lost server, a refused connection, a lock or statement timeout, a
//   serialization failure, a deadlock, a server shutting down or out of
//   resources are kTransient; the next begin() connects again. While the
//   connection is lost every failure carries the same text, so that the
//   writer says it once.
// - Registrations and removals send a notification on kChannel from
//   inside their transaction. Peer rows carry `origin` (this node).
// - Every session waits kLockTimeoutSeconds for a lock and
//   kStatementTimeoutSeconds for a statement.

#include <cstdint>
#include <memory>
#include <string>

#include "db/driver_postgresql/connection.hpp"
#include "db/store_backend.hpp"

namespace NORRIK::Data::PostgreSQL {

class PostgreSQLBackend : public StoreBackend {
public:
    static constexpr int kLockTimeoutSeconds = 5;
    static constexpr int kStatementTimeoutSeconds = 60;
    // Stale peers deleted per step of the maintenance pass.
    static constexpr int kExpiredPerStep = 20000;
    // Rows fetched per round trip while reading the database at start.
    static constexpr int kLoadChunk = 50000;

    PostgreSQLBackend(std::unique_ptr<Connection> db, int64_t nodeId);

    std::string layoutName() const override { return "flat"; }
    StoreResult load(SwarmLoader& loader) override;
    StoreResult begin() override;
    StoreResult commit() override;
    void rollback() override;
    StoreResult registerTorrent(const uint8_t* info_hash, int32_t time) override;
    StoreResult removeTorrent(const uint8_t* info_hash) override;
    StoreResult writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped, std::string* why) override;
    StoreResult deletePeer(const PeerRow& key, bool* removed) override;
    StoreResult writeStatistics(const StatsRow* rows, std::size_t count) override;
    std::unique_ptr<ExpiryPass> startExpiry(int32_t cutoff) override;
    bool passRewritesAllStatistics() const override { return false; }

    // After load(): the bound (an xid8, as text) from which the changes of
    // other nodes are to be read so that none made after the load is missed.
    const std::string& loadedBound() const { return loadedBound_; }

    // Whether the failure of a command is a passing one (by its SQLSTATE, or
    // a lost connection).
    static bool isPassing(const Result& result, bool connectionLost);

private:
    class Expiry;

    // The failure of `result`, passing or lasting.
    StoreResult failure(const Result& result);
    // The connection is gone: one text for the whole outage.
    StoreResult lostConnection(const std::string& why);
    // Runs `sql` (which begins with "SAVEPOINT <name>"); on a failure of its
    // own, rolls back to the savepoint, runs `afterFailure` (if any) and
    // returns kFailed.
    StoreResult underSavepoint(const std::string& name, const std::string& sql, Result* result = nullptr,
                               const std::string& afterFailure = {});
    // Session settings and the staging tables, after every (re)connect.
    StoreResult prepareSession();
    StoreResult reconnect();

    std::unique_ptr<Connection> db_;
    int64_t nodeId_;
    bool sessionReady_ = false;
    std::string outage_;  // while the connection is lost: why
    std::string loadedBound_;
};

}  // namespace NORRIK::Data::PostgreSQL
