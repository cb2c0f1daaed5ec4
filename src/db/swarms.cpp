#include "db/swarms.hpp"

#include <algorithm>
#include <climits>
#include <random>

namespace NORRIK::Data {

namespace {

// Swarms up to this size are searched by a scan of their few entries; larger
// ones get an index by address and port.
constexpr std::size_t kScanLimit = 16;
// Torrents visited by the maintenance pass per hold of the lock, so that
// announces wait for a few hundred microseconds at most.
constexpr std::size_t kTorrentsPerLock = 2048;
// Entries the writer reads or takes, and rows read back from the database
// applied, per hold of the lock.
constexpr std::size_t kEntriesPerLock = 512;

std::mt19937_64& threadRandom() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return engine;
}

struct SwarmPeer {
    uint32_t ip;
    uint16_t port;
    bool seeder;
    // Known from the database (read at start, or stored by another node),
    // not from an announce here: a row stored later of the same second
    // replaces it. (It fills the byte the alignment leaves.)
    bool stored;
    int32_t lastSeen;
};

// Open addressing over positions in the swarm's peer vector (position + 1;
// 0 is an empty slot), linear probing, at most half full.
class PeerIndex {
public:
    explicit PeerIndex(const std::vector<SwarmPeer>& peers) { rebuild(peers, peers.size()); }

    int64_t find(const std::vector<SwarmPeer>& peers, uint32_t ip, uint16_t port) const {
        for (std::size_t slot = home(ip, port);; slot = (slot + 1) & mask_) {
            const uint32_t entry = slots_[slot];
            if (entry == 0) return -1;
            const SwarmPeer& peer = peers[entry - 1];
            if (peer.ip == ip && peer.port == port) return entry - 1;
        }
    }

    // The peer at `position` was just appended.
    void added(const std::vector<SwarmPeer>& peers, std::size_t position) {
        if ((peers.size() + 1) * 2 > slots_.size()) {
            rebuild(peers, peers.size() * 2);
            return;
        }
        place(peers[position], position);
    }

    // The peer at `position` goes; the last peer moves into its place.
    void removing(const std::vector<SwarmPeer>& peers, std::size_t position) {
        erase(peers, peers[position]);
        const std::size_t last = peers.size() - 1;
        if (position != last) slots_[slotOf(peers, peers[last])] = static_cast<uint32_t>(position + 1);
    }

private:
    std::size_t home(uint32_t ip, uint16_t port) const { return peerSlotHash(ip, port) & mask_; }

    void rebuild(const std::vector<SwarmPeer>& peers, std::size_t room) {
        std::size_t size = 64;
        while (size < room * 2 + 2) size *= 2;
        slots_.assign(size, 0);
        mask_ = size - 1;
        for (std::size_t i = 0; i < peers.size(); ++i) place(peers[i], i);
    }

    void place(const SwarmPeer& peer, std::size_t position) {
        std::size_t slot = home(peer.ip, peer.port);
        while (slots_[slot] != 0) slot = (slot + 1) & mask_;
        slots_[slot] = static_cast<uint32_t>(position + 1);
    }

    std::size_t slotOf(const std::vector<SwarmPeer>& peers, const SwarmPeer& peer) const {
        for (std::size_t slot = home(peer.ip, peer.port);; slot = (slot + 1) & mask_) {
            const SwarmPeer& held = peers[slots_[slot] - 1];
            if (held.ip == peer.ip && held.port == peer.port) return slot;
        }
    }

    // Deletion with backward shift: entries after the hole that would no
    // longer be reached from their home slot move into it.
    void erase(const std::vector<SwarmPeer>& peers, const SwarmPeer& peer) {
        std::size_t hole = slotOf(peers, peer);
        slots_[hole] = 0;
        for (std::size_t next = (hole + 1) & mask_; slots_[next] != 0; next = (next + 1) & mask_) {
            const SwarmPeer& moved = peers[slots_[next] - 1];
            const std::size_t want = home(moved.ip, moved.port);
            // Moves when its home is not within (hole, next], cyclically.
            const bool between = hole <= next ? (want > hole && want <= next) : (want > hole || want <= next);
            if (!between) {
                slots_[hole] = slots_[next];
                slots_[next] = 0;
                hole = next;
            }
        }
    }

    std::vector<uint32_t> slots_;
    std::size_t mask_ = 0;
};

}  // namespace

struct Swarms::Torrent {
    TorrentPhase phase = TorrentPhase::kUnlisted;
    bool hasStats = false;
    bool marked = false;  // statistics to be written
    int32_t seeders = 0;
    int32_t leechers = 0;
    int32_t completed = 0;
    int32_t completedUnwritten = 0;  // part of `completed` not yet in the file
    std::vector<SwarmPeer> peers;
    std::unique_ptr<PeerIndex> index;  // for swarms beyond kScanLimit

    int64_t findPeer(uint32_t ip, uint16_t port) const {
        if (index) return index->find(peers, ip, port);
        for (std::size_t i = 0; i < peers.size(); ++i) {
            if (peers[i].ip == ip && peers[i].port == port) return static_cast<int64_t>(i);
        }
        return -1;
    }

    void addPeer(const SwarmPeer& peer) {
        peers.push_back(peer);
        if (index) {
            index->added(peers, peers.size() - 1);
        } else if (peers.size() > kScanLimit) {
            index = std::make_unique<PeerIndex>(peers);
        }
        ++(peer.seeder ? seeders : leechers);
    }

    void removePeerAt(std::size_t position) {
        --(peers[position].seeder ? seeders : leechers);
        if (index) index->removing(peers, position);
        if (position + 1 != peers.size()) peers[position] = peers.back();
        peers.pop_back();
        if (peers.empty()) index.reset();
    }

    bool registered() const { return phase != TorrentPhase::kUnlisted; }
};

Swarms::Swarms() = default;
Swarms::~Swarms() = default;

// --- filling from the database --------------------------------------------------

Swarms::Load::Load() = default;
Swarms::Load::~Load() = default;

Swarms::Torrent& Swarms::Load::entry(const uint8_t* info_hash) {
    std::unique_ptr<Torrent>& slot = torrents_[toInfoHash(info_hash)];
    if (!slot) slot = std::make_unique<Torrent>();
    return *slot;
}

void Swarms::Load::registration(const uint8_t* info_hash) { entry(info_hash).phase = TorrentPhase::kListed; }

void Swarms::Load::statistics(const uint8_t* info_hash, int32_t seeders, int32_t leechers, int32_t completed) {
    Torrent& torrent = entry(info_hash);
    torrent.hasStats = true;
    torrent.completed = completed;
    // Kept only to tell whether the file needs the swarm's counts written.
    stored_[toInfoHash(info_hash)] = {seeders, leechers};
}

void Swarms::Load::peer(const uint8_t* info_hash, uint32_t ip, uint16_t port, bool seeder, int32_t lastSeen) {
    Torrent& torrent = entry(info_hash);
    const int64_t known = torrent.findPeer(ip, port);
    if (known >= 0) {  // a damaged file may hold one address twice: the later row wins
        torrent.peers[static_cast<std::size_t>(known)].seeder = seeder;
        torrent.peers[static_cast<std::size_t>(known)].lastSeen = lastSeen;
        return;
    }
    torrent.peers.push_back(SwarmPeer{ip, port, seeder, true, lastSeen});
    if (torrent.index) {
        torrent.index->added(torrent.peers, torrent.peers.size() - 1);
    } else if (torrent.peers.size() > kScanLimit) {
        torrent.index = std::make_unique<PeerIndex>(torrent.peers);
    }
}

void Swarms::finish(Load& load) {
    MutexLock lock(mutex_);
    for (auto& [hash, loaded] : load.torrents_) {
        auto stored = load.stored_.find(hash);
        merge(hash, std::move(loaded), stored == load.stored_.end() ? nullptr : &stored->second);
    }
    load.torrents_.clear();
    load.stored_.clear();
}

void Swarms::merge(const InfoHash& hash, std::unique_ptr<Torrent> loaded, const std::pair<int32_t, int32_t>* stored) {
    loaded->seeders = loaded->leechers = 0;
    for (const SwarmPeer& peer : loaded->peers) ++(peer.seeder ? loaded->seeders : loaded->leechers);

    Torrent* held = find(hash);
    if (held == nullptr) {
        if (!loaded->peers.empty()) loaded->hasStats = true;
        // Counts that differ from the swarm (a crash between a row and its
        // counts, an older version) are written again.
        const bool wrong = loaded->hasStats && (stored == nullptr || stored->first != loaded->seeders ||
                                                stored->second != loaded->leechers);
        if (loaded->registered()) ++listedCount_;
        peerCount_ += loaded->peers.size();
        seederCount_ += static_cast<std::size_t>(loaded->seeders);
        Torrent& placed = *(torrents_[hash] = std::move(loaded));
        if (wrong) mark(hash, placed);
        return;
    }
    // Back after a removal that failed, while announces went on (dynamic
    // mode): peers they added stay as they are, the others come back.
    if (!held->registered() && loaded->registered()) {
        held->phase = TorrentPhase::kListed;
        ++listedCount_;
    } else if (loaded->phase == TorrentPhase::kListed) {
        held->phase = TorrentPhase::kListed;
    }
    held->hasStats = held->hasStats || loaded->hasStats || !loaded->peers.empty();
    held->completed += loaded->completed;
    held->completedUnwritten += loaded->completedUnwritten;
    for (const SwarmPeer& peer : loaded->peers) {
        if (held->findPeer(peer.ip, peer.port) >= 0) continue;
        held->addPeer(peer);
        ++peerCount_;
        if (peer.seeder) ++seederCount_;
    }
    mark(hash, *held);
}

// --- the request path -------------------------------------------------------------

Swarms::Torrent* Swarms::find(const InfoHash& hash) const {
    auto found = torrents_.find(hash);
    return found == torrents_.end() ? nullptr : found->second.get();
}

void Swarms::mark(const InfoHash& hash, Torrent& torrent) {
    if (torrent.marked) return;
    torrent.marked = true;
    marked_.push_back(hash);
}

bool Swarms::listed(const uint8_t* info_hash, bool dynamic) const {
    MutexLock lock(mutex_);
    const Torrent* torrent = find(toInfoHash(info_hash));
    if (torrent == nullptr) return false;
    return dynamic ? torrent->registered() : torrent->phase == TorrentPhase::kListed;
}

bool Swarms::statistics(TorrentStats* stats) const {
    stats->seeders = stats->leechers = stats->completed = 0;
    MutexLock lock(mutex_);
    const Torrent* torrent = find(toInfoHash(stats->info_hash));
    if (torrent == nullptr || !torrent->hasStats) return false;
    stats->seeders = torrent->seeders;
    stats->leechers = torrent->leechers;
    stats->completed = torrent->completed;
    return true;
}

int32_t Swarms::pickPeers(const uint8_t* info_hash, int32_t wanted, PeerAddress* peers) const {
    if (wanted <= 0) return 0;
    MutexLock lock(mutex_);
    const Torrent* torrent = find(toInfoHash(info_hash));
    if (torrent == nullptr || torrent->peers.empty()) return 0;
    // A window of consecutive peers from a random start, wrapping round to
    // the first ones: at most `wanted` entries read, whatever the size of
    // the swarm, and over many announces every peer is handed out.
    const std::vector<SwarmPeer>& swarm = torrent->peers;
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(wanted), swarm.size());
    std::size_t index = std::uniform_int_distribution<std::size_t>(0, swarm.size() - 1)(threadRandom());
    for (std::size_t i = 0; i < take; ++i) {
        peers[i].ip = swarm[index].ip;
        peers[i].port = swarm[index].port;
        if (++index == swarm.size()) index = 0;
    }
    return static_cast<int32_t>(take);
}

bool Swarms::announce(const PeerRow& row, bool completed, bool dynamic, WriteQueue& queue, Counts* counts) {
    MutexLock lock(mutex_);
    Torrent* torrent = find(row.info_hash);
    if (torrent == nullptr) {
        if (!dynamic) return false;
        torrent = (torrents_[row.info_hash] = std::make_unique<Torrent>()).get();
    }
    if (torrent->phase == TorrentPhase::kUnlisted) {
        if (!dynamic) return false;
        torrent->phase = TorrentPhase::kRegistering;
        ++listedCount_;
    } else if (!dynamic && torrent->phase != TorrentPhase::kListed) {
        return false;
    }
    const bool seeder = row.left == 0;
    const int64_t known = torrent->findPeer(row.ip, row.port);
    if (known < 0) {
        torrent->addPeer(SwarmPeer{row.ip, row.port, seeder, false, row.time});
        ++peerCount_;
        if (seeder) ++seederCount_;
    } else {
        SwarmPeer& peer = torrent->peers[static_cast<std::size_t>(known)];
        if (peer.seeder != seeder) {
            if (seeder) {
                ++torrent->seeders;
                --torrent->leechers;
                ++seederCount_;
            } else {
                --torrent->seeders;
                ++torrent->leechers;
                --seederCount_;
            }
            peer.seeder = seeder;
        }
        peer.lastSeen = row.time;
        peer.stored = false;
    }
    if (completed) {
        ++torrent->completed;
        ++torrent->completedUnwritten;
    }
    torrent->hasStats = true;
    mark(row.info_hash, *torrent);
    counts->seeders = torrent->seeders;
    counts->leechers = torrent->leechers;

    StoreWrite write;
    write.kind = StoreWrite::Kind::kPeer;
    write.row = row;
    write.row.known = known >= 0;
    queue.push(std::move(write));
    return true;
}

void Swarms::remove(const uint8_t* info_hash, WriteQueue& queue, StoreWrite&& removal) {
    const InfoHash hash = toInfoHash(info_hash);
    MutexLock lock(mutex_);
    std::unique_ptr<Torrent> held;
    auto found = torrents_.find(hash);
    if (found != torrents_.end()) {
        Torrent& torrent = *found->second;
        if (torrent.registered()) --listedCount_;
        peerCount_ -= torrent.peers.size();
        seederCount_ -= static_cast<std::size_t>(torrent.seeders);
        held = std::move(found->second);
        torrents_.erase(found);
    }
    const uint64_t sequence = queue.push(std::move(removal));
    removing_[hash] = Removing{sequence, std::move(held)};
}

// --- the writer, after a commit ---------------------------------------------------

void Swarms::registered(const uint8_t* info_hash, uint64_t sequence, bool create) {
    const InfoHash hash = toInfoHash(info_hash);
    MutexLock lock(mutex_);
    auto removing = removing_.find(hash);
    if (removing != removing_.end() && removing->second.sequence > sequence) return;  // a removal follows
    Torrent* torrent = find(hash);
    if (torrent == nullptr) {
        if (!create) return;
        torrent = (torrents_[hash] = std::make_unique<Torrent>()).get();
    }
    if (torrent->phase == TorrentPhase::kUnlisted) ++listedCount_;
    torrent->phase = TorrentPhase::kListed;
    if (storedRoundOpen_) changedInRound_.emplace(hash, false);
}

void Swarms::removalDone(const uint8_t* info_hash, uint64_t sequence, bool done) {
    const InfoHash hash = toInfoHash(info_hash);
    MutexLock lock(mutex_);
    auto removing = removing_.find(hash);
    if (removing == removing_.end() || removing->second.sequence != sequence) return;
    std::unique_ptr<Torrent> held = std::move(removing->second.held);
    removing_.erase(removing);
    if (done && storedRoundOpen_) changedInRound_[hash] = true;
    if (done || !held) return;
    // Its statistics are written again: changes made before the removal
    // may not be in the file.
    held->marked = false;
    merge(hash, std::move(held), nullptr);
}

void Swarms::peerDeleted(const uint8_t* info_hash, uint32_t ip, uint16_t port, int32_t time) {
    const InfoHash hash = toInfoHash(info_hash);
    MutexLock lock(mutex_);
    Torrent* torrent = find(hash);
    if (torrent == nullptr) return;
    const int64_t position = torrent->findPeer(ip, port);
    if (position < 0 || torrent->peers[static_cast<std::size_t>(position)].lastSeen > time) return;
    if (torrent->peers[static_cast<std::size_t>(position)].seeder) --seederCount_;
    torrent->removePeerAt(static_cast<std::size_t>(position));
    --peerCount_;
    mark(hash, *torrent);
}

void Swarms::takeStatistics(std::vector<Marked>& out, std::size_t limit, int32_t time) {
    std::vector<InfoHash> held;
    // A bounded number per hold of the lock: announces wait for a few
    // hundred entries at most, not for a whole round's.
    while (limit > 0) {
        MutexLock lock(mutex_);
        if (marked_.empty()) break;
        for (std::size_t step = 0; step < kEntriesPerLock && limit > 0 && !marked_.empty(); ++step) {
            const InfoHash hash = marked_.back();
            marked_.pop_back();
            Torrent* torrent = find(hash);
            if (torrent == nullptr || !torrent->marked) continue;
            if (removing_.count(hash) != 0) {
                // What memory holds is the torrent after a removal the file has
                // not had yet: written once the removal is done.
                held.push_back(hash);
                continue;
            }
            torrent->marked = false;
            Marked entry;
            entry.row.info_hash = hash;
            entry.row.seeders = torrent->seeders;
            entry.row.leechers = torrent->leechers;
            entry.row.completedAdded = torrent->completedUnwritten;
            entry.row.time = time;
            entry.phase = torrent->phase;
            torrent->completedUnwritten = 0;
            out.push_back(entry);
            --limit;
        }
    }
    if (held.empty()) return;
    MutexLock lock(mutex_);
    marked_.insert(marked_.end(), held.begin(), held.end());
}

void Swarms::giveBack(const std::vector<Marked>& rows) {
    MutexLock lock(mutex_);
    for (const Marked& entry : rows) {
        Torrent* torrent = find(entry.row.info_hash);
        if (torrent == nullptr) continue;
        torrent->completedUnwritten += entry.row.completedAdded;
        mark(entry.row.info_hash, *torrent);
    }
}

void Swarms::phases(const std::vector<InfoHash>& hashes, std::vector<TorrentPhase>& out) const {
    out.clear();
    out.reserve(hashes.size());
    for (std::size_t start = 0; start < hashes.size(); start += kEntriesPerLock) {
        MutexLock lock(mutex_);
        const std::size_t end = std::min(hashes.size(), start + kEntriesPerLock);
        for (std::size_t i = start; i < end; ++i) {
            const Torrent* torrent = find(hashes[i]);
            out.push_back(torrent == nullptr ? TorrentPhase::kUnlisted : torrent->phase);
        }
    }
}

// --- the maintenance pass ------------------------------------------------------------

Swarms::Expired Swarms::expire(int32_t cutoff, bool markAll) {
    Expired expired;
    std::size_t bucket = 0;
    std::size_t buckets = 0;
    for (;;) {
        MutexLock lock(mutex_);
        // A rehash between two holds moves torrents between buckets: start
        // again (a torrent visited twice has nothing left to expire).
        if (buckets != torrents_.bucket_count()) {
            bucket = 0;
            buckets = torrents_.bucket_count();
        }
        std::size_t visited = 0;
        for (; bucket < buckets && visited < kTorrentsPerLock; ++bucket) {
            for (auto it = torrents_.begin(bucket); it != torrents_.end(bucket); ++it) {
                ++visited;
                Torrent& torrent = *it->second;
                bool changed = false;
                for (std::size_t i = torrent.peers.size(); i-- > 0;) {
                    if (torrent.peers[i].lastSeen >= cutoff) continue;
                    if (torrent.peers[i].seeder) --seederCount_;
                    torrent.removePeerAt(i);
                    --peerCount_;
                    ++expired.peers;
                    changed = true;
                }
                if (changed) ++expired.torrents;
                if (torrent.registered() && !torrent.hasStats) {
                    torrent.hasStats = true;
                    changed = true;
                }
                if (changed || (markAll && torrent.registered())) mark(it->first, torrent);
            }
        }
        if (bucket >= buckets) break;
    }
    return expired;
}

// --- what other nodes stored ------------------------------------------------------

void Swarms::erase(Map::iterator position) {
    const Torrent& torrent = *position->second;
    if (torrent.registered()) --listedCount_;
    peerCount_ -= torrent.peers.size();
    seederCount_ -= static_cast<std::size_t>(torrent.seeders);
    torrents_.erase(position);
}

bool Swarms::newerHere(const InfoHash& hash, bool removalsOnly) const {
    if (removing_.count(hash) != 0) return true;
    auto changed = changedInRound_.find(hash);
    if (changed == changedInRound_.end()) return false;
    return !removalsOnly || changed->second;
}

void Swarms::beginStoredRound() {
    MutexLock lock(mutex_);
    storedRoundOpen_ = true;
    changedInRound_.clear();
}

void Swarms::endStoredRound() {
    MutexLock lock(mutex_);
    storedRoundOpen_ = false;
    changedInRound_.clear();
}

void Swarms::applyStoredRegistrations(const std::vector<StoredRegistration>& rows, bool complete) {
    for (std::size_t first = 0; first < rows.size(); first += kEntriesPerLock) {
        MutexLock lock(mutex_);
        const std::size_t end = std::min(rows.size(), first + kEntriesPerLock);
        for (std::size_t i = first; i < end; ++i) {
            const StoredRegistration& row = rows[i];
            if (newerHere(row.hash, false)) continue;
            auto found = torrents_.find(row.hash);
            if (row.registered) {
                if (found == torrents_.end()) {
                    found = torrents_.emplace(row.hash, std::make_unique<Torrent>()).first;
                }
                if (found->second->phase == TorrentPhase::kUnlisted) ++listedCount_;
                found->second->phase = TorrentPhase::kListed;
            } else if (found != torrents_.end() && found->second->phase != TorrentPhase::kRegistering) {
                erase(found);
            }
        }
    }
    if (!complete) return;
    // Every registration was read (after an outage longer than the database
    // keeps its removals): what the list lacks was removed meanwhile. One
    // hold of the lock; this happens at most once per long outage.
    std::unordered_map<InfoHash, bool, InfoHashHasher> stored;
    stored.reserve(rows.size());
    for (const StoredRegistration& row : rows) {
        if (row.registered) stored.emplace(row.hash, true);
    }
    MutexLock lock(mutex_);
    std::vector<InfoHash> gone;
    for (const auto& [hash, torrent] : torrents_) {
        if (torrent->phase == TorrentPhase::kRegistering || stored.count(hash) != 0 || newerHere(hash, false)) continue;
        gone.push_back(hash);
    }
    for (const InfoHash& hash : gone) erase(torrents_.find(hash));
}

void Swarms::applyStoredPeers(const std::vector<StoredPeer>& rows) {
    for (std::size_t first = 0; first < rows.size(); first += kEntriesPerLock) {
        MutexLock lock(mutex_);
        const std::size_t end = std::min(rows.size(), first + kEntriesPerLock);
        for (std::size_t i = first; i < end; ++i) {
            const StoredPeer& row = rows[i];
            if (newerHere(row.hash, true)) continue;
            Torrent* torrent = find(row.hash);
            if (torrent == nullptr || !torrent->registered()) continue;
            const int64_t position = torrent->findPeer(row.ip, row.port);
            if (position < 0) {
                torrent->addPeer(SwarmPeer{row.ip, row.port, row.seeder, true, row.lastSeen});
                ++peerCount_;
                if (row.seeder) ++seederCount_;
                torrent->hasStats = true;
                continue;
            }
            SwarmPeer& peer = torrent->peers[static_cast<std::size_t>(position)];
            // An announce here of the same second is kept: which of the two
            // came last cannot be told.
            if (row.lastSeen < peer.lastSeen || (row.lastSeen == peer.lastSeen && !peer.stored)) continue;
            if (peer.seeder != row.seeder) {
                if (row.seeder) {
                    ++torrent->seeders;
                    --torrent->leechers;
                    ++seederCount_;
                } else {
                    --torrent->seeders;
                    ++torrent->leechers;
                    --seederCount_;
                }
                peer.seeder = row.seeder;
            }
            peer.lastSeen = row.lastSeen;
            peer.stored = true;
        }
    }
}

void Swarms::applyStoredDownloads(const std::vector<StoredDownloads>& rows) {
    for (std::size_t first = 0; first < rows.size(); first += kEntriesPerLock) {
        MutexLock lock(mutex_);
        const std::size_t end = std::min(rows.size(), first + kEntriesPerLock);
        for (std::size_t i = first; i < end; ++i) {
            const StoredDownloads& row = rows[i];
            if (newerHere(row.hash, true)) continue;
            Torrent* torrent = find(row.hash);
            if (torrent == nullptr || !torrent->registered()) continue;
            const int64_t total = int64_t{row.completed} + torrent->completedUnwritten;
            if (total > torrent->completed) torrent->completed = static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
            torrent->hasStats = true;
        }
    }
}

Swarms::Totals Swarms::totals() const {
    MutexLock lock(mutex_);
    Totals totals;
    totals.torrents = listedCount_;
    totals.peers = peerCount_;
    totals.seeders = seederCount_;
    totals.leechers = peerCount_ - seederCount_;
    return totals;
}

}  // namespace NORRIK::Data
