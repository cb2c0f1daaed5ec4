// The connection's cache of prepared statements: the statement handed out
// last is handed out again without a look-up, so it must be forgotten with
// every way a statement leaves the cache (ASan reports a finalized one used).

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "db/driver_sqlite/connection.hpp"
#include "test_support.hpp"

using NORRIK::Data::SQLite::Connection;
using NORRIK::Data::SQLite::Query;
using namespace norrik_test;

namespace {

constexpr const char* kOne = "SELECT 1";
constexpr const char* kTwo = "SELECT 2";
constexpr const char* kMissing = "SELECT x FROM missing";

int valueOf(Connection& connection, const char* sql) {
    Query query(connection, sql);
    return query.stepRow() ? sqlite3_column_int(query.get(), 0) : -1;
}

}  // namespace

TEST(StatementCache, StatementsLeavingTheCacheAreNotHandedOutAgain) {
    TempDir dir;
    {
        // Room for one: each new statement pushes out the one handed out last.
        auto connection = Connection::open(dir.path("one.db"), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 1);
        ASSERT_TRUE(connection);
        EXPECT_EQ(valueOf(*connection, kOne), 1);
        EXPECT_EQ(valueOf(*connection, kOne), 1);
        EXPECT_EQ(valueOf(*connection, kTwo), 2);
        EXPECT_EQ(valueOf(*connection, kOne), 1);
    }
    {
        auto connection = Connection::open(dir.path("two.db"), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 4);
        ASSERT_TRUE(connection);
        // Evicted after a failed step, then asked for again once it can run.
        ASSERT_EQ(connection->exec("CREATE TABLE missing (x INTEGER)"), SQLITE_OK);
        ASSERT_EQ(connection->exec("INSERT INTO missing VALUES (7)"), SQLITE_OK);
        EXPECT_EQ(valueOf(*connection, kMissing), 7);
        ASSERT_EQ(connection->exec("DROP TABLE missing"), SQLITE_OK);
        EXPECT_EQ(valueOf(*connection, kMissing), -1);
        ASSERT_EQ(connection->exec("CREATE TABLE missing (x INTEGER)"), SQLITE_OK);
        ASSERT_EQ(connection->exec("INSERT INTO missing VALUES (8)"), SQLITE_OK);
        EXPECT_EQ(valueOf(*connection, kMissing), 8);
        // Evicted by hand while it is the one handed out last.
        EXPECT_EQ(valueOf(*connection, kTwo), 2);
        connection->evict(Connection::keyFor(kTwo));
        EXPECT_EQ(valueOf(*connection, kTwo), 2);
    }
}
