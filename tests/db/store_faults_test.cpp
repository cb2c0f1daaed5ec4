// The store when its file or its disk fails it: a database file left empty
// by a first start that could not write, and a disk that fills up. What the
// store reports as done must be stored, and it must work again once the
// space is back.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db_test_support.hpp"
#include "small_disk.hpp"

using NORRIK::Data::DatabaseException;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
using namespace norrik_test;

namespace {

std::unique_ptr<SQLite3Driver> openStore(NORRIK::Settings::Section& section, const std::string& file) {
    section.set("file", file);
    return std::make_unique<SQLite3Driver>(&section, false);
}

// The torrent is registered and takes a peer whose counts can be read back.
::testing::AssertionResult works(SQLite3Driver& driver, const Hash& hash) {
    if (!driver.insertTorrent(hash.get())) return ::testing::AssertionFailure() << "insertTorrent failed";
    if (!driver.hasTorrent(hash.get())) return ::testing::AssertionFailure() << "not registered after insert";
    driver.storePeer(PeerId('S').get(), hash.get(), 0x0A000001, 6881, 0, 0, 0, 2);
    TorrentStats stats{hash.get(), 0, 0, 0};
    if (!driver.fetchTorrentStats(&stats) || stats.seeders != 1) {
        return ::testing::AssertionFailure() << "the stored seeder is not counted";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

// A zero-length file is what a first start leaves behind when it could open
// (create) the file but not write the schema into it: disk full, or killed.
TEST(StoreFaults, EmptyDatabaseFileGetsTheSchema) {
    TempDir dir;
    writeFile(dir.path("tracker.db"), "");
    NORRIK::Settings::Section section{"database"};
    auto driver = openStore(section, dir.path("tracker.db"));
    EXPECT_TRUE(works(*driver, Hash(1)));
}

TEST(StoreFaults, FirstOpenOnAFullDiskWorksOnceSpaceReturns) {
    TempDir dir;
    SmallDisk disk(dir.path("disk"), "1m");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    disk.fill();
    NORRIK::Settings::Section section{"database"};
    std::unique_ptr<SQLite3Driver> driver;
    try {
        driver = openStore(section, disk.path("tracker.db"));
    } catch (const DatabaseException&) {
        // Refusing to open is a clean answer too.
    }
    disk.release();
    if (driver) {
        EXPECT_TRUE(works(*driver, Hash(2))) << "the open store did not recover";
    }
    driver.reset();
    driver = openStore(section, disk.path("tracker.db"));
    EXPECT_TRUE(works(*driver, Hash(3))) << "the reopened store did not recover";
}

// Registrations answered with true while the disk was full must be there
// after a reopen; the ones answered with false must succeed once space is
// back, in the same store.
TEST(StoreFaults, RegistrationsReportedDoneOnAFullDiskAreStored) {
    TempDir dir;
    // Room for the write-ahead log to grow to its checkpoint size (1000
    // pages) once the filler is gone.
    SmallDisk disk(dir.path("disk"), "8m");
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
    NORRIK::Settings::Section section{"database"};
    auto driver = openStore(section, disk.path("tracker.db"));
    ASSERT_TRUE(works(*driver, Hash(0)));

    disk.fill();
    std::vector<bool> reported;
    for (uint8_t i = 1; i <= 40; ++i) reported.push_back(driver->insertTorrent(Hash(i).get()));
    disk.release();

    int refused = 0;
    for (uint8_t i = 1; i <= 40; ++i) {
        if (reported[i - 1]) continue;
        ++refused;
        EXPECT_TRUE(driver->insertTorrent(Hash(i).get())) << "torrent " << int(i) << " refused after space returned";
    }
    driver.reset();

    driver = openStore(section, disk.path("tracker.db"));
    for (uint8_t i = 1; i <= 40; ++i) {
        EXPECT_TRUE(driver->hasTorrent(Hash(i).get()))
            << "torrent " << int(i) << (reported[i - 1] ? " was reported stored while the disk was full"
                                                        : " was stored later")
            << " but is missing";
    }
    RecordProperty("refused_while_full", refused);
}

namespace {

bool registeredInFile(RawDb& raw, const Hash& hash) {
    return raw.integer("SELECT COUNT(*) FROM torrents WHERE info_hash=x'" + NORRIK::hashToHex(hash.get()) + "'") == 1;
}

}  // namespace

// Without dynamic mode an announce that was accepted before a removal and
// stored after it must not bring the torrent back.
TEST(StoreFaults, AnnounceStoredAfterARemovalDoesNotRegisterAgain) {
    TempDir dir;
    NORRIK::Settings::Section section{"database"};
    auto driver = openStore(section, dir.path("tracker.db"));
    const Hash hash(4);
    ASSERT_TRUE(driver->insertTorrent(hash.get()));
    driver->storePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1, 0, 0, 0, 2);
    ASSERT_TRUE(driver->hasTorrent(hash.get()));  // what the announce saw
    ASSERT_TRUE(driver->deleteTorrent(hash.get()));
    EXPECT_FALSE(driver->storePeer(PeerId('B').get(), hash.get(), 0x0A000002, 2, 0, 0, 0, 2));
    ASSERT_TRUE(driver->flush());
    EXPECT_FALSE(driver->hasTorrent(hash.get()));
    RawDb raw(dir.path("tracker.db"));
    EXPECT_FALSE(registeredInFile(raw, hash));
    EXPECT_FALSE(raw.hasTable(hash.table()));
    driver.reset();
    driver = openStore(section, dir.path("tracker.db"));
    EXPECT_FALSE(driver->hasTorrent(hash.get()));
}

// A registration is reported done only when its row is in `torrents`; with
// that table gone (dropped by another program) it fails and makes nothing.
TEST(StoreFaults, RegistrationWithoutATorrentsTableFails) {
    TempDir dir;
    NORRIK::Settings::Section section{"database"};
    auto driver = openStore(section, dir.path("tracker.db"));
    RawDb raw(dir.path("tracker.db"));
    ASSERT_TRUE(raw.exec("DROP TABLE torrents"));
    const Hash hash(5);
    EXPECT_FALSE(driver->insertTorrent(hash.get()));
    EXPECT_FALSE(driver->hasTorrent(hash.get()));
    EXPECT_FALSE(raw.hasTable(hash.table()));
}

// After a burst of writes the write-ahead log is cut back to nothing once the
// writer is idle; while another program reads an older snapshot it cannot
// be, and it is cut as soon as that reader is done.
TEST(StoreFaults, WriteAheadLogShrinksWhenIdle) {
    TempDir dir;
    const std::string file = dir.path("tracker.db");
    NORRIK::Settings::Section section{"database"};
    section.set("file", file);
    SQLite3Driver driver(&section, true);
    auto walSize = [&] {
        std::error_code error;
        auto size = std::filesystem::file_size(file + "-wal", error);
        return error ? 0 : static_cast<long long>(size);
    };
    auto burst = [&](uint8_t seed) {
        for (uint32_t i = 0; i < 2000; ++i) {
            driver.storePeer(PeerId('W').get(), Hash(static_cast<uint8_t>(seed + i % 50)).get(), 0x0A000000 + i,
                             6881, 0, i % 2, 0, 0);
        }
        ASSERT_TRUE(driver.flush());
    };
    auto waitForShrink = [&] {
        for (int i = 0; i < 100 && walSize() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return walSize();
    };
    burst(0);
    EXPECT_GT(walSize(), 0);
    EXPECT_EQ(waitForShrink(), 0);

    RawDb reader(file);
    ASSERT_TRUE(reader.exec("BEGIN"));
    ASSERT_GE(reader.integer("SELECT COUNT(*) FROM torrents"), 0);  // holds a snapshot from here
    burst(100);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // idle moments pass
    EXPECT_GT(walSize(), 0) << "the log was cut under a reader";
    ASSERT_TRUE(reader.exec("COMMIT"));
    EXPECT_EQ(waitForShrink(), 0);
}
