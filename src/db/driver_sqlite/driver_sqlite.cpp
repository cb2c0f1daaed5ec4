#include "db/driver_sqlite/driver_sqlite.hpp"

#include <sodium.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <random>
#include <string_view>

#include "db/driver_sqlite/connection.hpp"
#include "util/hex.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

using SQLite::Connection;
using SQLite::Query;
using SQLite::Statement;
using SQLite::Transaction;

namespace {

constexpr const char* kCreateStats =
    "CREATE TABLE stats (info_hash blob(20) UNIQUE,completed INTEGER DEFAULT 0,leechers INTEGER "
    "DEFAULT 0,seeders INTEGER DEFAULT 0,last_mod INTEGER DEFAULT 0)";
constexpr const char* kCreateTorrents = "CREATE TABLE torrents (info_hash blob(20) UNIQUE,created INTEGER)";

// A registered torrent keeps its first registration time.
constexpr const char* kRegisterTorrent = "INSERT OR IGNORE INTO torrents (info_hash,created) VALUES (?,?)";

// Full counts and time, without touching `completed` beyond adding ?5.
constexpr const char* kStoreStats =
    "INSERT INTO stats (info_hash,last_mod,seeders,leechers,completed) VALUES (?,?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET last_mod=excluded.last_mod,seeders=excluded.seeders,"
    "leechers=excluded.leechers,completed=completed+excluded.completed";
// The change of one write; changes nothing when the torrent has no row.
// (Read back with a plain SELECT: RETURNING costs an ephemeral table.)
constexpr const char* kChangeStats =
    "UPDATE stats SET seeders=seeders+?2,leechers=leechers+?3,completed=completed+?4,last_mod=?5 "
    "WHERE info_hash=?1";
constexpr const char* kDropCounts = "UPDATE stats SET seeders=seeders+?2,leechers=leechers+?3 WHERE info_hash=?1";
constexpr const char* kCleanupStats =
    "INSERT INTO stats (info_hash,seeders,leechers,last_mod) VALUES (?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET seeders=excluded.seeders,leechers=excluded.leechers,"
    "last_mod=excluded.last_mod";
constexpr const char* kListPeerTables =
    "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE "
    "'t________________________________________'";

// Statements on one torrent's peer table: '@' stands for its name.
constexpr const char* kCountPeers = "SELECT left FROM '@'";
constexpr const char* kPreviousPeer = "SELECT left FROM '@' WHERE ip=? AND port=?";
constexpr const char* kReplacePeer =
    "REPLACE INTO '@' (peer_id,ip,port,uploaded,downloaded,left,last_seen) VALUES (?,?,?,?,?,?,?)";
constexpr const char* kUpdatePeer =
    "UPDATE '@' SET peer_id=?1,uploaded=?4,downloaded=?5,left=?6,last_seen=?7 WHERE ip=?2 AND port=?3";
constexpr const char* kRemovePeer = "DELETE FROM '@' WHERE ip=? AND port=? AND peer_id=? RETURNING left";
constexpr const char* kSwarmRows = "SELECT ip,port,left FROM '@'";

constexpr int32_t kEventCompleted = 1;

// Prepared statements kept: about three per active torrent (the peer row's
// REPLACE, the counts' UPDATE is shared, the swarm's read on first use).
// Beyond that the least recently used are prepared again.
constexpr std::size_t kWriterCacheSize = 8192;

std::string tableName(const uint8_t* info_hash) {
    std::string name = "t";
    name += hashToHex(info_hash);
    return name;
}

std::string createPeerTableSql(const std::string& table) {
    return "CREATE TABLE IF NOT EXISTS '" + table +
           "' (peer_id blob(20),ip blob(4),port blob(2),uploaded blob(8),downloaded blob(8),left blob(8),"
           "last_seen INT DEFAULT 0, CONSTRAINT c1 UNIQUE (ip,port) ON CONFLICT REPLACE)";
}

// A stored `left` of eight zero bytes marks a seeder; anything else (also a
// blob of another size) a leecher.
bool isSeederLeft(const void* blob, int size) {
    if (blob == nullptr || size != 8) return false;
    static const uint8_t zeros[8] = {};
    return std::memcmp(blob, zeros, 8) == 0;
}

template <typename Counts>
void countRows(sqlite3_stmt* stmt, Counts& counts) {
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        if (isSeederLeft(sqlite3_column_blob(stmt, 0), sqlite3_column_bytes(stmt, 0))) {
            ++counts.seeders;
        } else {
            ++counts.leechers;
        }
    }
}

// The secret of the in-memory torrent table's hash: info_hashes come from
// clients, so their placement must not be predictable.
const unsigned char* tableHashKey() {
    static const auto* key = [] {
        if (sodium_init() < 0) {
            Log::error("libsodium could not be initialised");
            std::abort();
        }
        static unsigned char bytes[crypto_shorthash_KEYBYTES];
        crypto_shorthash_keygen(bytes);
        return bytes;
    }();
    return key;
}

// Where a peer (host-order ip and port) is found in a swarm.
uint64_t peerKey(uint32_t ip, uint16_t port) { return (static_cast<uint64_t>(ip) << 16) | port; }

constexpr const char* kReadStats = "SELECT seeders,leechers,completed FROM stats WHERE info_hash=?";

// The writer thread carries a name of its own, so that an operator can tell
// it from the request threads (top -H, ps -L). Linux only; elsewhere it keeps
// the process's name.
void nameWriterThread() {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), "norrik-writer");
#endif
}

std::mt19937_64& threadRandom() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return engine;
}

}  // namespace

SQLite3Driver::SQLite3Driver(Settings::Section* settings, bool isDynamic)
    : DatabaseDriver(settings, isDynamic) {
    if (settings != nullptr) fileName_ = settings->get("file");
    if (fileName_.empty()) {
        fileName_ = kDefaultFileName;
        Log::info(std::string("No database file configured, using ") + kDefaultFileName);
    }

    db = Connection::open(fileName_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kWriterCacheSize);
    if (!db) throw DatabaseException(DatabaseException::kConnectFailed);

    // WAL: a commit appends to the log instead of rewriting pages through a
    // rollback journal, and other programs can read the file meanwhile.
    {
        Statement journal(db->handle(), "PRAGMA journal_mode=WAL");
        if (journal.ok()) sqlite3_step(journal.get());
    }
    ensureSchema();
    tableHashKey();
    loadTorrents();
    writerThread_ = std::thread(&SQLite3Driver::writerLoop, this);
}

std::size_t SQLite3Driver::InfoHashKeyHash::operator()(const InfoHashKey& key) const noexcept {
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, key.data(), key.size(), tableHashKey());
    std::size_t value;
    std::memcpy(&value, out, sizeof value);
    return value;
}

std::size_t SQLite3Driver::PeerKeyHash::operator()(uint64_t key) const noexcept {
    // Addresses and ports come from clients: mixed with a per-process
    // secret so that they cannot be chosen to share a bucket.
    static const uint64_t secret = [] {
        uint64_t value;
        std::memcpy(&value, tableHashKey(), sizeof value);
        return value;
    }();
    uint64_t x = key ^ secret;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(x ^ (x >> 31));
}

bool SQLite3Driver::loadSwarm(const uint8_t* info_hash) {
    Swarm swarm;
    {
        Query rows(*db, kSwarmRows, info_hash);
        if (!rows.ok()) return false;
        int rc;
        while ((rc = rows.step()) == SQLITE_ROW) {
            SwarmPeer peer{0, 0, false};
            sqlite3_stmt* row = rows.get();
            const void* ip = sqlite3_column_blob(row, 0);
            const int ipSize = sqlite3_column_bytes(row, 0);
            const void* port = sqlite3_column_blob(row, 1);
            const int portSize = sqlite3_column_bytes(row, 1);
            if (ip != nullptr && ipSize >= 4) std::memcpy(&peer.ip, ip, 4);
            if (port != nullptr && portSize >= 2) std::memcpy(&peer.port, port, 2);
            peer.seeder = isSeederLeft(sqlite3_column_blob(row, 2), sqlite3_column_bytes(row, 2));
            // A row with blobs of other sizes (damaged or foreign) is handed
            // out like any other, but no store ever replaces it.
            if (ipSize == 4 && portSize == 2) {
                swarm.positions[peerKey(peer.ip, peer.port)] = static_cast<uint32_t>(swarm.peers.size());
            }
            swarm.peers.push_back(peer);
        }
        if (rc != SQLITE_DONE) return false;
    }
    swarm.loaded = true;
    TorrentState& state = stateOf(info_hash);
    std::lock_guard lock(mirrorMutex_);
    state.swarm = std::move(swarm);
    return true;
}

void SQLite3Driver::unloadSwarm(const uint8_t* info_hash) {
    auto found = torrents_.find(keyOf(info_hash));
    if (found == torrents_.end() || !found->second.swarm.loaded) return;
    std::lock_guard lock(mirrorMutex_);
    found->second.swarm = Swarm{};
}

int32_t SQLite3Driver::pickPeers(const Swarm& swarm, int32_t wanted, PeerAddress* peers) {
    // A window of consecutive peers from a random start, wrapping round to
    // the first ones: at most `wanted` entries read, whatever the size of
    // the swarm, and over many announces every peer is handed out.
    const std::size_t size = swarm.peers.size();
    if (size == 0 || wanted <= 0) return 0;
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(wanted), size);
    std::size_t index = std::uniform_int_distribution<std::size_t>(0, size - 1)(threadRandom());
    for (std::size_t i = 0; i < take; ++i) {
        const SwarmPeer& peer = swarm.peers[index];
        peers[i].ip = peer.ip;
        peers[i].port = peer.port;
        if (++index == size) index = 0;
    }
    return static_cast<int32_t>(take);
}

SQLite3Driver::InfoHashKey SQLite3Driver::keyOf(const uint8_t* info_hash) {
    InfoHashKey key;
    std::memcpy(key.data(), info_hash, key.size());
    return key;
}

SQLite3Driver::TorrentState& SQLite3Driver::stateOf(const uint8_t* info_hash) {
    const InfoHashKey key = keyOf(info_hash);
    auto found = torrents_.find(key);
    if (found != torrents_.end()) return found->second;
    std::lock_guard lock(mirrorMutex_);
    return torrents_[key];
}

void SQLite3Driver::refreshStats(const uint8_t* info_hash) {
    TorrentState& state = stateOf(info_hash);
    Query read(*db, kReadStats);
    read.bindBlob(1, info_hash, 20);
    const bool found = read.stepRow();
    std::lock_guard lock(mirrorMutex_);
    state.hasStats = found;
    state.seeders = found ? sqlite3_column_int(read.get(), 0) : 0;
    state.leechers = found ? sqlite3_column_int(read.get(), 1) : 0;
    state.completed = found ? sqlite3_column_int(read.get(), 2) : 0;
}

void SQLite3Driver::loadTorrents() {
    // Only 20-byte blobs can match an info_hash bound as a blob.
    auto hashIn = [](sqlite3_stmt* stmt, InfoHashKey* key) {
        if (sqlite3_column_type(stmt, 0) != SQLITE_BLOB || sqlite3_column_bytes(stmt, 0) != 20) return false;
        std::memcpy(key->data(), sqlite3_column_blob(stmt, 0), 20);
        return true;
    };
    std::unordered_map<InfoHashKey, TorrentState, InfoHashKeyHash> loaded;
    InfoHashKey key;
    {
        Statement list(db->handle(), "SELECT info_hash FROM torrents");
        while (list.ok() && sqlite3_step(list.get()) == SQLITE_ROW) {
            if (hashIn(list.get(), &key)) loaded[key].listed = true;
        }
    }
    {
        Statement list(db->handle(), "SELECT info_hash,seeders,leechers,completed FROM stats");
        while (list.ok() && sqlite3_step(list.get()) == SQLITE_ROW) {
            if (!hashIn(list.get(), &key)) continue;
            TorrentState& state = loaded[key];
            state.hasStats = true;
            state.seeders = sqlite3_column_int(list.get(), 1);
            state.leechers = sqlite3_column_int(list.get(), 2);
            state.completed = sqlite3_column_int(list.get(), 3);
        }
    }
    std::lock_guard lock(mirrorMutex_);
    torrents_.swap(loaded);
}

void SQLite3Driver::ensureSchema() {
    // A database without any table is new, or was left empty by a first
    // start that could not write its schema (disk full, killed): it gets the
    // two tables, in one transaction, now or on the first registration after
    // the cause has gone. A database with tables is used as it is.
    {
        Statement tables(db->handle(), "SELECT COUNT(*) FROM sqlite_master WHERE type='table'");
        if (!tables.ok() || sqlite3_step(tables.get()) != SQLITE_ROW || sqlite3_column_int(tables.get(), 0) != 0) {
            return;
        }
    }
    Transaction transaction(*db);
    db->exec(kCreateStats);
    db->exec(kCreateTorrents);
    transaction.commit();
}

SQLite3Driver::~SQLite3Driver() {
    {
        std::lock_guard lock(writerScheduleMutex_);
        stopWriter_ = true;
    }
    writerWake_.notify_all();
    if (writerThread_.joinable()) writerThread_.join();
    std::lock_guard lock(writerMutex_);
    commitGroup();
}

void SQLite3Driver::writerLoop() {
    nameWriterThread();
    std::unique_lock lock(writerScheduleMutex_);
    while (!stopWriter_) {
        if (!writerArmed_) {
            writerWake_.wait(lock);
            continue;
        }
        if (writerWake_.wait_until(lock, writerDeadline_, [&] { return stopWriter_; })) break;
        // Disarmed before the waiting writes are taken: a write that comes
        // after them arms the next round.
        writerArmed_ = false;
        lock.unlock();
        // A backlog is stored and committed kWriterBatch writes at a time,
        // so that announces which need the connection wait for one batch
        // at most.
        for (bool more = true; more;) {
            std::lock_guard writer(writerMutex_);
            more = storeWaiting(kWriterBatch);
            commitOpenGroup();
        }
        lock.lock();
    }
}

void SQLite3Driver::armWriter() {
    std::lock_guard lock(writerScheduleMutex_);
    if (writerArmed_) return;
    writerArmed_ = true;
    writerDeadline_ = std::chrono::steady_clock::now() + kGroupDelay;
    writerWake_.notify_one();
}

void SQLite3Driver::openGroup() {
    if (groupOpen_ || !db->run("BEGIN IMMEDIATE")) return;  // without it each statement commits on its own
    groupOpen_ = true;
    groupWrites_ = 0;
    armWriter();
}

bool SQLite3Driver::commitGroup() {
    storeWaiting();
    return commitOpenGroup();
}

bool SQLite3Driver::commitOpenGroup() {
    if (!groupOpen_) return true;
    groupOpen_ = false;
    groupWrites_ = 0;
    const bool committed = db->run("COMMIT");
    if (!committed) {
        db->run("ROLLBACK");
        forgetUncommitted();
    }
    return committed;
}

bool SQLite3Driver::flush() {
    std::lock_guard lock(writerMutex_);
    return commitGroup();
}

bool SQLite3Driver::isSerialized() const { return sqlite3_db_mutex(db->handle()) != nullptr; }

void SQLite3Driver::setClock(Clock clock) { clock_ = std::move(clock); }

int64_t SQLite3Driver::now() const { return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr)); }

bool SQLite3Driver::insertTorrent(const uint8_t* info_hash) {
    std::lock_guard lock(writerMutex_);
    // Called by itself (the API), a registration is on disk when it returns:
    // the waiting peer writes, which may hold this very registration made by
    // an announce, are committed first. Within storePeer it joins the group.
    if (!inStorePeer_) commitGroup();
    TorrentState& state = stateOf(info_hash);
    if (state.ready) {
        // Registered with its peer table by this driver and not removed since:
        // making it ready again would succeed without changing anything.
        Log::request("E:(null)");
        return true;
    }
    Transaction transaction(*db);
    std::string error;
    const bool created = registerTorrent(info_hash, &error);
    if (created) {
        Log::request("E:(null)");
    } else {
        Log::request("E:" + error);
    }
    if (!created) {
        commit(transaction);  // the registration row stays, as it would without a transaction
        return false;
    }
    if (!commit(transaction)) return false;
    TorrentState& registered = stateOf(info_hash);  // a failed commit reloaded the table: look the entry up again
    std::lock_guard mirror(mirrorMutex_);
    registered.ready = true;
    return true;
}

bool SQLite3Driver::registerTorrent(const uint8_t* info_hash, std::string* error) {
    const int32_t time = static_cast<int32_t>(now());
    for (int attempt = 0; attempt < 2; ++attempt) {
        Query insert(*db, kRegisterTorrent);
        if (!insert.ok() && attempt == 0) {  // no `torrents` table (yet): make the schema, then again
            ensureSchema();
            continue;
        }
        insert.bindBlob(1, info_hash, 20);
        insert.bindInt(2, time);
        if (insert.step() == SQLITE_DONE) {  // the row exists now, new or not
            TorrentState& state = stateOf(info_hash);
            std::lock_guard mirror(mirrorMutex_);
            state.listed = true;
        }
        break;
    }
    return db->exec(createPeerTableSql(tableName(info_hash)), error);
}

bool SQLite3Driver::deleteTorrent(const uint8_t* info_hash) {
    std::lock_guard lock(writerMutex_);
    Exclusive hold(*this, info_hash);
    commitGroup();
    TorrentState& state = stateOf(info_hash);
    {
        std::lock_guard mirror(mirrorMutex_);
        state.ready = false;
        state.counted = false;
    }
    Transaction transaction(*db);
    {
        Statement remove(db->handle(), "DELETE FROM torrents WHERE info_hash=?");
        if (remove.ok()) {
            sqlite3_bind_blob(remove.get(), 1, info_hash, 20, SQLITE_STATIC);
            if (sqlite3_step(remove.get()) == SQLITE_DONE) {
                std::lock_guard mirror(mirrorMutex_);
                state.listed = false;
            }
        }
    }
    {
        Statement removeStats(db->handle(), "DELETE FROM stats WHERE info_hash=?");
        if (!removeStats.ok()) {
            commit(transaction);  // the registration's removal stays, as it would without a transaction
            return false;
        }
        sqlite3_bind_blob(removeStats.get(), 1, info_hash, 20, SQLITE_STATIC);
        if (sqlite3_step(removeStats.get()) == SQLITE_DONE) {
            std::lock_guard mirror(mirrorMutex_);
            state.hasStats = false;
            state.seeders = state.leechers = state.completed = 0;
        }
    }
    db->exec("DROP TABLE IF EXISTS '" + tableName(info_hash) + "'");
    unloadSwarm(info_hash);
    if (!commit(transaction)) return false;
    const InfoHashKey key = keyOf(info_hash);
    auto found = torrents_.find(key);
    if (found != torrents_.end() && !found->second.listed && !found->second.hasStats) {
        std::lock_guard mirror(mirrorMutex_);
        torrents_.erase(found);
    }
    return true;
}

bool SQLite3Driver::hasTorrent(const uint8_t* info_hash) {
    if (isDynamic()) return true;
    std::lock_guard lock(mirrorMutex_);
    auto found = torrents_.find(keyOf(info_hash));
    return found != torrents_.end() && found->second.listed;
}

bool SQLite3Driver::issueConnectionId(uint64_t* connectionId, uint32_t ip, uint16_t) {
    *connectionId = connectionIds_.issue(ip);
    return true;
}

bool SQLite3Driver::checkConnectionId(uint64_t connectionId, uint32_t ip, uint16_t) {
    return connectionIds_.check(connectionId, ip);
}

SQLite3Driver::Counts SQLite3Driver::updateCounts(const uint8_t* info_hash,
                                                  int32_t seederChange, int32_t leecherChange, int32_t completed,
                                                  int32_t time) {
    TorrentState& state = stateOf(info_hash);
    Counts counts;
    if (state.counted && state.hasStats) {
        // The kept counts are those of the row: the new ones follow without
        // reading it back.
        Query change(*db, kChangeStats);
        change.bindBlob(1, info_hash, 20);
        change.bindInt(2, seederChange);
        change.bindInt(3, leecherChange);
        change.bindInt(4, completed);
        change.bindInt(5, time);
        if (change.ok() && change.step() == SQLITE_DONE && sqlite3_changes(db->handle()) > 0) {
            std::lock_guard lock(mirrorMutex_);
            state.seeders += seederChange;
            state.leechers += leecherChange;
            state.completed += completed;
            counts.seeders = state.seeders;
            counts.leechers = state.leechers;
            return counts;
        }
        std::lock_guard lock(mirrorMutex_);
        state.counted = false;  // the row went away: count afresh
    }
    {
        Query count(*db, kCountPeers, info_hash);
        if (count.ok()) countRows(count.get(), counts);
    }
    Query store(*db, kStoreStats);
    store.bindBlob(1, info_hash, 20);
    store.bindInt(2, time);
    store.bindInt(3, counts.seeders);
    store.bindInt(4, counts.leechers);
    store.bindInt(5, completed);
    if (store.step() == SQLITE_DONE) {
        refreshStats(info_hash);
        std::lock_guard lock(mirrorMutex_);
        state.counted = true;
    }
    return counts;
}

bool SQLite3Driver::storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                              int64_t downloaded, int64_t left, int64_t uploaded, int32_t event) {
    const int32_t time = static_cast<int32_t>(now());
    Counts counts;
    bool behind = storeBehind(peer_id, info_hash, ip, port, downloaded, left, uploaded, event, time, false, &counts);
    if (!behind) {
        // First announce of the torrent since start (or since the writer
        // found memory and file apart), or the writer is far behind: then
        // the announce stores a batch of the oldest waiting writes itself.
        std::lock_guard lock(writerMutex_);
        storeWaiting(kAnnounceBatch);
        behind = storeBehind(peer_id, info_hash, ip, port, downloaded, left, uploaded, event, time, true, &counts);
        if (!behind) {
            Exclusive hold(*this, info_hash, true);
            struct InStorePeer {
                explicit InStorePeer(bool& flag) : flag_(flag) { flag_ = true; }
                ~InStorePeer() { flag_ = false; }
                bool& flag_;
            } inStorePeer(inStorePeer_);
            if (!storePeerNow(peer_id, info_hash, ip, port, downloaded, left, uploaded, event, time, &counts)) {
                return false;
            }
        }
    }
    // Written behind, the torrent was registered already: what insertTorrent
    // says of it then.
    if (behind) Log::request("E:(null)");
    if (Log::requestLogging()) {  // no text built when nobody reads it
        Log::request("seeders " + std::to_string(counts.seeders) + " leechers " + std::to_string(counts.leechers));
    }
    return true;
}

bool SQLite3Driver::storeBehind(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                                int64_t downloaded, int64_t left, int64_t uploaded, int32_t event, int32_t time,
                                bool claim, Counts* counts) {
    const InfoHashKey key = keyOf(info_hash);
    std::lock_guard lock(mirrorMutex_);
    auto found = torrents_.find(key);
    // With `claim` the caller has just stored a batch of the oldest writes
    // itself: its own joins the queue even when the others have filled it
    // up again meanwhile.
    if (found == torrents_.end() || !found->second.ready || !found->second.counted || !found->second.hasStats ||
        !found->second.swarm.loaded || found->second.exclusive || (!claim && waiting_.size() >= kMaxWaitingWrites)) {
        if (claim) torrents_[key].exclusive = true;
        return false;
    }
    TorrentState& state = found->second;
    Swarm& swarm = state.swarm;
    const bool seeder = left == 0;
    WaitingWrite write;
    std::memcpy(write.info_hash, info_hash, 20);
    std::memcpy(write.peer_id, peer_id, 20);
    write.ip = ip;
    write.port = port;
    write.completed = event == kEventCompleted;
    write.seederChange = seeder ? 1 : 0;
    write.leecherChange = seeder ? 0 : 1;
    write.time = time;
    write.downloaded = downloaded;
    write.left = left;
    write.uploaded = uploaded;
    // The row this announce replaces (same ip and port), if any, so the
    // counts change by the difference.
    auto [position, added] = swarm.positions.try_emplace(peerKey(ip, port), static_cast<uint32_t>(swarm.peers.size()));
    write.known = !added;
    if (added) {
        swarm.peers.push_back(SwarmPeer{ip, port, seeder});
    } else {
        SwarmPeer& peer = swarm.peers[position->second];
        if (peer.seeder) {
            --write.seederChange;
        } else {
            --write.leecherChange;
        }
        peer.seeder = seeder;
    }
    state.seeders += write.seederChange;
    state.leechers += write.leecherChange;
    state.completed += write.completed ? 1 : 0;
    counts->seeders = state.seeders;
    counts->leechers = state.leechers;
    if (waiting_.empty()) armWriter();
    waiting_.push_back(write);
    return true;
}

bool SQLite3Driver::storeWaiting(std::size_t limit) {
    bool more = false;
    {
        std::lock_guard lock(mirrorMutex_);
        if (waiting_.empty()) return false;
        if (waiting_.size() <= limit) {
            storing_.swap(waiting_);
        } else {
            const auto end = waiting_.begin() + static_cast<std::ptrdiff_t>(limit);
            storing_.assign(waiting_.begin(), end);
            waiting_.erase(waiting_.begin(), end);
            more = true;
        }
    }
    openGroup();
    // One torrent's writes one after another, each peer's in the order they
    // were made, and by address within the torrent: its statement and its
    // pages are used while they are at hand. The counts' change of each
    // torrent is written once per batch; a torrent whose rows were not where
    // memory had them is read and counted afresh on its next announce.
    std::stable_sort(storing_.begin(), storing_.end(), [](const WaitingWrite& a, const WaitingWrite& b) {
        if (int order = std::memcmp(a.info_hash, b.info_hash, 20); order != 0) return order < 0;
        return peerKey(a.ip, a.port) < peerKey(b.ip, b.port);
    });
    std::size_t rows = 0;
    for (auto group = storing_.begin(); group != storing_.end();) {
        int32_t seederChange = 0;
        int32_t leecherChange = 0;
        int32_t completed = 0;
        int32_t time = 0;
        bool apart = false;
        auto write = group;
        for (; write != storing_.end() && std::memcmp(write->info_hash, group->info_hash, 20) == 0; ++write) {
            // A long batch lets the request threads in between its rows.
            if (++rows % kRowsBetweenYields == 0) sched_yield();
            time = write->time;
            bool missed = false;
            bool stored = writePeerRow(*write, &missed);
            if (!stored) {
                // The peer table went away behind the driver's back: made
                // again, so that the announce is not lost.
                std::string error;
                if (registerTorrent(write->info_hash, &error)) stored = writePeerRow(*write, &missed);
            }
            if (missed || !stored) apart = true;
            if (stored) {
                seederChange += write->seederChange;
                leecherChange += write->leecherChange;
                completed += write->completed ? 1 : 0;
            }
        }
        bool counted = false;
        if (!apart) {
            Query update(*db, kChangeStats);
            update.bindBlob(1, group->info_hash, 20);
            update.bindInt(2, seederChange);
            update.bindInt(3, leecherChange);
            update.bindInt(4, completed);
            update.bindInt(5, time);
            counted = update.ok() && update.step() == SQLITE_DONE && sqlite3_changes(db->handle()) > 0;
        }
        if (!counted) {
            // Registered, read and counted again by the next announce.
            std::lock_guard lock(mirrorMutex_);
            auto found = torrents_.find(keyOf(group->info_hash));
            if (found != torrents_.end()) {
                found->second.ready = false;
                found->second.counted = false;
                found->second.swarm = Swarm{};
            }
        }
        group = write;
    }
    storing_.clear();
    return more;
}

bool SQLite3Driver::writePeerRow(const WaitingWrite& write, bool* missed) {
    // A known peer's row is changed in place (no delete and insert of the
    // row and its index entry); a new one goes in with REPLACE. The columns
    // written are the same either way.
    if (write.known) {
        Query update(*db, kUpdatePeer, write.info_hash);
        update.bindBlob(1, write.peer_id, 20);
        update.bindBlob(2, &write.ip, 4);
        update.bindBlob(3, &write.port, 2);
        update.bindBlob(4, &write.uploaded, 8);
        update.bindBlob(5, &write.downloaded, 8);
        update.bindBlob(6, &write.left, 8);
        update.bindInt(7, write.time);
        // (A statement that could not be prepared is "done" without
        // running; sqlite3_changes would then tell an earlier one's.)
        if (update.ok() && update.step() == SQLITE_DONE && sqlite3_changes(db->handle()) == 1) return true;
        *missed = true;
    }
    Query replace(*db, kReplacePeer, write.info_hash);
    replace.bindBlob(1, write.peer_id, 20);
    replace.bindBlob(2, &write.ip, 4);
    replace.bindBlob(3, &write.port, 2);
    replace.bindBlob(4, &write.uploaded, 8);
    replace.bindBlob(5, &write.downloaded, 8);
    replace.bindBlob(6, &write.left, 8);
    replace.bindInt(7, write.time);
    return replace.step() == SQLITE_DONE;
}

SQLite3Driver::Exclusive::Exclusive(SQLite3Driver& driver, const uint8_t* info_hash, bool claimed)
    : driver_(driver), info_hash_(info_hash) {
    if (!claimed) {
        TorrentState& state = driver_.stateOf(info_hash);
        std::lock_guard lock(driver_.mirrorMutex_);
        state.exclusive = true;
    }
    driver_.storeWaiting();  // what announces wrote for it before
}

SQLite3Driver::Exclusive::~Exclusive() {
    std::lock_guard lock(driver_.mirrorMutex_);
    auto found = driver_.torrents_.find(keyOf(info_hash_));
    if (found != driver_.torrents_.end()) found->second.exclusive = false;
}

bool SQLite3Driver::storePeerNow(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                                 int64_t downloaded, int64_t left, int64_t uploaded, int32_t event, int32_t time,
                                 Counts* counts) {
    // The announce's statements join the open group transaction; the
    // group is committed when it is full, or by the writer thread.
    openGroup();
    insertTorrent(info_hash);

    // The row this announce replaces (same ip and port), if any, so the
    // counts change by the difference instead of being recounted.
    int32_t seederChange = left == 0 ? 1 : 0;
    int32_t leecherChange = left == 0 ? 0 : 1;
    const uint64_t key = peerKey(ip, port);
    TorrentState& state = stateOf(info_hash);
    Swarm* swarm = state.swarm.loaded || loadSwarm(info_hash) ? &state.swarm : nullptr;
    int64_t position = -1;
    if (swarm != nullptr) {
        auto found = swarm->positions.find(key);
        if (found != swarm->positions.end()) {
            position = found->second;
            if (swarm->peers[found->second].seeder) {
                --seederChange;
            } else {
                --leecherChange;
            }
        }
    } else {
        Query previous(*db, kPreviousPeer, info_hash);
        previous.bindBlob(1, &ip, 4);
        previous.bindBlob(2, &port, 2);
        if (previous.stepRow()) {
            if (isSeederLeft(sqlite3_column_blob(previous.get(), 0), sqlite3_column_bytes(previous.get(), 0))) {
                --seederChange;
            } else {
                --leecherChange;
            }
        }
    }
    {
        WaitingWrite write{};
        std::memcpy(write.info_hash, info_hash, 20);
        std::memcpy(write.peer_id, peer_id, 20);
        write.ip = ip;
        write.port = port;
        write.known = position >= 0;
        write.time = time;
        write.downloaded = downloaded;
        write.left = left;
        write.uploaded = uploaded;
        bool missed = false;
        const bool stored = writePeerRow(write, &missed);
        if (missed) {
            // The row was not where memory had it: it went in with
            // REPLACE; count the table in full and read it again.
            {
                std::lock_guard mirror(mirrorMutex_);
                state.counted = false;
            }
            unloadSwarm(info_hash);
            swarm = nullptr;
        }
        if (!stored) {
            seederChange = leecherChange = 0;
            // The table went away behind this driver's back: make it
            // again next time, and count and read it afresh then.
            {
                std::lock_guard mirror(mirrorMutex_);
                state.ready = false;
                state.counted = false;
            }
            unloadSwarm(info_hash);
        } else if (swarm != nullptr) {
            std::lock_guard mirror(mirrorMutex_);
            if (position >= 0) {
                swarm->peers[static_cast<std::size_t>(position)].seeder = left == 0;
            } else {
                swarm->positions[key] = static_cast<uint32_t>(swarm->peers.size());
                swarm->peers.push_back(SwarmPeer{ip, port, left == 0});
            }
        }
    }
    *counts = updateCounts(info_hash, seederChange, leecherChange, event == kEventCompleted ? 1 : 0, time);
    if (groupOpen_ && ++groupWrites_ >= kGroupSize && !commitGroup()) return false;
    return true;
}

bool SQLite3Driver::deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port) {
    std::lock_guard lock(writerMutex_);
    Exclusive hold(*this, info_hash);
    commitGroup();
    Transaction transaction(*db);
    int32_t seederChange = 0;
    int32_t leecherChange = 0;
    {
        Query remove(*db, kRemovePeer, info_hash);
        remove.bindBlob(1, &ip, 4);
        remove.bindBlob(2, &port, 2);
        remove.bindBlob(3, peer_id, 20);
        while (remove.stepRow()) {
            if (isSeederLeft(sqlite3_column_blob(remove.get(), 0), sqlite3_column_bytes(remove.get(), 0))) {
                --seederChange;
            } else {
                --leecherChange;
            }
        }
    }
    if (seederChange != 0 || leecherChange != 0) {
        // The row matched ip and port exactly: take it out of the swarm.
        auto state = torrents_.find(keyOf(info_hash));
        if (state != torrents_.end() && state->second.swarm.loaded) {
            Swarm& swarm = state->second.swarm;
            auto found = swarm.positions.find(peerKey(ip, port));
            if (found != swarm.positions.end()) {
                std::lock_guard mirror(mirrorMutex_);
                const uint32_t position = found->second;
                swarm.positions.erase(found);
                if (position + 1 != swarm.peers.size()) {
                    swarm.peers[position] = swarm.peers.back();
                    auto moved = swarm.positions.find(peerKey(swarm.peers[position].ip, swarm.peers[position].port));
                    if (moved != swarm.positions.end() && moved->second == swarm.peers.size() - 1) moved->second = position;
                }
                swarm.peers.pop_back();
            }
        }
    }
    if (seederChange != 0 || leecherChange != 0) {
        Query drop(*db, kDropCounts);
        drop.bindBlob(1, info_hash, 20);
        drop.bindInt(2, seederChange);
        drop.bindInt(3, leecherChange);
        drop.step();
        refreshStats(info_hash);
    }
    return true;
}

bool SQLite3Driver::fetchTorrentStats(TorrentStats* stats) {
    stats->seeders = 0;
    stats->leechers = 0;
    stats->completed = 0;
    std::lock_guard lock(mirrorMutex_);
    auto found = torrents_.find(keyOf(stats->info_hash));
    if (found == torrents_.end() || !found->second.hasStats) return false;
    stats->seeders = found->second.seeders;
    stats->leechers = found->second.leechers;
    stats->completed = found->second.completed;
    return true;
}

bool SQLite3Driver::fetchPeers(const uint8_t* info_hash, int32_t* count, PeerAddress* peers) {
    const int32_t wanted = *count > 0 ? *count : 0;
    int32_t filled = 0;
    if (wanted > 0) {
        bool served = false;
        {
            std::lock_guard lock(mirrorMutex_);
            auto found = torrents_.find(keyOf(info_hash));
            if (found != torrents_.end() && found->second.swarm.loaded) {
                filled = pickPeers(found->second.swarm, wanted, peers);
                served = true;
            }
        }
        if (!served) {
            // First use since start (or since the maintenance pass expired
            // some of its peers): the writer reads the table, uncommitted
            // writes included.
            std::lock_guard writer(writerMutex_);
            storeWaiting();
            auto found = torrents_.find(keyOf(info_hash));
            const bool loaded = found != torrents_.end() && found->second.swarm.loaded;
            if (loaded || loadSwarm(info_hash)) {
                std::lock_guard lock(mirrorMutex_);
                filled = pickPeers(torrents_.find(keyOf(info_hash))->second.swarm, wanted, peers);
            }
        }
    }
    if (Log::requestLogging()) Log::request(std::to_string(filled) + " Clients Dumped.");
    *count = filled;
    return true;
}

bool SQLite3Driver::_hash_to_bin(const char* digits, uint8_t* info_hash) {
    if (digits == nullptr) return false;
    return hexToHash(std::string_view(digits, strnlen(digits, kInfoHashHexSize + 1)), info_hash);
}

void SQLite3Driver::cleanup() {
    const int64_t start = now();
    std::vector<std::string> tables;
    {
        std::lock_guard lock(writerMutex_);
        Statement list(db->handle(), kListPeerTables);
        if (!list.ok() || sqlite3_step(list.get()) != SQLITE_ROW) return;
        // Prepared while the table list holds its read transaction, so the
        // schema it is checked against is the file's current one.
        Statement stats(db->handle(), kCleanupStats);
        if (!stats.ok()) {
            // Without a statistics table the counts could not be kept: change nothing.
            Log::info(std::string("[cleanup skipped: ") + sqlite3_errmsg(db->handle()) + "]");
            return;
        }
        do {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
            if (text != nullptr) tables.emplace_back(text);
        } while (sqlite3_step(list.get()) == SQLITE_ROW);
    }

    // One table at a time, each in its own transaction, so announces go on
    // between tables.
    const int32_t cutoff = static_cast<int32_t>(start - kPeerExpirySeconds);
    for (const std::string& table : tables) {
        uint8_t info_hash[20];
        // The LIKE pattern also matches other 41-character names (and
        // ignores case); only this store's own peer tables are touched.
        if (table.size() != 1 + kInfoHashHexSize || table[0] != 't' || !_hash_to_bin(table.c_str() + 1, info_hash)) {
            continue;
        }
        std::lock_guard lock(writerMutex_);
        Exclusive hold(*this, info_hash);
        commitGroup();
        Transaction transaction(*db);

        std::string error;
        if (!db->exec("DELETE FROM " + table + " WHERE last_seen<" + std::to_string(cutoff), &error)) {
            // Locked, or removed meanwhile: leave this torrent for the next pass.
            Log::info("[" + error + "]");
            continue;
        }
        if (sqlite3_changes(db->handle()) > 0) unloadSwarm(info_hash);  // read again when next used
        Counts counts;
        {
            Statement count(db->handle(), "SELECT left FROM '" + table + "'");
            Log::info(std::string("[") + sqlite3_errmsg(db->handle()) + "]");
            if (!count.ok()) continue;  // removed since the DELETE: write no statistics for it
            countRows(count.get(), counts);
        }
        Query stats(*db, kCleanupStats);
        stats.bindBlob(1, info_hash, 20);
        stats.bindInt(2, counts.seeders);
        stats.bindInt(3, counts.leechers);
        stats.bindInt(4, static_cast<int32_t>(now()));
        const bool stored = stats.step() == SQLITE_DONE;
        if (stored) refreshStats(info_hash);
        if (commit(transaction) && stored) {
            TorrentState& state = stateOf(info_hash);
            std::lock_guard mirror(mirrorMutex_);
            state.counted = true;
        }
    }
}

bool SQLite3Driver::commit(Transaction& transaction) {
    if (transaction.commit()) return true;
    forgetUncommitted();
    return false;
}

void SQLite3Driver::forgetUncommitted() {
    // What the rolled-back statements taught the driver is not in the file:
    // read the registrations and statistics afresh; registrations are made
    // again and counts counted in full on the next write of each torrent.
    loadTorrents();
}

}  // namespace NORRIK::Data
