#pragma once
// Helpers for the store tests: a database file in a private temp dir, a
// settable clock, capture of the lines written to standard output, and a
// second connection to look at the file directly.

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "settings.hpp"
#include "test_support.hpp"
#include "util/hex.hpp"

namespace norrik_test {

// Sends everything written to descriptor 1 (or `descriptor`, 2 for
// standard error) into a file until finish().
class StdoutCapture {
public:
    explicit StdoutCapture(std::string path, int descriptor = STDOUT_FILENO)
        : path_(std::move(path)), descriptor_(descriptor) {
        saved_ = dup(descriptor_);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, descriptor_);
        close(fd);
    }
    ~StdoutCapture() { restore(); }
    // What was captured so far, while capturing goes on.
    std::string text() const { return readFile(path_); }
    std::string finish() {
        restore();
        return readFile(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, descriptor_);
        close(saved_);
        saved_ = -1;
    }
    std::string path_;
    int descriptor_;
    int saved_ = -1;
};

// A second, plain connection to the database file.
class RawDb {
public:
    explicit RawDb(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~RawDb() { sqlite3_close(db_); }
    sqlite3* get() const { return db_; }

    bool exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }

    // First column of the first row as an integer; -1 when there is no row.
    int64_t integer(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        int64_t value = -1;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
            value = sqlite3_column_int64(stmt, 0);
        }
        sqlite3_finalize(stmt);
        return value;
    }

    // First column of the first row as bytes; empty when there is no row.
    std::vector<uint8_t> blob(const std::string& sql) {
        sqlite3_stmt* stmt = nullptr;
        std::vector<uint8_t> value;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* data = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, 0));
            value.assign(data, data + sqlite3_column_bytes(stmt, 0));
        }
        sqlite3_finalize(stmt);
        return value;
    }

    bool hasTable(const std::string& name) {
        return integer("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='" + name + "'") == 1;
    }

private:
    sqlite3* db_ = nullptr;
};

struct Hash {
    uint8_t bytes[20];
    explicit Hash(uint8_t seed) {
        for (int i = 0; i < 20; ++i) bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    }
    const uint8_t* get() const { return bytes; }
    std::string table() const { return "t" + NORRIK::hashToHex(bytes); }
};

struct PeerId {
    uint8_t bytes[20];
    explicit PeerId(char fill) { std::memset(bytes, fill, 20); }
    const uint8_t* get() const { return bytes; }
};

}  // namespace norrik_test
