#pragma once
// NORRIK::TrackerCounters: what the UDP tracker has seen since it was made,
// counted per kind of request and outcome, for the operator's metrics.
//
// Counting sits on the request path of every datagram, so no two threads
// ever write the same memory: each writer (a tracker worker) owns one Block,
// a cache line of its own, and increments it with a relaxed load and store
// (no locked instruction, no line bouncing between cores). A reader on any
// thread sums the blocks with relaxed loads; it sees each block's counts as
// they were a moment ago, each one complete (atomics never tear), though not
// all taken at the same instant.
//
// Contract:
// - The number of writer blocks is fixed at construction; block(i) belongs to
//   one thread at a time (a worker for its whole life). sharedBlock() may be
//   written by any number of threads at once (it uses atomic increments):
//   it is for callers that have no block of their own.
// - totals() may be called from any thread at any time while the object
//   lives; it never blocks a writer.
// - Built with NORRIK_COUNTERS_OFF, add() does nothing and every total stays
//   0: that build exists only to measure what counting costs.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace NORRIK {

class TrackerCounters {
public:
    enum Counter : std::size_t {
        kDatagrams,  // every datagram received, whatever became of it
        kConnects,   // requests that reached the connect handler
        kAnnounces,  // requests that reached the announce handler
        kScrapes,    // requests that reached the scrape handler
        // Error replies, by their message.
        kErrorNotUnderstood,
        kErrorRemoteIp,
        kErrorNotRegistered,
        kErrorBadScrape,
        kErrorScrapeFailed,
        // Requests dropped without a reply.
        kDroppedSourceFilter,  // reserved source range, with the filter on
        kDroppedConnectionId,  // announce or scrape with an identifier that was refused
        kCounterCount
    };

    using Totals = std::array<uint64_t, kCounterCount>;

    // Two blocks never share a cache line, so their writers never contend.
    static constexpr std::size_t kCacheLine = 64;

    class alignas(kCacheLine) Block {
    public:
        explicit Block(bool shared = false) : shared_(shared) {}
        Block(const Block&) = delete;
        Block& operator=(const Block&) = delete;

        void add(Counter counter) noexcept {
#ifndef NORRIK_COUNTERS_OFF
            std::atomic<uint64_t>& value = values_[counter];
            if (shared_) {
                value.fetch_add(1, std::memory_order_relaxed);
            } else {
                // Only this block's own thread writes it.
                value.store(value.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
            }
#else
            (void)counter;
#endif
        }

    private:
        friend class TrackerCounters;
        std::array<std::atomic<uint64_t>, kCounterCount> values_{};
        bool shared_;
    };

    static_assert(sizeof(Block) % kCacheLine == 0, "a block fills whole cache lines");

    explicit TrackerCounters(std::size_t writers);
    TrackerCounters(const TrackerCounters&) = delete;
    TrackerCounters& operator=(const TrackerCounters&) = delete;

    std::size_t writers() const { return blocks_.size(); }

    // The block of writer `index` (below writers()).
    Block& block(std::size_t index) { return blocks_[index]; }

    Block& sharedBlock() { return shared_; }

    // Every block summed.
    Totals totals() const;

private:
    std::vector<Block> blocks_;
    Block shared_{true};
};

}  // namespace NORRIK
