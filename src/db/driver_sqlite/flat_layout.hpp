#pragma once
// NORRIK::Data::SQLite::FlatLayout: one `peers` table for the peers of all
// torrents, keyed by (info_hash, ip, port), beside `torrents` and `stats`
// (the same tables, columns and meanings as in the per-torrent layout).
// Registering a torrent is one INSERT and making it costs the same however
// many torrents the file holds; the maintenance pass is one indexed DELETE by
// last_seen. Addresses are 16 bytes (IPv4 as IPv4-mapped IPv6, network
// order) so that IPv6 needs no other layout; numbers are INTEGER columns.
// The file says what it is: `PRAGMA application_id` kApplicationId and
// `PRAGMA user_version` kSchemaVersion.

#include <cstdint>
#include <memory>

#include "db/driver_sqlite/sqlite_backend.hpp"

namespace NORRIK::Data::SQLite {

class FlatLayout : public SQLiteBackend {
public:
    static constexpr int32_t kApplicationId = 0x4E524B31;  // "NRK1"
    static constexpr int32_t kSchemaVersion = 1;

    using SQLiteBackend::SQLiteBackend;

    // Makes the tables of this layout in a file without any table. SQLite's
    // result.
    static int createSchema(Connection& db);

    std::string layoutName() const override { return "flat"; }
    StoreResult load(SwarmLoader& loader) override;
    StoreResult registerTorrent(const uint8_t* info_hash, int32_t time) override;
    StoreResult removeTorrent(const uint8_t* info_hash) override;
    StoreResult writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped, std::string* why) override;
    StoreResult deletePeer(const PeerRow& key, bool* removed) override;
    std::unique_ptr<ExpiryPass> startExpiry(int32_t cutoff) override;
    bool passRewritesAllStatistics() const override { return false; }

protected:
    int makeSchema() override { return createSchema(*db_); }

private:
    class Expiry;
};

// The 16 bytes of an IPv4 address (host order) mapped into IPv6, and back:
// false for an address that is not IPv4-mapped.
void mappedAddress(uint32_t ip, uint8_t out[16]);
bool unmappedAddress(const void* bytes, int size, uint32_t* ip);

}  // namespace NORRIK::Data::SQLite
