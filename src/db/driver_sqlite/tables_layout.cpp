#include "db/driver_sqlite/tables_layout.hpp"


#include <cstring>
#include <string>
#include <vector>

#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/writer_pause.hpp"
#include "util/log.hpp"

namespace NORRIK::Data::SQLite {

namespace {

constexpr const char* kListPeerTables =
    "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE "
    "'t________________________________________'";
constexpr const char* kCleanupStats =
    "INSERT INTO stats (info_hash,seeders,leechers,last_mod) VALUES (?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET seeders=excluded.seeders,leechers=excluded.leechers,"
    "last_mod=excluded.last_mod";

// Statements on one torrent's peer table: '@' stands for its name.
constexpr const char* kReplacePeer =
    "REPLACE INTO '@' (peer_id,ip,port,uploaded,downloaded,left,last_seen) VALUES (?,?,?,?,?,?,?)";
constexpr const char* kUpdatePeer =
    "UPDATE '@' SET peer_id=?1,uploaded=?4,downloaded=?5,left=?6,last_seen=?7 WHERE ip=?2 AND port=?3";
constexpr const char* kRemovePeer = "DELETE FROM '@' WHERE ip=? AND port=? AND peer_id=? RETURNING left";
constexpr const char* kSwarmRows = "SELECT ip,port,left,last_seen FROM '@'";

// Peer tables whose stale rows a maintenance step deletes in one transaction.
constexpr std::size_t kTablesPerStep = 256;
// The writer lets other threads run after this many rows: on one core a
// request that arrives while it stores a batch waits a few rows, not the
// whole batch.
constexpr std::size_t kRowsBetweenYields = 32;

std::vector<std::string> peerTables(Connection& db) {
    std::vector<std::string> names;
    Statement list(db.handle(), kListPeerTables);
    while (list.ok() && sqlite3_step(list.get()) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
        if (text != nullptr) names.emplace_back(text);
    }
    return names;
}

}  // namespace

StoreResult TablesLayout::load(SwarmLoader& loader) {
    const int begun = db_->run("BEGIN");
    if (begun != SQLITE_DONE) return failure(begun);
    StoreResult result = loadRegistrations(loader);
    if (result.isOk()) {
        uint8_t hash[20];
        for (const std::string& table : peerTables(*db_)) {
            // The LIKE pattern also matches other 41-character names (and
            // ignores case): only this store's own tables are read.
            if (decodePeerTableName(table, hash)) loadPeers(hash, loader);
        }
    }
    db_->run("COMMIT");
    return result;
}

StoreResult TablesLayout::loadPeers(const uint8_t* info_hash, SwarmLoader& loader) {
    Statement rows(db_->handle(), "SELECT ip,port,left,last_seen FROM '" + peerTableName(info_hash) + "'");
    if (!rows.ok()) return failure(sqlite3_errcode(db_->handle()));
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        sqlite3_stmt* row = rows.get();
        uint32_t ip = 0;
        uint16_t port = 0;
        const void* ipBlob = sqlite3_column_blob(row, 0);
        const void* portBlob = sqlite3_column_blob(row, 1);
        if (ipBlob != nullptr && sqlite3_column_bytes(row, 0) >= 4) std::memcpy(&ip, ipBlob, 4);
        if (portBlob != nullptr && sqlite3_column_bytes(row, 1) >= 2) std::memcpy(&port, portBlob, 2);
        const bool seeder = isSeederLeft(sqlite3_column_blob(row, 2), sqlite3_column_bytes(row, 2));
        loader.peer(info_hash, ip, port, seeder, sqlite3_column_int(row, 3));
    }
    return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
}

StoreResult TablesLayout::registerTorrent(const uint8_t* info_hash, int32_t time) {
    StoreResult result = savepoint();
    if (!result.isOk()) return result;
    result = insertRegistration(info_hash, time);
    if (result.isOk()) {
        std::string error;
        const int rc = db_->exec(createPeerTableSql(peerTableName(info_hash)), &error);
        if (rc != SQLITE_OK) result = failure(rc, error);
    }
    if (result.isTransient()) return result;  // the whole transaction goes
    if (!result.isOk()) {
        rollbackToSavepoint();
        return result;
    }
    return release();
}

StoreResult TablesLayout::removeTorrent(const uint8_t* info_hash) {
    StoreResult result = savepoint();
    if (!result.isOk()) return result;
    {
        Statement remove(db_->handle(), "DELETE FROM torrents WHERE info_hash=?");
        if (remove.ok()) {
            sqlite3_bind_blob(remove.get(), 1, info_hash, 20, SQLITE_STATIC);
            const int rc = sqlite3_step(remove.get());
            if (rc != SQLITE_DONE && failure(rc).isTransient()) return failure(rc);
        }
    }
    {
        Statement removeStats(db_->handle(), "DELETE FROM stats WHERE info_hash=?");
        if (!removeStats.ok()) {
            // Without a statistics table the removal cannot be complete: it
            // changes nothing and says so.
            result = failure(sqlite3_errcode(db_->handle()));
            if (result.isTransient()) return result;
            rollbackToSavepoint();
            return result;
        }
        sqlite3_bind_blob(removeStats.get(), 1, info_hash, 20, SQLITE_STATIC);
        const int rc = sqlite3_step(removeStats.get());
        if (rc != SQLITE_DONE && failure(rc).isTransient()) return failure(rc);
    }
    db_->evictTable(info_hash);
    std::string error;
    const int rc = db_->exec("DROP TABLE IF EXISTS '" + peerTableName(info_hash) + "'", &error);
    if (rc != SQLITE_OK && failure(rc).isTransient()) return failure(rc, error);
    return release();
}

StoreResult TablesLayout::writePeer(const PeerRow& row, bool* stored) {
    *stored = false;
    // A peer the store knew is changed in place (no delete and insert of the
    // row and its index entry); a new one goes in with REPLACE.
    if (row.known) {
        Query update(*db_, kUpdatePeer, row.info_hash.data());
        if (update.ok()) {
            update.bindBlob(1, row.peer_id.data(), 20);
            update.bindBlob(2, &row.ip, 4);
            update.bindBlob(3, &row.port, 2);
            update.bindBlob(4, &row.uploaded, 8);
            update.bindBlob(5, &row.downloaded, 8);
            update.bindBlob(6, &row.left, 8);
            update.bindInt(7, row.time);
            const int rc = update.step();
            if (rc == SQLITE_DONE && sqlite3_changes(db_->handle()) == 1) {
                *stored = true;
                return StoreResult::ok();
            }
            if (rc != SQLITE_DONE && failure(rc).isTransient()) return failure(rc);
        }
    }
    Query replace(*db_, kReplacePeer, row.info_hash.data());
    if (!replace.ok()) return failure(sqlite3_errcode(db_->handle()));
    replace.bindBlob(1, row.peer_id.data(), 20);
    replace.bindBlob(2, &row.ip, 4);
    replace.bindBlob(3, &row.port, 2);
    replace.bindBlob(4, &row.uploaded, 8);
    replace.bindBlob(5, &row.downloaded, 8);
    replace.bindBlob(6, &row.left, 8);
    replace.bindInt(7, row.time);
    const int rc = replace.step();
    if (rc != SQLITE_DONE) return failure(rc);
    *stored = true;
    return StoreResult::ok();
}

StoreResult TablesLayout::writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped, std::string* why) {
    *skipped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if ((i + 1) % kRowsBetweenYields == 0) writerPause();
        bool stored = false;
        StoreResult result = writePeer(rows[i], &stored);
        if (result.isTransient()) return result;
        if (!stored) {
            // The peer table went away behind the store's back (another
            // program dropped it): made again, so that the announce is kept.
            std::string error;
            const int rc = db_->exec(createPeerTableSql(peerTableName(rows[i].info_hash.data())), &error);
            if (rc == SQLITE_OK) {
                result = writePeer(rows[i], &stored);
                if (result.isTransient()) return result;
            } else {
                result = failure(rc, error);
                if (result.isTransient()) return result;
            }
        }
        if (!stored) {
            ++*skipped;
            *why = result.error;
        }
    }
    return StoreResult::ok();
}

StoreResult TablesLayout::deletePeer(const PeerRow& key, bool* removed) {
    *removed = false;
    Query remove(*db_, kRemovePeer, key.info_hash.data());
    if (!remove.ok()) return StoreResult::ok();  // no table: nothing to delete
    remove.bindBlob(1, &key.ip, 4);
    remove.bindBlob(2, &key.port, 2);
    remove.bindBlob(3, key.peer_id.data(), 20);
    int rc;
    while ((rc = remove.step()) == SQLITE_ROW) *removed = true;
    return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
}

// Walks the peer tables found when the pass began, kTablesPerStep at a time,
// deleting each one's stale rows; one line per table, as it always was.
class TablesLayout::Expiry : public ExpiryPass {
public:
    Expiry(TablesLayout& layout, int32_t cutoff, std::vector<std::string> tables)
        : layout_(layout), cutoff_(cutoff), tables_(std::move(tables)) {}

    StoreResult step(bool* more) override {
        // A step runs only after the previous one was committed (or undone
        // by rolledBack()).
        committed_ = done_;
        Connection& db = *layout_.db_;
        std::size_t end = std::min(tables_.size(), done_ + kTablesPerStep);
        for (std::size_t i = done_; i < end; ++i) {
            std::string error;
            const int rc = db.exec("DELETE FROM " + tables_[i] + " WHERE last_seen<" + std::to_string(cutoff_), &error);
            if (rc != SQLITE_OK) {
                StoreResult result = layout_.failure(rc, error);
                if (result.isTransient()) return result;
                // Removed meanwhile, or not a table of ours: left for the next pass.
                Log::info("[" + error + "]");
                continue;
            }
            Log::info(std::string("[") + sqlite3_errmsg(db.handle()) + "]");
        }
        *more = end < tables_.size();
        done_ = end;
        return StoreResult::ok();
    }

    void rolledBack() override { done_ = committed_; }

private:
    TablesLayout& layout_;
    int32_t cutoff_;
    std::vector<std::string> tables_;
    std::size_t done_ = 0;       // tables handled, the last step included
    std::size_t committed_ = 0;  // tables handled by committed steps
};

std::unique_ptr<ExpiryPass> TablesLayout::startExpiry(int32_t cutoff) {
    std::vector<std::string> tables;
    uint8_t hash[20];
    for (std::string& name : peerTables(*db_)) {
        if (decodePeerTableName(name, hash)) tables.push_back(std::move(name));
    }
    if (tables.empty()) return nullptr;  // no peer table: the pass has nothing to do and says nothing
    // Prepared before any table is touched: without a statistics table the
    // counts could not be kept, so nothing is changed.
    Statement stats(db_->handle(), kCleanupStats);
    if (!stats.ok()) {
        Log::info(std::string("[cleanup skipped: ") + sqlite3_errmsg(db_->handle()) + "]");
        return nullptr;
    }
    return std::make_unique<Expiry>(*this, cutoff, std::move(tables));
}

}  // namespace NORRIK::Data::SQLite
