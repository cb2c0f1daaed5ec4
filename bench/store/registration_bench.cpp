// How the cost of registering a torrent grows with the number of torrents
// already stored: the store alone (no network) registers new torrents in
// steps, commits each step with flush() so that the cost of its writes lies
// inside it, and prints one line per step. Prints figures; it asserts
// nothing.
//
//   norrik-registration-bench [options] <db file>
//
// Paths: "announce" is a torrent's first announce in dynamic mode, the store
// calls a worker makes for it (fetchPeers, fetchTorrentStats, storePeer);
// "api" is insertTorrent in static mode, as the API's "add" runs it. Keys of
// section "database" can be handed through (--set layout=flat), so the same
// program measures every layout the store knows; at the end it reads the
// file and says which layout it actually holds.

#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cinttypes>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "settings.hpp"
#include "util/log.hpp"

using NORRIK::Data::PeerAddress;
using NORRIK::Data::SQLite3Driver;
using NORRIK::Data::TorrentStats;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    std::string file;
    std::string path = "announce";
    uint64_t torrents = 100'000;
    uint64_t step = 10'000;
    double secondsLimit = 3600;
    std::vector<std::pair<std::string, std::string>> settings;
};

void usage(FILE* out) {
    std::fprintf(out,
        "usage: norrik-registration-bench [options] <db file>\n"
        "  --path announce|api   first announces in dynamic mode (fetchPeers, fetchTorrentStats,\n"
        "                        storePeer) or insertTorrent in static mode (default announce)\n"
        "  --torrents N          torrents to register in all (default 100000)\n"
        "  --step N              torrents per step, each step ends with flush() (default 10000)\n"
        "  --set KEY=VALUE       a key of section \"database\", e.g. layout=flat (repeatable)\n"
        "  --seconds-limit S     stop after the step during which S seconds had passed (default 3600)\n"
        "The db file is removed first (with its -wal and -shm files).\n");
}

bool parseCount(const char* text, uint64_t& out) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || v == 0) return false;
    out = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (name == "-h" || name == "--help") {
            usage(stdout);
            std::exit(0);
        } else if (name == "--path" && hasValue) {
            o.path = argv[++i];
            if (o.path != "announce" && o.path != "api") return false;
        } else if (name == "--torrents" && hasValue) {
            if (!parseCount(argv[++i], o.torrents)) return false;
        } else if (name == "--step" && hasValue) {
            if (!parseCount(argv[++i], o.step)) return false;
        } else if (name == "--seconds-limit" && hasValue) {
            char* end = nullptr;
            o.secondsLimit = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(o.secondsLimit > 0)) return false;
        } else if (name == "--set" && hasValue) {
            const std::string pair = argv[++i];
            const auto eq = pair.find('=');
            if (eq == std::string::npos || eq == 0) return false;
            o.settings.emplace_back(pair.substr(0, eq), pair.substr(eq + 1));
        } else if (!name.empty() && name[0] != '-' && o.file.empty()) {
            o.file = argv[i];
        } else {
            return false;
        }
    }
    return !o.file.empty();
}

// Torrent n's info_hash: its number in the first 8 bytes, a fixed tail.
void hashOf(uint64_t n, uint8_t* out) {
    std::memset(out, 0x5a, 20);
    std::memcpy(out, &n, sizeof n);
}

// CPU seconds of the whole process (the store's writer thread included):
// unlike the wall clock, it does not count the time other programs on a
// shared machine take the core away.
double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

uint64_t fileSize(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// The size of the database as its pages stand, those still in the WAL
// included (the file itself grows only when they are checkpointed), read
// through a connection of its own.
class DatabaseSize {
public:
    explicit DatabaseSize(const std::string& file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~DatabaseSize() { sqlite3_close(db_); }
    DatabaseSize(const DatabaseSize&) = delete;
    DatabaseSize& operator=(const DatabaseSize&) = delete;

    uint64_t bytes() {
        return pragma("PRAGMA page_count") * pragma("PRAGMA page_size");
    }

private:
    uint64_t pragma(const char* sql) {
        sqlite3_stmt* stmt = nullptr;
        uint64_t value = 0;
        if (db_ && sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            value = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));
        sqlite3_finalize(stmt);
        return value;
    }
    sqlite3* db_ = nullptr;
};

// Which layout the file holds, read from its schema with a connection of
// its own (the store's is closed by then).
std::string layoutInFile(const std::string& file) {
    sqlite3* db = nullptr;
    std::string text = "could not be read";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        auto count = [&](const char* sql) {
            sqlite3_stmt* stmt = nullptr;
            long long n = -1;
            if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
                n = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
            return n;
        };
        const long long perTorrent = count(
            "SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND length(name)=41 AND name GLOB 't*'");
        const long long shared = count("SELECT COUNT(*) FROM sqlite_master WHERE type='table' AND name='peers'");
        const long long version = count("PRAGMA user_version");
        text = std::to_string(perTorrent) + " per-torrent peer tables, " +
               (shared > 0 ? "a shared peers table" : "no shared peers table") +
               ", user_version " + std::to_string(version);
    }
    sqlite3_close(db);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(stderr);
        return 2;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(options.file + suffix);
    NORRIK::Log::setRequestLogging(false);
    NORRIK::Settings::Section section("database");
    section.set("file", options.file);
    std::string settingsText;
    for (const auto& [key, value] : options.settings) {
        section.set(key, value);
        settingsText += " " + key + "=" + value;
    }
    const bool announce = options.path == "announce";
    std::printf("registration curve: %s, step %" PRIu64 ", settings of section \"database\":%s\n",
                announce ? "first announces in dynamic mode (fetchPeers, fetchTorrentStats, storePeer)"
                         : "insertTorrent in static mode (the API's add)",
                options.step, settingsText.empty() ? " none" : settingsText.c_str());
    // regs/s and ms/1000 by the wall clock, cpu_ms/1000 by the process's
    // CPU time; db_MiB: the database's pages, those still in the WAL
    // included; wal_MiB: the WAL file on disk.
    std::printf("%10s %12s %12s %12s %12s %12s %14s\n", "torrents", "regs/s", "ms/1000", "cpu_ms/1000", "db_MiB",
                "wal_MiB", "db_bytes/torr");
    std::fflush(stdout);

    bool failed = false;
    uint64_t done = 0;
    double elapsed = 0;
    {
        SQLite3Driver driver(&section, announce);
        DatabaseSize size(options.file);
        while (done < options.torrents && elapsed < options.secondsLimit) {
            const uint64_t end = std::min(options.torrents, done + options.step);
            const auto start = Clock::now();
            const double cpuStart = processCpuSeconds();
            uint64_t refused = 0;
            for (uint64_t n = done; n < end; ++n) {
                uint8_t hash[20];
                hashOf(n, hash);
                if (announce) {
                    uint8_t peerId[20] = {};
                    std::memcpy(peerId, &n, sizeof n);
                    PeerAddress peers[30];
                    int32_t count = 30;
                    driver.fetchPeers(hash, &count, peers);
                    TorrentStats stats{hash, 0, 0, 0};
                    driver.fetchTorrentStats(&stats);
                    if (!driver.storePeer(peerId, hash, 0x7F000001u, static_cast<uint16_t>(1024 + n % 60000), 0,
                                          n % 2 == 0 ? 0 : 1000, 0, 2))
                        ++refused;
                } else if (!driver.insertTorrent(hash)) {
                    ++refused;
                }
            }
            if (!driver.flush()) {
                std::fprintf(stderr, "norrik-registration-bench: flush failed after %" PRIu64 " torrents\n", end);
                failed = true;
            }
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const double cpuSeconds = processCpuSeconds() - cpuStart;
            elapsed += seconds;
            const uint64_t count = end - done;
            done = end;
            const uint64_t db = size.bytes();
            std::printf("%10" PRIu64 " %12.0f %12.1f %12.1f %12.1f %12.1f %14.0f\n", done,
                        static_cast<double>(count) / seconds, seconds * 1000.0 * 1000.0 / static_cast<double>(count),
                        cpuSeconds * 1000.0 * 1000.0 / static_cast<double>(count), static_cast<double>(db) / (1 << 20),
                        static_cast<double>(fileSize(options.file + "-wal")) / (1 << 20),
                        static_cast<double>(db) / static_cast<double>(done));
            std::fflush(stdout);
            if (refused != 0) {
                std::fprintf(stderr, "norrik-registration-bench: %" PRIu64 " registrations refused in this step\n",
                             refused);
                failed = true;
            }
        }
    }
    if (done < options.torrents)
        std::printf("stopped after %" PRIu64 " torrents: the limit of %.0f s had passed\n", done, options.secondsLimit);
    std::printf("total %.1f s; the file holds: %s; size after close %.1f MiB\n", elapsed,
                layoutInFile(options.file).c_str(), static_cast<double>(fileSize(options.file)) / (1 << 20));
    return failed ? 1 : 0;
}
