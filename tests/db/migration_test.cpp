// Copying a database of the per-torrent tables layout into the flat layout
// and into PostgreSQL: everything arrives, the copy is checked, the source
// stays as it was.

#include <gtest/gtest.h>

#include <filesystem>

#include "db/driver_postgresql/driver_postgresql.hpp"
#include "db/driver_sqlite/connection.hpp"
#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db/driver_sqlite/flat_layout.hpp"
#include "db/migration.hpp"
#include "db_test_support.hpp"
#include "pg_cluster.hpp"
#include "util/log.hpp"

using NORRIK::Data::PeerAddress;
using NORRIK::Data::PostgreSQLDriver;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
namespace SQLite = NORRIK::Data::SQLite;
using namespace norrik_test;

namespace {

std::unique_ptr<SQLite::FlatLayout> newFlatFile(const std::string& file) {
    auto db = SQLite::Connection::open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 16);
    EXPECT_EQ(SQLite::FlatLayout::createSchema(*db), SQLITE_OK);
    return std::make_unique<SQLite::FlatLayout>(std::move(db));
}

// A tables-layout file: torrent `busy` with 40 peers (10 seeders, 4
// downloads), torrent `idle` without peers, and one peer row no store can
// read (a 3-byte address).
void writeSource(const std::string& source, const Hash& busy, const Hash& idle) {
    NORRIK::Settings::Section section{"database"};
    section.set("file", source);
    const bool logging = NORRIK::Log::requestLogging();
    NORRIK::Log::setRequestLogging(false);
    {
        SQLite3Driver driver(&section, true);
        driver.setClock([] { return int64_t{1'700'000'000}; });
        for (uint16_t port = 1; port <= 40; ++port) {
            driver.storePeer(PeerId('P').get(), busy.get(), 0x0A000000u + port, port, 7, port % 4 ? 100 : 0, 9,
                             port % 10 == 0 ? 1 : 0);
        }
        ASSERT_TRUE(driver.insertTorrent(idle.get()));
    }
    NORRIK::Log::setRequestLogging(logging);
    RawDb raw(source);
    ASSERT_TRUE(raw.exec("INSERT INTO '" + busy.table() +
                         "' VALUES (zeroblob(20),x'0a0000',x'e11a',zeroblob(8),zeroblob(8),zeroblob(8),1)"));
}

// What a store opened on the copy serves of writeSource's torrents.
void expectCopied(NORRIK::Data::DatabaseDriver& copy, const Hash& busy, const Hash& idle) {
    EXPECT_TRUE(copy.hasTorrent(busy.get()));
    EXPECT_TRUE(copy.hasTorrent(idle.get()));
    TorrentStats stats{busy.get(), 0, 0, 0};
    ASSERT_TRUE(copy.fetchTorrentStats(&stats));
    EXPECT_EQ(stats.seeders, 10);
    EXPECT_EQ(stats.leechers, 30);
    EXPECT_EQ(stats.completed, 4);
    PeerAddress peers[50];
    int32_t count = 50;
    copy.fetchPeers(busy.get(), &count, peers);
    EXPECT_EQ(count, 40);
}

}  // namespace

TEST(Migration, TablesLayoutIsCopiedIntoTheFlatLayoutAndChecked) {
    TempDir dir;
    const std::string source = dir.path("tracker.db");
    const Hash busy(1), idle(2);
    writeSource(source, busy, idle);
    NORRIK::Settings::Section section{"database"};
    const auto sourceTime = std::filesystem::last_write_time(source);
    const auto sourceSize = std::filesystem::file_size(source);

    auto target = newFlatFile(dir.path("flat.db"));
    const NORRIK::Data::MigrationReport report = NORRIK::Data::migrateTablesLayout(source, *target);
    EXPECT_TRUE(report.verified) << report.error;
    EXPECT_EQ(report.torrents, 2u);
    EXPECT_EQ(report.peers, 40u);
    EXPECT_EQ(report.unreadablePeers, 1u);
    target.reset();
    EXPECT_EQ(std::filesystem::last_write_time(source), sourceTime) << "the source was changed";
    EXPECT_EQ(std::filesystem::file_size(source), sourceSize);

    // A store on the copy serves what the source held.
    section.set("file", dir.path("flat.db"));
    SQLite3Driver copy(&section, false);
    expectCopied(copy, busy, idle);
    RawDb flat(dir.path("flat.db"));
    EXPECT_EQ(flat.integer("SELECT created FROM torrents WHERE info_hash=x'" + NORRIK::hashToHex(busy.get()) + "'"),
              1'700'000'000);
    EXPECT_EQ(flat.integer("SELECT uploaded FROM peers WHERE port=4"), 9);
    EXPECT_EQ(flat.integer("SELECT downloaded FROM peers WHERE port=4"), 7);
    EXPECT_EQ(flat.blob("SELECT ip FROM peers WHERE port=4"),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 4}));

    // A target that holds torrents already is refused.
    auto again = std::make_unique<SQLite::FlatLayout>(
        SQLite::Connection::open(dir.path("flat.db"), SQLITE_OPEN_READWRITE, 16));
    const NORRIK::Data::MigrationReport refused = NORRIK::Data::migrateTablesLayout(source, *again);
    EXPECT_FALSE(refused.verified);
    EXPECT_NE(refused.error.find("already holds torrents"), std::string::npos) << refused.error;
}

TEST(Migration, TablesLayoutIsCopiedIntoPostgreSQL) {
    TempDir dir;
    const std::string source = dir.path("tracker.db");
    const Hash busy(1), idle(2);
    writeSource(source, busy, idle);
    const std::string conninfo = PgCluster::shared().freshDatabase();

    std::string error;
    std::unique_ptr<NORRIK::Data::StoreBackend> target = PostgreSQLDriver::openBackend(conninfo, error);
    ASSERT_NE(target, nullptr) << error;
    const NORRIK::Data::MigrationReport report = NORRIK::Data::migrateTablesLayout(source, *target);
    EXPECT_TRUE(report.verified) << report.error;
    EXPECT_EQ(report.torrents, 2u);
    EXPECT_EQ(report.peers, 40u);
    target.reset();

    NORRIK::Settings::Section section{"database"};
    section.set("driver", "postgresql");
    section.set("conninfo", conninfo);
    {
        PostgreSQLDriver copy(&section, false);
        expectCopied(copy, busy, idle);
    }

    // A database that holds torrents already is refused.
    target = PostgreSQLDriver::openBackend(conninfo, error);
    ASSERT_NE(target, nullptr) << error;
    const NORRIK::Data::MigrationReport refused = NORRIK::Data::migrateTablesLayout(source, *target);
    EXPECT_FALSE(refused.verified);
    EXPECT_NE(refused.error.find("already holds torrents"), std::string::npos) << refused.error;
}
