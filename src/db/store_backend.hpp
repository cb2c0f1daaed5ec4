#pragma once
// NORRIK::Data::StoreBackend: one database engine and layout as the store's
// writer sees it (SQLite with a table per torrent, SQLite with one peers
// table, PostgreSQL). It reads what the database holds into memory and
// carries out the writer's transactions; it keeps nothing of the swarms
// itself.
//
// Contract:
// - Used by one thread at a time: the store's constructor for load(), then
//   the writer thread alone. Nothing here is shared.
// - Writes happen between begin() and commit() (or rollback()). A result of
//   kTransient (a lock held past the wait, a full disk, a lost server) means
//   the transaction cannot go on: the writer rolls back and retries later.
//   kFailed concerns one write only; the transaction goes on without it and
//   that write has changed nothing.
// - Every write is idempotent in its effect: a transaction retried after a
//   rollback leaves the same file as one that succeeded at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "db/store_records.hpp"
#include "db/swarms.hpp"

namespace NORRIK::Data {

// The file's share of one maintenance pass, done in steps of one
// transaction each.
class ExpiryPass {
public:
    virtual ~ExpiryPass() = default;
    // Does the next share inside the open transaction; *more tells whether
    // another step is needed after this one.
    virtual StoreResult step(bool* more) = 0;
    // The transaction that held the last step was rolled back: the step is
    // to be done again.
    virtual void rolledBack() = 0;
};

class StoreBackend {
public:
    virtual ~StoreBackend() = default;

    // The layout in use, for the start-up line ("tables", "flat", ...).
    virtual std::string layoutName() const = 0;

    // Reads every registration, statistics row and peer.
    virtual StoreResult load(SwarmLoader& loader) = 0;

    virtual StoreResult begin() = 0;
    virtual StoreResult commit() = 0;
    virtual void rollback() = 0;

    // Registers the torrent (keeping an earlier registration time) and makes
    // its peer storage. kFailed when either could not be done; then neither is.
    virtual StoreResult registerTorrent(const uint8_t* info_hash, int32_t time) = 0;
    // Removes registration, statistics and peers; kFailed changes nothing.
    virtual StoreResult removeTorrent(const uint8_t* info_hash) = 0;
    // Stores the rows, each replacing the row of the same torrent, address
    // and port; torrents are registered. Rows that cannot be stored are
    // counted in *skipped, with the last reason in *why.
    virtual StoreResult writePeers(const PeerRow* rows, std::size_t count, std::size_t* skipped,
                                   std::string* why) = 0;
    // Deletes the row matching torrent, address, port and peer_id.
    virtual StoreResult deletePeer(const PeerRow& key, bool* removed) = 0;
    // Writes each torrent's counts and time, adding completedAdded to its
    // stored downloads.
    virtual StoreResult writeStatistics(const StatsRow* rows, std::size_t count) = 0;

    // The file's side of a maintenance pass: peers last seen before
    // `cutoff` go. Null when the pass cannot run at all (it said why).
    virtual std::unique_ptr<ExpiryPass> startExpiry(int32_t cutoff) = 0;
    // Whether each pass rewrites the statistics of every torrent (their
    // time of last change), or only of those whose counts changed.
    virtual bool passRewritesAllStatistics() const = 0;

    // The writer has had nothing to do for a while (shrink logs and such).
    // Returns true when there is nothing left to do while idle.
    virtual bool idle() { return true; }
};

}  // namespace NORRIK::Data
