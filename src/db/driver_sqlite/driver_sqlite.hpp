#pragma once
// NORRIK::Data::SQLite3Driver: the store on one SQLite database file.
//
// Schema: table `stats` (per-torrent counts), table `torrents` (registered
// info_hashes) and one peer table per torrent named `t` plus the 40 hex
// digits of its info_hash. A peer is identified within its torrent by ip and
// port; numeric peer columns are blobs holding the host's in-memory bytes.
//
// Contract:
// - Construction opens (or creates) the file named by key "file" of the given
//   section, "tracker.db" when there is no section or no name; it throws
//   DatabaseException code 2 when the database cannot be opened. A database
//   without any table gets `stats` and `torrents`; one with tables is used
//   as it is.
// - Writes report success only when their commit succeeded.
// - Every operation may be called from any thread at any time. Writes go
//   through one writer connection guarded by a mutex, each operation in one
//   transaction; reads (hasTorrent, fetchTorrentStats, fetchPeers) use the
//   writer connection when it is idle and otherwise reader connections lent
//   to one thread at a time, so in WAL mode a read never waits for a write. All connections are opened in serialized mode and
//   closed by the destructor, which must not run while an operation does.
// - The journal is WAL with synchronous=NORMAL, set on every open, so a file
//   written with a rollback journal is switched over when first opened.
// - Seeder and leecher counts are kept up to date by each write; the first
//   write for a torrent after the driver starts, and every maintenance pass,
//   count its peers in full.
// - Per-request lines ("E:...", "seeders N leechers M", "N Clients Dumped.")
//   go through Log::request, the maintenance pass's lines through Log::info.
// - Connection identifiers are keyed hashes of the client's address, port and
//   a one-minute time window under a secret drawn once per process; an
//   identifier is accepted from the same address and port for at least 60 and
//   less than 120 seconds.
// - The clock (seconds since the epoch) can be replaced with setClock, before
//   the driver is shared with other threads.

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "db/database_driver.hpp"

namespace NORRIK::Data {

namespace SQLite {
class Connection;
class Transaction;
}

class SQLite3Driver : public DatabaseDriver {
public:
    using Clock = std::function<int64_t()>;

    static constexpr const char* kDefaultFileName = "tracker.db";
    static constexpr int64_t kPeerExpirySeconds = 7200;
    static constexpr int64_t kConnectionIdWindowSeconds = 60;

    SQLite3Driver(Settings::Section* settings, bool isDynamic);
    ~SQLite3Driver() override;

    bool insertTorrent(const uint8_t* info_hash) override;
    bool deleteTorrent(const uint8_t* info_hash) override;
    bool hasTorrent(const uint8_t* info_hash) override;
    bool issueConnectionId(uint64_t* connectionId, uint32_t ip, uint16_t port) override;
    bool checkConnectionId(uint64_t connectionId, uint32_t ip, uint16_t port) override;
    bool storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                   int64_t downloaded, int64_t left, int64_t uploaded, int32_t event) override;
    bool deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip,
                    uint16_t port) override;
    bool fetchTorrentStats(TorrentStats* stats) override;
    bool fetchPeers(const uint8_t* info_hash, int32_t* count, PeerAddress* peers) override;
    void cleanup() override;

    // Replaces the clock; a null function restores the system clock.
    void setClock(Clock clock);

    // The database file in use.
    const std::string& fileName() const { return fileName_; }

    // Whether the writer connection serializes concurrent calls itself.
    bool isSerialized() const;

    // Decodes the 40 digits after the `t` of a peer table name into the 20
    // info_hash bytes. False for anything but 40 digits "0"-"9" / "a"-"f".
    static bool _hash_to_bin(const char* digits, uint8_t* info_hash);

private:
    // A connection for reading, given back when the lease ends. Without
    // separate readers it is the writer, held under its mutex.
    class ReadLease;

    int64_t now() const;
    uint64_t connectionIdFor(uint32_t ip, uint16_t port, int64_t window) const;

    std::unique_ptr<SQLite::Connection> openReader();
    void returnReader(std::unique_ptr<SQLite::Connection> reader);

    // Writes the torrent's counts: a full count when they have not been
    // counted since start-up (or the statistics row is missing), else the
    // change. Adds `completed` to its download count. Needs the writer mutex.
    struct Counts {
        int32_t seeders = 0;
        int32_t leechers = 0;
    };
    Counts updateCounts(const uint8_t* info_hash, const std::string& table, int32_t seederChange,
                        int32_t leecherChange, int32_t completed, int32_t time);
    // Creates `stats` and `torrents` where they are missing.
    void ensureSchema();
    // Commits; after a failed commit forgets what the caches learnt from it.
    // Caller holds writerMutex_.
    bool commit(SQLite::Transaction& transaction);

    std::string fileName_;
    Clock clock_;

    std::recursive_mutex writerMutex_;
    std::unique_ptr<SQLite::Connection> db;  // the writer
    std::unordered_set<std::string> counted_;  // info_hashes whose counts are exact; writer mutex
    std::unordered_set<std::string> registered_;  // info_hashes with row and peer table; writer mutex

    bool separateReaders_ = false;
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<SQLite::Connection>> idleReaders_;
};

}  // namespace NORRIK::Data
