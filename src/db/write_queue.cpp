#include "db/write_queue.hpp"

namespace NORRIK::Data {

void PendingOp::finish(bool ok, std::string error) {
    {
        MutexLock lock(mutex_);
        if (finished_) return;
        ok_ = ok;
        error_ = std::move(error);
        finished_ = true;
    }
    done_.notify_all();
}

bool PendingOp::wait() {
    MutexLock lock(mutex_);
    mutex_.wait(done_, [this]() NO_THREAD_SAFETY_ANALYSIS { return finished_; });
    return ok_;
}

WriteQueue::WriteQueue(std::size_t capacity) : capacity_(capacity) {}

std::size_t WriteQueue::PeerKeyHasher::operator()(const PeerKey& key) const noexcept {
    return InfoHashHasher()(key.info_hash) ^ peerSlotHash(key.ip, key.port);
}

StoreWrite* WriteQueue::waiting(uint64_t sequence) {
    if (items_.empty() || sequence < items_.front().sequence) return nullptr;
    const uint64_t index = sequence - items_.front().sequence;
    return index < items_.size() ? &items_[index] : nullptr;
}

uint64_t WriteQueue::push(StoreWrite&& write) {
    bool wake = false;
    uint64_t sequence;
    {
        MutexLock lock(mutex_);
        const bool isRow = write.kind == StoreWrite::Kind::kPeer;
        if (isRow) {
            const PeerKey key{write.row.info_hash, write.row.ip, write.row.port};
            auto [entry, added] = rows_.try_emplace(key, 0);
            if (!added) {
                if (StoreWrite* held = waiting(entry->second)) {
                    // The peer's newer row, in the older one's place: no
                    // operation came between them. Whether the file had the
                    // peer is what the first of them knew.
                    const bool known = held->row.known;
                    held->row = write.row;
                    held->row.known = known;
                    ++replaced_;
                    return held->sequence;
                }
            }
            if (items_.size() >= capacity_) {
                rows_.erase(entry);
                ++dropped_;
                return 0;
            }
            entry->second = nextSequence_;
        } else {
            // Rows never move across an operation: the ones waiting now are
            // not replaced by later ones.
            rows_.clear();
        }
        sequence = nextSequence_++;
        write.sequence = sequence;
        write.queued = std::chrono::steady_clock::now();
        // The writer sleeps until the first item, an operation, or a full
        // batch; waking it for every row would cost a system call each.
        wake = items_.empty() || !isRow;
        if (!isRow) ++operations_;
        items_.push_back(std::move(write));
    }
    if (wake) wake_.notify_all();
    return sequence;
}

WriteQueue::Wait WriteQueue::waitForWork(std::chrono::milliseconds delay, std::size_t batch,
                                         std::chrono::milliseconds idle) {
    MutexLock lock(mutex_);
    const bool arrived = mutex_.waitUntil(wake_, std::chrono::steady_clock::now() + idle,
                                          [this]() NO_THREAD_SAFETY_ANALYSIS { return stopped_ || !items_.empty(); });
    if (items_.empty()) return arrived ? Wait::kStopped : Wait::kIdle;
    if (stopped_ || operations_ > 0 || items_.size() >= batch) return Wait::kWork;
    const auto deadline = items_.front().queued + delay;
    mutex_.waitUntil(wake_, deadline, [&]() NO_THREAD_SAFETY_ANALYSIS {
        return stopped_ || operations_ > 0 || items_.size() >= batch;
    });
    return Wait::kWork;
}

bool WriteQueue::waitForOperation(std::chrono::milliseconds timeout) {
    MutexLock lock(mutex_);
    return mutex_.waitUntil(wake_, std::chrono::steady_clock::now() + timeout,
                            [this]() NO_THREAD_SAFETY_ANALYSIS { return stopped_ || operations_ > 0; }) &&
           operations_ > 0;
}

void WriteQueue::take(std::vector<StoreWrite>& out, std::size_t limit) {
    std::unordered_map<PeerKey, uint64_t, PeerKeyHasher> forgotten;
    {
        MutexLock lock(mutex_);
        while (limit > 0 && !items_.empty()) {
            if (items_.front().kind != StoreWrite::Kind::kPeer) --operations_;
            out.push_back(std::move(items_.front()));
            items_.pop_front();
            --limit;
        }
        // With nothing left waiting every entry is stale: let go of them all,
        // outside the lock. Otherwise stale ones are overwritten as their
        // peers announce again, and all go once they outnumber the queue.
        if (items_.empty() || rows_.size() > 2 * capacity_) rows_.swap(forgotten);
    }
}

void WriteQueue::stop() {
    {
        MutexLock lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
}

bool WriteQueue::stopped() const {
    MutexLock lock(mutex_);
    return stopped_;
}

WriteQueue::Status WriteQueue::status() const {
    MutexLock lock(mutex_);
    Status status;
    status.waiting = items_.size();
    status.dropped = dropped_;
    status.replaced = replaced_;
    if (!items_.empty()) status.oldestAge = std::chrono::steady_clock::now() - items_.front().queued;
    return status;
}

}  // namespace NORRIK::Data
