#include "db/driver_postgresql/pg_schema.hpp"

#include <cstring>

namespace NORRIK::Data::PostgreSQL {

namespace {

// In the order they are made. `changed` defaults to the writing transaction
// for rows inserted without it; updates set it themselves.
constexpr const char* kCreateTables[] = {
    "CREATE TABLE IF NOT EXISTS meta (name text PRIMARY KEY, value text NOT NULL)",
    "CREATE TABLE IF NOT EXISTS torrents (info_hash bytea PRIMARY KEY, created integer NOT NULL, "
    "changed xid8 NOT NULL DEFAULT pg_current_xact_id())",
    "CREATE INDEX IF NOT EXISTS torrents_changed ON torrents (changed)",
    "CREATE TABLE IF NOT EXISTS stats (info_hash bytea PRIMARY KEY, completed integer NOT NULL DEFAULT 0, "
    "leechers integer NOT NULL DEFAULT 0, seeders integer NOT NULL DEFAULT 0, last_mod integer NOT NULL DEFAULT 0, "
    "changed xid8 NOT NULL DEFAULT pg_current_xact_id())",
    "CREATE INDEX IF NOT EXISTS stats_changed ON stats (changed)",
    "CREATE TABLE IF NOT EXISTS peers (info_hash bytea NOT NULL, ip bytea NOT NULL, port integer NOT NULL, "
    "peer_id bytea NOT NULL, uploaded bigint NOT NULL, downloaded bigint NOT NULL, \"left\" bigint NOT NULL, "
    "last_seen integer NOT NULL, origin bigint NOT NULL DEFAULT 0, "
    "changed xid8 NOT NULL DEFAULT pg_current_xact_id(), PRIMARY KEY (info_hash, ip, port))",
    "CREATE INDEX IF NOT EXISTS peers_last_seen ON peers (last_seen)",
    "CREATE INDEX IF NOT EXISTS peers_changed ON peers (changed)",
    "CREATE TABLE IF NOT EXISTS removals (info_hash bytea PRIMARY KEY, removed integer NOT NULL, "
    "changed xid8 NOT NULL DEFAULT pg_current_xact_id())",
    "CREATE INDEX IF NOT EXISTS removals_changed ON removals (changed)",
};

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool run(Connection& db, const std::string& sql, std::string& error) {
    Result result = db.exec(sql);
    if (result.ok()) return true;
    error = result.message();
    return false;
}

bool checkVersion(Connection& db, std::string& error) {
    Result version = db.exec("SELECT value FROM meta WHERE name = 'schema_version'");
    if (!version.ok()) {
        error = version.message();
        return false;
    }
    const std::string text = version.rows() == 1 ? std::string(version.value(0, 0)) : std::string();
    if (text != std::to_string(kSchemaVersion)) {
        error = text.empty() ? std::string("the database has a table \"meta\" without a schema version")
                             : "the database holds schema version " + text + "; this norrik knows version " +
                                   std::to_string(kSchemaVersion);
        return false;
    }
    return true;
}

}  // namespace

bool ensureSchema(Connection& db, std::string& error) {
    if (!run(db, "BEGIN", error)) return false;
    bool ok = run(db, "SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) + ")", error);
    bool present = false;
    if (ok) {
        // A database made earlier is only read: a role that may not create
        // tables can use tables an administrator made.
        Result found = db.exec("SELECT to_regclass('meta') IS NOT NULL");
        ok = found.ok();
        if (!ok) error = found.message();
        present = ok && found.value(0, 0) == "t";
    }
    if (ok && !present) {
        for (const char* sql : kCreateTables) {
            if (!(ok = run(db, sql, error))) break;
        }
        if (ok) {
            ok = run(db,
                     "INSERT INTO meta (name, value) VALUES ('schema_version', '" + std::to_string(kSchemaVersion) +
                         "') ON CONFLICT (name) DO NOTHING",
                     error);
        }
    }
    if (ok) ok = checkVersion(db, error);
    if (ok) {
        Result committed = db.exec("COMMIT");
        ok = committed.ok() && std::strcmp(PQcmdStatus(committed.get()), "COMMIT") == 0;
        if (!ok) error = committed.ok() ? std::string("the schema transaction was rolled back") : committed.message();
    }
    if (!ok && !db.lost()) db.exec("ROLLBACK");
    return ok;
}

void mappedAddress(uint32_t ip, uint8_t out[16]) {
    std::memcpy(out, kMappedPrefix, 12);
    out[12] = static_cast<uint8_t>(ip >> 24);
    out[13] = static_cast<uint8_t>(ip >> 16);
    out[14] = static_cast<uint8_t>(ip >> 8);
    out[15] = static_cast<uint8_t>(ip);
}

bool unmappedAddress(const void* bytes, std::size_t size, uint32_t* ip) {
    if (bytes == nullptr || size != 16 || std::memcmp(bytes, kMappedPrefix, 12) != 0) return false;
    const auto* b = static_cast<const uint8_t*>(bytes) + 12;
    *ip = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
    return true;
}

std::string byteaLiteral(const uint8_t* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "decode('";
    out.reserve(out.size() + size * 2 + 8);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0f];
    }
    out += "','hex')";
    return out;
}

}  // namespace NORRIK::Data::PostgreSQL
