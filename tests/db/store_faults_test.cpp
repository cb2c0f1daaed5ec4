// The store when its file or its disk fails it: a database file left empty
// by a first start that could not write, and a disk that fills up. What the
// store reports as done must be stored, and it must work again once the
// space is back.

#include <gtest/gtest.h>

#include <memory>
#include <string>
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
