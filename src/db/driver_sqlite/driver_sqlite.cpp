#include "db/driver_sqlite/driver_sqlite.hpp"

#include <sodium.h>

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
constexpr const char* kReadCounts = "SELECT seeders,leechers FROM stats WHERE info_hash=?";
constexpr const char* kDropCounts = "UPDATE stats SET seeders=seeders+?2,leechers=leechers+?3 WHERE info_hash=?1";
constexpr const char* kCleanupStats =
    "INSERT INTO stats (info_hash,seeders,leechers,last_mod) VALUES (?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET seeders=excluded.seeders,leechers=excluded.leechers,"
    "last_mod=excluded.last_mod";
constexpr const char* kListPeerTables =
    "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE "
    "'t________________________________________'";

constexpr int32_t kEventCompleted = 1;

// Prepared statements kept per connection: the writer keeps four per active
// torrent (two to store a peer, two to read peers when it serves reads),
// each reader two. Beyond that the least recently used are prepared again.
constexpr std::size_t kWriterCacheSize = 8192;
constexpr std::size_t kReaderCacheSize = 4096;

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

// The secret of the connection identifiers: drawn once per process, so
// identifiers do not survive a restart and cannot be computed outside.
const unsigned char* connectionIdKey() {
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

std::mt19937_64& threadRandom() {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    return engine;
}

}  // namespace

class SQLite3Driver::ReadLease {
public:
    // An idle writer connection serves the read: its page cache is warm,
    // while a reader connection has to reload every page after each write.
    // A busy writer is never waited for when readers can have their own
    // connection.
    explicit ReadLease(SQLite3Driver& driver) : driver_(driver) {
        if (driver_.separateReaders_) {
            writerLock_ = std::unique_lock(driver_.writerMutex_, std::try_to_lock);
            if (!writerLock_.owns_lock()) reader_ = driver_.openReader();
        }
        if (!reader_ && !writerLock_.owns_lock()) writerLock_ = std::unique_lock(driver_.writerMutex_);
    }
    ~ReadLease() {
        if (reader_) driver_.returnReader(std::move(reader_));
    }
    ReadLease(const ReadLease&) = delete;
    ReadLease& operator=(const ReadLease&) = delete;

    Connection& connection() { return reader_ ? *reader_ : *driver_.db; }

private:
    SQLite3Driver& driver_;
    std::unique_ptr<Connection> reader_;
    std::unique_lock<std::recursive_mutex> writerLock_;
};

SQLite3Driver::SQLite3Driver(Settings::Section* settings, bool isDynamic)
    : DatabaseDriver(settings, isDynamic) {
    if (settings != nullptr) fileName_ = settings->get("file");
    if (fileName_.empty()) {
        fileName_ = kDefaultFileName;
        Log::info(std::string("No database file configured, using ") + kDefaultFileName);
    }
    connectionIdKey();

    db = Connection::open(fileName_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, kWriterCacheSize);
    if (!db) throw DatabaseException(DatabaseException::kConnectFailed);

    // WAL lets readers go on while the writer commits. Readers get their own
    // connections only when the file really is in WAL mode (not for an
    // in-memory database, or where WAL is unavailable).
    {
        Statement journal(db->handle(), "PRAGMA journal_mode=WAL");
        if (journal.ok() && sqlite3_step(journal.get()) == SQLITE_ROW) {
            const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(journal.get(), 0));
            separateReaders_ = mode != nullptr && std::strcmp(mode, "wal") == 0;
        }
    }
    ensureSchema();
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

SQLite3Driver::~SQLite3Driver() = default;

bool SQLite3Driver::isSerialized() const { return sqlite3_db_mutex(db->handle()) != nullptr; }

std::unique_ptr<Connection> SQLite3Driver::openReader() {
    {
        std::lock_guard lock(readersMutex_);
        if (!idleReaders_.empty()) {
            auto reader = std::move(idleReaders_.back());
            idleReaders_.pop_back();
            return reader;
        }
    }
    return Connection::open(fileName_, SQLITE_OPEN_READWRITE, kReaderCacheSize);
}

void SQLite3Driver::returnReader(std::unique_ptr<Connection> reader) {
    std::lock_guard lock(readersMutex_);
    idleReaders_.push_back(std::move(reader));
}

void SQLite3Driver::setClock(Clock clock) { clock_ = std::move(clock); }

int64_t SQLite3Driver::now() const { return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr)); }

bool SQLite3Driver::insertTorrent(const uint8_t* info_hash) {
    std::lock_guard lock(writerMutex_);
    std::string key(reinterpret_cast<const char*>(info_hash), 20);
    if (registered_.count(key) != 0) {
        // Registered with its peer table by this driver and not removed since:
        // making it ready again would succeed without changing anything.
        Log::request("E:(null)");
        return true;
    }
    Transaction transaction(*db);
    const int32_t time = static_cast<int32_t>(now());
    for (int attempt = 0; attempt < 2; ++attempt) {
        Query insert(*db, kRegisterTorrent);
        if (!insert.ok() && attempt == 0) {  // no `torrents` table (yet): make the schema, then again
            ensureSchema();
            continue;
        }
        insert.bindBlob(1, info_hash, 20);
        insert.bindInt(2, time);
        insert.step();
        break;
    }
    std::string error;
    const bool created = db->exec(createPeerTableSql(tableName(info_hash)), &error);
    Log::request("E:" + (created ? std::string("(null)") : error));
    if (!created || !commit(transaction)) return false;
    registered_.insert(std::move(key));
    return true;
}

bool SQLite3Driver::deleteTorrent(const uint8_t* info_hash) {
    std::lock_guard lock(writerMutex_);
    std::string key(reinterpret_cast<const char*>(info_hash), 20);
    counted_.erase(key);
    registered_.erase(key);
    Transaction transaction(*db);
    {
        Statement remove(db->handle(), "DELETE FROM torrents WHERE info_hash=?");
        if (remove.ok()) {
            sqlite3_bind_blob(remove.get(), 1, info_hash, 20, SQLITE_STATIC);
            sqlite3_step(remove.get());
        }
    }
    Statement removeStats(db->handle(), "DELETE FROM stats WHERE info_hash=?");
    if (!removeStats.ok()) return false;
    sqlite3_bind_blob(removeStats.get(), 1, info_hash, 20, SQLITE_STATIC);
    sqlite3_step(removeStats.get());
    db->exec("DROP TABLE IF EXISTS '" + tableName(info_hash) + "'");
    return commit(transaction);
}

bool SQLite3Driver::hasTorrent(const uint8_t* info_hash) {
    if (isDynamic()) return true;
    ReadLease lease(*this);
    Query count(lease.connection(), "SELECT COUNT(*) FROM torrents WHERE info_hash=?");
    count.bindBlob(1, info_hash, 20);
    if (!count.stepRow()) return false;
    return sqlite3_column_int(count.get(), 0) == 1;
}

uint64_t SQLite3Driver::connectionIdFor(uint32_t ip, uint16_t port, int64_t window) const {
    unsigned char message[4 + 2 + 8];
    std::memcpy(message, &ip, 4);
    std::memcpy(message + 4, &port, 2);
    std::memcpy(message + 6, &window, 8);
    unsigned char out[crypto_shorthash_BYTES];
    crypto_shorthash(out, message, sizeof message, connectionIdKey());
    uint64_t id;
    std::memcpy(&id, out, sizeof id);
    return id;
}

bool SQLite3Driver::issueConnectionId(uint64_t* connectionId, uint32_t ip, uint16_t port) {
    *connectionId = connectionIdFor(ip, port, now() / kConnectionIdWindowSeconds);
    return true;
}

bool SQLite3Driver::checkConnectionId(uint64_t connectionId, uint32_t ip, uint16_t port) {
    // An identifier from the current or the previous window: issued at most
    // 119 seconds ago, and never refused within 60 seconds of its issue.
    int64_t window = now() / kConnectionIdWindowSeconds;
    return connectionId == connectionIdFor(ip, port, window) ||
           connectionId == connectionIdFor(ip, port, window - 1);
}

SQLite3Driver::Counts SQLite3Driver::updateCounts(const uint8_t* info_hash, const std::string& table,
                                                  int32_t seederChange, int32_t leecherChange, int32_t completed,
                                                  int32_t time) {
    std::string key(reinterpret_cast<const char*>(info_hash), 20);
    Counts counts;
    if (counted_.count(key) != 0) {
        Query change(*db, kChangeStats);
        change.bindBlob(1, info_hash, 20);
        change.bindInt(2, seederChange);
        change.bindInt(3, leecherChange);
        change.bindInt(4, completed);
        change.bindInt(5, time);
        if (change.step() == SQLITE_DONE && sqlite3_changes(db->handle()) > 0) {
            Query read(*db, kReadCounts);
            read.bindBlob(1, info_hash, 20);
            if (read.stepRow()) {
                counts.seeders = sqlite3_column_int(read.get(), 0);
                counts.leechers = sqlite3_column_int(read.get(), 1);
                return counts;
            }
        }
        counted_.erase(key);  // the row went away: count afresh
    }
    {
        Query count(*db, "SELECT left FROM '" + table + "'");
        if (count.ok()) countRows(count.get(), counts);
    }
    Query store(*db, kStoreStats);
    store.bindBlob(1, info_hash, 20);
    store.bindInt(2, time);
    store.bindInt(3, counts.seeders);
    store.bindInt(4, counts.leechers);
    store.bindInt(5, completed);
    if (store.step() == SQLITE_DONE) counted_.insert(std::move(key));
    return counts;
}

bool SQLite3Driver::storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                              int64_t downloaded, int64_t left, int64_t uploaded, int32_t event) {
    Counts counts;
    {
        std::lock_guard lock(writerMutex_);
        Transaction transaction(*db);
        insertTorrent(info_hash);
        const std::string table = tableName(info_hash);
        const int32_t time = static_cast<int32_t>(now());

        // The row this announce replaces (same ip and port), if any, so the
        // counts change by the difference instead of being recounted.
        int32_t seederChange = left == 0 ? 1 : 0;
        int32_t leecherChange = left == 0 ? 0 : 1;
        {
            Query previous(*db, "SELECT left FROM '" + table + "' WHERE ip=? AND port=?");
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
            Query replace(*db, "REPLACE INTO '" + table +
                                   "' (peer_id,ip,port,uploaded,downloaded,left,last_seen) VALUES (?,?,?,?,?,?,?)");
            replace.bindBlob(1, peer_id, 20);
            replace.bindBlob(2, &ip, 4);
            replace.bindBlob(3, &port, 2);
            replace.bindBlob(4, &uploaded, 8);
            replace.bindBlob(5, &downloaded, 8);
            replace.bindBlob(6, &left, 8);
            replace.bindInt(7, time);
            if (replace.step() != SQLITE_DONE) {
                seederChange = leecherChange = 0;
                // The table went away behind this driver's back: make it
                // again next time, and count it afresh then.
                std::string key(reinterpret_cast<const char*>(info_hash), 20);
                registered_.erase(key);
                counted_.erase(key);
            }
        }
        counts = updateCounts(info_hash, table, seederChange, leecherChange, event == kEventCompleted ? 1 : 0, time);
        if (!commit(transaction)) return false;
    }
    Log::request("seeders " + std::to_string(counts.seeders) + " leechers " + std::to_string(counts.leechers));
    return true;
}

bool SQLite3Driver::deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port) {
    std::lock_guard lock(writerMutex_);
    Transaction transaction(*db);
    int32_t seederChange = 0;
    int32_t leecherChange = 0;
    {
        Query remove(*db, "DELETE FROM '" + tableName(info_hash) + "' WHERE ip=? AND port=? AND peer_id=? RETURNING left");
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
        Query drop(*db, kDropCounts);
        drop.bindBlob(1, info_hash, 20);
        drop.bindInt(2, seederChange);
        drop.bindInt(3, leecherChange);
        drop.step();
    }
    return true;
}

bool SQLite3Driver::fetchTorrentStats(TorrentStats* stats) {
    stats->seeders = 0;
    stats->leechers = 0;
    stats->completed = 0;
    ReadLease lease(*this);
    Query select(lease.connection(), "SELECT seeders,leechers,completed FROM 'stats' WHERE info_hash=?");
    select.bindBlob(1, stats->info_hash, 20);
    if (!select.stepRow()) return false;
    stats->seeders = sqlite3_column_int(select.get(), 0);
    stats->leechers = sqlite3_column_int(select.get(), 1);
    stats->completed = sqlite3_column_int(select.get(), 2);
    return true;
}

bool SQLite3Driver::fetchPeers(const uint8_t* info_hash, int32_t* count, PeerAddress* peers) {
    // A window of consecutive rows starting at a random rowid, wrapping round
    // to the first rows when it runs off the end: two index seeks and at most
    // `count` rows read, whatever the size of the swarm.
    const std::string table = tableName(info_hash);
    const int32_t wanted = *count > 0 ? *count : 0;
    int32_t filled = 0;
    if (wanted > 0) {
        ReadLease lease(*this);
        Connection& connection = lease.connection();
        int64_t start = 0;
        bool any = false;
        {
            Query bounds(connection, "SELECT (SELECT min(rowid) FROM '" + table + "'),(SELECT max(rowid) FROM '" +
                                         table + "')");
            if (bounds.stepRow() && sqlite3_column_type(bounds.get(), 0) != SQLITE_NULL) {
                int64_t low = sqlite3_column_int64(bounds.get(), 0);
                int64_t high = sqlite3_column_int64(bounds.get(), 1);
                start = std::uniform_int_distribution<int64_t>(low, high)(threadRandom());
                any = true;
            }
        }
        if (any) {
            Query select(connection, "SELECT ip,port FROM '" + table + "' WHERE rowid>=?1 UNION ALL SELECT ip,port FROM '" +
                                         table + "' WHERE rowid<?1 LIMIT ?2");
            select.bindInt64(1, start);
            select.bindInt(2, wanted);
            while (filled < wanted && select.stepRow()) {
                PeerAddress& entry = peers[filled];
                entry.ip = 0;
                entry.port = 0;
                const void* ip = sqlite3_column_blob(select.get(), 0);
                if (ip != nullptr && sqlite3_column_bytes(select.get(), 0) >= 4) std::memcpy(&entry.ip, ip, 4);
                const void* port = sqlite3_column_blob(select.get(), 1);
                if (port != nullptr && sqlite3_column_bytes(select.get(), 1) >= 2) std::memcpy(&entry.port, port, 2);
                ++filled;
            }
        }
    }
    Log::request(std::to_string(filled) + " Clients Dumped.");
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
        Transaction transaction(*db);

        std::string error;
        if (!db->exec("DELETE FROM " + table + " WHERE last_seen<" + std::to_string(cutoff), &error)) {
            // Locked, or removed meanwhile: leave this torrent for the next pass.
            Log::info("[" + error + "]");
            continue;
        }
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
        if (commit(transaction) && stored) counted_.insert(std::string(reinterpret_cast<const char*>(info_hash), 20));
    }
}

bool SQLite3Driver::commit(Transaction& transaction) {
    if (transaction.commit()) return true;
    // What the rolled-back statements taught the caches is not in the file.
    registered_.clear();
    counted_.clear();
    return false;
}

}  // namespace NORRIK::Data
