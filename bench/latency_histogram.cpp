#include "latency_histogram.hpp"

#include <cmath>

LatencyHistogram::LatencyHistogram(uint32_t ceilingMicros) : buckets(ceilingMicros + 1, 0) {}

void LatencyHistogram::record(uint64_t micros) {
    const uint64_t last = buckets.size() - 1;
    ++buckets[micros < last ? micros : last];
    ++total;
    if (micros > maxSeen) maxSeen = micros;
}

uint64_t LatencyHistogram::percentile(double fraction) const {
    if (total == 0) return 0;
    // Rank of the sample that covers `fraction` of all samples (1-based).
    uint64_t rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(total)));
    if (rank == 0) rank = 1;
    uint64_t seen = 0;
    for (uint64_t i = 0; i < buckets.size(); ++i) {
        seen += buckets[i];
        if (seen >= rank) return i + 1 == buckets.size() ? maxSeen : i;
    }
    return maxSeen;
}
