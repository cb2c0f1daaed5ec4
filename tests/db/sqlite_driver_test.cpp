#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <set>
#include <string>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db_test_support.hpp"

using NORRIK::Data::DatabaseException;
using NORRIK::Data::PeerAddress;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
using namespace norrik_test;

namespace {

constexpr int64_t kStart = 1'700'000'000;
constexpr int64_t kSeeder = 0;
constexpr int64_t kLeecher = 1000;

class SQLiteStore : public ::testing::Test {
protected:
    std::unique_ptr<SQLite3Driver> open(bool dynamic = false) {
        section.set("file", file);
        auto driver = std::make_unique<SQLite3Driver>(&section, dynamic);
        driver->setClock([this] { return clock; });
        return driver;
    }

    std::string output(const std::function<void()>& action) {
        StdoutCapture capture(dir.path("stdout"));
        action();
        return capture.finish();
    }

    // An announce; without dynamic mode the torrent is registered first,
    // since an announce never registers one then.
    void store(SQLite3Driver& driver, const Hash& hash, uint32_t ip, uint16_t port, int64_t left, int32_t event = 0,
               char peer = 'A') {
        if (!driver.isDynamic() && !driver.hasTorrent(hash.get())) driver.insertTorrent(hash.get());
        driver.storePeer(PeerId(peer).get(), hash.get(), ip, port, 0, left, 0, event);
    }

    TorrentStats stats(SQLite3Driver& driver, const Hash& hash, bool* found = nullptr) {
        TorrentStats record{hash.get(), -1, -1, -1};
        bool result = driver.fetchTorrentStats(&record);
        if (found != nullptr) *found = result;
        return record;
    }

    TempDir dir;
    std::string file = dir.path("tracker.db");
    NORRIK::Settings::Section section{"database"};
    int64_t clock = kStart;
};

// --- opening the database ---------------------------------------------------

TEST_F(SQLiteStore, NewOrEmptyFileGetsTheTwoTablesAnExistingOneKeepsItsRows) {
    open();
    RawDb raw(file);
    EXPECT_TRUE(raw.hasTable("stats"));
    EXPECT_TRUE(raw.hasTable("torrents"));

    // A zero-length file is what an interrupted first start leaves behind.
    std::string empty = dir.path("empty.db");
    writeFile(empty, "");
    section.set("file", empty);
    { SQLite3Driver existing(&section, false); }
    RawDb rawEmpty(empty);
    EXPECT_TRUE(rawEmpty.hasTable("stats"));
    EXPECT_TRUE(rawEmpty.hasTable("torrents"));

    ASSERT_TRUE(raw.exec("INSERT INTO torrents (info_hash,created) VALUES (x'00',7)"));
    section.set("file", file);
    { SQLite3Driver again(&section, false); }
    EXPECT_EQ(RawDb(file).integer("SELECT created FROM torrents WHERE info_hash=x'00'"), 7);
}

TEST_F(SQLiteStore, MissingSectionOrFileNameFallsBackToTrackerDbWithOneLine) {
    char previous[PATH_MAX];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.root().c_str()), 0);

    NORRIK::Settings::Section noFile("database");
    NORRIK::Settings::Section emptyFile("database");
    emptyFile.set("file", "");
    for (NORRIK::Settings::Section* given : {static_cast<NORRIK::Settings::Section*>(nullptr), &noFile, &emptyFile}) {
        std::string lines = output([&] {
            SQLite3Driver driver(given, false);
            EXPECT_EQ(driver.fileName(), "tracker.db");
        });
        EXPECT_EQ(lines, "No database file configured, using tracker.db\nDatabase: SQLite, tables layout\n");
    }
    EXPECT_TRUE(RawDb(dir.path("tracker.db")).hasTable("torrents"));  // a real file, kept after exit
    ASSERT_EQ(chdir(previous), 0);
}

TEST_F(SQLiteStore, UnopenableFileThrowsCode2) {
    section.set("file", dir.path("no-such-dir/tracker.db"));
    try {
        SQLite3Driver driver(&section, false);
        FAIL() << "no exception";
    } catch (const DatabaseException& e) {
        EXPECT_EQ(e.code(), 2);
        EXPECT_STREQ(e.message(), "Failed to connect to database");
    }
}

TEST_F(SQLiteStore, ConnectionIsSerialized) {
    // The driver is shared by every thread, so its connection must carry its
    // own mutex whatever threading mode the library defaults to.
    // Make the library's default multi-thread mode (no connection mutexes).
    sqlite3_shutdown();
    ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_MULTITHREAD), SQLITE_OK);
    {
        RawDb plain(dir.path("plain.db"));
        EXPECT_EQ(sqlite3_db_mutex(plain.get()), nullptr);  // what a default open would give
        auto driver = open();
        EXPECT_TRUE(driver->isSerialized());
    }
    sqlite3_shutdown();
    sqlite3_config(SQLITE_CONFIG_SERIALIZED);
}

// --- torrents -----------------------------------------------------------------

TEST_F(SQLiteStore, InsertTorrentTwiceKeepsFirstTimeAndSucceedsBothTimes) {
    auto driver = open();
    Hash hash(2);
    std::string lines = output([&] {
        EXPECT_TRUE(driver->insertTorrent(hash.get()));
        clock += 100;
        EXPECT_TRUE(driver->insertTorrent(hash.get()));
    });
    EXPECT_EQ(lines, "E:(null)\nE:(null)\n");
    RawDb raw(file);
    EXPECT_EQ(raw.integer("SELECT created FROM torrents"), kStart);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM torrents"), 1);
    EXPECT_TRUE(raw.hasTable(hash.table()));
    EXPECT_EQ(raw.integer("SELECT sql LIKE 'CREATE TABLE ''" + hash.table() +
                          "'' (peer_id blob(20),ip blob(4),port blob(2),uploaded blob(8),downloaded blob(8),"
                          "left blob(8),last_seen INT DEFAULT 0, CONSTRAINT c1 UNIQUE (ip,port) ON CONFLICT "
                          "REPLACE)' FROM sqlite_master WHERE name='" +
                          hash.table() + "'"),
              1);
}

TEST_F(SQLiteStore, InsertTorrentReportsAFailedPeerTableWithSqliteText) {
    auto driver = open();
    Hash hash(3);
    RawDb raw(file);
    ASSERT_TRUE(raw.exec("CREATE INDEX '" + hash.table() + "' ON torrents(created)"));
    bool result = true;
    std::string lines = output([&] { result = driver->insertTorrent(hash.get()); });
    EXPECT_FALSE(result);
    EXPECT_EQ(lines, "E:there is already an index named " + hash.table() + "\n");
}

TEST_F(SQLiteStore, DeleteTorrentRemovesRegistrationStatisticsAndPeers) {
    auto driver = open();
    Hash hash(4);
    store(*driver, hash, 0x0A000001, 6881, kSeeder);
    ASSERT_TRUE(driver->hasTorrent(hash.get()));

    EXPECT_TRUE(driver->deleteTorrent(hash.get()));
    bool found = true;
    stats(*driver, hash, &found);
    EXPECT_FALSE(found);
    EXPECT_FALSE(driver->hasTorrent(hash.get()));
    EXPECT_FALSE(RawDb(file).hasTable(hash.table()));
    EXPECT_TRUE(driver->deleteTorrent(Hash(99).get()));  // never added
}

TEST_F(SQLiteStore, DeleteTorrentWithoutStatisticsTableFailsAndKeepsPeers) {
    auto driver = open();
    Hash hash(5);
    store(*driver, hash, 0x0A000001, 6881, kSeeder);
    RawDb raw(file);
    ASSERT_TRUE(raw.exec("DROP TABLE stats"));
    EXPECT_FALSE(driver->deleteTorrent(hash.get()));
    EXPECT_TRUE(raw.hasTable(hash.table()));
}

TEST_F(SQLiteStore, HasTorrentFollowsRegistrationOrDynamicMode) {
    Hash hash(6);
    {
        auto dynamic = open(true);
        EXPECT_TRUE(dynamic->hasTorrent(hash.get()));
    }
    auto driver = open();
    EXPECT_FALSE(driver->hasTorrent(hash.get()));
    driver->insertTorrent(hash.get());
    EXPECT_TRUE(driver->hasTorrent(hash.get()));
}

// --- connection identifiers ----------------------------------------------------

TEST_F(SQLiteStore, ConnectionIdIsBoundToTheAddressOnTheDriversClock) {
    auto driver = open();
    const uint32_t ip = 0xC0A80005;
    const uint16_t port = 6969;
    uint64_t id = 0;
    ASSERT_TRUE(driver->issueConnectionId(&id, ip, port));

    struct Case {
        const char* what;
        uint64_t id;
        uint32_t ip;
        uint16_t port;
        int64_t age;
        bool accepted;
    } cases[] = {
        {"same client", id, ip, port, 0, true},
        {"another port of the address", id, ip, 6970, 0, true},
        {"another address", id, 0xC0A80006, port, 0, false},
        {"made-up value", 0x0123456789abcdefull, ip, port, 0, false},
        {"complement of the port", ~static_cast<uint64_t>(port), ip, port, 0, false},
        {"neighbouring value", id + 1, ip, port, 0, false},
        {"121 s old", id, ip, port, 121, true},
        {"181 s old", id, ip, port, 181, false},
    };
    for (const Case& c : cases) {
        clock = kStart + c.age;
        EXPECT_EQ(driver->checkConnectionId(c.id, c.ip, c.port), c.accepted) << c.what;
    }
}

// --- peers ----------------------------------------------------------------------

TEST_F(SQLiteStore, StorePeerCountsSeedersAndLeechersAndPrintsThem) {
    auto driver = open();
    Hash hash(7);
    driver->insertTorrent(hash.get());
    bool found = true;
    stats(*driver, hash, &found);
    EXPECT_FALSE(found);  // registered, nothing stored yet

    std::string lines = output([&] {
        store(*driver, hash, 0x0A000001, 1, kSeeder);
        store(*driver, hash, 0x0A000001, 2, kLeecher);
    });
    EXPECT_EQ(lines, "E:(null)\nseeders 1 leechers 0\nE:(null)\nseeders 1 leechers 1\n");
    TorrentStats record = stats(*driver, hash, &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(record.seeders, 1);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(record.completed, 0);
    driver->flush();  // peer writes reach the file with the writer's next commit
    EXPECT_EQ(RawDb(file).integer("SELECT last_mod FROM stats"), kStart);
}

TEST_F(SQLiteStore, SameAddressAndPortReplaceTheRow) {
    auto driver = open();
    Hash hash(8);
    store(*driver, hash, 0x0A000001, 6881, kLeecher, 0, 'A');
    clock += 5;
    store(*driver, hash, 0x0A000001, 6881, kSeeder, 0, 'B');
    driver->flush();
    RawDb raw(file);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "'"), 1);
    EXPECT_EQ(raw.blob("SELECT peer_id FROM '" + hash.table() + "'"), std::vector<uint8_t>(20, 'B'));
    EXPECT_EQ(raw.integer("SELECT last_seen FROM '" + hash.table() + "'"), kStart + 5);
    TorrentStats record = stats(*driver, hash);
    EXPECT_EQ(record.seeders, 1);
    EXPECT_EQ(record.leechers, 0);
}

TEST_F(SQLiteStore, PeerColumnsHoldTheHostBytes) {
    auto driver = open();
    Hash hash(9);
    driver->insertTorrent(hash.get());
    driver->storePeer(PeerId('P').get(), hash.get(), 0x0A000001, 0x1AE1, 0x0102030405060708, 0, 0x1112131415161718, 2);
    driver->flush();
    RawDb raw(file);
    const std::string from = " FROM '" + hash.table() + "'";
    EXPECT_EQ(raw.blob("SELECT ip" + from), (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x0A}));
    EXPECT_EQ(raw.blob("SELECT port" + from), (std::vector<uint8_t>{0xE1, 0x1A}));
    EXPECT_EQ(raw.blob("SELECT downloaded" + from), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(raw.blob("SELECT uploaded" + from), (std::vector<uint8_t>{0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11}));
    EXPECT_EQ(raw.blob("SELECT left" + from), std::vector<uint8_t>(8, 0));

    PeerAddress peer{};
    int32_t count = 1;
    driver->fetchPeers(hash.get(), &count, &peer);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(peer.ip, 0x0A000001u);
    EXPECT_EQ(peer.port, 0x1AE1);
}

TEST_F(SQLiteStore, DynamicModeRegistersATorrentOnItsFirstPeer) {
    auto driver = open(true);
    Hash hash(10);
    store(*driver, hash, 0x0A000001, 6881, kLeecher);
    driver->flush();
    RawDb raw(file);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM torrents"), 1);
    EXPECT_TRUE(raw.hasTable(hash.table()));
    EXPECT_EQ(raw.integer("SELECT leechers FROM stats"), 1);
}

TEST_F(SQLiteStore, DeletePeerRemovesOnlyTheMatchingRow) {
    auto driver = open();
    Hash hash(11);
    store(*driver, hash, 0x0A000001, 1, kSeeder, 0, 'A');
    store(*driver, hash, 0x0A000001, 2, kSeeder, 0, 'B');
    EXPECT_TRUE(driver->deletePeer(PeerId('X').get(), hash.get(), 0x0A000001, 1));  // wrong peer_id
    EXPECT_TRUE(driver->deletePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1));
    RawDb raw(file);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "'"), 1);
    EXPECT_EQ(raw.blob("SELECT peer_id FROM '" + hash.table() + "'"), std::vector<uint8_t>(20, 'B'));
}

TEST_F(SQLiteStore, FetchTorrentStatsOfUnknownTorrentIsFalseWithZeros) {
    auto driver = open();
    bool found = true;
    TorrentStats record = stats(*driver, Hash(12), &found);
    EXPECT_FALSE(found);
    EXPECT_EQ(record.seeders, 0);
    EXPECT_EQ(record.leechers, 0);
    EXPECT_EQ(record.completed, 0);
}

// --- completed downloads --------------------------------------------------------

TEST_F(SQLiteStore, CompletedEventsAreCountedAndNoWriteResetsThem) {
    auto driver = open();
    Hash hash(13);
    struct Step {
        int32_t event;
        uint16_t port;
        int32_t completedAfter;
    } steps[] = {
        {2, 1, 0},  // started
        {1, 1, 1},  // completed
        {0, 1, 1},  // regular announce keeps the count
        {1, 2, 2},  // another peer completes
        {3, 2, 2},  // stopped
    };
    for (const Step& step : steps) {
        store(*driver, hash, 0x0A000001, step.port, step.event == 2 ? kLeecher : kSeeder, step.event);
        EXPECT_EQ(stats(*driver, hash).completed, step.completedAfter) << "event " << step.event;
    }
    clock += 10;
    output([&] { driver->cleanup(); });
    TorrentStats record = stats(*driver, hash);
    EXPECT_EQ(record.completed, 2);
    EXPECT_EQ(record.seeders, 2);
}

TEST_F(SQLiteStore, CompletedCountedOnAFirstAnnounceAndInAnEarlierFile) {
    // A file made by the plain schema, with a statistics row written whole.
    Hash hash(14);
    {
        RawDb raw(file);
        ASSERT_TRUE(raw.exec("CREATE TABLE stats (info_hash blob(20) UNIQUE,completed INTEGER DEFAULT 0,leechers "
                             "INTEGER DEFAULT 0,seeders INTEGER DEFAULT 0,last_mod INTEGER DEFAULT 0)"));
        ASSERT_TRUE(raw.exec("CREATE TABLE torrents (info_hash blob(20) UNIQUE,created INTEGER)"));
        ASSERT_TRUE(raw.exec("REPLACE INTO stats (info_hash,last_mod,seeders,leechers) VALUES (x'" +
                             hash.table().substr(1) + "',5,7,7)"));
    }
    auto driver = open();
    store(*driver, hash, 0x0A000001, 1, kSeeder, 1);
    TorrentStats record = stats(*driver, hash);
    EXPECT_EQ(record.completed, 1);
    EXPECT_EQ(record.seeders, 1);
    EXPECT_EQ(record.leechers, 0);

    Hash fresh(15);
    store(*driver, fresh, 0x0A000001, 1, kSeeder, 1);
    EXPECT_EQ(stats(*driver, fresh).completed, 1);
}

// --- peer selection ---------------------------------------------------------------

TEST_F(SQLiteStore, FetchPeersIsBoundedByTheCountAndTheSwarm) {
    auto driver = open();
    struct Case {
        int stored;
        int32_t room;
        int32_t expected;
    } cases[] = {{5, 3, 3}, {2, 5, 2}, {30, 30, 30}, {1, 1, 1}, {0, 4, 0}};
    uint8_t seed = 20;
    for (const Case& c : cases) {
        Hash hash(seed++);
        driver->insertTorrent(hash.get());
        for (int i = 0; i < c.stored; ++i) store(*driver, hash, 0x0A000000 + i, static_cast<uint16_t>(1000 + i), kSeeder);
        for (int round = 0; round < 20; ++round) {
            std::vector<PeerAddress> peers(c.room);
            int32_t count = c.room;
            std::string lines = output([&] { EXPECT_TRUE(driver->fetchPeers(hash.get(), &count, peers.data())); });
            ASSERT_EQ(count, c.expected) << c.stored << " stored, room " << c.room;
            EXPECT_EQ(lines, std::to_string(c.expected) + " Clients Dumped.\n");
            std::set<uint16_t> ports;
            for (int i = 0; i < count; ++i) {
                EXPECT_EQ(peers[i].ip, 0x0A000000u + (peers[i].port - 1000));  // a stored pair
                ports.insert(peers[i].port);
            }
            EXPECT_EQ(static_cast<int32_t>(ports.size()), count) << "a peer handed out twice";
        }
    }
}

TEST_F(SQLiteStore, FetchPeersOfTorrentWithoutPeerTableFillsNone) {
    auto driver = open();
    PeerAddress peer{};
    int32_t count = 1;
    std::string lines = output([&] { driver->fetchPeers(Hash(40).get(), &count, &peer); });
    EXPECT_EQ(count, 0);
    EXPECT_EQ(lines, "0 Clients Dumped.\n");
}

TEST_F(SQLiteStore, FetchPeersHandsOutTheWholeSwarmOverTime) {
    auto driver = open();
    Hash hash(41);
    const int swarm = 300;
    driver->insertTorrent(hash.get());
    driver.reset();  // the rows below are read when the store opens
    {
        RawDb raw(file);
        // Rows straight into the table: fast, and a gap in the rowids.
        raw.exec("BEGIN");
        for (int i = 0; i < swarm; ++i) {
            uint32_t ip = 0x0A000000 + i;
            uint16_t port = 6881;
            char sql[256];
            std::snprintf(sql, sizeof sql,
                          "INSERT INTO '%s' (peer_id,ip,port,uploaded,downloaded,left,last_seen) VALUES "
                          "(zeroblob(20),x'%02x%02x%02x%02x',x'%02x%02x',zeroblob(8),zeroblob(8),zeroblob(8),%d)",
                          hash.table().c_str(), ip & 0xff, (ip >> 8) & 0xff, (ip >> 16) & 0xff, ip >> 24,
                          port & 0xff, port >> 8, static_cast<int>(kStart));
            raw.exec(sql);
        }
        raw.exec("DELETE FROM '" + hash.table() + "' WHERE rowid BETWEEN 100 AND 149");
        raw.exec("COMMIT");
    }
    driver = open();
    std::set<uint32_t> seen;
    output([&] {
        for (int round = 0; round < 200; ++round) {
            PeerAddress peers[10];
            int32_t count = 10;
            driver->fetchPeers(hash.get(), &count, peers);
            ASSERT_EQ(count, 10);
            for (const PeerAddress& p : peers) seen.insert(p.ip);
        }
    });
    // The first rows in storage order only would be 10 addresses; a random
    // window over 250 peers reaches most of them in 200 draws.
    EXPECT_GT(seen.size(), 150u);
}

// --- maintenance pass -------------------------------------------------------------

TEST_F(SQLiteStore, CleanupExpiresAfterMoreThan7200SecondsAndRecounts) {
    auto driver = open();
    Hash hash(50);
    clock = kStart - 7201;
    store(*driver, hash, 0x0A000001, 1, kSeeder);    // goes
    clock = kStart - 7200;
    store(*driver, hash, 0x0A000001, 2, kSeeder);    // stays
    clock = kStart - 10;
    store(*driver, hash, 0x0A000001, 3, kLeecher);   // stays
    store(*driver, hash, 0x0A000001, 4, kSeeder);    // stays
    clock = kStart;
    std::string lines = output([&] { driver->cleanup(); });
    EXPECT_EQ(lines, "[not an error]\n");

    RawDb raw(file);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "' WHERE port=x'0100'"), 0);
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "'"), 3);
    TorrentStats record = stats(*driver, hash);
    EXPECT_EQ(record.seeders, 2);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(raw.integer("SELECT last_mod FROM stats"), kStart);
}

TEST_F(SQLiteStore, CleanupKeepsTorrentsWhoseLastPeerExpired) {
    for (bool dynamic : {false, true}) {
        SCOPED_TRACE(dynamic ? "dynamic" : "static");
        std::filesystem::remove(file);
        auto driver = open(dynamic);
        Hash gone(51), idle(52);
        clock = kStart - 8000;
        store(*driver, gone, 0x0A000001, 1, kLeecher);
        driver->insertTorrent(idle.get());  // registered, never announced
        clock = kStart;
        std::string lines = output([&] { driver->cleanup(); });
        EXPECT_EQ(lines, "[not an error]\n[not an error]\n");

        RawDb raw(file);
        EXPECT_TRUE(raw.hasTable(gone.table()));
        EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM torrents"), 2);
        for (const Hash* hash : {&gone, &idle}) {
            bool found = false;
            TorrentStats record = stats(*driver, *hash, &found);
            EXPECT_TRUE(found);
            EXPECT_EQ(record.seeders, 0);
            EXPECT_EQ(record.leechers, 0);
            EXPECT_TRUE(driver->hasTorrent(hash->get()));
        }
    }
}

TEST_F(SQLiteStore, CleanupWithoutPeerTablesPrintsNothing) {
    auto driver = open();
    EXPECT_EQ(output([&] { driver->cleanup(); }), "");
}

TEST_F(SQLiteStore, CleanupWithoutStatisticsTableChangesNothing) {
    auto driver = open();
    Hash hash(53);
    clock = kStart - 9000;
    store(*driver, hash, 0x0A000001, 1, kSeeder);
    RawDb raw(file);
    ASSERT_TRUE(raw.exec("DROP TABLE stats"));
    clock = kStart;
    std::string lines = output([&] { driver->cleanup(); });
    EXPECT_EQ(lines, "[cleanup skipped: no such table: stats]\n");
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + hash.table() + "'"), 1);
}

TEST_F(SQLiteStore, CleanupSkipsForeignNamesAndGoesOnAfterAFailedDelete) {
    auto driver = open();
    Hash good(54), broken(55);
    clock = kStart - 9000;
    store(*driver, good, 0x0A000001, 1, kSeeder);
    RawDb raw(file);
    // A peer table without last_seen: its DELETE fails.
    ASSERT_TRUE(raw.exec("CREATE TABLE '" + broken.table() + "' (ip blob(4), left blob(8))"));
    // Names the table list matches that this store never makes.
    const std::string upper = "T" + good.table().substr(1);
    const std::string notHex = "t" + std::string(40, 'g');
    const std::string upperDigits = "tABCDEF" + good.table().substr(7);
    for (const std::string& name : {notHex, upperDigits}) {
        ASSERT_TRUE(raw.exec("CREATE TABLE '" + name + "' (last_seen INT)"));
        ASSERT_TRUE(raw.exec("INSERT INTO '" + name + "' VALUES (1)"));
    }
    clock = kStart;
    std::string lines = output([&] { driver->cleanup(); });

    EXPECT_NE(lines.find("[no such column: last_seen]\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("[not an error]\n"), std::string::npos) << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << lines;
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + good.table() + "'"), 0);  // handled after or before the failure
    EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM stats"), 1);
    for (const std::string& name : {notHex, upperDigits}) {
        EXPECT_EQ(raw.integer("SELECT COUNT(*) FROM '" + name + "'"), 1) << name;
    }
}

TEST(HashToBin, DecodesTableDigitsAndRefusesOthers) {
    uint8_t hash[20];
    ASSERT_TRUE(SQLite3Driver::_hash_to_bin("00112233445566778899aabbccddeeff00112233", hash));
    const uint8_t expected[20] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                  0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x11, 0x22, 0x33};
    EXPECT_EQ(0, std::memcmp(hash, expected, 20));
    for (const char* bad : {"00112233445566778899AABBCCDDEEFF00112233", "0011223344556677889", "g0112233445566778899aabbccddeeff00112233",
                            "00112233445566778899aabbccddeeff001122334"}) {
        EXPECT_FALSE(SQLite3Driver::_hash_to_bin(bad, hash)) << bad;
    }
}

}  // namespace
