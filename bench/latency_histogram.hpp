#pragma once
// Latency histogram with one bucket per microsecond up to a fixed ceiling;
// larger samples land in one overflow bucket (their exact maximum is kept).
// Not thread-safe: the load generator records from its single thread.

#include <cstdint>
#include <vector>

class LatencyHistogram {
public:
    explicit LatencyHistogram(uint32_t ceilingMicros = 2'000'000);

    void record(uint64_t micros);
    uint64_t count() const { return total; }
    // The smallest latency (µs) at or below which `fraction` of the samples lie;
    // 0 when nothing was recorded. Samples past the ceiling report the maximum.
    uint64_t percentile(double fraction) const;
    uint64_t maximum() const { return maxSeen; }

private:
    std::vector<uint32_t> buckets;  // last bucket: overflow
    uint64_t total = 0;
    uint64_t maxSeen = 0;
};
