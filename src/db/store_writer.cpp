#include "db/store_writer.hpp"
#include "db/writer_pause.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>
#include <sched.h>

#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "util/hex.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

constexpr std::chrono::milliseconds kFirstRetry{50};
constexpr std::chrono::milliseconds kLongestRetry{1000};
// The writer's priority against the process's (nice values): lowest while
// it keeps up, a larger share of a shared core once it is kBehind behind,
// the lowest again once its oldest waiting write is younger than kCaughtUp.
constexpr int kKeepingUpNice = 19;
constexpr int kBehindNice = 5;
constexpr std::chrono::seconds kBehind{2};
constexpr std::chrono::milliseconds kCaughtUp{250};

// The writer thread's scheduling priority. Where the writer shares a core
// with the request threads, the lowest priority lets an arriving request
// preempt it at once instead of waiting for its time slice (measured: p99 at
// half the peak rate 0.5-0.9 ms instead of 2-3 ms); with a core to itself it
// runs as fast either way. When it falls behind it takes a share of the core
// again. Going back up is allowed to root or within RLIMIT_NICE (LimitNICE=
// of a systemd unit); where it is not, the writer keeps the process's
// priority throughout, as a writer that could not catch up under a
// sustained load would in the end refuse rows. Linux gives each thread a
// nice value of its own; elsewhere this changes nothing.
class WriterPriority {
public:
    WriterPriority() {
        if (mayReturn()) lowered_ = set(kKeepingUpNice);
    }

    // Decided from what waits in the queue: writes waiting longer than
    // kBehind mean the writer is behind; it has caught up once the oldest
    // waiting write is younger than kCaughtUp.
    void adjust(const WriteQueue::Status& waiting, bool stopping) {
        if (stopping || waiting.oldestAge > kBehind) {
            if (behind_) return;
            behind_ = true;  // a stop has the core to itself: drain at full speed
            if (lowered_) set(kBehindNice);
        } else if (behind_ && waiting.oldestAge < kCaughtUp) {
            behind_ = false;
            if (lowered_) set(kKeepingUpNice);
        }
    }

    bool behind() const { return behind_; }

private:
    // Whether the thread may lower its nice value again to kBehindNice.
    bool mayReturn() const {
#if defined(__linux__)
        if (geteuid() == 0) return true;
        rlimit limit{};
        if (getrlimit(RLIMIT_NICE, &limit) != 0) return false;
        const long lowestNice = 20 - static_cast<long>(limit.rlim_cur);
        return base_ + kBehindNice >= lowestNice;
#else
        return false;
#endif
    }

    bool set(int nice) {
#if defined(__linux__)
        return setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), base_ + nice) == 0;
#else
        (void)nice;
        return false;
#endif
    }

    const int base_ = getpriority(PRIO_PROCESS, 0);
    bool lowered_ = false;
    bool behind_ = false;
};

// The writer thread's priority and the queue it watches, for writerPause()
// during a round; null on every other thread.
struct PauseHook {
    WriterPriority* priority = nullptr;
    const WriteQueue* queue = nullptr;
    const std::atomic<bool>* stopping = nullptr;
    unsigned calls = 0;
};
thread_local PauseHook pauseHook;
constexpr unsigned kPausesBetweenChecks = 8;

bool samePeer(const PeerRow& a, const PeerRow& b) {
    return a.info_hash == b.info_hash && a.ip == b.ip && a.port == b.port;
}

bool peerBefore(const StoreWrite* a, const StoreWrite* b) {
    if (a->row.info_hash != b->row.info_hash) return a->row.info_hash < b->row.info_hash;
    if (a->row.ip != b->row.ip) return a->row.ip < b->row.ip;
    if (a->row.port != b->row.port) return a->row.port < b->row.port;
    return a->sequence < b->sequence;
}

}  // namespace

void writerPause() {
    PauseHook& hook = pauseHook;
    if (hook.priority == nullptr) {
        sched_yield();
        return;
    }
    if (++hook.calls % kPausesBetweenChecks == 0) {
        hook.priority->adjust(hook.queue->status(), hook.stopping->load());
    }
    // Behind, the writer yields at every kPausesBetweenChecks-th pause only:
    // where request threads keep a shared core busy, each yield costs it a
    // whole time slice of theirs, and yielding at every pause it would store
    // a few thousand rows a second.
    if (!hook.priority->behind() || hook.calls % kPausesBetweenChecks == 0) sched_yield();
}

// What one transaction did, to be reported once it is committed (or undone
// when it is not).
struct StoreWriter::Round {
    struct Outcome {
        StoreWrite* write;
        bool ok;
        std::string error;
    };
    struct Registration {
        InfoHash hash;
        uint64_t sequence;
        bool requested;  // by the API, not by an announce
    };
    struct Removal {
        InfoHash hash;
        uint64_t sequence;
        bool done;
    };
    std::unordered_map<InfoHash, bool, InfoHashHasher> registered;  // as this transaction leaves it
    std::vector<Outcome> outcomes;
    std::vector<Registration> registrations;
    std::vector<Removal> removals;
    std::vector<PeerRow> deletedPeers;
    std::vector<Swarms::Marked> statistics;
    std::vector<StoreWrite*> passesQueued;
    std::size_t rowsStored = 0;
    std::size_t rowsSkipped = 0;
    std::string skipReason;
    bool passMore = false;
};

StoreWriter::StoreWriter(StoreBackend& backend, Swarms& swarms, WriteQueue& queue, Options options)
    : backend_(backend), swarms_(swarms), queue_(queue), options_(options) {
    thread_ = std::thread(&StoreWriter::run, this);
}

StoreWriter::~StoreWriter() { stop(); }

void StoreWriter::stop() {
    stopping_.store(true);
    queue_.stop();
    if (thread_.joinable()) thread_.join();
}

StoreWriter::Status StoreWriter::status() const {
    Status status;
    status.commits = commits_.load();
    status.failedCommits = failedCommits_.load();
    status.rowsStored = rowsStored_.load();
    status.rowsNotStored = rowsNotStored_.load();
    status.failing = failing_.load();
    status.lastPassMicroseconds = lastPassMicroseconds_.load();
    status.heldWrites = heldWrites_.load();
    status.oldestHeld = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(oldestHeldNanoseconds_.load()));
    return status;
}

void StoreWriter::published() {
    // pending_ is in queue order: the first one is the oldest.
    oldestHeldNanoseconds_.store(pending_.empty() ? 0 : pending_.front().queued.time_since_epoch().count());
    heldWrites_.store(pending_.size());
}

void StoreWriter::note(const std::string& line) {
    // The same trouble is said once, not at every retry.
    if (line == lastNote_) return;
    lastNote_ = line;
    Log::error(line);
}

bool StoreWriter::hasWork() const {
    return !pending_.empty() || pass_ != nullptr || !passesWaiting_.empty() || moreStatistics_;
}

void StoreWriter::run() {
#if defined(__linux__)
    // Its own name, so that an operator can tell it from the request threads.
    pthread_setname_np(pthread_self(), "norrik-writer");
#endif
    WriterPriority priority;
    pauseHook = PauseHook{&priority, &queue_, &stopping_, 0};
    struct ClearHook {
        ~ClearHook() { pauseHook = PauseHook{}; }
    } clearHook;  // before `priority` goes
    std::chrono::milliseconds retry = kFirstRetry;
    std::chrono::steady_clock::time_point stopDeadline{};
    bool deadlineSet = false;
    bool finalRound = false;
    for (;;) {
        const bool stopping = stopping_.load();
        if (stopping && !deadlineSet) {
            stopDeadline = std::chrono::steady_clock::now() + options_.stopBound;
            deadlineSet = true;
        }
        if (!hasWork()) {
            const WriteQueue::Wait wait =
                stopping ? (queue_.status().waiting > 0 ? WriteQueue::Wait::kWork : WriteQueue::Wait::kStopped)
                         : queue_.waitForWork(options_.groupDelay, options_.batch, options_.idleAfter);
            if (wait == WriteQueue::Wait::kStopped) {
                if (!stopping_.load()) continue;
                // Statistics marked without a queued row (its row was
                // dropped from a full queue) are written by one last round.
                if (finalRound) break;
                finalRound = true;
            } else if (wait == WriteQueue::Wait::kIdle) {
                if (!idleDone_) idleDone_ = backend_.idle();
                continue;
            }
        }
        idleDone_ = false;
        priority.adjust(queue_.status(), stopping);
        if (round()) {
            retry = kFirstRetry;
            continue;
        }
        if (stopping_.load() && deadlineSet && std::chrono::steady_clock::now() >= stopDeadline) {
            abandon(lastNote_);
            break;
        }
        // Operations that arrive meanwhile are tried at once; rows wait.
        if (stopping_.load()) {
            std::this_thread::sleep_for(retry);
        } else {
            queue_.waitForOperation(retry);
        }
        retry = std::min(retry * 2, kLongestRetry);
    }
}

bool StoreWriter::round() {
    const std::size_t limit =
        queue_.status().waiting > options_.batch ? options_.backlogBatch : options_.batch;
    if (pending_.size() < limit) queue_.take(pending_, limit - pending_.size());
    published();
    for (const StoreWrite& write : pending_) latestTime_ = std::max(latestTime_, write.row.time);

    Round round;
    StoreResult result = backend_.begin();
    if (result.isOk()) result = applyWrites(round);
    if (result.isOk() && !pass_ && !passesWaiting_.empty()) {
        StoreWrite next = std::move(passesWaiting_.front());
        passesWaiting_.pop_front();
        pass_ = backend_.startExpiry(next.cutoff);
        passOp_ = next.op;
        passStarted_ = std::chrono::steady_clock::now();
        if (!pass_) {  // the pass cannot run; the backend said why
            passOp_->finish(true);
            passOp_.reset();
        }
    }
    if (result.isOk() && pass_) {
        StoreResult stepped = pass_->step(&round.passMore);
        if (stepped.isTransient()) {
            result = stepped;
        } else if (!stepped.isOk()) {
            note("Store: the maintenance pass stopped: " + stepped.error);
            round.passMore = false;
        }
    }
    if (result.isOk()) {
        // Statistics carry the time of the latest write (the store's clock,
        // which the writes carry), or the system's before the first.
        const int32_t time = latestTime_ != 0 ? latestTime_ : static_cast<int32_t>(std::time(nullptr));
        std::vector<Swarms::Marked> marked;
        swarms_.takeStatistics(marked, options_.statisticsPerRound, time);
        moreStatistics_ = marked.size() >= options_.statisticsPerRound;
        std::vector<StatsRow> rows;
        std::vector<Swarms::Marked> later;
        rows.reserve(marked.size());
        for (const Swarms::Marked& entry : marked) {
            // Only torrents registered in the file get statistics; a torrent
            // removed meanwhile would otherwise get its row back. One that
            // memory holds but the file does not yet (listed again after a
            // removal, its registration still queued) is written later.
            auto known = round.registered.find(entry.row.info_hash);
            const bool registered =
                known != round.registered.end() ? known->second : entry.phase == TorrentPhase::kListed;
            if (registered) {
                rows.push_back(entry.row);
                round.statistics.push_back(entry);
            } else if (entry.phase != TorrentPhase::kUnlisted) {
                later.push_back(entry);
            }
        }
        swarms_.giveBack(later);
        if (!rows.empty()) {
            StoreResult written = backend_.writeStatistics(rows.data(), rows.size());
            if (written.isTransient()) {
                result = written;
            } else if (!written.isOk()) {
                // A file without a statistics table (dropped by another
                // program): peers are still stored, and it is said once.
                note("Store: statistics could not be written: " + written.error);
            }
        }
    }
    if (result.isOk()) result = backend_.commit();
    if (!result.isOk()) {
        failed(round, result);
        return false;
    }
    committed(round);
    return true;
}

StoreResult StoreWriter::applyWrites(Round& round) {
    std::vector<const StoreWrite*> run;
    for (StoreWrite& write : pending_) {
        if (write.kind == StoreWrite::Kind::kPeer) {
            run.push_back(&write);
            continue;
        }
        // Operations keep their place among the rows.
        StoreResult stored = storeRun(round, run);
        if (!stored.isOk()) return stored;
        const InfoHash& hash = write.row.info_hash;
        switch (write.kind) {
            case StoreWrite::Kind::kRegister: {
                StoreResult result = backend_.registerTorrent(hash.data(), write.row.time);
                if (result.isTransient()) return result;
                round.outcomes.push_back({&write, result.isOk(), result.error});
                if (result.isOk()) {
                    round.registered[hash] = true;
                    round.registrations.push_back({hash, write.sequence, true});
                }
                break;
            }
            case StoreWrite::Kind::kRemove: {
                StoreResult result = backend_.removeTorrent(hash.data());
                if (result.isTransient()) return result;
                round.outcomes.push_back({&write, result.isOk(), result.error});
                if (result.isOk()) round.registered[hash] = false;
                round.removals.push_back({hash, write.sequence, result.isOk()});
                break;
            }
            case StoreWrite::Kind::kDeletePeer: {
                bool removed = false;
                StoreResult result = backend_.deletePeer(write.row, &removed);
                if (result.isTransient()) return result;
                round.outcomes.push_back({&write, true, {}});
                if (removed) round.deletedPeers.push_back(write.row);
                break;
            }
            case StoreWrite::Kind::kExpire:
                // Runs in steps of its own once this transaction is committed.
                round.passesQueued.push_back(&write);
                break;
            case StoreWrite::Kind::kFlush:
                round.outcomes.push_back({&write, true, {}});
                break;
            case StoreWrite::Kind::kPeer:
                break;
        }
    }
    return storeRun(round, run);
}

StoreResult StoreWriter::storeRun(Round& round, std::vector<const StoreWrite*>& run) {
    if (run.empty()) return StoreResult::ok();
    // Whether each torrent of the run is registered in the file: as this
    // transaction has left it, else as memory says (kListed is committed).
    std::vector<InfoHash> unknown;
    for (const StoreWrite* write : run) {
        if (round.registered.count(write->row.info_hash) == 0) {
            unknown.push_back(write->row.info_hash);
            round.registered.emplace(write->row.info_hash, false);
        }
    }
    std::vector<TorrentPhase> phases;
    swarms_.phases(unknown, phases);
    for (std::size_t i = 0; i < unknown.size(); ++i) {
        round.registered[unknown[i]] = phases[i] == TorrentPhase::kListed;
    }

    // Registrations first, then the rows: a new table changes the schema,
    // which costs every prepared statement a fresh compile.
    std::unordered_map<InfoHash, bool, InfoHashHasher> refused;
    for (const StoreWrite* write : run) {
        const InfoHash& hash = write->row.info_hash;
        if (round.registered[hash] || refused.count(hash) != 0) continue;
        if (!options_.dynamic) {
            // Without dynamic mode an announce never registers a torrent: this
            // one was removed after the announce was accepted.
            refused.emplace(hash, true);
            continue;
        }
        // Each registration may cost milliseconds (a table among many): the
        // request threads go first between them.
        writerPause();
        StoreResult result = backend_.registerTorrent(hash.data(), write->row.time);
        if (result.isTransient()) return result;
        if (!result.isOk()) {
            refused.emplace(hash, true);
            note("Store: torrent " + hashToHex(hash.data()) + " could not be registered: " + result.error);
            continue;
        }
        round.registered[hash] = true;
        round.registrations.push_back({hash, write->sequence, false});
    }

    // Each peer's last write in the run is the one that counts; sorted by
    // torrent and address, so that a torrent's statement and pages are used
    // while they are at hand.
    std::stable_sort(run.begin(), run.end(), peerBefore);
    std::vector<PeerRow> rows;
    rows.reserve(run.size());
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (i + 1 < run.size() && samePeer(run[i]->row, run[i + 1]->row)) continue;
        if (refused.count(run[i]->row.info_hash) != 0) {
            // Dynamic mode: the torrent's registration failed, so its row is
            // lost (the next announce tries again). Otherwise the torrent was
            // removed and its row is not wanted.
            if (options_.dynamic) ++round.rowsSkipped;
            continue;
        }
        rows.push_back(run[i]->row);
    }
    run.clear();
    if (rows.empty()) return StoreResult::ok();
    std::size_t skipped = 0;
    std::string why;
    StoreResult result = backend_.writePeers(rows.data(), rows.size(), &skipped, &why);
    if (!result.isOk()) return result;
    round.rowsStored += rows.size() - skipped;
    round.rowsSkipped += skipped;
    if (skipped > 0) round.skipReason = why;
    return StoreResult::ok();
}

void StoreWriter::committed(Round& round) {
    commits_.fetch_add(1);
    rowsStored_.fetch_add(round.rowsStored);
    if (round.rowsSkipped > 0) {
        rowsNotStored_.fetch_add(round.rowsSkipped);
        note("Store: " + std::to_string(round.rowsSkipped) + " peer rows could not be stored: " + round.skipReason);
    }
    if (failing_.exchange(false)) {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - failingSince_);
        Log::error("Store: writes are stored again, after " + std::to_string(seconds.count() / 1000.0).substr(0, 5) +
                   " s");
        lastNote_.clear();
    }
    for (const Round::Registration& registration : round.registrations) {
        if (round.registered[registration.hash]) {
            swarms_.registered(registration.hash.data(), registration.sequence, registration.requested);
        }
    }
    // Statistics held back while a removal was queued are written next.
    if (!round.removals.empty()) moreStatistics_ = true;
    for (const Round::Removal& removal : round.removals) {
        swarms_.removalDone(removal.hash.data(), removal.sequence, removal.done);
    }
    for (const PeerRow& peer : round.deletedPeers) {
        swarms_.peerDeleted(peer.info_hash.data(), peer.ip, peer.port, peer.time);
    }
    for (StoreWrite* pass : round.passesQueued) passesWaiting_.push_back(std::move(*pass));
    if (pass_ && !round.passMore) {
        pass_.reset();
        lastPassMicroseconds_.store(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - passStarted_)
                                        .count());
        passOp_->finish(true);
        passOp_.reset();
    }
    for (Round::Outcome& outcome : round.outcomes) {
        if (outcome.write->op) outcome.write->op->finish(outcome.ok, outcome.error);
    }
    pending_.clear();
    published();
}

void StoreWriter::failed(Round& round, const StoreResult& result) {
    backend_.rollback();
    failedCommits_.fetch_add(1);
    swarms_.giveBack(round.statistics);
    moreStatistics_ = true;  // what was given back is written by the next attempt
    if (pass_) pass_->rolledBack();
    if (!failing_.exchange(true)) failingSince_ = std::chrono::steady_clock::now();
    const std::string why = result.error.empty() ? std::string("unknown error") : result.error;
    note("Store: the database refused a commit (" + why + "); peer writes are kept and retried");
    // Operations are answered now: their callers are told that nothing was
    // stored. Rows stay for the next attempt.
    std::vector<StoreWrite> rows;
    rows.reserve(pending_.size());
    for (StoreWrite& write : pending_) {
        if (write.kind == StoreWrite::Kind::kPeer) {
            rows.push_back(std::move(write));
            continue;
        }
        if (write.kind == StoreWrite::Kind::kExpire) {
            // The maintenance pass tries again at its next interval.
            if (write.op) write.op->finish(false, why);
            continue;
        }
        if (write.kind == StoreWrite::Kind::kRemove) {
            swarms_.removalDone(write.row.info_hash.data(), write.sequence, false);
        }
        if (write.op) write.op->finish(false, why);
    }
    pending_ = std::move(rows);
    published();
}

void StoreWriter::abandon(const std::string& why) {
    std::vector<StoreWrite> rest = std::move(pending_);
    pending_.clear();
    published();
    queue_.take(rest, SIZE_MAX);
    std::size_t rows = 0;
    for (StoreWrite& write : rest) {
        if (write.kind == StoreWrite::Kind::kPeer) {
            ++rows;
        } else if (write.op) {
            write.op->finish(false, why);
        }
    }
    for (StoreWrite& pass : passesWaiting_) {
        if (pass.op) pass.op->finish(false, why);
    }
    passesWaiting_.clear();
    if (passOp_) passOp_->finish(false, why);
    passOp_.reset();
    pass_.reset();
    rowsNotStored_.fetch_add(rows);
    Log::error("Store: stopping with " + std::to_string(rows) + " peer writes and the counts of " +
               "their torrents not stored: " + (why.empty() ? std::string("the database refused them") : why));
}

}  // namespace NORRIK::Data
