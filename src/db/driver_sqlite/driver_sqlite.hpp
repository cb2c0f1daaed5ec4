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
// - Registrations and removals report success only when their commit
//   succeeded. Peer writes (storePeer) are written behind: the announce
//   changes what the driver keeps in memory and leaves the row to the
//   writer thread owned by the driver, which stores the waiting writes in
//   one commit 10 ms after the first of them. flush() stores and commits at
//   once, and so does every registration, removal and maintenance pass
//   before its own statements; the destructor stores what is waiting.
// - Every operation may be called from any thread at any time. All SQL
//   goes through one connection (opened in serialized mode), guarded by a
//   mutex, which an announce takes only the first time it meets a torrent
//   (or when the writer has fallen kMaxWaitingWrites behind).
//   hasTorrent, fetchTorrentStats and fetchPeers answer from what the
//   driver keeps in memory (below); a torrent's peers are read from its
//   table through that connection on first use. The connection is closed
//   by the destructor, which must not run while an operation does.
// - The journal is WAL with synchronous=NORMAL, set on every open, so a file
//   written with a rollback journal is switched over when first opened.
// - Seeder and leecher counts are kept up to date by each write; the first
//   write for a torrent after the driver starts, and every maintenance pass,
//   count its peers in full.
// - The driver owns its file: registrations and statistics are read once
//   when it opens, each torrent's peers (address, port, seeder or not) when
//   first needed, and all are then kept in memory by the driver's own writes
//   (and read again after a failed commit, and a swarm after the
//   maintenance pass expired some of its peers). Changes made to the file by
//   another program while the driver runs are not seen until then.
// - Per-request lines ("E:...", "seeders N leechers M", "N Clients Dumped.")
//   go through Log::request, the maintenance pass's lines through Log::info.
// - Connection identifiers are made and checked by a ConnectionIds under
//   the process's random key, on the driver's clock: bound to the client's
//   address (the port is not looked at), accepted for 180 seconds.
// - The clock (seconds since the epoch) can be replaced with setClock, before
//   the driver is shared with other threads.

#include <sqlite3.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "db/connection_ids.hpp"
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

    // Stores and commits the peer writes still waiting; false when that
    // commit failed (the writes are then lost).
    bool flush();

    // Peer writes waiting for the writer are committed together; none waits
    // longer than kGroupDelay for its commit. Writes made directly on the
    // connection (a torrent's first announce) commit after kGroupSize.
    static constexpr int kGroupSize = 1024;
    static constexpr std::chrono::milliseconds kGroupDelay{10};
    // An announce that finds this many writes waiting stores the oldest
    // kAnnounceBatch of them itself before its own: memory stays bounded
    // when the writer falls behind (a slow disk, a core too busy to let it
    // run), and no single announce waits for long.
    static constexpr std::size_t kMaxWaitingWrites = 65536;
    static constexpr std::size_t kAnnounceBatch = 256;
    // The writer stores a backlog this many writes per commit.
    static constexpr std::size_t kWriterBatch = 4096;
    // The writer lets other threads run after this many rows.
    static constexpr std::size_t kRowsBetweenYields = 32;

    // Decodes the 40 digits after the `t` of a peer table name into the 20
    // info_hash bytes. False for anything but 40 digits "0"-"9" / "a"-"f".
    static bool _hash_to_bin(const char* digits, uint8_t* info_hash);

private:
    int64_t now() const;

    struct Counts {
        int32_t seeders = 0;
        int32_t leechers = 0;
    };
    // Writes the torrent's counts: a full count when they have not been
    // counted since start-up (or the statistics row is missing), else the
    // change. Adds `completed` to its download count. Needs the writer mutex.
    Counts updateCounts(const uint8_t* info_hash, int32_t seederChange,
                        int32_t leecherChange, int32_t completed, int32_t time);
    // Writes the registration row (making the schema when the file has no
    // table) and the peer table; false, with SQLite's text in *error, when
    // the table could not be made. Caller holds writerMutex_.
    bool registerTorrent(const uint8_t* info_hash, std::string* error);
    // Creates `stats` and `torrents` where they are missing.
    void ensureSchema();
    // Commits; after a failed commit forgets what the caches learnt from it.
    // Caller holds writerMutex_.
    bool commit(SQLite::Transaction& transaction);
    // After a rollback: what the caches learnt from the rolled-back
    // statements is not in the file. Caller holds writerMutex_.
    void forgetUncommitted();
    // Opens the group transaction of peer writes unless one is open. Caller
    // holds writerMutex_.
    void openGroup();
    // Stores the waiting writes, then commits the group transaction if one
    // is open (rolls back and forgets on failure). Caller holds writerMutex_.
    bool commitGroup();
    // Commits the group transaction, if one is open, as commitGroup does,
    // without storing waiting writes first.
    bool commitOpenGroup();
    // The writer thread: stores and commits kGroupDelay after it was armed.
    void writerLoop();
    // Has the writer thread commit within kGroupDelay.
    void armWriter();

    // A peer write that the announce has made in memory and the writer
    // stores: an UPDATE of the row memory knows, else a REPLACE.
    struct WaitingWrite {
        uint8_t info_hash[20];
        uint8_t peer_id[20];
        uint32_t ip;
        uint16_t port;
        bool known;          // the row is in the table
        bool completed;      // event 1: one more download
        int8_t seederChange;
        int8_t leecherChange;
        int32_t time;
        int64_t downloaded;
        int64_t left;
        int64_t uploaded;
    };
    // The announce's write in memory, when the torrent is ready, counted,
    // its swarm loaded and nobody holds it exclusively: the swarm and the
    // counts change at once, the row waits for the writer. Otherwise false;
    // with `claim` (the caller holds writerMutex_ and has stored a batch of
    // waiting writes) the queue's bound does not apply, and when the write
    // cannot go behind the torrent is held exclusively by the caller.
    bool storeBehind(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                     int64_t downloaded, int64_t left, int64_t uploaded, int32_t event, int32_t time,
                     bool claim, Counts* counts);
    // The announce's write on the connection: registration, swarm and
    // counts read when needed. Caller holds writerMutex_ and the torrent.
    bool storePeerNow(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                      int64_t downloaded, int64_t left, int64_t uploaded, int32_t event, int32_t time,
                      Counts* counts);
    // Writes the peer row: in place when `known`, else (or when the row was
    // not there, which sets *missed) with REPLACE. False when not stored.
    bool writePeerRow(const WaitingWrite& write, bool* missed);
    // Stores the oldest waiting writes, at most `limit`, in the group
    // transaction; true when more are waiting. Caller holds writerMutex_.
    bool storeWaiting(std::size_t limit = SIZE_MAX);
    // Holds the torrent exclusively (writerMutex_ held): announces for it
    // wait for writerMutex_ instead of changing memory, and the writes
    // waiting for it are stored. Released by the destructor.
    class Exclusive {
    public:
        Exclusive(SQLite3Driver& driver, const uint8_t* info_hash, bool claimed = false);
        ~Exclusive();
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        SQLite3Driver& driver_;
        const uint8_t* info_hash_;
    };

    std::string fileName_;
    Clock clock_;
    ConnectionIds connectionIds_{[this] { return now(); }};

    std::recursive_mutex writerMutex_;
    std::unique_ptr<SQLite::Connection> db;  // the writer

    // What the driver knows of each torrent. The writer changes it (holding
    // writerMutex_ and, for every change, mirrorMutex_) after SQLite accepted
    // the statement; an announce written behind changes its swarm and counts
    // under mirrorMutex_ alone, which is why the writer holds a torrent
    // exclusively while it reads or rewrites them from the file. Other
    // threads read it under mirrorMutex_.
    // The peers of one torrent's table, read once and then kept by the
    // writer's own changes. Rows a store can replace (4-byte ip, 2-byte
    // port) are found through `positions`.
    struct SwarmPeer {
        uint32_t ip;
        uint16_t port;
        bool seeder;
    };
    struct PeerKeyHash {
        std::size_t operator()(uint64_t key) const noexcept;
    };
    struct Swarm {
        bool loaded = false;
        std::vector<SwarmPeer> peers;
        std::unordered_map<uint64_t, uint32_t, PeerKeyHash> positions;  // ip:port -> index in peers
    };
    struct TorrentState {
        bool listed = false;     // has a `torrents` row
        bool ready = false;      // row and peer table made by this driver
        bool counted = false;    // seeders and leechers are exact
        bool exclusive = false;  // held by a writer: announces do not write behind
        bool hasStats = false;   // has a `stats` row, whose counts follow
        int32_t seeders = 0;
        int32_t leechers = 0;
        int32_t completed = 0;
        Swarm swarm;
    };
    using InfoHashKey = std::array<uint8_t, 20>;
    struct InfoHashKeyHash {
        std::size_t operator()(const InfoHashKey& key) const noexcept;
    };
    static InfoHashKey keyOf(const uint8_t* info_hash);
    // The torrent's entry, made when missing. Writer only.
    TorrentState& stateOf(const uint8_t* info_hash);
    // Reads the torrent's `stats` row into its entry. Writer only.
    void refreshStats(const uint8_t* info_hash);
    // Reads every registration and statistics row afresh. Writer only.
    void loadTorrents();
    // Reads the torrent's peer table into its swarm; false (and nothing
    // kept) when the table cannot be read. Writer only.
    bool loadSwarm(const uint8_t* info_hash);
    // Forgets the torrent's swarm, to be read again when next needed. Writer only.
    void unloadSwarm(const uint8_t* info_hash);
    // Fills up to `wanted` peers from a random window of the swarm. Caller
    // holds mirrorMutex_.
    static int32_t pickPeers(const Swarm& swarm, int32_t wanted, PeerAddress* peers);
    std::unordered_map<InfoHashKey, TorrentState, InfoHashKeyHash> torrents_;
    std::mutex mirrorMutex_;
    // Writes made in memory, in the order they were made (mirrorMutex_), and
    // the batch the writer is storing (writerMutex_).
    std::deque<WaitingWrite> waiting_;
    std::deque<WaitingWrite> storing_;

    // Group commit of peer writes (writer mutex): whether a group
    // transaction is open and how many direct writes it holds.
    bool groupOpen_ = false;
    int groupWrites_ = 0;
    bool inStorePeer_ = false;  // a storePeer is running on the writer (writer mutex)

    // The writer thread's schedule (writerScheduleMutex_): whether and when to commit.
    std::mutex writerScheduleMutex_;
    std::condition_variable writerWake_;
    bool writerArmed_ = false;
    std::chrono::steady_clock::time_point writerDeadline_;
    bool stopWriter_ = false;
    std::thread writerThread_;
};

}  // namespace NORRIK::Data
