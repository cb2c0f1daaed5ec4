// TrackerCounters: blocks written by their own threads and the shared block
// written by several, summed by a reader while they write.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tracker/tracker_counters.hpp"

using NORRIK::TrackerCounters;


TEST(TrackerCounters, ReadersSeeGrowingSumsAndTheExactTotalAtTheEnd) {
    constexpr std::size_t kWriters = 4;
    constexpr std::size_t kSharedWriters = 2;
    constexpr uint64_t kRounds = 50000;
    TrackerCounters counters(kWriters);
    ASSERT_EQ(counters.writers(), kWriters);

    // Every round adds 1 datagram and 1 announce; every 5th round also a
    // refused identifier. Owners and shared writers alike.
    auto write = [](TrackerCounters::Block& block) {
        for (uint64_t i = 0; i < kRounds; ++i) {
            block.add(TrackerCounters::kDatagrams);
            block.add(TrackerCounters::kAnnounces);
            if (i % 5 == 0) block.add(TrackerCounters::kDroppedConnectionId);
        }
    };

    std::atomic<bool> writing{true};
    std::atomic<int> regressions{0};
    std::atomic<uint64_t> reads{0};
    std::thread reader([&] {
        TrackerCounters::Totals last{};
        while (writing.load()) {
            const TrackerCounters::Totals now = counters.totals();
            for (std::size_t i = 0; i < now.size(); ++i) {
                if (now[i] < last[i]) regressions.fetch_add(1);
            }
            last = now;
            reads.fetch_add(1);
        }
    });

    std::vector<std::thread> writers;
    for (std::size_t i = 0; i < kWriters; ++i) writers.emplace_back(write, std::ref(counters.block(i)));
    for (std::size_t i = 0; i < kSharedWriters; ++i) writers.emplace_back(write, std::ref(counters.sharedBlock()));
    for (std::thread& t : writers) t.join();
    writing.store(false);
    reader.join();

    EXPECT_EQ(regressions.load(), 0);
    EXPECT_GT(reads.load(), 0u);
    const uint64_t threads = kWriters + kSharedWriters;
    const TrackerCounters::Totals totals = counters.totals();
    EXPECT_EQ(totals[TrackerCounters::kDatagrams], threads * kRounds);
    EXPECT_EQ(totals[TrackerCounters::kAnnounces], threads * kRounds);
    EXPECT_EQ(totals[TrackerCounters::kDroppedConnectionId], threads * (kRounds / 5));
    for (std::size_t i = 0; i < totals.size(); ++i) {
        if (i == TrackerCounters::kDatagrams || i == TrackerCounters::kAnnounces ||
            i == TrackerCounters::kDroppedConnectionId) {
            continue;
        }
        EXPECT_EQ(totals[i], 0u) << "counter " << i;
    }
}

