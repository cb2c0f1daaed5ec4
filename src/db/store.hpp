#pragma once
// NORRIK::Data::Store: the store every engine shares. Announces, scrapes and
// connects are answered from memory (Swarms); every change is queued
// (WriteQueue) and stored by one writer thread (StoreWriter) through the
// engine's StoreBackend. Engines derive from it and hand it their backend.
//
// Contract (beyond DatabaseDriver's):
// - Construction reads the whole database into memory (the backend's
//   load()); it throws DatabaseException code 2 when that fails.
// - One write path: storePeer changes memory and queues the peer row, also
//   for a torrent's first announce, whose registration the writer makes.
//   insertTorrent, deleteTorrent, deletePeer, cleanup and flush queue their
//   write and return once the writer committed it (or failed to): what
//   they report is what the database holds.
// - Without dynamic mode an announce stores a peer only for a torrent that is
//   registered, and never registers one.
// - The destructor stores what is queued (bounded when the database
//   refuses) and stops the writer before anything it uses goes.
// - Lock order: Swarms, then WriteQueue (each class has one mutex; the
//   writer takes them one at a time). The clock may only be replaced
//   (setClock) before the store is shared.

#include <cstdint>
#include <functional>
#include <memory>

#include "db/connection_ids.hpp"
#include "db/database_driver.hpp"
#include "db/store_backend.hpp"
#include "db/store_writer.hpp"
#include "db/swarms.hpp"
#include "db/write_queue.hpp"

namespace NORRIK::Data {

struct StoreOptions {
    std::size_t queueCapacity = std::size_t{1} << 20;  // peer rows waiting, about 120 MiB at most
    StoreWriter::Options writer;
};

class Store : public DatabaseDriver {
public:
    using Clock = std::function<int64_t()>;

    static constexpr int64_t kPeerExpirySeconds = 7200;

    Store(Settings::Section* settings, bool isDynamic, std::unique_ptr<StoreBackend> backend,
          StoreOptions options = {});
    ~Store() override;

    bool insertTorrent(const uint8_t* info_hash) override;
    bool deleteTorrent(const uint8_t* info_hash) override;
    bool hasTorrent(const uint8_t* info_hash) override;
    bool issueConnectionId(uint64_t* connectionId, uint32_t ip, uint16_t port) override;
    bool checkConnectionId(uint64_t connectionId, uint32_t ip, uint16_t port) override;
    bool storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                   int64_t downloaded, int64_t left, int64_t uploaded, int32_t event) override;
    bool deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port) override;
    bool fetchTorrentStats(TorrentStats* stats) override;
    bool fetchPeers(const uint8_t* info_hash, int32_t* count, PeerAddress* peers) override;
    void cleanup() override;
    bool flush() override;
    StoreStatus status() const override;
    void setConnectionKey(const std::array<unsigned char, 16>& key) override;

    // Replaces the clock (seconds since the epoch); empty restores the
    // system clock.
    void setClock(Clock clock);

    // The layout the backend uses ("tables", "flat", ...).
    const std::string& layoutName() const { return layoutName_; }

protected:
    // Stops the writer after it stored what is queued; for engines whose
    // backend needs its own end after that. Called by the destructor too.
    void stopWriter();

    // The memory, for an engine that merges into it what other processes
    // stored (it must stop doing so before the Store goes).
    Swarms& swarms() { return swarms_; }

private:
    int64_t now() const;
    // Queues an operation and waits for the writer's answer.
    bool run(StoreWrite&& write, std::string* error = nullptr);

    std::unique_ptr<StoreBackend> backend_;  // the writer thread's, after construction
    std::string layoutName_;
    bool refreshAllStatistics_;
    Clock clock_;
    ConnectionIds connectionIds_{[this] { return now(); }};
    Swarms swarms_;
    WriteQueue queue_;
    std::unique_ptr<StoreWriter> writer_;  // last: stopped and joined first
};

}  // namespace NORRIK::Data
