#include "db/driver_sqlite/flat_layout.hpp"


#include <cstring>
#include <string>

#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/writer_pause.hpp"
#include "util/log.hpp"

namespace NORRIK::Data::SQLite {

namespace {

constexpr const char* kCreatePeers =
    "CREATE TABLE peers (info_hash blob(20) NOT NULL,ip blob(16) NOT NULL,port INTEGER NOT NULL,"
    "peer_id blob(20) NOT NULL,uploaded INTEGER NOT NULL,downloaded INTEGER NOT NULL,left INTEGER NOT NULL,"
    "last_seen INTEGER NOT NULL,PRIMARY KEY (info_hash,ip,port)) WITHOUT ROWID";
constexpr const char* kCreatePeersIndex = "CREATE INDEX peers_last_seen ON peers (last_seen)";

constexpr const char* kStorePeer =
    "INSERT INTO peers (info_hash,ip,port,peer_id,uploaded,downloaded,left,last_seen) VALUES (?,?,?,?,?,?,?,?) "
    "ON CONFLICT(info_hash,ip,port) DO UPDATE SET peer_id=excluded.peer_id,uploaded=excluded.uploaded,"
    "downloaded=excluded.downloaded,left=excluded.left,last_seen=excluded.last_seen";
constexpr const char* kRemovePeer =
    "DELETE FROM peers WHERE info_hash=? AND ip=? AND port=? AND peer_id=? RETURNING left";
constexpr const char* kRemovePeers = "DELETE FROM peers WHERE info_hash=?";
constexpr const char* kRemoveRegistration = "DELETE FROM torrents WHERE info_hash=?";
constexpr const char* kRemoveStats = "DELETE FROM stats WHERE info_hash=?";
// Stale peers, a bounded number per transaction so that the writer's other
// work goes on between the steps of a large pass.
constexpr const char* kExpirePeers =
    "DELETE FROM peers WHERE (info_hash,ip,port) IN "
    "(SELECT info_hash,ip,port FROM peers WHERE last_seen<?1 LIMIT ?2)";
constexpr int kExpiredPerStep = 20000;
constexpr std::size_t kRowsBetweenYields = 32;

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

}  // namespace

void mappedAddress(uint32_t ip, uint8_t out[16]) {
    std::memcpy(out, kMappedPrefix, 12);
    out[12] = static_cast<uint8_t>(ip >> 24);
    out[13] = static_cast<uint8_t>(ip >> 16);
    out[14] = static_cast<uint8_t>(ip >> 8);
    out[15] = static_cast<uint8_t>(ip);
}

bool unmappedAddress(const void* bytes, int size, uint32_t* ip) {
    if (bytes == nullptr || size != 16 || std::memcmp(bytes, kMappedPrefix, 12) != 0) return false;
    const auto* b = static_cast<const uint8_t*>(bytes) + 12;
    *ip = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return true;
}

int FlatLayout::createSchema(Connection& db) {
    const bool own = sqlite3_get_autocommit(db.handle()) != 0;
    if (own) {
        const int begun = db.run("BEGIN IMMEDIATE");
        if (begun != SQLITE_DONE) return begun;
    }
    int rc = SQLITE_OK;
    for (const std::string& sql :
         {std::string(kCreateStats), std::string(kCreateTorrents), std::string(kCreatePeers),
          std::string(kCreatePeersIndex), "PRAGMA application_id=" + std::to_string(kApplicationId),
          "PRAGMA user_version=" + std::to_string(kSchemaVersion)}) {
        rc = db.exec(sql);
        if (rc != SQLITE_OK) break;
    }
    if (own) {
        if (rc == SQLITE_OK) {
            const int committed = db.run("COMMIT");
            rc = committed == SQLITE_DONE ? SQLITE_OK : committed;
        }
        if (rc != SQLITE_OK) db.run("ROLLBACK");
    }
    return rc;
}

StoreResult FlatLayout::load(SwarmLoader& loader) {
    const int begun = db_->run("BEGIN");
    if (begun != SQLITE_DONE) return failure(begun);
    StoreResult result = loadRegistrations(loader);
    if (result.isOk()) {
        Statement rows(db_->handle(), "SELECT info_hash,ip,port,left,last_seen FROM peers");
        if (!rows.ok()) {
            result = failure(sqlite3_errcode(db_->handle()));
        } else {
            int rc;
            while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
                sqlite3_stmt* row = rows.get();
                uint32_t ip = 0;
                if (sqlite3_column_bytes(row, 0) != 20) continue;
                // Only IPv4 peers are served; a row of another kind is kept.
                if (!unmappedAddress(sqlite3_column_blob(row, 1), sqlite3_column_bytes(row, 1), &ip)) continue;
                loader.peer(static_cast<const uint8_t*>(sqlite3_column_blob(row, 0)), ip,
                            static_cast<uint16_t>(sqlite3_column_int(row, 2)), sqlite3_column_int64(row, 3) == 0,
                            sqlite3_column_int(row, 4));
            }
            if (rc != SQLITE_DONE) result = failure(rc);
        }
    }
    db_->run("COMMIT");
    return result;
}

StoreResult FlatLayout::registerTorrent(const uint8_t* info_hash, int32_t time) {
    return insertRegistration(info_hash, time);
}

StoreResult FlatLayout::removeTorrent(const uint8_t* info_hash) {
    StoreResult result = savepoint();
    if (!result.isOk()) return result;
    for (const char* sql : {kRemoveRegistration, kRemoveStats, kRemovePeers}) {
        Query remove(*db_, sql);
        int rc = remove.ok() ? SQLITE_OK : sqlite3_errcode(db_->handle());
        if (remove.ok()) {
            remove.bindBlob(1, info_hash, 20);
            rc = remove.step();
        }
        if (rc != SQLITE_OK && rc != SQLITE_DONE) {
            // All three or nothing: a removal that cannot be complete changes
            // nothing and says so.
            result = failure(rc);
            if (!result.isTransient()) rollbackToSavepoint();
            return result;
        }
    }
    return release();
}

StoreResult FlatLayout::writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped, std::string* why) {
    *skipped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if ((i + 1) % kRowsBetweenYields == 0) writerPause();
        const PeerRow& row = rows[i];
        uint8_t ip[16];
        mappedAddress(row.ip, ip);
        Query store(*db_, kStorePeer);
        int rc = store.ok() ? SQLITE_OK : sqlite3_errcode(db_->handle());
        if (store.ok()) {
            store.bindBlob(1, row.info_hash.data(), 20);
            store.bindBlob(2, ip, 16);
            store.bindInt(3, row.port);
            store.bindBlob(4, row.peer_id.data(), 20);
            store.bindInt64(5, row.uploaded);
            store.bindInt64(6, row.downloaded);
            store.bindInt64(7, row.left);
            store.bindInt(8, row.time);
            rc = store.step();
        }
        if (rc == SQLITE_DONE) continue;
        StoreResult result = failure(rc);
        if (result.isTransient()) return result;
        ++*skipped;
        *why = result.error;
    }
    return StoreResult::ok();
}

StoreResult FlatLayout::deletePeer(const PeerRow& key, bool* removed) {
    *removed = false;
    uint8_t ip[16];
    mappedAddress(key.ip, ip);
    Query remove(*db_, kRemovePeer);
    if (!remove.ok()) return failure(sqlite3_errcode(db_->handle()));
    remove.bindBlob(1, key.info_hash.data(), 20);
    remove.bindBlob(2, ip, 16);
    remove.bindInt(3, key.port);
    remove.bindBlob(4, key.peer_id.data(), 20);
    int rc;
    while ((rc = remove.step()) == SQLITE_ROW) *removed = true;
    return rc == SQLITE_DONE ? StoreResult::ok() : failure(rc);
}

// Deletes stale peers kExpiredPerStep at a time; one line when the pass is
// done, with how many went.
class FlatLayout::Expiry : public ExpiryPass {
public:
    Expiry(FlatLayout& layout, int32_t cutoff) : layout_(layout), cutoff_(cutoff) {}

    StoreResult step(bool* more) override {
        committed_ = expired_;
        Query expire(*layout_.db_, kExpirePeers);
        if (!expire.ok()) return layout_.failure(sqlite3_errcode(layout_.db_->handle()));
        expire.bindInt(1, cutoff_);
        expire.bindInt(2, kExpiredPerStep);
        const int rc = expire.step();
        if (rc != SQLITE_DONE) return layout_.failure(rc);
        const int deleted = sqlite3_changes(layout_.db_->handle());
        expired_ += deleted;
        *more = deleted == kExpiredPerStep;
        if (!*more) Log::info("[cleanup: " + std::to_string(expired_) + " peers expired]");
        return StoreResult::ok();
    }

    void rolledBack() override { expired_ = committed_; }

private:
    FlatLayout& layout_;
    int32_t cutoff_;
    long long expired_ = 0;
    long long committed_ = 0;
};

std::unique_ptr<ExpiryPass> FlatLayout::startExpiry(int32_t cutoff) {
    return std::make_unique<Expiry>(*this, cutoff);
}

}  // namespace NORRIK::Data::SQLite
