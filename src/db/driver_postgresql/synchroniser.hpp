#pragma once
// NORRIK::Data::PostgreSQL::Synchroniser: brings into this node's memory
// what other norrik nodes sharing the database stored: registrations and
// removals, peers, and download totals.
//
// Contract:
// - Owns one thread and one connection of its own, which listens on
//   kChannel from before the store read the database (so a change committed
//   after that read is never missed). stop() (or the destructor) ends and
//   joins the thread at once, also while it waits for the server; the
//   Swarms must outlive the Synchroniser.
// - Reads, in one snapshot, the registrations, removals, peers (written by
//   other nodes) and statistics changed since the bound of its previous
//   read, and merges them into the Swarms (which queues nothing and marks
//   nothing for them). It reads every `interval`, and within `quickest`
//   of a notification (a registration or removal committed anywhere).
// - A read that fails changes the bound not at all: the next one reads the
//   same changes again (merging is idempotent). A lost connection is
//   connected again every `retry`. A failure is logged when it starts (a
//   lost connection only once it has lasted `quietOutage`: the writer,
//   whose connection goes with it, says so first) and when it ends.
// - After no successful read for longer than `fullReadAfter` (the database
//   may have dropped removal rows meanwhile), the next read takes every
//   registration.
// - Lock: one mutex, for the socket that stop() shuts down; nothing else is
//   shared with other threads but atomics.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "db/driver_postgresql/connection.hpp"
#include "db/swarms.hpp"
#include "util/mutex.hpp"

namespace NORRIK::Data::PostgreSQL {

class Synchroniser {
public:
    struct Options {
        int64_t nodeId = 0;  // peer rows of this origin are this node's own
        std::chrono::milliseconds interval{500};
        std::chrono::milliseconds quickest{50};
        std::chrono::milliseconds retry{1000};
        std::chrono::seconds quietOutage{30};
        std::chrono::seconds fullReadAfter{3 * 24 * 3600};
    };

    struct Status {
        uint64_t reads = 0;        // successful reads
        uint64_t failedReads = 0;
        bool failing = false;
    };

    // Rows fetched per round trip.
    static constexpr int kChunk = 20000;

    // Opens the connection and listens on kChannel; null and `error` when
    // the server cannot be reached or refuses.
    static std::unique_ptr<Connection> listen(const std::string& conninfo, std::string& error);

    // `connection` comes from listen(); `bound` is the first read's lower
    // bound (PostgreSQLBackend::loadedBound()).
    Synchroniser(std::unique_ptr<Connection> connection, Swarms& swarms, std::string bound, Options options);
    ~Synchroniser();
    Synchroniser(const Synchroniser&) = delete;
    Synchroniser& operator=(const Synchroniser&) = delete;

    void stop();
    Status status() const;

private:
    void run();
    // One read; false (and the bound unchanged) when it failed.
    bool read(bool complete);
    bool waitForRetry();
    void failed(const std::string& why, bool lostConnection);
    void publishSocket(int fd);

    std::unique_ptr<Connection> connection_;  // the thread's
    Swarms& swarms_;
    std::string bound_;  // the thread's
    const Options options_;
    int wakeFd_ = -1;    // eventfd: readable once stop() was called

    Mutex socketMutex_;
    int socket_ GUARDED_BY(socketMutex_) = -1;  // the connection's socket, -1 while it is replaced

    // The thread's: the failing streak.
    std::chrono::steady_clock::time_point failingSince_;
    bool streakLogged_ = false;
    std::string streakReason_;

    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> failedReads_{0};
    std::atomic<bool> failing_{false};
    std::thread thread_;  // last: started when everything above exists
};

}  // namespace NORRIK::Data::PostgreSQL
