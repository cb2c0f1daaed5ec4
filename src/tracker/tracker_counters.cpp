#include "tracker/tracker_counters.hpp"

namespace NORRIK {

TrackerCounters::TrackerCounters(std::size_t writers) : blocks_(writers) {}

TrackerCounters::Totals TrackerCounters::totals() const {
    Totals totals{};
    auto addBlock = [&totals](const Block& block) {
        for (std::size_t i = 0; i < kCounterCount; ++i) totals[i] += block.values_[i].load(std::memory_order_relaxed);
    };
    for (const Block& block : blocks_) addBlock(block);
    addBlock(shared_);
    return totals;
}

}  // namespace NORRIK
