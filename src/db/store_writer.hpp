#pragma once
// NORRIK::Data::StoreWriter: the one thread that writes to the database. It
// takes what announces, the API and the maintenance pass have queued, stores
// it in transactions through the StoreBackend, and tells memory (Swarms) and
// the waiting callers what was committed.
//
// Contract:
// - Owns its thread; the backend is used by that thread alone while it runs.
// - A transaction holds up to `batch` queued writes, one step of a running
//   maintenance pass, and the statistics of the torrents memory marked.
//   Operations a caller waits for are answered after the commit that holds
//   them, with its outcome: a failed BEGIN or COMMIT fails them, and nothing
//   of a rolled-back transaction is reported or kept as stored.
// - When a transaction fails for a passing cause (a lock held elsewhere, a
//   full disk, a lost server), its peer rows and statistics are kept and
//   retried, every 50 ms to 1 s, until it succeeds; its operations fail at
//   once. The log says so when it starts and when it ends, not per retry.
// - stop() stores what is still queued, trying for at most `stopBound` when
//   the database refuses, then says what it could not store and ends the
//   thread. The destructor stops it if needed. The Swarms, the queue and
//   the backend must outlive the writer.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/store_backend.hpp"
#include "db/swarms.hpp"
#include "db/write_queue.hpp"

namespace NORRIK::Data {

class StoreWriter {
public:
    struct Options {
        bool dynamic = false;
        std::chrono::milliseconds groupDelay{10};
        // Queued writes per transaction; a backlog is taken in larger ones:
        // rows spread over many torrents dirty one page each, and a larger
        // transaction writes each page once for more rows.
        std::size_t batch = 4096;
        std::size_t backlogBatch = 65536;
        std::size_t statisticsPerRound = 65536;  // statistics rows per transaction
        std::chrono::milliseconds stopBound{10000};
        std::chrono::milliseconds idleAfter{1000};
    };

    struct Status {
        uint64_t commits = 0;
        uint64_t failedCommits = 0;
        uint64_t rowsStored = 0;
        uint64_t rowsNotStored = 0;  // rows that could not be stored, or left at a stop
        bool failing = false;        // the last transaction failed
        int64_t lastPassMicroseconds = -1;
        // Writes taken from the queue and not yet committed (kept for the
        // next attempt while the database refuses), and when the oldest of
        // them was queued.
        uint64_t heldWrites = 0;
        std::chrono::steady_clock::time_point oldestHeld{};
    };

    StoreWriter(StoreBackend& backend, Swarms& swarms, WriteQueue& queue, Options options);
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    void stop();
    Status status() const;

private:
    struct Round;

    void run();
    // One transaction; false when it failed (and was rolled back).
    bool round();
    StoreResult applyWrites(Round& round);
    StoreResult storeRun(Round& round, std::vector<const StoreWrite*>& run);
    void committed(Round& round);
    void failed(Round& round, const StoreResult& result);
    // Ends what is left after the stop bound: fails the operations, counts
    // the rows.
    void abandon(const std::string& why);
    bool hasWork() const;
    void note(const std::string& line);
    // Publishes what pending_ holds, for status().
    void published();

    StoreBackend& backend_;
    Swarms& swarms_;
    WriteQueue& queue_;
    const Options options_;

    // Writer thread only.
    std::vector<StoreWrite> pending_;  // taken, not yet committed
    std::unique_ptr<ExpiryPass> pass_;
    std::shared_ptr<PendingOp> passOp_;
    std::chrono::steady_clock::time_point passStarted_;
    std::deque<StoreWrite> passesWaiting_;
    int32_t latestTime_ = 0;    // the latest time carried by a write: statistics' last_mod
    bool moreStatistics_ = false;  // the last round left marked statistics behind
    bool idleDone_ = true;
    std::chrono::steady_clock::time_point failingSince_;
    std::string lastNote_;

    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> commits_{0};
    std::atomic<uint64_t> failedCommits_{0};
    std::atomic<uint64_t> rowsStored_{0};
    std::atomic<uint64_t> rowsNotStored_{0};
    std::atomic<bool> failing_{false};
    std::atomic<int64_t> lastPassMicroseconds_{-1};
    std::atomic<uint64_t> heldWrites_{0};
    std::atomic<int64_t> oldestHeldNanoseconds_{0};  // steady clock
    std::thread thread_;
};

}  // namespace NORRIK::Data
