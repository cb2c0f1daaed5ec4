// norrik-store-node: the tracker as norrik runs it (UDP side, worker threads,
// maintenance thread and store; no API server), from a settings file, with
// the store's status printed every interval so that a benchmark can follow
// the write backlog while load comes in and after it stops
// (scripts/pg-bench).
//
//   norrik-store-node SETTINGS [--interval-ms N] [--limit SECONDS]
//
// Standard output: "serving port=P" once the tracker runs, then one line per
// interval:
//   status t=SECONDS queued=N lag_s=S commits=N failed_commits=N dropped=N
//          torrents=N peers=N failing=0|1
// and "stopped seconds=S" after the store has stored what it held. It stops
// when standard input ends, or after --limit seconds (default 3600).
// Exit status 1 when the tracker cannot start.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "db/database_exception.hpp"
#include "settings.hpp"
#include "tracker/tracker.hpp"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: norrik-store-node SETTINGS [--interval-ms N] [--limit SECONDS]\n");
        return 2;
    }
    int intervalMs = 250;
    double limit = 3600;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--interval-ms") == 0) intervalMs = std::max(10, std::atoi(argv[i + 1]));
        if (std::strcmp(argv[i], "--limit") == 0) limit = std::atof(argv[i + 1]);
    }
    NORRIK::Settings settings(argv[1]);
    if (!settings.load()) {
        std::fprintf(stderr, "norrik-store-node: cannot read %s\n", argv[1]);
        return 1;
    }
    auto tracker = std::make_unique<NORRIK::Tracker>(&settings);
    try {
        if (tracker->start() != 0) {
            std::fprintf(stderr, "norrik-store-node: the tracker did not start\n");
            return 1;
        }
    } catch (const NORRIK::Data::DatabaseException& e) {
        std::fprintf(stderr, "norrik-store-node: %s\n", e.message());
        return 1;
    }
    std::printf("serving port=%u\n", tracker->getPort());
    std::fflush(stdout);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (::poll(&in, 1, intervalMs) > 0) {
            char byte;
            if (::read(STDIN_FILENO, &byte, 1) <= 0) break;  // end of input: stop
        }
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        const NORRIK::Data::StoreStatus s = tracker->getDriver()->status();
        std::printf("status t=%.3f queued=%llu lag_s=%.3f commits=%llu failed_commits=%llu dropped=%llu "
                    "torrents=%llu peers=%llu failing=%d\n",
                    t, static_cast<unsigned long long>(s.queuedWrites), s.queueLagSeconds,
                    static_cast<unsigned long long>(s.commits), static_cast<unsigned long long>(s.failedCommits),
                    static_cast<unsigned long long>(s.droppedWrites), static_cast<unsigned long long>(s.torrents),
                    static_cast<unsigned long long>(s.peers), s.writerFailing ? 1 : 0);
        std::fflush(stdout);
        if (t >= limit) break;
    }
    const auto stopping = Clock::now();
    tracker.reset();  // joins the threads, stores what is queued
    std::printf("stopped seconds=%.3f\n", std::chrono::duration<double>(Clock::now() - stopping).count());
    return 0;
}
