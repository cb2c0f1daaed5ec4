#pragma once
// NORRIK::Data::DatabaseDriver: the store through which the tracker and the
// web application reach torrents, peers, per-torrent statistics and
// connection identifiers.
//
// Contract:
// - One driver object serves every thread at once (tracker workers, the
//   maintenance thread, HTTP workers); implementations must allow any
//   operation to run concurrently with any other.
// - Operations report through their bool results and never throw, except the
//   base class's own bodies (DatabaseException code 1, "Not Implemented") and
//   a derived constructor that cannot open its storage (code 2).
// - info_hash and peer_id are 20 raw bytes; ip is a host-order IPv4 address,
//   port a host-order port; byte counts are host order.
// - The tracker owns the driver and deletes it through the virtual destructor;
//   the web application only borrows it.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "db/database_exception.hpp"
#include "settings.hpp"

namespace NORRIK::Data {

struct PeerAddress {
    uint32_t ip;    // host order
    uint16_t port;  // host order
};

struct TorrentStats {
    const uint8_t* info_hash;  // input, 20 bytes, not kept
    int32_t seeders;
    int32_t leechers;
    int32_t completed;
};

// What a store can tell about itself, for metrics. Zero where a store keeps
// no such figure.
struct StoreStatus {
    uint64_t torrents = 0;  // registered
    uint64_t peers = 0;
    uint64_t seeders = 0;
    uint64_t leechers = 0;
    uint64_t queuedWrites = 0;      // not yet stored: queued, or in the writer's batch
    double queueLagSeconds = 0;     // age of the oldest of them
    uint64_t droppedWrites = 0;     // peer rows not queued because the queue was full
    uint64_t commits = 0;
    uint64_t failedCommits = 0;
    uint64_t rowsNotStored = 0;
    bool writerFailing = false;     // the database refuses writes right now
    double lastPassSeconds = -1;    // duration of the last maintenance pass, -1 before the first
};

class DatabaseDriver {
public:
    DatabaseDriver(Settings::Section* settings, bool isDynamic)
        : settings_(settings), isDynamic_(isDynamic) {}
    virtual ~DatabaseDriver() = default;

    DatabaseDriver(const DatabaseDriver&) = delete;
    DatabaseDriver& operator=(const DatabaseDriver&) = delete;

    bool isDynamic() const { return isDynamic_; }

    // Registers the torrent; true when its peer storage exists afterwards
    // (also when it was registered already).
    virtual bool insertTorrent(const uint8_t* info_hash);

    // Removes registration, statistics and peers; true when the removal ran.
    virtual bool deleteTorrent(const uint8_t* info_hash);

    // Whether announces for the torrent are served (always in dynamic mode).
    virtual bool hasTorrent(const uint8_t* info_hash);

    // Writes a connection identifier for the client at ip:port.
    virtual bool issueConnectionId(uint64_t* connectionId, uint32_t ip, uint16_t port);

    // Whether the identifier was issued to ip:port and is still valid.
    virtual bool checkConnectionId(uint64_t connectionId, uint32_t ip, uint16_t port);

    // Records or refreshes the peer at ip:port and brings the torrent's counts
    // up to date. event is 0 none, 1 completed, 2 started, 3 stopped.
    virtual bool storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip,
                           uint16_t port, int64_t downloaded, int64_t left, int64_t uploaded,
                           int32_t event);

    // Removes the stored peer matching ip, port and peer_id.
    virtual bool deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip,
                            uint16_t port);

    // Sets the three counts to 0, then fills them; true when the torrent has
    // statistics.
    virtual bool fetchTorrentStats(TorrentStats* stats);

    // On entry *count is the room in `peers` (at least 1); fills up to that
    // many entries and sets *count to the number filled.
    virtual bool fetchPeers(const uint8_t* info_hash, int32_t* count, PeerAddress* peers);

    // One maintenance pass: expire stale peers and refresh statistics.
    virtual void cleanup();

    // Waits until every write made before the call is stored; false when
    // that failed. Stores that write at once return true.
    virtual bool flush() { return true; }

    virtual StoreStatus status() const { return {}; }

    // Connection identifiers are made with this key from now on, so that
    // several nodes sharing it accept each other's identifiers. Called
    // before the store is shared; stores without identifiers ignore it.
    virtual void setConnectionKey(const std::array<unsigned char, 16>&) {}

protected:
    Settings::Section* getSettings() const { return settings_; }

private:
    Settings::Section* settings_;
    bool isDynamic_;
};

// Opens the store that section "database" names: key "driver" ("sqlite3",
// the default, or "postgresql") and the keys of that store. A missing section
// reads as an empty one. Throws DatabaseException code 2 when the store
// cannot be opened.
std::unique_ptr<DatabaseDriver> openDatabaseDriver(Settings::Section* section, bool isDynamic);

// The key for setConnectionKey from a shared secret file (any bytes, 16 to
// 65536 of them; copied to every node). Nothing when the file cannot be
// used; *error then says why in one line naming the file.
std::optional<std::array<unsigned char, 16>> loadConnectionKey(const std::string& path, std::string* error);

}  // namespace NORRIK::Data
