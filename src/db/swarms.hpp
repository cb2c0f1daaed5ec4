#pragma once
// NORRIK::Data::Swarms: every torrent the store knows, with its phase, its
// counts and its swarm (address, port, seeder or not, last announce of each
// peer), in memory. The request path answers from here alone; the file is
// the store of record that the writer keeps in step. No SQL.
//
// Contract:
// - Filled once from the database before it is shared (loader()), then
//   changed by announces (announce, remove) on any thread, by the writer
//   after each commit (registered, removalDone, peerDeleted,
//   takeStatistics), and, where several nodes share one database, by the
//   reader of what the other nodes stored (the apply... operations). That
//   reader's changes are in the database already: they queue no write and
//   mark no statistics.
// - A torrent's phase: kUnlisted (known from a statistics row only),
//   kRegistering (dynamic mode: listed here at its first announce, its
//   registration not yet committed), kListed (registration committed).
// - Counts are the counts of the swarm held here, exact from the first
//   reply; "completed" is the stored count plus the downloads announced since.
// - Lock order: this class's mutex, then the WriteQueue's. announce() and
//   remove() push their write while holding this mutex, so the queue holds
//   writes in the order memory saw them. The writer never holds the queue's
//   mutex while calling in here.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/database_driver.hpp"
#include "db/store_records.hpp"
#include "db/write_queue.hpp"
#include "util/mutex.hpp"

namespace NORRIK::Data {

enum class TorrentPhase : uint8_t { kUnlisted, kRegistering, kListed };

// Receives what the database holds. Methods may come in any order.
class SwarmLoader {
public:
    virtual ~SwarmLoader() = default;
    virtual void registration(const uint8_t* info_hash) = 0;
    virtual void statistics(const uint8_t* info_hash, int32_t seeders, int32_t leechers, int32_t completed) = 0;
    virtual void peer(const uint8_t* info_hash, uint32_t ip, uint16_t port, bool seeder, int32_t lastSeen) = 0;
};

class Swarms {
    struct Torrent;

public:
    Swarms();
    ~Swarms();
    Swarms(const Swarms&) = delete;
    Swarms& operator=(const Swarms&) = delete;

    // --- filling from the database ---------------------------------------
    // A loader whose torrents replace (for a full load) or join (for one
    // torrent read again after a failed removal) what is held when its
    // finish() runs. Counts are taken from the loaded swarms.
    class Load : public SwarmLoader {
    public:
        Load();
        ~Load() override;
        void registration(const uint8_t* info_hash) override;
        void statistics(const uint8_t* info_hash, int32_t seeders, int32_t leechers, int32_t completed) override;
        void peer(const uint8_t* info_hash, uint32_t ip, uint16_t port, bool seeder, int32_t lastSeen) override;

    private:
        friend class Swarms;
        Torrent& entry(const uint8_t* info_hash);
        std::unordered_map<InfoHash, std::unique_ptr<Torrent>, InfoHashHasher> torrents_;
        std::unordered_map<InfoHash, std::pair<int32_t, int32_t>, InfoHashHasher> stored_;  // stored counts
    };
    // Takes in what `load` gathered. Torrents whose stored counts differ
    // from their swarm's are marked for a statistics write.
    void finish(Load& load);

    // --- the request path ---------------------------------------------------
    // Phase kRegistering or kListed (dynamic mode), kListed (otherwise).
    bool listed(const uint8_t* info_hash, bool dynamic) const;
    // Fills the counts; false (counts 0) without statistics.
    bool statistics(TorrentStats* stats) const;
    // Up to `wanted` peers from a random window of the swarm.
    int32_t pickPeers(const uint8_t* info_hash, int32_t wanted, PeerAddress* peers) const;

    struct Counts {
        int32_t seeders = 0;
        int32_t leechers = 0;
    };
    // The peer of `row` is in the swarm now, as seeder when row.left is 0.
    // In dynamic mode a torrent not listed becomes kRegistering; otherwise
    // only a kListed torrent takes the announce (false, nothing changed,
    // for any other). The row is pushed to `queue` in the same step.
    bool announce(const PeerRow& row, bool completed, bool dynamic, WriteQueue& queue, Counts* counts);

    // Takes the torrent out (its registration, statistics and swarm) and
    // pushes `removal` to `queue` in the same step. Until the writer reports
    // the removal done or failed, a registration committed from an earlier
    // write does not bring it back.
    void remove(const uint8_t* info_hash, WriteQueue& queue, StoreWrite&& removal);

    // --- the writer, after a commit ------------------------------------------
    // The registration written by the write numbered `sequence` is
    // committed. `create`: make the entry when it is missing (an API
    // registration); announces' registrations only promote their entry.
    void registered(const uint8_t* info_hash, uint64_t sequence, bool create);
    // The removal numbered `sequence` is committed, or (`done` false) it
    // failed: then the torrent comes back as memory held it when it was
    // removed, joined by what announces added since.
    void removalDone(const uint8_t* info_hash, uint64_t sequence, bool done);
    // A stored peer was deleted from the file; taken out here too unless it
    // announced after `time`.
    void peerDeleted(const uint8_t* info_hash, uint32_t ip, uint16_t port, int32_t time);
    // The statistics to write: every torrent marked since the last call, at
    // most `limit`, with its phase, but for torrents whose removal is still
    // queued. Unmarks them and takes their downloads announced since;
    // giveBack() returns them after a failed commit.
    struct Marked {
        StatsRow row;
        TorrentPhase phase;
    };
    void takeStatistics(std::vector<Marked>& out, std::size_t limit, int32_t time);
    void giveBack(const std::vector<Marked>& rows);
    // Phases of `hashes` (kUnlisted for torrents not held), in one lock.
    void phases(const std::vector<InfoHash>& hashes, std::vector<TorrentPhase>& out) const;

    // --- the maintenance pass ---------------------------------------------
    // Takes out every peer last seen before `cutoff`, a bounded number of
    // torrents per lock, and marks the torrents whose counts changed. Every
    // registered torrent gets statistics (counts 0 when it has no peer);
    // with `markAll` every registered torrent is marked for a write.
    struct Expired {
        std::size_t peers = 0;
        std::size_t torrents = 0;
    };
    Expired expire(int32_t cutoff, bool markAll);

    // --- what other nodes stored, read back from the database ---------------
    // A reading round: begin before the round's snapshot is taken, end after
    // its results are applied. While a round is open, this node's own
    // registrations and removals that the writer reports are noted: for
    // those torrents memory is newer than what the round read, and the
    // round's results for them are left out.
    void beginStoredRound();
    void endStoredRound();
    struct StoredRegistration {
        InfoHash hash;
        bool registered;
    };
    // Registrations as the database holds them, for torrents that changed.
    // A torrent registered there is listed here (kListed); one that is not
    // goes with its swarm, except while its own registration is queued here
    // (kRegistering: that registration comes later). A torrent whose removal
    // is queued here is left as it is. `complete`: the list holds every
    // registered torrent, and torrents held here that it lacks go as well.
    void applyStoredRegistrations(const std::vector<StoredRegistration>& rows, bool complete = false);
    struct StoredPeer {
        InfoHash hash;
        uint32_t ip;
        uint16_t port;
        bool seeder;
        int32_t lastSeen;
    };
    // Peers stored by other nodes, joining the swarms of torrents held and
    // registered here; a peer held already takes the row when the row is
    // newer than what is held, or of the same second as a row taken before
    // (rows come in the order they were stored; an announce here of the
    // same second is kept).
    void applyStoredPeers(const std::vector<StoredPeer>& rows);
    struct StoredDownloads {
        InfoHash hash;
        int32_t completed;
    };
    // The stored download totals (every node adds its own): a torrent's
    // count becomes the total plus what this node has not written yet, and
    // never goes down (a write of this node may be under way).
    void applyStoredDownloads(const std::vector<StoredDownloads>& rows);

    struct Totals {
        std::size_t torrents = 0;  // registered (or registering)
        std::size_t peers = 0;
        std::size_t seeders = 0;
        std::size_t leechers = 0;
    };
    Totals totals() const;

private:
    using Map = std::unordered_map<InfoHash, std::unique_ptr<Torrent>, InfoHashHasher>;

    Torrent* find(const InfoHash& hash) const REQUIRES(mutex_);
    // Takes the torrent out of torrents_ with its swarm and counts.
    void erase(Map::iterator position) REQUIRES(mutex_);
    // Whether a reading round's results for the torrent are to be left out.
    bool newerHere(const InfoHash& hash, bool removalsOnly) const REQUIRES(mutex_);
    void mark(const InfoHash& hash, Torrent& torrent) REQUIRES(mutex_);
    void merge(const InfoHash& hash, std::unique_ptr<Torrent> loaded, const std::pair<int32_t, int32_t>* stored)
        REQUIRES(mutex_);

    mutable Mutex mutex_;
    Map torrents_ GUARDED_BY(mutex_);
    std::vector<InfoHash> marked_ GUARDED_BY(mutex_);  // torrents whose statistics are to be written
    // Removals queued and not yet done, with the torrent as it was.
    struct Removing {
        uint64_t sequence;
        std::unique_ptr<Torrent> held;
    };
    std::unordered_map<InfoHash, Removing, InfoHashHasher> removing_ GUARDED_BY(mutex_);
    // This node's registrations and removals committed while a reading
    // round is open (see beginStoredRound); true for removals.
    bool storedRoundOpen_ GUARDED_BY(mutex_) = false;
    std::unordered_map<InfoHash, bool, InfoHashHasher> changedInRound_ GUARDED_BY(mutex_);
    std::size_t peerCount_ GUARDED_BY(mutex_) = 0;
    std::size_t seederCount_ GUARDED_BY(mutex_) = 0;
    std::size_t listedCount_ GUARDED_BY(mutex_) = 0;
};

}  // namespace NORRIK::Data
