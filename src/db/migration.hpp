#pragma once
// NORRIK::Data::Migration: copies a database of the per-torrent tables
// layout (SQLite) into another store's layout through its StoreBackend (the
// flat SQLite layout, PostgreSQL), then reads the copy back the way a store
// opens it and checks that it holds what the source holds.
//
// Contract:
// - The source is opened read-only and never changed; it may be in use by a
//   running norrik (WAL mode lets it be read meanwhile; what is written
//   after the copy began is not copied).
// - The target must be empty (no torrents): a migration never merges.
// - Everything is copied as it is: registrations with their time,
//   statistics with their counts, downloads and time, every peer row with
//   its peer_id, byte counts and last_seen. Peer rows whose blobs are not
//   of their sizes (4-byte address, 2-byte port, 8-byte counts) cannot be
//   read back as peers and are counted, not copied.
// - Runs on one thread; progress and the result go to the log.

#include <cstdint>
#include <string>

#include "db/store_backend.hpp"

namespace NORRIK::Data {

struct MigrationReport {
    uint64_t torrents = 0;
    uint64_t statistics = 0;
    uint64_t peers = 0;
    uint64_t unreadablePeers = 0;
    bool verified = false;
    std::string error;  // empty when the copy was made and verified
};

// Copies the tables-layout file `sourceFile` into `target`.
MigrationReport migrateTablesLayout(const std::string& sourceFile, StoreBackend& target);

}  // namespace NORRIK::Data
