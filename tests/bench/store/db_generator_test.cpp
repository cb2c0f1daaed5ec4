// The database generator against the store itself: a generated file must be
// one the store could have written (same schema texts, a sound file) and
// must serve the generated swarms when the store opens it.

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db_generator.hpp"
#include "settings.hpp"
#include "test_support.hpp"
#include "util/hex.hpp"
#include "util/log.hpp"

namespace {

using NORRIK::Bench::GeneratedTorrent;
using NORRIK::Bench::Population;

// A plain read connection to a database file.
class Look {
public:
    explicit Look(const std::string& file) { sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr); }
    ~Look() { sqlite3_close(db_); }

    std::string text(const std::string& sql) {
        std::string value = "<no row>";
        each(sql, [&](sqlite3_stmt* s) {
            const auto* t = sqlite3_column_text(s, 0);
            value = t ? reinterpret_cast<const char*>(t) : "<null>";
        });
        return value;
    }
    long long integer(const std::string& sql) {
        long long value = -1;
        each(sql, [&](sqlite3_stmt* s) { value = sqlite3_column_int64(s, 0); });
        return value;
    }
    // type, table and statement text of every schema row, by name.
    std::map<std::string, std::tuple<std::string, std::string, std::string>> schema() {
        std::map<std::string, std::tuple<std::string, std::string, std::string>> rows;
        each("SELECT name,type,tbl_name,sql FROM sqlite_master", [&](sqlite3_stmt* s) {
            auto column = [&](int i) {
                const auto* t = sqlite3_column_text(s, i);
                return std::string(t ? reinterpret_cast<const char*>(t) : "<null>");
            };
            rows[column(0)] = {column(1), column(2), column(3)};
        });
        return rows;
    }

private:
    template <typename Row>
    void each(const std::string& sql, Row row) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) row(stmt);
        sqlite3_finalize(stmt);
    }
    sqlite3* db_ = nullptr;
};

class GeneratedDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        NORRIK::Log::setRequestLogging(false);
        population.torrents = 23;
        population.peers = 61;  // 15 torrents of 3 peers, 8 of 2
        population.seed = 7;
        population.time = static_cast<int32_t>(std::time(nullptr));
    }

    // Batches of 5: several moves of the schema rows and a short last batch.
    void generateInto(const std::string& file) {
        auto writer = NORRIK::Bench::openLayout("tables", file);
        NORRIK::Bench::generate(population, *writer, 5);
    }

    GeneratedTorrent torrent(uint32_t t) const {
        GeneratedTorrent out;
        population.fill(t, out);
        return out;
    }

    norrik_test::TempDir dir;
    Population population;
};

TEST_F(GeneratedDatabase, HoldsTheStoresOwnSchemaAndIsSound) {
    const GeneratedTorrent first = torrent(0);
    const std::string storeFile = dir.path("store.db");
    {
        NORRIK::Settings::Section section("database");
        section.set("file", storeFile);
        NORRIK::Data::SQLite3Driver driver(&section, true);
        const NORRIK::Bench::GeneratedPeer& p = first.peers[0];
        ASSERT_TRUE(driver.storePeer(p.peer_id, first.info_hash, p.ip, p.port, 0, p.left, 0, 2));
        ASSERT_TRUE(driver.flush());
    }
    const std::string generated = dir.path("generated.db");
    generateInto(generated);

    auto made = Look(storeFile).schema();
    Look look(generated);
    auto written = look.schema();
    const std::string table = "t" + NORRIK::hashToHex(first.info_hash);
    for (const std::string& name : {std::string("stats"), std::string("torrents"), std::string("sqlite_autoindex_stats_1"),
                                    std::string("sqlite_autoindex_torrents_1"), table,
                                    "sqlite_autoindex_" + table + "_1"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(made.count(name), 1u);
        ASSERT_EQ(written.count(name), 1u);
        EXPECT_EQ(written[name], made[name]);
    }

    EXPECT_EQ(look.text("PRAGMA integrity_check"), "ok");
    EXPECT_EQ(look.text("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(look.integer("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND length(name)=41"), 23);
    EXPECT_EQ(look.integer("SELECT COUNT(*) FROM sqlite_master WHERE type='index' AND length(tbl_name)=41"),
              23);
    EXPECT_EQ(look.integer("SELECT COUNT(*) FROM torrents"), 23);
    EXPECT_EQ(look.integer("SELECT COUNT(*) FROM stats"), 23);
    EXPECT_EQ(look.integer("SELECT SUM(seeders+leechers) FROM stats"), 61);
    long long rows = 0;
    for (uint32_t t = 0; t < population.torrents; ++t)
        rows += look.integer("SELECT COUNT(*) FROM 't" + NORRIK::hashToHex(torrent(t).info_hash) + "'");
    EXPECT_EQ(rows, 61);
    // The side file of schema rows has gone.
    EXPECT_FALSE(std::filesystem::exists(generated + ".schema-rows"));
}

TEST_F(GeneratedDatabase, StoreServesTheGeneratedSwarms) {
    const std::string file = dir.path("generated.db");
    generateInto(file);
    NORRIK::Settings::Section section("database");
    section.set("file", file);
    std::string changedTable;
    {
        NORRIK::Data::SQLite3Driver driver(&section, false);
        for (uint32_t t = 0; t < population.torrents; ++t) {
            SCOPED_TRACE(t);
            const GeneratedTorrent g = torrent(t);
            EXPECT_TRUE(driver.hasTorrent(g.info_hash));
            NORRIK::Data::TorrentStats stats{g.info_hash, 0, 0, 0};
            ASSERT_TRUE(driver.fetchTorrentStats(&stats));
            EXPECT_EQ(stats.seeders, g.seeders);
            EXPECT_EQ(stats.leechers, g.leechers);
            EXPECT_EQ(stats.seeders + stats.leechers, static_cast<int32_t>(g.peers.size()));
            NORRIK::Data::PeerAddress peers[30];
            int32_t count = 30;
            ASSERT_TRUE(driver.fetchPeers(g.info_hash, &count, peers));
            std::set<uint16_t> served;
            std::set<uint16_t> expected;
            for (int32_t i = 0; i < count; ++i) {
                EXPECT_EQ(peers[i].ip, 0x7F000001u);
                served.insert(peers[i].port);
            }
            for (const auto& p : g.peers) expected.insert(p.port);
            EXPECT_EQ(served, expected);
        }
        uint8_t unknown[20] = {1, 2, 3};
        EXPECT_FALSE(driver.hasTorrent(unknown));

        // A generated leecher announces again as a seeder: its row is found
        // by address and port and replaced, and the counts follow.
        const GeneratedTorrent g = torrent(4);
        const auto leecher = std::find_if(g.peers.begin(), g.peers.end(), [](const auto& p) { return p.left != 0; });
        ASSERT_NE(leecher, g.peers.end());
        ASSERT_TRUE(driver.storePeer(leecher->peer_id, g.info_hash, leecher->ip, leecher->port, 0, 0, 0, 0));
        ASSERT_TRUE(driver.flush());
        NORRIK::Data::TorrentStats stats{g.info_hash, 0, 0, 0};
        ASSERT_TRUE(driver.fetchTorrentStats(&stats));
        EXPECT_EQ(stats.seeders, g.seeders + 1);
        EXPECT_EQ(stats.leechers, g.leechers - 1);
        changedTable = "t" + NORRIK::hashToHex(g.info_hash);
    }
    Look look(file);
    EXPECT_EQ(look.integer("SELECT COUNT(*) FROM '" + changedTable + "'"), static_cast<long long>(torrent(4).peers.size()));
}

TEST_F(GeneratedDatabase, FlatLayoutIsServedByAFlatStore) {
    const std::string file = dir.path("flat.db");
    {
        auto writer = NORRIK::Bench::openLayout("flat", file);
        NORRIK::Bench::generate(population, *writer, 5);
    }
    EXPECT_EQ(Look(file).text("PRAGMA integrity_check"), "ok");
    NORRIK::Settings::Section section("database");
    section.set("file", file);
    NORRIK::Data::SQLite3Driver driver(&section, false);
    EXPECT_EQ(driver.layoutName(), "flat");
    for (uint32_t t = 0; t < population.torrents; ++t) {
        SCOPED_TRACE(t);
        const GeneratedTorrent g = torrent(t);
        EXPECT_TRUE(driver.hasTorrent(g.info_hash));
        NORRIK::Data::TorrentStats stats{g.info_hash, 0, 0, 0};
        ASSERT_TRUE(driver.fetchTorrentStats(&stats));
        EXPECT_EQ(stats.seeders, g.seeders);
        EXPECT_EQ(stats.leechers, g.leechers);
        NORRIK::Data::PeerAddress peers[30];
        int32_t count = 30;
        ASSERT_TRUE(driver.fetchPeers(g.info_hash, &count, peers));
        EXPECT_EQ(count, static_cast<int32_t>(g.peers.size()));
        if (count > 0) {
            EXPECT_EQ(peers[0].ip, 0x7F000001u);
        }
    }
}

TEST(DbGenerator, WritesNewFilesOnlyAndLeavesNoHalfFile) {
    norrik_test::TempDir dir;
    const std::string existing = dir.path("existing.db");
    {
        std::ofstream out(existing);
        out << "someone's data";
    }
    EXPECT_THROW(NORRIK::Bench::openLayout("tables", existing), std::runtime_error);
    EXPECT_EQ(norrik_test::readFile(existing), "someone's data");
    EXPECT_THROW(NORRIK::Bench::openLayout("no-such-layout", dir.path("x.db")), std::runtime_error);

    // More peers in one torrent than it has ports: refused before anything
    // is written, and the file begun for it is removed.
    const std::string half = dir.path("half.db");
    {
        auto writer = NORRIK::Bench::openLayout("tables", half);
        Population tooMany;
        tooMany.torrents = 1;
        tooMany.peers = 64001;
        EXPECT_THROW(NORRIK::Bench::generate(tooMany, *writer, 10), std::runtime_error);
    }
    EXPECT_FALSE(std::filesystem::exists(half));
    EXPECT_FALSE(std::filesystem::exists(half + ".schema-rows"));
}

}  // namespace
