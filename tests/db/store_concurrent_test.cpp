// One store shared the way the program shares it: tracker workers announcing
// and reading, the API adding and removing the same torrents, and the
// maintenance pass, all at once. Run under ThreadSanitizer by scripts/test
// (the name carries "Concurrent"). Afterwards the file must be whole and
// consistent once the waiting writes are stored: a torrent is registered
// exactly when its peer table exists, its statistics row counts its rows,
// and what the store answers from memory is what the file holds.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db_test_support.hpp"
#include "util/log.hpp"

using NORRIK::Data::PeerAddress;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
using namespace norrik_test;

namespace {

// For every torrent: registered exactly when its peer table exists, and its
// statistics row and the store's answer both count the table's rows.
void expectFileAndMemoryAgree(SQLite3Driver& driver, RawDb& raw, const std::vector<Hash>& hashes) {
    for (const Hash& hash : hashes) {
        SCOPED_TRACE(hash.table());
        const std::string hex = NORRIK::hashToHex(hash.get());
        const bool registered =
            raw.integer("SELECT COUNT(*) FROM torrents WHERE info_hash=x'" + hex + "'") == 1;
        EXPECT_EQ(registered, raw.hasTable(hash.table()));
        if (!registered) continue;
        const int64_t seeders = raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "' WHERE left=zeroblob(8)");
        const int64_t rows = raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "'");
        const std::string row = " FROM stats WHERE info_hash=x'" + hex + "'";
        TorrentStats stats{hash.get(), 0, 0, 0};
        if (!driver.fetchTorrentStats(&stats)) {
            EXPECT_EQ(rows, 0);
            EXPECT_EQ(raw.integer("SELECT COUNT(*)" + row), 0);
            continue;
        }
        EXPECT_EQ(raw.integer("SELECT seeders" + row), seeders);
        EXPECT_EQ(raw.integer("SELECT leechers" + row), rows - seeders);
        EXPECT_EQ(stats.seeders, seeders);
        EXPECT_EQ(stats.leechers, rows - seeders);
        EXPECT_EQ(stats.completed, raw.integer("SELECT completed" + row));
    }
}

}  // namespace

TEST(StoreConcurrent, WorkersApiAndMaintenanceOnOneStore) {
    constexpr int kTorrents = 6;
    constexpr int kRounds = 150;
    TempDir dir;
    const std::string file = dir.path("tracker.db");
    NORRIK::Settings::Section section{"database"};
    section.set("file", file);
    SQLite3Driver driver(&section, false);

    std::vector<Hash> hashes;
    for (int i = 0; i < kTorrents; ++i) hashes.emplace_back(static_cast<uint8_t>(100 + i));

    std::atomic<bool> running{true};
    std::atomic<int> badReads{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937 random(w);
            for (int i = 0; i < kRounds; ++i) {
                const Hash& hash = hashes[random() % kTorrents];
                const uint32_t ip = 0x0A000000u + static_cast<uint32_t>(random() % 50);
                const uint16_t port = static_cast<uint16_t>(6881 + w);
                uint64_t id = 0;
                driver.issueConnectionId(&id, ip, port);
                if (!driver.checkConnectionId(id, ip, port)) ++badReads;
                driver.hasTorrent(hash.get());
                PeerAddress peers[30];
                int32_t count = 30;
                driver.fetchPeers(hash.get(), &count, peers);
                if (count < 0 || count > 30) ++badReads;
                TorrentStats stats{hash.get(), 0, 0, 0};
                driver.fetchTorrentStats(&stats);
                if (stats.seeders < 0 || stats.leechers < 0) ++badReads;
                driver.storePeer(PeerId('W').get(), hash.get(), ip, port, 0, random() % 2 ? 0 : 100, 0,
                                 static_cast<int32_t>(random() % 4));
            }
        });
    }
    threads.emplace_back([&] {  // the API
        for (int i = 0; i < kRounds; ++i) {
            const Hash& hash = hashes[i % kTorrents];
            if (i % 3 == 2) {
                driver.deleteTorrent(hash.get());
            } else {
                driver.insertTorrent(hash.get());
            }
        }
    });
    std::thread maintenance([&] {
        while (running.load()) driver.cleanup();
    });
    for (auto& t : threads) t.join();
    running = false;
    maintenance.join();
    ASSERT_TRUE(driver.flush());

    EXPECT_EQ(badReads.load(), 0);
    RawDb raw(file);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw.get(), "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);

    expectFileAndMemoryAgree(driver, raw, hashes);
}

// Announces change memory at once and reach the file later; the maintenance
// pass and removals read and rewrite the same counts from the file meanwhile.
// Many announces that change the counts, passes that expire peers (the clock
// jumps ahead), and a torrent removed and added again, all at once: no change
// may be lost or counted twice in memory or in the file.
TEST(StoreConcurrent, AnnouncesWrittenBehindStayCountedThroughPassesAndRemovals) {
    constexpr int kWorkers = 3;
    constexpr int kAnnounces = 8000;
    TempDir dir;
    const std::string file = dir.path("tracker.db");
    NORRIK::Settings::Section section{"database"};
    section.set("file", file);
    SQLite3Driver driver(&section, true);
    std::atomic<int64_t> clock{1'000'000};
    driver.setClock([&] { return clock.load(); });
    const bool logging = NORRIK::Log::requestLogging();
    NORRIK::Log::setRequestLogging(false);

    const std::vector<Hash> hashes{Hash(1), Hash(2)};
    // Passes and removals stop while announces still come, so that the
    // counts a race left wrong are not simply counted afresh at the end.
    std::atomic<int> announced{0};
    auto busy = [&] { return announced.load() < kWorkers * kAnnounces * 3 / 4; };
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            std::mt19937 random(w);
            for (int i = 0; i < kAnnounces; ++i) {
                const Hash& hash = hashes[random() % hashes.size()];
                const uint32_t ip = 0x0A000000u + static_cast<uint32_t>(random() % 400);
                driver.storePeer(PeerId('W').get(), hash.get(), ip, static_cast<uint16_t>(7000 + w), 0,
                                 random() % 2 ? 0 : 100, 0, static_cast<int32_t>(random() % 4));
                ++announced;
            }
        });
    }
    std::thread maintenance([&] {
        while (busy()) {
            clock += 100;  // rows not written for 7200 s expire
            driver.cleanup();
        }
    });
    std::thread api([&] {
        while (busy()) {
            driver.deleteTorrent(hashes[1].get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            driver.insertTorrent(hashes[1].get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto& t : workers) t.join();
    api.join();
    maintenance.join();
    ASSERT_TRUE(driver.flush());
    NORRIK::Log::setRequestLogging(logging);

    RawDb raw(file);
    expectFileAndMemoryAgree(driver, raw, hashes);
}
