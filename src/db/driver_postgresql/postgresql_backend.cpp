#include "db/driver_postgresql/postgresql_backend.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "db/driver_postgresql/pg_schema.hpp"
#include "util/log.hpp"

namespace NORRIK::Data::PostgreSQL {

namespace {

// The staging tables live as long as the session; their rows as long as the
// transaction. Each batch empties what it takes (DELETE ... RETURNING), so a
// second batch in one transaction never sees the first one's rows.
constexpr const char* kCreateStaging =
    "CREATE TEMP TABLE IF NOT EXISTS peers_in (info_hash bytea, ip bytea, port integer, peer_id bytea, "
    "uploaded bigint, downloaded bigint, \"left\" bigint, last_seen integer) ON COMMIT DELETE ROWS; "
    "CREATE TEMP TABLE IF NOT EXISTS stats_in (info_hash bytea, seeders integer, leechers integer, "
    "completed integer, last_mod integer) ON COMMIT DELETE ROWS";

constexpr const char* kCopyPeers =
    "COPY peers_in (info_hash, ip, port, peer_id, uploaded, downloaded, \"left\", last_seen) FROM STDIN";
constexpr const char* kCopyStats = "COPY stats_in (info_hash, seeders, leechers, completed, last_mod) FROM STDIN";

// Rows of torrents the database does not hold (removed by another node
// meanwhile) are left out. Sorted, so that two nodes writing the same rows
// take their locks in the same order.
constexpr const char* kStorePeers =
    "WITH staged AS (DELETE FROM peers_in RETURNING *) "
    "INSERT INTO peers (info_hash, ip, port, peer_id, uploaded, downloaded, \"left\", last_seen, origin, changed) "
    "SELECT s.info_hash, s.ip, s.port, s.peer_id, s.uploaded, s.downloaded, s.\"left\", s.last_seen, @origin, "
    "pg_current_xact_id() FROM staged s JOIN torrents t ON t.info_hash = s.info_hash "
    "ORDER BY s.info_hash, s.ip, s.port "
    "ON CONFLICT (info_hash, ip, port) DO UPDATE SET peer_id = EXCLUDED.peer_id, uploaded = EXCLUDED.uploaded, "
    "downloaded = EXCLUDED.downloaded, \"left\" = EXCLUDED.\"left\", last_seen = EXCLUDED.last_seen, "
    "origin = EXCLUDED.origin, changed = EXCLUDED.changed";

// Full counts and time; `completed` only grows by what this node counted
// since its last write, so the downloads of every node add up.
constexpr const char* kStoreStats =
    "WITH staged AS (DELETE FROM stats_in RETURNING *) "
    "INSERT INTO stats (info_hash, seeders, leechers, completed, last_mod, changed) "
    "SELECT s.info_hash, s.seeders, s.leechers, s.completed, s.last_mod, pg_current_xact_id() "
    "FROM staged s JOIN torrents t ON t.info_hash = s.info_hash ORDER BY s.info_hash "
    "ON CONFLICT (info_hash) DO UPDATE SET seeders = EXCLUDED.seeders, leechers = EXCLUDED.leechers, "
    "last_mod = EXCLUDED.last_mod, completed = stats.completed + EXCLUDED.completed, changed = EXCLUDED.changed";

constexpr const char* kDeletePeer =
    "DELETE FROM peers WHERE info_hash = $1 AND ip = $2 AND port = $3 AND peer_id = $4";

constexpr const char* kExpirePeers =
    "DELETE FROM peers WHERE ctid = ANY (ARRAY(SELECT ctid FROM peers WHERE last_seen < $1 LIMIT $2))";

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

std::string replaced(std::string text, std::string_view what, const std::string& with) {
    const std::size_t at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

bool committedTag(const Result& result) {
    return result.ok() && std::strcmp(PQcmdStatus(result.get()), "COMMIT") == 0;
}

}  // namespace

PostgreSQLBackend::PostgreSQLBackend(std::unique_ptr<Connection> db, int64_t nodeId)
    : db_(std::move(db)), nodeId_(nodeId) {}

bool PostgreSQLBackend::isPassing(const Result& result, bool connectionLost) {
    if (connectionLost) return true;
    const std::string state = result.sqlState();
    // No server code: libpq could not send or read (a broken connection).
    if (state.empty()) return true;
    static constexpr std::string_view kPassingClasses[] = {
        "08",  // connection exception
        "53",  // insufficient resources: disk full, out of memory, too many connections
        "58",  // system error: I/O
    };
    static constexpr std::string_view kPassingStates[] = {
        "40001",  // serialization failure
        "40P01",  // deadlock detected
        "55P03",  // lock not available (lock_timeout)
        "55006",  // object in use
        "57014",  // query canceled (statement_timeout)
        "57P01",  // admin shutdown
        "57P02",  // crash shutdown
        "57P03",  // cannot connect now (starting up, shutting down)
        "25P02",  // in failed transaction: the transaction is to be rolled back
    };
    for (std::string_view prefix : kPassingClasses) {
        if (startsWith(state, prefix)) return true;
    }
    return std::find(std::begin(kPassingStates), std::end(kPassingStates), state) != std::end(kPassingStates);
}

StoreResult PostgreSQLBackend::lostConnection(const std::string& why) {
    if (outage_.empty()) outage_ = "no connection to the PostgreSQL server: " + oneLine(why);
    return StoreResult::transient(outage_);
}

StoreResult PostgreSQLBackend::failure(const Result& result) {
    // A server that is shutting down says so before it closes the
    // connection: the same outage as the refused connections that follow.
    const std::string state = result.sqlState();
    if (db_->lost() || startsWith(state, "08") || state == "57P01" || state == "57P02" || state == "57P03") {
        return lostConnection(result.message());
    }
    const std::string why = result.message();
    return isPassing(result, false) ? StoreResult::transient(why) : StoreResult::failed(why);
}

StoreResult PostgreSQLBackend::prepareSession() {
    Result prepared = db_->exec("SET lock_timeout = '" + std::to_string(kLockTimeoutSeconds) +
                                "s'; SET statement_timeout = '" + std::to_string(kStatementTimeoutSeconds) + "s'; " +
                                kCreateStaging);
    if (!prepared.ok()) return failure(prepared);
    sessionReady_ = true;
    return StoreResult::ok();
}

StoreResult PostgreSQLBackend::reconnect() {
    std::string why;
    sessionReady_ = false;
    if (!db_->reconnect(why)) return lostConnection(why);
    return prepareSession();
}

StoreResult PostgreSQLBackend::load(SwarmLoader& loader) {
    if (!sessionReady_) {
        StoreResult prepared = prepareSession();
        if (!prepared.isOk()) return prepared;
    }
    // One snapshot for everything read, and the bound that goes with it.
    Result begun = db_->exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    if (!begun.ok()) return failure(begun);
    Result bound = db_->exec("SELECT pg_snapshot_xmin(pg_current_snapshot())::text");
    if (!bound.ok() || bound.rows() != 1) {
        StoreResult result = failure(bound);
        rollback();
        return result;
    }
    loadedBound_ = std::string(bound.value(0, 0));

    // Read through cursors, so that neither side holds a whole table at once.
    auto readAll = [&](const std::string& cursor, const std::string& select, auto&& row) -> StoreResult {
        Result declared = db_->exec("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
        if (!declared.ok()) return failure(declared);
        for (;;) {
            Result chunk = db_->execParams("FETCH " + std::to_string(kLoadChunk) + " FROM " + cursor,
                                           std::span<const Param>(), Format::Binary);
            if (!chunk.ok()) return failure(chunk);
            for (int i = 0; i < chunk.rows(); ++i) row(chunk, i);
            if (chunk.rows() < kLoadChunk) break;
        }
        return StoreResult::ok();
    };
    auto hashAt = [](const Result& result, int row, int column) -> const uint8_t* {
        const std::string_view value = result.value(row, column);
        return value.size() == 20 ? reinterpret_cast<const uint8_t*>(value.data()) : nullptr;
    };

    StoreResult result = readAll("load_torrents", "SELECT info_hash FROM torrents", [&](const Result& r, int i) {
        if (const uint8_t* hash = hashAt(r, i, 0)) loader.registration(hash);
    });
    if (result.isOk()) {
        result = readAll("load_stats", "SELECT info_hash, seeders, leechers, completed FROM stats",
                         [&](const Result& r, int i) {
                             const uint8_t* hash = hashAt(r, i, 0);
                             if (hash == nullptr) return;
                             loader.statistics(hash, static_cast<int32_t>(r.integer(i, 1).value_or(0)),
                                               static_cast<int32_t>(r.integer(i, 2).value_or(0)),
                                               static_cast<int32_t>(r.integer(i, 3).value_or(0)));
                         });
    }
    if (result.isOk()) {
        result = readAll("load_peers", "SELECT info_hash, ip, port, \"left\" = 0, last_seen FROM peers",
                         [&](const Result& r, int i) {
                             const uint8_t* hash = hashAt(r, i, 0);
                             const std::string_view ip = r.value(i, 1);
                             uint32_t address = 0;
                             // Only IPv4 peers are served; rows of another kind stay.
                             if (hash == nullptr || !unmappedAddress(ip.data(), ip.size(), &address)) return;
                             const std::string_view seeder = r.value(i, 3);
                             loader.peer(hash, address, static_cast<uint16_t>(r.integer(i, 2).value_or(0)),
                                         !seeder.empty() && seeder[0] != 0,
                                         static_cast<int32_t>(r.integer(i, 4).value_or(0)));
                         });
    }
    if (!result.isOk()) {
        rollback();
        return result;
    }
    Result committed = db_->exec("COMMIT");
    if (!committed.ok()) return failure(committed);
    return StoreResult::ok();
}

StoreResult PostgreSQLBackend::begin() {
    if (db_->lost()) {
        StoreResult again = reconnect();
        if (!again.isOk()) return again;
    }
    if (!sessionReady_) {
        StoreResult prepared = prepareSession();
        if (!prepared.isOk()) return prepared;
    }
    Result begun = db_->exec("BEGIN");
    if (!begun.ok() && db_->lost()) {
        // The server closed an idle connection (a restart, an idle timeout):
        // one more try on a new one before the transaction counts as failed.
        StoreResult again = reconnect();
        if (!again.isOk()) return again;
        begun = db_->exec("BEGIN");
    }
    if (!begun.ok()) return failure(begun);
    outage_.clear();
    return StoreResult::ok();
}

StoreResult PostgreSQLBackend::commit() {
    Result committed = db_->exec("COMMIT");
    // A transaction that an error aborted answers COMMIT with ROLLBACK:
    // nothing of it is stored.
    if (committedTag(committed)) return StoreResult::ok();
    StoreResult result = committed.ok() ? StoreResult::transient("the transaction was rolled back by the server")
                                        : failure(committed);
    result.code = StoreResult::Code::kTransient;  // nothing of it is stored: the writer tries again
    return result;
}

void PostgreSQLBackend::rollback() {
    if (db_->lost()) return;
    if (PQtransactionStatus(db_->handle()) != PQTRANS_IDLE) db_->exec("ROLLBACK");
}

StoreResult PostgreSQLBackend::underSavepoint(const std::string& name, const std::string& sql, Result* out,
                                              const std::string& afterFailure) {
    Result result = db_->exec(sql);
    if (result.ok()) {
        if (out != nullptr) *out = std::move(result);
        return StoreResult::ok();
    }
    StoreResult failed = failure(result);
    if (failed.isTransient()) return failed;
    Result back = db_->exec("ROLLBACK TO SAVEPOINT " + name + "; RELEASE SAVEPOINT " + name +
                            (afterFailure.empty() ? std::string() : "; " + afterFailure));
    if (!back.ok()) {
        StoreResult broken = failure(back);
        broken.code = StoreResult::Code::kTransient;  // the transaction cannot go on
        return broken;
    }
    return failed;
}

StoreResult PostgreSQLBackend::registerTorrent(const uint8_t* info_hash, int32_t time) {
    const std::string hash = byteaLiteral(info_hash, 20);
    // The notification goes out only when the row is new, and only once the
    // transaction is committed.
    return underSavepoint("operation",
                          "SAVEPOINT operation; "
                          "WITH added AS (INSERT INTO torrents (info_hash, created) VALUES (" +
                              hash + ", " + std::to_string(time) +
                              ") ON CONFLICT (info_hash) DO NOTHING RETURNING 1) "
                              "SELECT pg_notify('" +
                              kChannel + "', 'torrents') FROM added; RELEASE SAVEPOINT operation");
}

StoreResult PostgreSQLBackend::removeTorrent(const uint8_t* info_hash) {
    const std::string hash = byteaLiteral(info_hash, 20);
    // SHARE on peers and stats waits for the writers of every node that are
    // storing rows now, and makes new ones wait until this commits: after
    // it, no row of the torrent can be stored by a writer that saw it
    // registered.
    return underSavepoint("operation",
                          "SAVEPOINT operation; LOCK TABLE peers, stats IN SHARE MODE; "
                          "DELETE FROM torrents WHERE info_hash = " +
                              hash + "; DELETE FROM stats WHERE info_hash = " + hash +
                              "; DELETE FROM peers WHERE info_hash = " + hash +
                              "; INSERT INTO removals (info_hash, removed) VALUES (" + hash +
                              ", extract(epoch FROM now())::integer) ON CONFLICT (info_hash) DO UPDATE SET "
                              "removed = EXCLUDED.removed, changed = pg_current_xact_id(); NOTIFY " +
                              kChannel + ", 'torrents'; RELEASE SAVEPOINT operation");
}

StoreResult PostgreSQLBackend::writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped,
                                         std::string* why) {
    *skipped = 0;
    if (count == 0) return StoreResult::ok();
    // One row per torrent, address and port (the last one wins): a batch
    // that named a row twice would be refused whole.
    std::vector<const PeerRow*> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = &rows[i];
    std::stable_sort(order.begin(), order.end(), [](const PeerRow* a, const PeerRow* b) {
        if (a->info_hash != b->info_hash) return a->info_hash < b->info_hash;
        if (a->ip != b->ip) return a->ip < b->ip;
        return a->port < b->port;
    });
    CopyRows copy;
    std::size_t unique = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const PeerRow& row = *order[i];
        if (i + 1 < order.size() && order[i + 1]->info_hash == row.info_hash && order[i + 1]->ip == row.ip &&
            order[i + 1]->port == row.port) {
            continue;
        }
        uint8_t ip[16];
        mappedAddress(row.ip, ip);
        copy.bytes(row.info_hash.data(), 20)
            .bytes(ip, 16)
            .integer(row.port)
            .bytes(row.peer_id.data(), 20)
            .integer(row.uploaded)
            .integer(row.downloaded)
            .integer(row.left)
            .integer(row.time)
            .endRow();
        ++unique;
    }
    Result copied = db_->copyIn(kCopyPeers, copy);
    if (!copied.ok()) {
        StoreResult result = failure(copied);
        result.code = StoreResult::Code::kTransient;  // a failed COPY aborts the transaction
        return result;
    }
    Result stored;
    // A batch that failed leaves its rows in the staging table (the rollback
    // undid their DELETE): they go, so that a later batch does not take them.
    StoreResult result =
        underSavepoint("peer_rows", "SAVEPOINT peer_rows; " + replaced(kStorePeers, "@origin", std::to_string(nodeId_)),
                       &stored, "DELETE FROM peers_in");
    if (result.isTransient()) return result;
    if (!result.isOk()) {
        *skipped = count;
        *why = result.error;
        return StoreResult::ok();
    }
    const auto written = static_cast<std::size_t>(std::max<int64_t>(0, stored.affectedRows()));
    if (written < unique) {
        *skipped = unique - written;
        *why = "the torrent is not registered in the database";
    }
    return StoreResult::ok();
}

StoreResult PostgreSQLBackend::deletePeer(const PeerRow& key, bool* removed) {
    *removed = false;
    uint8_t ip[16];
    mappedAddress(key.ip, ip);
    Result deleted = db_->execParams(kDeletePeer, {Param::bytes(key.info_hash.data(), 20), Param::bytes(ip, 16),
                                                   Param::int32(key.port), Param::bytes(key.peer_id.data(), 20)});
    if (!deleted.ok()) {
        StoreResult result = failure(deleted);
        result.code = StoreResult::Code::kTransient;  // the transaction cannot go on
        return result;
    }
    *removed = deleted.affectedRows() > 0;
    return StoreResult::ok();
}

StoreResult PostgreSQLBackend::writeStatistics(const StatsRow* rows, std::size_t count) {
    if (count == 0) return StoreResult::ok();
    // One row per torrent: downloads of several rows add up, the last counts win.
    std::vector<StatsRow> merged(rows, rows + count);
    std::stable_sort(merged.begin(), merged.end(),
                     [](const StatsRow& a, const StatsRow& b) { return a.info_hash < b.info_hash; });
    CopyRows copy;
    for (std::size_t i = 0; i < merged.size(); ++i) {
        StatsRow& row = merged[i];
        if (i + 1 < merged.size() && merged[i + 1].info_hash == row.info_hash) {
            merged[i + 1].completedAdded += row.completedAdded;
            continue;
        }
        copy.bytes(row.info_hash.data(), 20)
            .integer(row.seeders)
            .integer(row.leechers)
            .integer(row.completedAdded)
            .integer(row.time)
            .endRow();
    }
    Result copied = db_->copyIn(kCopyStats, copy);
    if (!copied.ok()) {
        StoreResult result = failure(copied);
        result.code = StoreResult::Code::kTransient;
        return result;
    }
    return underSavepoint("statistics", std::string("SAVEPOINT statistics; ") + kStoreStats, nullptr,
                          "DELETE FROM stats_in");
}

// Deletes stale peers kExpiredPerStep at a time, each step under the
// maintenance lock: while another node holds it, this node's pass leaves the
// database to that one. One line when the pass is done.
class PostgreSQLBackend::Expiry : public ExpiryPass {
public:
    Expiry(PostgreSQLBackend& backend, int32_t cutoff) : backend_(backend), cutoff_(cutoff) {}

    StoreResult step(bool* more) override {
        committed_ = expired_;
        *more = false;
        Connection& db = *backend_.db_;
        Result locked = db.exec("SELECT pg_try_advisory_xact_lock(" + std::to_string(kMaintenanceLockKey) + ")");
        if (!locked.ok()) {
            StoreResult result = backend_.failure(locked);
            result.code = StoreResult::Code::kTransient;
            return result;
        }
        if (locked.value(0, 0) != "t") {
            Log::info("[cleanup: another node is running it]");
            return StoreResult::ok();
        }
        Result savepoint = db.exec("SAVEPOINT expiry");
        if (!savepoint.ok()) {
            StoreResult result = backend_.failure(savepoint);
            result.code = StoreResult::Code::kTransient;
            return result;
        }
        Result deleted = db.execParams(kExpirePeers, {Param::int32(cutoff_), Param::int32(kExpiredPerStep)});
        if (!deleted.ok()) {
            StoreResult failed = backend_.failure(deleted);
            if (failed.isTransient()) return failed;
            Result back = db.exec("ROLLBACK TO SAVEPOINT expiry; RELEASE SAVEPOINT expiry");
            if (!back.ok()) {
                StoreResult broken = backend_.failure(back);
                broken.code = StoreResult::Code::kTransient;
                return broken;
            }
            return failed;
        }
        expired_ += deleted.affectedRows();
        *more = deleted.affectedRows() >= kExpiredPerStep;
        if (!*more) {
            // Removals old enough that every node has read them.
            Result trimmed = db.exec("DELETE FROM removals WHERE removed < extract(epoch FROM now())::integer - " +
                                     std::to_string(kRemovalKeepSeconds) + "; RELEASE SAVEPOINT expiry");
            if (!trimmed.ok()) {
                StoreResult result = backend_.failure(trimmed);
                result.code = StoreResult::Code::kTransient;
                return result;
            }
            Log::info("[cleanup: " + std::to_string(expired_) + " peers expired]");
        } else {
            Result released = db.exec("RELEASE SAVEPOINT expiry");
            if (!released.ok()) {
                StoreResult result = backend_.failure(released);
                result.code = StoreResult::Code::kTransient;
                return result;
            }
        }
        return StoreResult::ok();
    }

    void rolledBack() override { expired_ = committed_; }

private:
    PostgreSQLBackend& backend_;
    int32_t cutoff_;
    int64_t expired_ = 0;
    int64_t committed_ = 0;
};

std::unique_ptr<ExpiryPass> PostgreSQLBackend::startExpiry(int32_t cutoff) {
    return std::make_unique<Expiry>(*this, cutoff);
}

}  // namespace NORRIK::Data::PostgreSQL
