#pragma once
// Small helpers of the PostgreSQL tests: a connection that the test needs
// (a failure to connect fails the test and says why), and a number read
// back by a query.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "db/driver_postgresql/connection.hpp"

namespace norrik_test::pg {

inline std::unique_ptr<NORRIK::Data::PostgreSQL::Connection> connect(const std::string& conninfo) {
    std::string error;
    auto db = NORRIK::Data::PostgreSQL::Connection::open(conninfo, error);
    EXPECT_NE(db, nullptr) << error;
    return db;
}

// The first column of the first row, -1 when the query fails (and the test
// with it).
inline int64_t count(NORRIK::Data::PostgreSQL::Connection& db, const std::string& sql) {
    auto result = db.exec(sql);
    EXPECT_TRUE(result.ok()) << sql << ": " << result.error();
    return result.integer(0, 0).value_or(-1);
}

}  // namespace norrik_test::pg
