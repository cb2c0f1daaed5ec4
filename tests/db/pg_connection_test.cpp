// The libpq layer against a real PostgreSQL server (tests/db/pg_cluster.hpp).

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "db/driver_postgresql/connection.hpp"
#include "db/pg_cluster.hpp"
#include "pg_test_support.hpp"

namespace {

using NORRIK::Data::PostgreSQL::Connection;
using NORRIK::Data::PostgreSQL::CopyRows;
using NORRIK::Data::PostgreSQL::Format;
using NORRIK::Data::PostgreSQL::Notification;
using NORRIK::Data::PostgreSQL::Param;
using norrik_test::PgCluster;
using norrik_test::pg::connect;
using norrik_test::pg::count;

void run(Connection& connection, const std::string& sql) {
    auto result = connection.exec(sql);
    ASSERT_TRUE(result.ok()) << sql << ": " << result.error();
}

std::vector<uint8_t> everyByte() {
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(255 - i);
    return bytes;
}

TEST(PgConnection, BinaryParametersRoundTripBytesAndIntegersInBothResultFormats) {
    auto db = connect(PgCluster::shared().freshDatabase());
    ASSERT_NE(db, nullptr);
    run(*db, "CREATE TABLE v (id integer PRIMARY KEY, b bytea, big bigint, small integer)");

    struct Case {
        std::vector<uint8_t> bytes;
        int64_t big;
        int32_t small;
    };
    const std::vector<Case> cases = {
        {everyByte(), std::numeric_limits<int64_t>::min(), std::numeric_limits<int32_t>::min()},
        {{}, std::numeric_limits<int64_t>::max(), std::numeric_limits<int32_t>::max()},  // empty, not NULL
        {{0x00}, -1, -1},
        {{0x5c, 0x78, 0x00, 0x27}, 0x0102030405060708, 0x01020304},  // "\x", NUL and a quote
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        auto inserted = db->execParams("INSERT INTO v VALUES ($1, $2, $3, $4)",
                                       {Param::int32(static_cast<int32_t>(i)), Param::bytes(c.bytes),
                                        Param::int64(c.big), Param::int32(c.small)});
        ASSERT_TRUE(inserted.ok()) << inserted.error();
        EXPECT_EQ(inserted.affectedRows(), 1);
    }

    for (Format format : {Format::Text, Format::Binary}) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            SCOPED_TRACE("case " + std::to_string(i) + (format == Format::Text ? ", text" : ", binary"));
            // The bytea parameter finds its row: it reached the server byte for byte.
            auto row = db->execParams("SELECT id, b, big, small FROM v WHERE b = $1", {Param::bytes(cases[i].bytes)},
                                      format);
            ASSERT_TRUE(row.ok()) << row.error();
            ASSERT_EQ(row.rows(), 1);
            EXPECT_EQ(row.integer(0, 0), static_cast<int64_t>(i));
            EXPECT_FALSE(row.isNull(0, 1));
            EXPECT_EQ(row.bytes(0, 1), cases[i].bytes);
            EXPECT_EQ(row.integer(0, 2), cases[i].big);
            EXPECT_EQ(row.integer(0, 3), cases[i].small);
        }
    }

    // NULL goes in as NULL and comes back as nothing.
    ASSERT_TRUE(db->execParams("INSERT INTO v VALUES (99, $1, $2, NULL)", {Param::null(), Param::null()}).ok());
    auto nulls = db->exec("SELECT b, big FROM v WHERE id = 99");
    ASSERT_EQ(nulls.rows(), 1);
    EXPECT_TRUE(nulls.isNull(0, 0));
    EXPECT_EQ(nulls.bytes(0, 0), std::nullopt);
    EXPECT_EQ(nulls.integer(0, 1), std::nullopt);

    // A server error is a failed result with its text and SQLSTATE, and the
    // connection goes on.
    auto duplicate = db->execParams("INSERT INTO v (id) VALUES ($1)", {Param::int32(0)});
    EXPECT_FALSE(duplicate.ok());
    EXPECT_EQ(duplicate.sqlState(), "23505");
    EXPECT_NE(duplicate.error().find("duplicate key"), std::string::npos) << duplicate.error();
    EXPECT_FALSE(db->lost());
    EXPECT_EQ(count(*db, "SELECT count(*) FROM v"), 5);
}

// The timeouts that bound a call on a vanished server apply unless the
// conninfo sets its own.
TEST(PgConnection, ConninfoSettingsWinOverTheDefaultTimeouts) {
    const std::string conninfo = PgCluster::shared().conninfo();
    auto setting = [](Connection& connection, const std::string& keyword) {
        std::string value;
        PQconninfoOption* options = PQconninfo(connection.handle());
        for (PQconninfoOption* option = options; option && option->keyword; ++option) {
            if (keyword == option->keyword && option->val) value = option->val;
        }
        PQconninfoFree(options);
        return value;
    };
    auto plain = connect(conninfo);
    auto own = connect(conninfo + " connect_timeout=3 tcp_user_timeout=5000");
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(setting(*plain, "connect_timeout"), "10");
    EXPECT_EQ(setting(*plain, "tcp_user_timeout"), "30000");
    EXPECT_EQ(setting(*plain, "dbname"), "postgres");
    EXPECT_EQ(setting(*own, "connect_timeout"), "3");
    EXPECT_EQ(setting(*own, "tcp_user_timeout"), "5000");
}

TEST(PgConnection, CopiedRowsUpsertFromAStagingTable) {
    auto db = connect(PgCluster::shared().freshDatabase());
    ASSERT_NE(db, nullptr);
    run(*db,
        "CREATE TABLE peers (info_hash bytea, address bytea, port integer, last_seen bigint, client text,"
        " PRIMARY KEY (info_hash, address, port))");
    run(*db, "CREATE TEMP TABLE staging (LIKE peers)");

    auto hashOf = [](int i) {
        std::vector<uint8_t> hash(20);
        for (int b = 0; b < 20; ++b) hash[b] = static_cast<uint8_t>(i * 7 + b * 13);
        return hash;
    };
    const uint8_t address[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    const std::string awkward = "tab\there\nback\\slash\r";
    constexpr int kRows = 3000;
    constexpr int kAlreadyStored = 500;  // rows 0..499 exist with an older last_seen

    for (int i = 0; i < kAlreadyStored; ++i) {
        auto hash = hashOf(i);
        ASSERT_TRUE(db->execParams("INSERT INTO peers VALUES ($1, $2, $3, 1, 'old')",
                                   {Param::bytes(hash), Param::bytes(address, sizeof address), Param::int32(i)})
                        .ok());
    }

    CopyRows rows;
    for (int i = 0; i < kRows; ++i) {
        auto hash = hashOf(i);
        rows.bytes(hash.data(), hash.size()).bytes(address, sizeof address).integer(i).integer(1000 + i);
        if (i % 2 == 0) {
            rows.text(awkward);
        } else {
            rows.null();
        }
        rows.endRow();
    }
    ASSERT_EQ(rows.rowCount(), static_cast<std::size_t>(kRows));
    auto copied = db->copyIn("COPY staging FROM STDIN", rows);
    ASSERT_TRUE(copied.ok()) << copied.error();
    EXPECT_EQ(copied.affectedRows(), kRows);

    auto upserted = db->exec(
        "INSERT INTO peers SELECT * FROM staging ON CONFLICT (info_hash, address, port)"
        " DO UPDATE SET last_seen = EXCLUDED.last_seen, client = EXCLUDED.client");
    ASSERT_TRUE(upserted.ok()) << upserted.error();
    EXPECT_EQ(upserted.affectedRows(), kRows);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM peers"), kRows);
    EXPECT_EQ(count(*db, "SELECT count(*) FROM peers WHERE last_seen = 1000 + port"), kRows);

    // One row read back: bytea, integers and the escaped text as they were sent.
    for (int i : {0, 2998}) {
        auto hash = hashOf(i);
        auto row = db->execParams("SELECT address, last_seen, client FROM peers WHERE info_hash = $1 AND port = $2",
                                  {Param::bytes(hash), Param::int32(i)}, Format::Binary);
        ASSERT_EQ(row.rows(), 1) << row.error();
        EXPECT_EQ(row.bytes(0, 0), std::vector<uint8_t>(address, address + sizeof address));
        EXPECT_EQ(row.integer(0, 1), 1000 + i);
        EXPECT_EQ(row.value(0, 2), awkward);
    }

    // A batch with one bad row stores none of its rows and says why; the
    // connection stays usable.
    CopyRows bad;
    bad.bytes("\x01", 1).bytes(address, sizeof address).integer(1).integer(2).null().endRow();
    bad.bytes("\x02", 1).bytes(address, sizeof address).text("not a port").integer(2).null().endRow();
    auto refused = db->copyIn("COPY staging FROM STDIN", bad);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.sqlState(), "22P02") << refused.error();  // invalid text representation
    EXPECT_EQ(count(*db, "SELECT count(*) FROM staging"), kRows);

    // Anything but COPY FROM STDIN is refused, and nothing is left half done.
    EXPECT_FALSE(db->copyIn("SELECT 1", rows).ok());
    EXPECT_FALSE(db->copyIn("COPY staging TO STDOUT", rows).ok());
    EXPECT_EQ(count(*db, "SELECT count(*) FROM staging"), kRows);
}

TEST(PgConnection, ListenGetsCommittedNotificationsOnlyAndCanBeWoken) {
    const std::string conninfo = PgCluster::shared().freshDatabase();
    auto listener = connect(conninfo);
    auto sender = connect(conninfo);
    ASSERT_NE(listener, nullptr);
    ASSERT_NE(sender, nullptr);
    const std::string channel = "torrents \"of\" norrik";  // quoted as an identifier
    ASSERT_TRUE(listener->listen(channel).ok());

    auto notify = [&](const std::string& payload) {
        return sender->execParams("SELECT pg_notify($1, $2)", {Param::text(channel), Param::text(payload)});
    };
    run(*sender, "BEGIN");
    ASSERT_TRUE(notify("rolled back").ok());
    run(*sender, "ROLLBACK");
    ASSERT_TRUE(notify("committed").ok());

    Notification got;
    ASSERT_EQ(listener->waitForNotification(std::chrono::seconds(10), got), Connection::Wait::Notified);
    EXPECT_EQ(got.channel, channel);
    EXPECT_EQ(got.payload, "committed");
    EXPECT_NE(got.serverPid, 0);
    EXPECT_EQ(listener->waitForNotification(std::chrono::milliseconds(300), got), Connection::Wait::TimedOut);

    // A notification that came in with a query's answer is handed out too.
    ASSERT_TRUE(notify("during a query").ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run(*listener, "SELECT 1");
    ASSERT_EQ(listener->waitForNotification(std::chrono::milliseconds(0), got), Connection::Wait::Notified);
    EXPECT_EQ(got.payload, "during a query");

    // Another thread ends a long wait through the wake descriptor.
    int wake = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    std::thread waker([wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint64_t one = 1;
        EXPECT_EQ(::write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    });
    EXPECT_EQ(listener->waitForNotification(std::chrono::seconds(60), got, wake), Connection::Wait::Woken);
    waker.join();
    ::close(wake);
}

TEST(PgConnection, ServerGoneFailsCallsAndAfterItsRestartReconnectWorks) {
    PgCluster cluster;  // its own server: this test stops it
    const std::string conninfo = cluster.freshDatabase();
    auto db = connect(conninfo);
    auto listener = connect(conninfo);
    ASSERT_NE(db, nullptr);
    ASSERT_NE(listener, nullptr);
    run(*db, "CREATE TABLE kept (n bigint)");
    run(*db, "INSERT INTO kept VALUES (42)");
    ASSERT_TRUE(listener->listen("changes").ok());

    // The server stops while the listener waits far longer than the stop
    // takes: the wait ends as lost, not as a time-out.
    Connection::Wait outcome = Connection::Wait::Notified;
    Notification ignored;
    std::thread waiting([&] { outcome = listener->waitForNotification(std::chrono::seconds(120), ignored); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cluster.stop();
    waiting.join();
    EXPECT_EQ(outcome, Connection::Wait::Lost);
    EXPECT_TRUE(listener->lost());

    auto failed = db->exec("SELECT n FROM kept");
    EXPECT_FALSE(failed.ok());
    EXPECT_FALSE(failed.error().empty());
    EXPECT_TRUE(db->lost());
    EXPECT_FALSE(db->execParams("SELECT $1::bigint", {Param::int64(1)}).ok());
    EXPECT_FALSE(db->copyIn("COPY kept FROM STDIN", std::string_view("1\n")).ok());

    // While it is down, connecting again fails with a reason, and so does a
    // new connection.
    std::string error;
    EXPECT_FALSE(db->reconnect(error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(db->lost());
    error.clear();
    EXPECT_EQ(Connection::open(conninfo, error), nullptr);
    EXPECT_FALSE(error.empty());

    cluster.restart();
    ASSERT_TRUE(db->reconnect(error)) << error;
    EXPECT_FALSE(db->lost());
    EXPECT_EQ(count(*db, "SELECT n FROM kept"), 42);

    // The listener listens again on its channel after reconnecting.
    ASSERT_TRUE(listener->reconnect(error)) << error;
    run(*db, "NOTIFY changes, 'back'");
    Notification got;
    ASSERT_EQ(listener->waitForNotification(std::chrono::seconds(10), got), Connection::Wait::Notified);
    EXPECT_EQ(got.payload, "back");
}

}  // namespace
