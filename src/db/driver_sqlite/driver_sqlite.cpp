#include "db/driver_sqlite/driver_sqlite.hpp"

#include <sodium.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string_view>

#include "util/hex.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

constexpr const char* kCreateStats =
    "CREATE TABLE stats (info_hash blob(20) UNIQUE,completed INTEGER DEFAULT 0,leechers INTEGER "
    "DEFAULT 0,seeders INTEGER DEFAULT 0,last_mod INTEGER DEFAULT 0)";
constexpr const char* kCreateTorrents = "CREATE TABLE torrents (info_hash blob(20) UNIQUE,created INTEGER)";

// Writes counts and time without touching `completed`; adds ?5 to it.
constexpr const char* kStoreStats =
    "INSERT INTO stats (info_hash,last_mod,seeders,leechers,completed) VALUES (?,?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET last_mod=excluded.last_mod,seeders=excluded.seeders,"
    "leechers=excluded.leechers,completed=completed+excluded.completed";
constexpr const char* kCleanupStats =
    "INSERT INTO stats (info_hash,seeders,leechers,last_mod) VALUES (?,?,?,?) "
    "ON CONFLICT(info_hash) DO UPDATE SET seeders=excluded.seeders,leechers=excluded.leechers,"
    "last_mod=excluded.last_mod";
constexpr const char* kListPeerTables =
    "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE "
    "'t________________________________________'";

constexpr int32_t kEventCompleted = 1;

// Owns one prepared statement; an empty one (failed prepare) makes binds and
// steps do nothing, so a missing table reads as "no rows".
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    void bindBlob(int index, const void* data, int size) {
        if (stmt_) sqlite3_bind_blob(stmt_, index, data, size, SQLITE_TRANSIENT);
    }
    void bindInt(int index, int32_t value) {
        if (stmt_) sqlite3_bind_int(stmt_, index, value);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code; an empty statement is done.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_DONE; }
    bool stepRow() { return step() == SQLITE_ROW; }
    void reset() {
        if (stmt_) sqlite3_reset(stmt_);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

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

struct Counts {
    int32_t seeders = 0;
    int32_t leechers = 0;
};

Counts countPeers(sqlite3* db, const std::string& table) {
    Counts counts;
    Statement count(db, "SELECT left FROM '" + table + "'");
    while (count.stepRow()) {
        if (isSeederLeft(sqlite3_column_blob(count.get(), 0), sqlite3_column_bytes(count.get(), 0))) {
            ++counts.seeders;
        } else {
            ++counts.leechers;
        }
    }
    return counts;
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

SQLite3Driver::SQLite3Driver(Settings::Section* settings, bool isDynamic)
    : DatabaseDriver(settings, isDynamic) {
    if (settings != nullptr) fileName_ = settings->get("file");
    if (fileName_.empty()) {
        fileName_ = kDefaultFileName;
        Log::info(std::string("No database file configured, using ") + kDefaultFileName);
    }
    connectionIdKey();

    bool isNew = !std::ifstream(fileName_, std::ios::in | std::ios::binary).is_open();

    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(fileName_.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        throw DatabaseException(DatabaseException::kConnectFailed);
    }
    if (isNew) {
        sqlite3_exec(db, kCreateStats, nullptr, nullptr, nullptr);
        sqlite3_exec(db, kCreateTorrents, nullptr, nullptr, nullptr);
    }
}

SQLite3Driver::~SQLite3Driver() { sqlite3_close(db); }

void SQLite3Driver::setClock(Clock clock) { clock_ = std::move(clock); }

int64_t SQLite3Driver::now() const { return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr)); }

bool SQLite3Driver::insertTorrent(const uint8_t* info_hash) {
    {
        Statement insert(db, "INSERT INTO torrents (info_hash,created) VALUES (?,?)");
        insert.bindBlob(1, info_hash, 20);
        insert.bindInt(2, static_cast<int32_t>(now()));
        insert.step();  // a registered torrent keeps its first time
    }
    char* error = nullptr;
    int rc = sqlite3_exec(db, createPeerTableSql(tableName(info_hash)).c_str(), nullptr, nullptr, &error);
    Log::request(std::string("E:") + (error != nullptr ? error : "(null)"));
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

bool SQLite3Driver::deleteTorrent(const uint8_t* info_hash) {
    {
        Statement remove(db, "DELETE FROM torrents WHERE info_hash=?");
        remove.bindBlob(1, info_hash, 20);
        remove.step();
    }
    Statement removeStats(db, "DELETE FROM stats WHERE info_hash=?");
    if (!removeStats.ok()) return false;
    removeStats.bindBlob(1, info_hash, 20);
    removeStats.step();
    std::string drop = "DROP TABLE IF EXISTS '" + tableName(info_hash) + "'";
    sqlite3_exec(db, drop.c_str(), nullptr, nullptr, nullptr);
    return true;
}

bool SQLite3Driver::hasTorrent(const uint8_t* info_hash) {
    if (isDynamic()) return true;
    Statement count(db, "SELECT COUNT(*) FROM torrents WHERE info_hash=?");
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

bool SQLite3Driver::storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                              int64_t downloaded, int64_t left, int64_t uploaded, int32_t event) {
    insertTorrent(info_hash);
    const std::string table = tableName(info_hash);
    const int32_t time = static_cast<int32_t>(now());
    {
        Statement replace(db, "REPLACE INTO '" + table +
                                  "' (peer_id,ip,port,uploaded,downloaded,left,last_seen) VALUES (?,?,?,?,?,?,?)");
        replace.bindBlob(1, peer_id, 20);
        replace.bindBlob(2, &ip, 4);
        replace.bindBlob(3, &port, 2);
        replace.bindBlob(4, &uploaded, 8);
        replace.bindBlob(5, &downloaded, 8);
        replace.bindBlob(6, &left, 8);
        replace.bindInt(7, time);
        replace.step();
    }
    Counts counts = countPeers(db, table);
    Log::request("seeders " + std::to_string(counts.seeders) + " leechers " + std::to_string(counts.leechers));

    Statement stats(db, kStoreStats);
    stats.bindBlob(1, info_hash, 20);
    stats.bindInt(2, time);
    stats.bindInt(3, counts.seeders);
    stats.bindInt(4, counts.leechers);
    stats.bindInt(5, event == kEventCompleted ? 1 : 0);
    stats.step();
    return true;
}

bool SQLite3Driver::deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port) {
    Statement remove(db, "DELETE FROM '" + tableName(info_hash) + "' WHERE ip=? AND port=? AND peer_id=?");
    remove.bindBlob(1, &ip, 4);
    remove.bindBlob(2, &port, 2);
    remove.bindBlob(3, peer_id, 20);
    remove.step();
    return true;
}

bool SQLite3Driver::fetchTorrentStats(TorrentStats* stats) {
    stats->seeders = 0;
    stats->leechers = 0;
    stats->completed = 0;
    Statement select(db, "SELECT seeders,leechers,completed FROM 'stats' WHERE info_hash=?");
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

    int64_t start = 0;
    {
        Statement bounds(db, "SELECT (SELECT min(rowid) FROM '" + table + "'),(SELECT max(rowid) FROM '" + table + "')");
        if (wanted > 0 && bounds.stepRow() && sqlite3_column_type(bounds.get(), 0) != SQLITE_NULL) {
            int64_t low = sqlite3_column_int64(bounds.get(), 0);
            int64_t high = sqlite3_column_int64(bounds.get(), 1);
            start = std::uniform_int_distribution<int64_t>(low, high)(threadRandom());
        }
    }
    auto readRange = [&](const char* condition) {
        if (filled >= wanted) return;
        Statement select(db, "SELECT ip,port FROM '" + table + "' WHERE rowid" + condition + "? LIMIT ?");
        if (select.ok()) {
            sqlite3_bind_int64(select.get(), 1, start);
            sqlite3_bind_int(select.get(), 2, wanted - filled);
        }
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
    };
    readRange(">=");
    readRange("<");

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
    Statement list(db, kListPeerTables);
    if (!list.stepRow()) return;
    // Prepared while the table list holds its read transaction, so the
    // schema it is checked against is the file's current one.
    Statement stats(db, kCleanupStats);
    if (!stats.ok()) {
        // Without a statistics table the counts could not be kept: change nothing.
        Log::info(std::string("[cleanup skipped: ") + sqlite3_errmsg(db) + "]");
        return;
    }

    const int32_t cutoff = static_cast<int32_t>(start - kPeerExpirySeconds);
    do {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
        uint8_t info_hash[20];
        // The LIKE pattern also matches other 41-character names (and
        // ignores case); only this store's own peer tables are touched.
        if (text == nullptr || text[0] != 't' || std::strlen(text) != 1 + kInfoHashHexSize ||
            !_hash_to_bin(text + 1, info_hash)) {
            continue;
        }
        const std::string table(text);

        std::string remove = "DELETE FROM " + table + " WHERE last_seen<" + std::to_string(cutoff);
        char* error = nullptr;
        if (sqlite3_exec(db, remove.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            // Locked, or removed meanwhile: leave this torrent for the next pass.
            Log::info(std::string("[") + (error != nullptr ? error : sqlite3_errmsg(db)) + "]");
            sqlite3_free(error);
            continue;
        }

        Counts counts;
        {
            Statement count(db, "SELECT left FROM '" + table + "'");
            Log::info(std::string("[") + sqlite3_errmsg(db) + "]");
            if (!count.ok()) continue;  // removed since the DELETE: write no statistics for it
            while (count.stepRow()) {
                if (isSeederLeft(sqlite3_column_blob(count.get(), 0), sqlite3_column_bytes(count.get(), 0))) {
                    ++counts.seeders;
                } else {
                    ++counts.leechers;
                }
            }
        }

        stats.bindBlob(1, info_hash, 20);
        stats.bindInt(2, counts.seeders);
        stats.bindInt(3, counts.leechers);
        stats.bindInt(4, static_cast<int32_t>(now()));
        stats.step();
        stats.reset();
    } while (list.stepRow());
}

}  // namespace NORRIK::Data
