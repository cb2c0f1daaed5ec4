// The store under load: journal mode and earlier files, counts kept by each
// write, and many threads at once on one driver.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db_test_support.hpp"

using NORRIK::Data::PeerAddress;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
using namespace norrik_test;

namespace {

constexpr int64_t kStart = 1'700'000'000;

class StoreLoad : public ::testing::Test {
protected:
    std::unique_ptr<SQLite3Driver> open(bool dynamic = false) {
        section.set("file", file);
        auto driver = std::make_unique<SQLite3Driver>(&section, dynamic);
        driver->setClock([this] { return clock.load(); });
        return driver;
    }

    // Counts straight from the peer table.
    std::pair<int64_t, int64_t> fullCount(RawDb& raw, const Hash& hash) {
        const std::string from = " FROM '" + hash.table() + "'";
        return {raw.integer("SELECT COUNT(*)" + from + " WHERE left=zeroblob(8)"),
                raw.integer("SELECT COUNT(*)" + from + " WHERE left<>zeroblob(8)")};
    }

    std::pair<int64_t, int64_t> storedCount(SQLite3Driver& driver, const Hash& hash) {
        TorrentStats record{hash.get(), 0, 0, 0};
        driver.fetchTorrentStats(&record);
        return {record.seeders, record.leechers};
    }

    TempDir dir;
    std::string file = dir.path("tracker.db");
    NORRIK::Settings::Section section{"database"};
    std::atomic<int64_t> clock{kStart};
};

TEST_F(StoreLoad, FileWrittenWithARollbackJournalOpensInWalAndWorks) {
    // The file as the plain store leaves it: rollback journal, the two tables,
    // one torrent with two peers and statistics counted by a full scan.
    Hash hash(1);
    {
        RawDb raw(file);
        ASSERT_TRUE(raw.exec("CREATE TABLE stats (info_hash blob(20) UNIQUE,completed INTEGER DEFAULT 0,leechers "
                             "INTEGER DEFAULT 0,seeders INTEGER DEFAULT 0,last_mod INTEGER DEFAULT 0)"));
        ASSERT_TRUE(raw.exec("CREATE TABLE torrents (info_hash blob(20) UNIQUE,created INTEGER)"));
        const std::string hex = hash.table().substr(1);
        ASSERT_TRUE(raw.exec("INSERT INTO torrents VALUES (x'" + hex + "',5)"));
        ASSERT_TRUE(raw.exec("CREATE TABLE IF NOT EXISTS '" + hash.table() +
                             "' (peer_id blob(20),ip blob(4),port blob(2),uploaded blob(8),downloaded blob(8),left "
                             "blob(8),last_seen INT DEFAULT 0, CONSTRAINT c1 UNIQUE (ip,port) ON CONFLICT REPLACE)"));
        ASSERT_TRUE(raw.exec("INSERT INTO '" + hash.table() +
                             "' VALUES (zeroblob(20),x'0100000a',x'e11a',zeroblob(8),zeroblob(8),zeroblob(8)," +
                             std::to_string(kStart - 100) + ")"));
        ASSERT_TRUE(raw.exec("INSERT INTO '" + hash.table() +
                             "' VALUES (zeroblob(20),x'0200000a',x'e11a',zeroblob(8),zeroblob(8),x'0100000000000000'," +
                             std::to_string(kStart - 9000) + ")"));
        ASSERT_TRUE(raw.exec("INSERT INTO stats (info_hash,completed,leechers,seeders,last_mod) VALUES (x'" + hex +
                             "',3,1,1,5)"));
        ASSERT_EQ(raw.integer("SELECT COUNT(*) FROM pragma_journal_mode WHERE journal_mode='delete'"), 1);
    }
    auto driver = open();
    RawDb raw(file);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM pragma_journal_mode WHERE journal_mode='wal'"), 1);
    EXPECT_TRUE(driver->hasTorrent(hash.get()));

    PeerAddress peers[5];
    int32_t count = 5;
    driver->fetchPeers(hash.get(), &count, peers);
    EXPECT_EQ(count, 2);
    TorrentStats record{hash.get(), 0, 0, 0};
    ASSERT_TRUE(driver->fetchTorrentStats(&record));
    EXPECT_EQ(record.completed, 3);

    driver->storePeer(PeerId('C').get(), hash.get(), 0x0A000003, 6881, 0, 0, 0, 1);
    EXPECT_EQ(storedCount(*driver, hash), std::make_pair(int64_t{2}, int64_t{1}));
    driver->cleanup();  // the leecher seen 9000 s ago goes
    EXPECT_EQ(storedCount(*driver, hash), std::make_pair(int64_t{2}, int64_t{0}));
    ASSERT_TRUE(driver->fetchTorrentStats(&record));
    EXPECT_EQ(record.completed, 4);
}

TEST_F(StoreLoad, StatisticsCountedWrongBeforeStartAreRecountedOnTheFirstWrite) {
    Hash hash(2);
    {
        auto driver = open();
        driver->insertTorrent(hash.get());
        driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 0);
        driver->storePeer(PeerId('B').get(), hash.get(), 0x0A000001, 2, 0, 500, 0, 0);
    }
    RawDb(file).exec("UPDATE stats SET seeders=40,leechers=40");  // as a race could have left them
    auto driver = open();
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 0);
    EXPECT_EQ(storedCount(*driver, hash), std::make_pair(int64_t{1}, int64_t{1}));
}

TEST_F(StoreLoad, CountsStayExactThroughAnySequenceOfWrites) {
    auto driver = open();
    Hash hash(3);
    driver->insertTorrent(hash.get());
    RawDb raw(file);
    std::mt19937 random(12345);
    for (int i = 0; i < 400; ++i) {
        const uint16_t port = static_cast<uint16_t>(1 + random() % 12);
        const char peer = static_cast<char>('A' + random() % 2);
        const int kind = static_cast<int>(random() % 10);
        SCOPED_TRACE("step " + std::to_string(i));
        if (kind < 7) {
            driver->storePeer(PeerId(peer).get(), hash.get(), 0x0A000001, port, 0, (random() % 2) ? 0 : 700, 0,
                              static_cast<int32_t>(random() % 4));
        } else if (kind < 9) {
            driver->deletePeer(PeerId(peer).get(), hash.get(), 0x0A000001, port);  // may not match
        } else {
            clock += 3000;  // older rows start to expire
            driver->cleanup();
        }
        driver->flush();  // peer writes reach the file with the writer's next commit
        ASSERT_EQ(storedCount(*driver, hash), fullCount(raw, hash));
    }
}

TEST_F(StoreLoad, PeerTableDroppedBehindTheDriverIsMadeAgain) {
    auto driver = open();
    Hash hash(5);
    driver->insertTorrent(hash.get());
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 0);
    driver->flush();
    RawDb raw(file);
    ASSERT_TRUE(raw.exec("DROP TABLE '" + hash.table() + "'"));
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 0);  // finds it gone
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 0);
    driver->flush();
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "'"), 1);
    EXPECT_EQ(storedCount(*driver, hash), std::make_pair(int64_t{1}, int64_t{0}));
}

TEST_F(StoreLoad, RemovedTorrentComesBackWithFreshRegistrationAndStatistics) {
    // Registrations and statistics are answered from memory: a removal and a
    // new registration must leave nothing of the old torrent there.
    auto driver = open();
    Hash hash(8);
    ASSERT_TRUE(driver->insertTorrent(hash.get()));
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 1);
    driver->storePeer(PeerId('B').get(), hash.get(), 0x0A000001, 2, 0, 5, 0, 0);
    ASSERT_TRUE(driver->deleteTorrent(hash.get()));
    EXPECT_FALSE(driver->hasTorrent(hash.get()));
    TorrentStats record{hash.get(), 0, 0, 0};
    EXPECT_FALSE(driver->fetchTorrentStats(&record));

    ASSERT_TRUE(driver->insertTorrent(hash.get()));
    EXPECT_TRUE(driver->hasTorrent(hash.get()));
    driver->storePeer(PeerId('C').get(), hash.get(), 0x0A000003, 3, 0, 7, 0, 0);
    ASSERT_TRUE(driver->fetchTorrentStats(&record));
    EXPECT_EQ(record.seeders, 0);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(record.completed, 0);

    // A new driver on the same file reads the same from it.
    driver.reset();
    driver = open();
    EXPECT_TRUE(driver->hasTorrent(hash.get()));
    EXPECT_FALSE(driver->hasTorrent(Hash(9).get()));
    TorrentStats again{hash.get(), 0, 0, 0};
    ASSERT_TRUE(driver->fetchTorrentStats(&again));
    EXPECT_EQ(again.leechers, 1);
}

TEST_F(StoreLoad, PeersHandedOutFollowDeletesExpiryAndRemoval) {
    // Peers are handed out from memory: every way a row leaves the table
    // must take the peer out of what is handed out.
    auto driver = open();
    Hash hash(11);
    driver->insertTorrent(hash.get());
    auto handedOut = [&] {
        PeerAddress peers[30];
        int32_t count = 30;
        driver->fetchPeers(hash.get(), &count, peers);
        std::set<uint16_t> ports;
        for (int i = 0; i < count; ++i) ports.insert(peers[i].port);
        return ports;
    };
    clock = kStart - 8000;
    for (uint16_t port : {1, 2}) driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, port, 0, 0, 0, 0);
    clock = kStart;
    for (uint16_t port : {3, 4, 5}) driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, port, 0, 9, 0, 0);
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 4, 0, 0, 0, 0);  // replaces, stays one peer
    EXPECT_EQ(handedOut(), (std::set<uint16_t>{1, 2, 3, 4, 5}));

    driver->deletePeer(PeerId('A').get(), hash.get(), 0x0A000001, 3);
    EXPECT_EQ(handedOut(), (std::set<uint16_t>{1, 2, 4, 5}));
    driver->cleanup();  // ports 1 and 2 were last seen 8000 s ago
    EXPECT_EQ(handedOut(), (std::set<uint16_t>{4, 5}));
    EXPECT_EQ(storedCount(*driver, hash), std::make_pair(int64_t{1}, int64_t{1}));
    ASSERT_TRUE(driver->deleteTorrent(hash.get()));
    EXPECT_TRUE(handedOut().empty());
}

TEST_F(StoreLoad, PeerWritesReachTheFileWithoutAFlushAndRegistrationsAtOnce) {
    auto driver = open(true);
    Hash announced(6), added(7);
    RawDb raw(file);
    // An announce registers `announced` inside the open group; the API's
    // registration of the same torrent must not be confirmed before it is
    // on disk.
    driver->storePeer(PeerId('A').get(), announced.get(), 0x0A000001, 1, 0, 0, 0, 0);
    EXPECT_TRUE(driver->insertTorrent(announced.get()));
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM torrents"), 1);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + announced.table() + "'"), 1);

    // Peer writes are stored and committed by the writer thread shortly after.
    driver->storePeer(PeerId('B').get(), added.get(), 0x0A000002, 2, 0, 0, 0, 0);
    int64_t rows = -1;
    for (int wait = 0; wait < 500 && rows != 1; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rows = raw.integer("SELECT COUNT(*) FROM '" + added.table() + "'");
    }
    EXPECT_EQ(rows, 1);
}

TEST_F(StoreLoad, ConnectionsAreClosedWhenTheDriverGoes) {
    Hash hash(4);
    {
        auto driver = open();
        driver->insertTorrent(hash.get());
        std::vector<std::thread> readers;
        for (int t = 0; t < 4; ++t) {
            readers.emplace_back([&] {
                for (int i = 0; i < 50; ++i) {
                    TorrentStats record{hash.get(), 0, 0, 0};
                    driver->fetchTorrentStats(&record);
                    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, static_cast<uint16_t>(i), 0, 0, 0, 0);
                }
            });
        }
        for (std::thread& t : readers) t.join();
        EXPECT_TRUE(std::filesystem::exists(file + "-wal"));
    }
    // The last connection to close checkpoints and removes the log; one left
    // open would keep it.
    EXPECT_FALSE(std::filesystem::exists(file + "-wal"));
    EXPECT_EQ(RawDb(file).integer("SELECT COUNT(*) FROM '" + hash.table() + "'"), 50);
}

TEST_F(StoreLoad, ManyThreadsStoreAndFetchWhileCleanupRuns) {
    auto driver = open(true);
    const int kTorrents = 3;
    const int kThreads = 4;
    const int kPeersPerThread = 60;
    std::vector<Hash> hashes;
    for (int i = 0; i < kTorrents; ++i) hashes.emplace_back(static_cast<uint8_t>(10 + i));

    // Peers from long ago on ports no thread uses: every cleanup may expire them.
    clock = kStart - 9000;
    for (const Hash& hash : hashes) {
        for (uint16_t port = 60000; port < 60020; ++port) {
            driver->storePeer(PeerId('O').get(), hash.get(), 0x0B000001, port, 0, port % 2 ? 0 : 1, 0, 0);
        }
    }
    clock = kStart;

    std::atomic<bool> running{true};
    std::atomic<int> passes{0};
    std::atomic<int> badFetches{0};
    std::thread maintenance([&] {
        while (running.load()) {
            driver->cleanup();
            ++passes;
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 random(t);
            for (int i = 0; i < kPeersPerThread; ++i) {
                const Hash& hash = hashes[i % kTorrents];
                const uint32_t ip = 0x0A000000u + static_cast<uint32_t>(t);
                const uint16_t port = static_cast<uint16_t>(1000 + i);
                // Each peer announces twice; the second word on seeding is final.
                driver->storePeer(PeerId('P').get(), hash.get(), ip, port, 0, 100, 0, 2);
                PeerAddress peers[30];
                int32_t count = 30;
                driver->fetchPeers(hash.get(), &count, peers);
                std::set<std::pair<uint32_t, uint16_t>> seen;
                for (int k = 0; k < count; ++k) {
                    bool known = (peers[k].ip >> 24) == 0x0A || peers[k].ip == 0x0B000001;
                    if (!known || !seen.insert({peers[k].ip, peers[k].port}).second) ++badFetches;
                }
                if (count < 1 || count > 30) ++badFetches;  // at least the peer stored just before
                TorrentStats record{hash.get(), 0, 0, 0};
                if (!driver->fetchTorrentStats(&record)) ++badFetches;
                driver->storePeer(PeerId('P').get(), hash.get(), ip, port, 0, (ip + port) % 3 == 0 ? 0 : 50, 0,
                                  (ip + port) % 3 == 0 ? 1 : 0);
            }
        });
    }
    for (std::thread& t : workers) t.join();
    while (passes.load() < 2) std::this_thread::yield();  // at least one whole pass after the start
    running = false;
    maintenance.join();

    EXPECT_EQ(badFetches.load(), 0);
    driver->flush();
    RawDb raw(file);
    int64_t expectedSeeders[kTorrents] = {};
    int64_t expectedLeechers[kTorrents] = {};
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPeersPerThread; ++i) {
            uint32_t ip = 0x0A000000u + static_cast<uint32_t>(t);
            if ((ip + 1000 + i) % 3 == 0) {
                ++expectedSeeders[i % kTorrents];
            } else {
                ++expectedLeechers[i % kTorrents];
            }
        }
    }
    int64_t completed = 0;
    for (int k = 0; k < kTorrents; ++k) {
        SCOPED_TRACE("torrent " + std::to_string(k));
        EXPECT_EQ(fullCount(raw, hashes[k]), std::make_pair(expectedSeeders[k], expectedLeechers[k]));
        EXPECT_EQ(storedCount(*driver, hashes[k]), fullCount(raw, hashes[k]));
        TorrentStats record{hashes[k].get(), 0, 0, 0};
        driver->fetchTorrentStats(&record);
        completed += record.completed;
    }
    EXPECT_EQ(completed, expectedSeeders[0] + expectedSeeders[1] + expectedSeeders[2]);
}

}  // namespace
