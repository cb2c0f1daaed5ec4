// What every store must do, whatever its engine and layout: one table of
// behaviours run against each store factory (registration, removal,
// announces and their counts, downloads, expiry, dynamic and static mode,
// peer deletion, failures while another connection holds the database's
// lock). Each store is checked through the store interface and by opening
// the database again, so that what it says is what it stored.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/driver_postgresql/connection.hpp"
#include "db/driver_postgresql/driver_postgresql.hpp"
#include "db/driver_sqlite/driver_sqlite.hpp"
#include "db/pg_cluster.hpp"
#include "db/store.hpp"
#include "db_test_support.hpp"
#include "util/log.hpp"

using NORRIK::Data::PeerAddress;
using NORRIK::Data::Store;
using NORRIK::Data::TorrentStats;
using namespace norrik_test;

namespace {

constexpr int64_t kStart = 1'700'000'000;
constexpr int64_t kSeeder = 0;
constexpr int64_t kLeecher = 1000;

// Where one test's database lives.
struct StoreEnv {
    TempDir dir;
    NORRIK::Settings::Section section{"database"};
};

// Something that keeps the database's write lock from another connection
// until it goes, or until its time is up.
class ForeignHold {
public:
    virtual ~ForeignHold() = default;
    virtual bool held() const = 0;
    // Waits for the lock's time to end and lets go.
    virtual void release() = 0;
};

struct StoreFactory {
    std::string name;
    friend void PrintTo(const StoreFactory& factory, std::ostream* out) { *out << factory.name; }
    // Sets up the section for a new database (called once per test).
    std::function<void(StoreEnv&)> prepare;
    // Opens (or opens again) the store on that database.
    std::function<std::unique_ptr<Store>(StoreEnv&, bool dynamic)> open;
    // Holds the write lock for `seconds`, past the store's own wait for it.
    std::function<std::unique_ptr<ForeignHold>(StoreEnv&, int seconds)> hold;
};

class SQLiteHold : public ForeignHold {
public:
    SQLiteHold(const std::string& file, int seconds) : raw_(file) {
        held_ = raw_.exec("BEGIN EXCLUSIVE");
        releaser_ = std::thread([this, seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            raw_.exec("COMMIT");
        });
    }
    ~SQLiteHold() override { release(); }
    bool held() const override { return held_; }
    void release() override {
        if (releaser_.joinable()) releaser_.join();
    }

private:
    RawDb raw_;
    bool held_ = false;
    std::thread releaser_;
};

StoreFactory sqliteFactory(const std::string& layout) {
    StoreFactory factory;
    factory.name = "sqlite_" + layout;
    factory.prepare = [layout](StoreEnv& env) {
        env.section.set("file", env.dir.path("tracker.db"));
        env.section.set("layout", layout);
    };
    factory.open = [](StoreEnv& env, bool dynamic) -> std::unique_ptr<Store> {
        return std::make_unique<NORRIK::Data::SQLite3Driver>(&env.section, dynamic);
    };
    factory.hold = [](StoreEnv& env, int seconds) -> std::unique_ptr<ForeignHold> {
        return std::make_unique<SQLiteHold>(env.dir.path("tracker.db"), seconds);
    };
    return factory;
}

// Another session holding every table of the store in ACCESS EXCLUSIVE mode:
// the writer's statements wait for it until their lock timeout.
class PostgreSQLHold : public ForeignHold {
public:
    PostgreSQLHold(const std::string& conninfo, int seconds) {
        std::string error;
        db_ = NORRIK::Data::PostgreSQL::Connection::open(conninfo, error);
        held_ = db_ && db_->exec("BEGIN").ok() &&
                db_->exec("LOCK TABLE torrents, stats, peers, removals IN ACCESS EXCLUSIVE MODE").ok();
        releaser_ = std::thread([this, seconds] {
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            if (db_) db_->exec("COMMIT");
        });
    }
    ~PostgreSQLHold() override { release(); }
    bool held() const override { return held_; }
    void release() override {
        if (releaser_.joinable()) releaser_.join();
    }

private:
    std::unique_ptr<NORRIK::Data::PostgreSQL::Connection> db_;
    bool held_ = false;
    std::thread releaser_;
};

StoreFactory postgresqlFactory() {
    StoreFactory factory;
    factory.name = "postgresql";
    factory.prepare = [](StoreEnv& env) {
        env.section.set("driver", "postgresql");
        env.section.set("conninfo", PgCluster::shared().freshDatabase());
    };
    factory.open = [](StoreEnv& env, bool dynamic) -> std::unique_ptr<Store> {
        return std::make_unique<NORRIK::Data::PostgreSQLDriver>(&env.section, dynamic);
    };
    factory.hold = [](StoreEnv& env, int seconds) -> std::unique_ptr<ForeignHold> {
        return std::make_unique<PostgreSQLHold>(env.section.get("conninfo"), seconds);
    };
    return factory;
}

std::vector<StoreFactory> factories() { return {sqliteFactory("tables"), sqliteFactory("flat"), postgresqlFactory()}; }

class StoreConformance : public ::testing::TestWithParam<StoreFactory> {
protected:
    void SetUp() override {
        GetParam().prepare(env);
        logging = NORRIK::Log::requestLogging();
        NORRIK::Log::setRequestLogging(false);  // the per-request lines are not what is tested here
    }
    void TearDown() override { NORRIK::Log::setRequestLogging(logging); }

    std::unique_ptr<Store> open(bool dynamic = false) {
        auto store = GetParam().open(env, dynamic);
        store->setClock([this] { return clock; });
        return store;
    }

    // Closes the store (storing what it has) and opens the database again,
    // in the same mode unless `dynamic` says otherwise.
    std::unique_ptr<Store> reopen(std::unique_ptr<Store>& store, std::optional<bool> dynamic = std::nullopt) {
        const bool mode = dynamic.value_or(store->isDynamic());
        store.reset();
        return open(mode);
    }

    static void announce(Store& store, const Hash& hash, uint16_t port, int64_t left, int32_t event = 0,
                         char peer = 'A', uint32_t ip = 0x0A000001) {
        store.storePeer(PeerId(peer).get(), hash.get(), ip, port, 0, left, 0, event);
    }

    static TorrentStats stats(Store& store, const Hash& hash, bool* found = nullptr) {
        TorrentStats record{hash.get(), -1, -1, -1};
        const bool result = store.fetchTorrentStats(&record);
        if (found != nullptr) *found = result;
        return record;
    }

    static std::set<uint16_t> ports(Store& store, const Hash& hash, int32_t room = 30) {
        std::vector<PeerAddress> peers(static_cast<std::size_t>(room));
        int32_t count = room;
        store.fetchPeers(hash.get(), &count, peers.data());
        std::set<uint16_t> result;
        for (int32_t i = 0; i < count; ++i) result.insert(peers[static_cast<std::size_t>(i)].port);
        return result;
    }

    StoreEnv env;
    bool logging = true;
    int64_t clock = kStart;
};

TEST_P(StoreConformance, RegistrationsAndRemovalsAreStored) {
    auto store = open();
    const Hash added(1), removed(2), never(3);
    EXPECT_TRUE(store->insertTorrent(added.get()));
    EXPECT_TRUE(store->insertTorrent(added.get()));  // twice succeeds twice
    EXPECT_TRUE(store->insertTorrent(removed.get()));
    EXPECT_TRUE(store->deleteTorrent(removed.get()));
    EXPECT_TRUE(store->deleteTorrent(never.get()));  // never added
    EXPECT_TRUE(store->hasTorrent(added.get()));
    EXPECT_FALSE(store->hasTorrent(removed.get()));
    EXPECT_FALSE(store->hasTorrent(never.get()));
    bool found = true;
    stats(*store, added, &found);
    EXPECT_FALSE(found) << "statistics before any peer or pass";

    store = reopen(store);
    EXPECT_TRUE(store->hasTorrent(added.get()));
    EXPECT_FALSE(store->hasTorrent(removed.get()));
    EXPECT_TRUE(open(true)->hasTorrent(never.get())) << "dynamic mode serves every torrent";
}

TEST_P(StoreConformance, AnnouncesAreCountedAndReplaceThePeerOfTheSameAddress) {
    auto store = open();
    const Hash hash(4);
    ASSERT_TRUE(store->insertTorrent(hash.get()));
    announce(*store, hash, 1, kSeeder, 2, 'A');
    announce(*store, hash, 2, kLeecher, 2, 'B');
    announce(*store, hash, 3, kLeecher, 2, 'C');
    announce(*store, hash, 3, kSeeder, 0, 'D');  // same address and port: replaces, now a seeder
    TorrentStats record = stats(*store, hash);
    EXPECT_EQ(record.seeders, 2);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(record.completed, 0);
    EXPECT_EQ(ports(*store, hash), (std::set<uint16_t>{1, 2, 3}));
    EXPECT_EQ(ports(*store, hash, 2).size(), 2u) << "the count bounds the peers handed out";

    store = reopen(store);
    record = stats(*store, hash);
    EXPECT_EQ(record.seeders, 2);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(ports(*store, hash), (std::set<uint16_t>{1, 2, 3}));
    PeerAddress peer{};
    int32_t one = 1;
    store->fetchPeers(hash.get(), &one, &peer);
    EXPECT_EQ(peer.ip, 0x0A000001u) << "addresses come back in host order";
}

TEST_P(StoreConformance, DownloadsAccumulateAndSurviveAReopen) {
    auto store = open(true);
    const Hash hash(5);
    announce(*store, hash, 1, kSeeder, 1);  // completed on a first announce
    announce(*store, hash, 2, kLeecher, 2);
    announce(*store, hash, 2, kSeeder, 1);
    announce(*store, hash, 1, kSeeder, 0);  // no event resets nothing
    EXPECT_EQ(stats(*store, hash).completed, 2);
    store->cleanup();
    store = reopen(store);
    EXPECT_EQ(stats(*store, hash).completed, 2);
    announce(*store, hash, 3, kSeeder, 1);
    EXPECT_EQ(stats(*store, hash).completed, 3);
    store = reopen(store);
    EXPECT_EQ(stats(*store, hash).completed, 3);
}

TEST_P(StoreConformance, PeersExpireAfterMoreThan7200Seconds) {
    auto store = open();
    const Hash busy(6), idle(7), quiet(8);
    ASSERT_TRUE(store->insertTorrent(busy.get()));
    ASSERT_TRUE(store->insertTorrent(idle.get()));
    ASSERT_TRUE(store->insertTorrent(quiet.get()));  // registered, never announced
    clock = kStart - 7201;
    announce(*store, busy, 1, kSeeder);  // goes
    announce(*store, idle, 1, kLeecher);  // goes: its torrent keeps no peer
    clock = kStart - 7200;
    announce(*store, busy, 2, kSeeder);  // stays: exactly 7200 s
    clock = kStart - 10;
    announce(*store, busy, 3, kLeecher);
    clock = kStart;
    store->cleanup();
    EXPECT_EQ(ports(*store, busy), (std::set<uint16_t>{2, 3}));
    TorrentStats record = stats(*store, busy);
    EXPECT_EQ(record.seeders, 1);
    EXPECT_EQ(record.leechers, 1);
    for (const Hash* hash : {&idle, &quiet}) {
        bool found = false;
        record = stats(*store, *hash, &found);
        EXPECT_TRUE(found) << "every registered torrent has statistics after a pass";
        EXPECT_EQ(record.seeders + record.leechers, 0);
        EXPECT_TRUE(store->hasTorrent(hash->get())) << "a pass never removes a torrent";
    }
    store = reopen(store);
    EXPECT_EQ(ports(*store, busy), (std::set<uint16_t>{2, 3}));
    EXPECT_TRUE(ports(*store, idle).empty());
    EXPECT_TRUE(store->hasTorrent(idle.get()));
}

TEST_P(StoreConformance, OnlyDynamicModeRegistersOnAnAnnounce) {
    const Hash first(9), raced(10);
    {
        auto store = open(true);
        announce(*store, first, 1, kLeecher);
        bool found = false;
        EXPECT_EQ(stats(*store, first, &found).leechers, 1);
        EXPECT_TRUE(found) << "a first announce counts at once";
    }
    auto store = open(false);
    EXPECT_TRUE(store->hasTorrent(first.get())) << "the first announce registered it";
    // An announce accepted before a removal and stored after it.
    ASSERT_TRUE(store->insertTorrent(raced.get()));
    ASSERT_TRUE(store->deleteTorrent(raced.get()));
    EXPECT_FALSE(store->storePeer(PeerId('R').get(), raced.get(), 0x0A000001, 1, 0, 0, 0, 2));
    announce(*store, Hash(11), 1, kSeeder);  // never registered
    EXPECT_FALSE(store->hasTorrent(raced.get()));
    store = reopen(store);
    EXPECT_FALSE(store->hasTorrent(raced.get()));
    EXPECT_FALSE(store->hasTorrent(Hash(11).get()));
}

TEST_P(StoreConformance, RemovalTakesPeersAndStatisticsAlong) {
    auto store = open(true);
    const Hash hash(12);
    announce(*store, hash, 1, kSeeder, 1);
    announce(*store, hash, 2, kLeecher);
    ASSERT_TRUE(store->deleteTorrent(hash.get()));
    bool found = true;
    stats(*store, hash, &found);
    EXPECT_FALSE(found);
    EXPECT_TRUE(ports(*store, hash).empty());
    announce(*store, hash, 3, kLeecher);  // back, with nothing of before
    TorrentStats record = stats(*store, hash);
    EXPECT_EQ(record.seeders, 0);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(record.completed, 0);
    store = reopen(store);
    record = stats(*store, hash);
    EXPECT_EQ(record.leechers, 1);
    EXPECT_EQ(record.completed, 0);
    EXPECT_EQ(ports(*store, hash), (std::set<uint16_t>{3}));
}

TEST_P(StoreConformance, DeletePeerMatchesAddressPortAndPeerId) {
    auto store = open(true);
    const Hash hash(13);
    announce(*store, hash, 1, kSeeder, 0, 'A');
    announce(*store, hash, 2, kLeecher, 0, 'B');
    EXPECT_TRUE(store->deletePeer(PeerId('X').get(), hash.get(), 0x0A000001, 1));  // another peer_id
    EXPECT_EQ(ports(*store, hash), (std::set<uint16_t>{1, 2}));
    EXPECT_TRUE(store->deletePeer(PeerId('A').get(), hash.get(), 0x0A000001, 1));
    EXPECT_EQ(ports(*store, hash), (std::set<uint16_t>{2}));
    EXPECT_EQ(stats(*store, hash).seeders, 0);
    store = reopen(store);
    EXPECT_EQ(ports(*store, hash), (std::set<uint16_t>{2}));
}

// Another connection holds the database's lock for longer than the store
// waits for it. API writes fail and say so (nothing of them is stored or
// remembered); announces go on from memory, the first of a new torrent too,
// and their rows and counts (downloads included) are stored once the lock is
// gone.
TEST_P(StoreConformance, FailuresUnderALockHeldPastTheStoresWait) {
    // The store waits 5 s for a lock; an API write may wait for an attempt
    // already under way and then makes its own: both end within 10 s.
    constexpr int kLockSeconds = 12;
    auto store = open(true);
    const Hash kept(14), refused(15), announced(16);
    ASSERT_TRUE(store->insertTorrent(kept.get()));
    announce(*store, kept, 1, kSeeder, 1);
    ASSERT_TRUE(store->flush());

    auto lock = GetParam().hold(env, kLockSeconds);
    ASSERT_TRUE(lock->held());
    const auto lockedAt = std::chrono::steady_clock::now();
    for (uint16_t port = 2; port <= 21; ++port) {
        announce(*store, kept, port, port % 2 ? kSeeder : kLeecher, port % 3 ? 0 : 1);
    }
    announce(*store, announced, 9, kSeeder, 1);
    bool found = false;
    EXPECT_EQ(stats(*store, announced, &found).seeders, 1);
    EXPECT_TRUE(found) << "a scrape finds a new torrent before its registration is stored";
    EXPECT_LT(std::chrono::steady_clock::now() - lockedAt, std::chrono::seconds(2)) << "announces waited for the lock";

    bool added = true, removed = true;
    std::thread add([&] { added = store->insertTorrent(refused.get()); });
    std::thread remove([&] { removed = store->deleteTorrent(kept.get()); });
    add.join();
    remove.join();
    EXPECT_LT(std::chrono::steady_clock::now() - lockedAt, std::chrono::seconds(kLockSeconds));
    EXPECT_FALSE(added) << "a registration the database never took was reported done";
    EXPECT_FALSE(removed) << "a removal the database never took was reported done";
    EXPECT_TRUE(store->hasTorrent(kept.get())) << "a failed removal took the torrent out of memory";
    EXPECT_EQ(ports(*store, kept).size(), 21u);

    lock->release();
    ASSERT_TRUE(store->flush());
    const TorrentStats before = stats(*store, kept);
    EXPECT_EQ(before.seeders + before.leechers, 21);
    EXPECT_EQ(before.completed, 1 + 7);  // port 1 before the lock, ports 3, 6, ..., 21 in it

    store = reopen(store, false);
    EXPECT_FALSE(store->hasTorrent(refused.get()));
    EXPECT_TRUE(store->hasTorrent(kept.get()));
    EXPECT_TRUE(store->hasTorrent(announced.get()));
    const TorrentStats after = stats(*store, kept);
    EXPECT_EQ(after.seeders, before.seeders) << "every announce of the lock is stored, counted once";
    EXPECT_EQ(after.leechers, before.leechers);
    EXPECT_EQ(after.completed, before.completed);
    EXPECT_EQ(ports(*store, kept).size(), 21u);
    EXPECT_EQ(stats(*store, announced).completed, 1);

    // Once the lock is gone the refused writes succeed.
    EXPECT_TRUE(store->insertTorrent(refused.get()));
    EXPECT_TRUE(store->deleteTorrent(kept.get()));
    store = reopen(store, false);
    EXPECT_TRUE(store->hasTorrent(refused.get()));
    EXPECT_FALSE(store->hasTorrent(kept.get()));
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreConformance, ::testing::ValuesIn(factories()),
                         [](const ::testing::TestParamInfo<StoreFactory>& info) { return info.param.name; });

}  // namespace
