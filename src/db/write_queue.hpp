#pragma once
// NORRIK::Data::WriteQueue: the store's writes waiting for the writer, in
// the order they were made. No SQL.
//
// Contract:
// - Any thread pushes; one writer thread takes. Items keep their order, and
//   each gets a sequence number (increasing) when it is pushed.
// - A peer's row replaces that peer's row still waiting (same torrent,
//   address and port), unless an operation was pushed between the two: the
//   queue holds one row per peer, so a writer that falls behind a busy
//   tracker stores each peer's latest announce instead of every one.
// - Peer rows are bounded: beyond `capacity` waiting items a row is dropped
//   (counted; the announce was served from memory and the peer's next
//   announce stores it). Operations a caller waits for (registration,
//   removal, peer deletion, maintenance, flush) are never dropped.
// - stop() wakes the writer; what is queued stays for it to drain.
// - Lock: one mutex of its own, a leaf: Swarms pushes while holding its own
//   mutex (so that the queue's order is the order of the changes in
//   memory), nothing is locked while this one is held.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/store_records.hpp"
#include "util/mutex.hpp"

namespace NORRIK::Data {

// A write whose caller waits for its commit: finished once, by the writer,
// with the outcome and, on failure, the database's text.
class PendingOp {
public:
    void finish(bool ok, std::string error = {});
    // Blocks until finished; the outcome.
    bool wait();
    // The failure text (empty on success); valid once wait() returned.
    const std::string& error() const { return error_; }

private:
    Mutex mutex_;
    std::condition_variable done_;
    bool finished_ GUARDED_BY(mutex_) = false;
    bool ok_ GUARDED_BY(mutex_) = false;
    std::string error_;
};

struct StoreWrite {
    enum class Kind : uint8_t {
        kPeer,        // row: an announce's peer row
        kRegister,    // row.info_hash, row.time (registration time); op
        kRemove,      // row.info_hash; op
        kDeletePeer,  // row.info_hash, peer_id, ip, port, time; op
        kExpire,      // cutoff, row.time (time of the pass); op
        kFlush,       // op: done when everything before it is committed
    };
    Kind kind = Kind::kPeer;
    int32_t cutoff = 0;
    uint64_t sequence = 0;  // set by push()
    PeerRow row;
    std::shared_ptr<PendingOp> op;
    std::chrono::steady_clock::time_point queued;  // set by push()
};

class WriteQueue {
public:
    explicit WriteQueue(std::size_t capacity);

    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    // Appends and returns the item's sequence number; 0 when a peer row was
    // dropped because the queue is full.
    uint64_t push(StoreWrite&& write);

    // Writer: waits until there is work worth a commit: `batch` items, an
    // operation, the first item `delay` old, or stop(); at most `idle` when
    // nothing comes.
    enum class Wait { kWork, kIdle, kStopped };
    Wait waitForWork(std::chrono::milliseconds delay, std::size_t batch, std::chrono::milliseconds idle);
    // Waits up to `timeout` for an operation (not a row) to arrive, or
    // stop(); true when one is waiting. Used between retries.
    bool waitForOperation(std::chrono::milliseconds timeout);
    // Moves up to `limit` of the oldest items to the end of `out`.
    void take(std::vector<StoreWrite>& out, std::size_t limit);

    void stop();
    bool stopped() const;

    struct Status {
        std::size_t waiting = 0;
        uint64_t dropped = 0;                 // rows dropped since start
        uint64_t replaced = 0;                // rows that replaced a waiting row of their peer
        std::chrono::nanoseconds oldestAge{0};  // age of the oldest waiting item
    };
    Status status() const;

private:
    struct PeerKey {
        InfoHash info_hash;
        uint32_t ip;
        uint16_t port;
        bool operator==(const PeerKey& other) const {
            return ip == other.ip && port == other.port && info_hash == other.info_hash;
        }
    };
    struct PeerKeyHasher {
        std::size_t operator()(const PeerKey& key) const noexcept;
    };

    // The item with this sequence number, while it waits.
    StoreWrite* waiting(uint64_t sequence) REQUIRES(mutex_);

    mutable Mutex mutex_;
    std::condition_variable wake_;
    std::deque<StoreWrite> items_ GUARDED_BY(mutex_);  // sequence numbers without gaps, oldest first
    // The waiting row of each peer since the last operation; entries of rows
    // already taken are stale (their sequence is below the front's).
    std::unordered_map<PeerKey, uint64_t, PeerKeyHasher> rows_ GUARDED_BY(mutex_);
    uint64_t replaced_ GUARDED_BY(mutex_) = 0;
    std::size_t capacity_;
    std::size_t operations_ GUARDED_BY(mutex_) = 0;  // waiting items that are not rows
    uint64_t nextSequence_ GUARDED_BY(mutex_) = 1;
    uint64_t dropped_ GUARDED_BY(mutex_) = 0;
    bool stopped_ GUARDED_BY(mutex_) = false;
};

}  // namespace NORRIK::Data
