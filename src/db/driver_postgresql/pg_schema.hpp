#pragma once
// The PostgreSQL store's tables, and what several norrik nodes on one
// database agree on: the notification channel, the maintenance lock and the
// form of addresses.
//
// Tables (the flat layout; columns and meanings as in the SQLite files):
//   meta      (name text PRIMARY KEY, value text): 'schema_version' = kSchemaVersion
//   torrents  (info_hash bytea PRIMARY KEY, created integer, changed xid8)
//   stats     (info_hash bytea PRIMARY KEY, completed, leechers, seeders,
//              last_mod integer, changed xid8)
//   peers     (info_hash bytea, ip bytea(16), port integer, peer_id bytea,
//              uploaded, downloaded, "left" bigint, last_seen integer,
//              origin bigint, changed xid8, PRIMARY KEY (info_hash, ip, port))
//   removals  (info_hash bytea PRIMARY KEY, removed integer, changed xid8):
//              one row per removed torrent, kept kRemovalKeepSeconds
//
// `changed` is the id of the transaction that last wrote the row
// (pg_current_xact_id()). A node reads the rows changed since the oldest
// transaction that was still running at its previous read
// (pg_snapshot_xmin of that read's snapshot): every transaction below that
// bound had ended before the previous read, so its rows were seen then, and
// a row committed late by a long transaction is read once it is visible.
// `origin` is the node that wrote a peer row, so that a node does not read
// back its own announces. `removals` lets the other nodes see a removal,
// whose rows are gone.

#include <cstdint>
#include <string>

#include "db/driver_postgresql/connection.hpp"

namespace NORRIK::Data::PostgreSQL {

constexpr int kSchemaVersion = 1;

// The channel on which a registration or removal is announced to the other
// nodes, from inside its transaction (so only once it is committed).
constexpr const char* kChannel = "norrik";

// Advisory lock keys (pg_advisory_xact_lock): making the schema, and one
// step of the maintenance pass, are done by one node at a time.
constexpr int64_t kSchemaLockKey = 0x6E6F72726B0001;       // "norrk", 1
constexpr int64_t kMaintenanceLockKey = 0x6E6F72726B0002;  // "norrk", 2

// Removal rows older than this are deleted by the maintenance pass; a node
// cut off from the database for longer reads every registration again.
constexpr int64_t kRemovalKeepSeconds = 7 * 24 * 3600;

// Makes the tables in a database that has none, inside one transaction
// under kSchemaLockKey (two nodes starting at once make them once), and
// checks the schema version of a database that has them. False with
// `error` when that fails or the version is not this one.
bool ensureSchema(Connection& db, std::string& error);

// The 16 bytes of an IPv4 address (host order) mapped into IPv6
// (::ffff:a.b.c.d, network order), and back: false for an address that is
// not IPv4-mapped.
void mappedAddress(uint32_t ip, uint8_t out[16]);
bool unmappedAddress(const void* bytes, std::size_t size, uint32_t* ip);

// SQL text for bytes: decode('<hex>','hex'), safe in any statement.
std::string byteaLiteral(const uint8_t* bytes, std::size_t size);

}  // namespace NORRIK::Data::PostgreSQL
