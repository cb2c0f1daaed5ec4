// Micro-benchmark of the SQLite store alone: the store calls of one announce
// (fetchPeers, fetchTorrentStats, storePeer) over a given swarm shape, from
// one or more threads, for a bounded number of announces. Prints figures; it
// asserts nothing.
//
//   norrik-store-bench <db file> <torrents> <peers per torrent> <announces per thread> [threads]
//
// STORE_BENCH_MODE=1 runs only the two reads of each announce, =2 only the
// write.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "settings.hpp"
#include "util/log.hpp"

using NORRIK::Data::PeerAddress;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
using Clock = std::chrono::steady_clock;

namespace {

void hashOf(int torrent, uint8_t* out) {
    std::memset(out, 0, 20);
    std::memcpy(out, &torrent, sizeof torrent);
    out[19] = 0x5a;
}

int gMode = 0;  // 0 whole announce, 1 reads only, 2 store only

void announce(SQLite3Driver& driver, int torrent, int peer) {
    uint8_t hash[20];
    hashOf(torrent, hash);
    uint8_t peerId[20] = {};
    std::memcpy(peerId, &peer, sizeof peer);
    const uint32_t ip = 0x0A000000u + static_cast<uint32_t>(peer / 50000);
    const uint16_t port = static_cast<uint16_t>(10000 + peer % 50000);
    if (gMode != 2) {
        PeerAddress peers[30];
        int32_t count = 30;
        driver.fetchPeers(hash, &count, peers);
        TorrentStats stats{hash, 0, 0, 0};
        driver.fetchTorrentStats(&stats);
    }
    if (gMode == 3) {
        driver.insertTorrent(hash);
        return;
    }
    if (gMode != 1) driver.storePeer(peerId, hash, ip, port, 0, peer % 4 == 0 ? 0 : 1000, 0, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s <db file> <torrents> <peers per torrent> <announces per thread> [threads]\n",
                     argv[0]);
        return 2;
    }
    const std::string file = argv[1];
    const int torrents = std::atoi(argv[2]);
    const int peersPerTorrent = std::atoi(argv[3]);
    const int announces = std::atoi(argv[4]);
    const int threads = argc > 5 ? std::atoi(argv[5]) : 1;
    if (const char* mode = std::getenv("STORE_BENCH_MODE")) gMode = std::atoi(mode);
    if (torrents < 1 || peersPerTorrent < 1 || announces < 1 || threads < 1) return 2;

    std::filesystem::remove(file);
    std::filesystem::remove(file + "-wal");
    std::filesystem::remove(file + "-shm");
    NORRIK::Log::setRequestLogging(false);
    NORRIK::Settings::Section section("database");
    section.set("file", file);
    SQLite3Driver driver(&section, true);

    auto start = Clock::now();
    for (int t = 0; t < torrents; ++t) {
        for (int p = 0; p < peersPerTorrent; ++p) {
            uint8_t hash[20];
            hashOf(t, hash);
            uint8_t peerId[20] = {};
            driver.storePeer(peerId, hash, 0x0A000000u + static_cast<uint32_t>(p / 50000),
                             static_cast<uint16_t>(10000 + p % 50000), 0, p % 4 == 0 ? 0 : 1000, 0, 2);
        }
    }
    double fillSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    start = Clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < threads; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(static_cast<unsigned>(w + 1));
            for (int i = 0; i < announces; ++i) {
                announce(driver, static_cast<int>(random() % torrents), static_cast<int>(random() % peersPerTorrent));
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    start = Clock::now();
    driver.cleanup();
    double cleanupSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    const double total = static_cast<double>(announces) * threads;
    long rssKb = 0;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            if (std::strncmp(line, "VmRSS:", 6) == 0) rssKb = std::atol(line + 6);
        }
        std::fclose(status);
    }
    std::printf("torrents %d peers/torrent %d threads %d: fill %.0f stores/s, announces %.0f/s (%.1f us each), "
                "cleanup %.3f s, resident %ld MiB\n",
                torrents, peersPerTorrent, threads, torrents * static_cast<double>(peersPerTorrent) / fillSeconds,
                total / seconds, seconds * 1e6 / total, cleanupSeconds, rssKb / 1024);
    return 0;
}
