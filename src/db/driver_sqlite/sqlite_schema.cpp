#include "db/driver_sqlite/sqlite_schema.hpp"

#include <cstring>

#include "util/hex.hpp"

namespace NORRIK::Data::SQLite {

const char* const kCreateStats =
    "CREATE TABLE stats (info_hash blob(20) UNIQUE,completed INTEGER DEFAULT 0,leechers INTEGER "
    "DEFAULT 0,seeders INTEGER DEFAULT 0,last_mod INTEGER DEFAULT 0)";
const char* const kCreateTorrents = "CREATE TABLE torrents (info_hash blob(20) UNIQUE,created INTEGER)";

std::string peerTableName(const uint8_t* info_hash) {
    std::string name = "t";
    name += hashToHex(info_hash);
    return name;
}

std::string createPeerTableSql(const std::string& table) {
    return "CREATE TABLE IF NOT EXISTS '" + table +
           "' (peer_id blob(20),ip blob(4),port blob(2),uploaded blob(8),downloaded blob(8),left blob(8),"
           "last_seen INT DEFAULT 0, CONSTRAINT c1 UNIQUE (ip,port) ON CONFLICT REPLACE)";
}

bool decodePeerTableName(const std::string& name, uint8_t* info_hash) {
    return name.size() == 1 + kInfoHashHexSize && name[0] == 't' &&
           hexToHash(std::string_view(name).substr(1), info_hash);
}

Layout detectLayout(Connection& db) {
    Statement tables(db.handle(),
                     "SELECT COUNT(*), SUM(name='peers') FROM sqlite_master WHERE type='table'");
    if (!tables.ok() || sqlite3_step(tables.get()) != SQLITE_ROW) return Layout::kTables;
    if (sqlite3_column_int(tables.get(), 0) == 0) return Layout::kNone;
    return sqlite3_column_int(tables.get(), 1) > 0 ? Layout::kFlat : Layout::kTables;
}

int ensureSchema(Connection& db) {
    {
        Statement tables(db.handle(), "SELECT COUNT(*) FROM sqlite_master WHERE type='table'");
        if (!tables.ok()) return sqlite3_errcode(db.handle());
        if (sqlite3_step(tables.get()) != SQLITE_ROW || sqlite3_column_int(tables.get(), 0) != 0) return SQLITE_OK;
    }
    const bool own = sqlite3_get_autocommit(db.handle()) != 0;
    if (own) {
        const int begun = db.run("BEGIN IMMEDIATE");
        if (begun != SQLITE_DONE) return begun;
    }
    int rc = db.exec(kCreateStats);
    if (rc == SQLITE_OK) rc = db.exec(kCreateTorrents);
    if (own) {
        if (rc == SQLITE_OK) {
            const int committed = db.run("COMMIT");
            rc = committed == SQLITE_DONE ? SQLITE_OK : committed;
        }
        if (rc != SQLITE_OK) db.run("ROLLBACK");
    }
    return rc;
}

bool isSeederLeft(const void* blob, int size) {
    if (blob == nullptr || size != 8) return false;
    static const uint8_t zeros[8] = {};
    return std::memcmp(blob, zeros, 8) == 0;
}

}  // namespace NORRIK::Data::SQLite
