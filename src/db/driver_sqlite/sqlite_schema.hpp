#pragma once
// The SQLite file's schema: the statements that make its tables, the names
// of the per-torrent peer tables, and which layout a file holds.

#include <cstdint>
#include <string>

#include "db/driver_sqlite/connection.hpp"

namespace NORRIK::Data::SQLite {

// The two tables every file has, made by exactly these statements.
extern const char* const kCreateStats;
extern const char* const kCreateTorrents;

// `t` and the 40 hex digits of the info_hash.
std::string peerTableName(const uint8_t* info_hash);
// The statement that makes a torrent's peer table (if it is missing).
std::string createPeerTableSql(const std::string& table);
// True for `t` and 40 lower-case hex digits; then *info_hash holds the bytes.
bool decodePeerTableName(const std::string& name, uint8_t* info_hash);

enum class Layout { kNone, kTables, kFlat };

// kNone for a file without any table (new, or left empty by a first start
// that could not write its schema); kFlat when it has the `peers` table;
// kTables otherwise.
Layout detectLayout(Connection& db);

// Makes `stats` and `torrents` in a file without any table, inside the
// transaction that is open (or as one when none is). SQLite's result.
int ensureSchema(Connection& db);

// A blob of `left` counts as a seeder only when it is eight zero bytes.
bool isSeederLeft(const void* blob, int size);

}  // namespace NORRIK::Data::SQLite
