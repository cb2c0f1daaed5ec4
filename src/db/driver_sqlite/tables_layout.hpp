#pragma once
// NORRIK::Data::SQLite::TablesLayout: the file as norrik has always kept it:
// `torrents`, `stats`, and one peer table per torrent named `t` and the 40
// hex digits of its info_hash, whose numeric columns hold the host's bytes.
// Making a table costs more the more tables the file has (SQLite reads its
// schema table again), which is why the writer, not a request, makes them.

#include <memory>

#include "db/driver_sqlite/sqlite_backend.hpp"
#include "db/driver_sqlite/sqlite_schema.hpp"

namespace NORRIK::Data::SQLite {

class TablesLayout : public SQLiteBackend {
public:
    using SQLiteBackend::SQLiteBackend;

    std::string layoutName() const override { return "tables"; }
    StoreResult load(SwarmLoader& loader) override;
    StoreResult registerTorrent(const uint8_t* info_hash, int32_t time) override;
    StoreResult removeTorrent(const uint8_t* info_hash) override;
    StoreResult writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped, std::string* why) override;
    StoreResult deletePeer(const PeerRow& key, bool* removed) override;
    std::unique_ptr<ExpiryPass> startExpiry(int32_t cutoff) override;
    // Each pass walks every peer table and writes every torrent's
    // statistics with the time of the pass.
    bool passRewritesAllStatistics() const override { return true; }

protected:
    int makeSchema() override { return ensureSchema(*db_); }

private:
    class Expiry;
    // Reads one peer table into `loader`.
    StoreResult loadPeers(const uint8_t* info_hash, SwarmLoader& loader);
    StoreResult writePeer(const PeerRow& row, bool* stored);
};

}  // namespace NORRIK::Data::SQLite
