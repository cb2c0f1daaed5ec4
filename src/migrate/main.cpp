// norrik-migrate: copies a database of the per-torrent tables layout into the
// flat layout (a new SQLite file) or into a PostgreSQL database without
// torrents, and checks the copy; the source is left as it is. See
// docs/operations.md.
//
//   norrik-migrate <source file> <new file>
//   norrik-migrate <source file> --postgresql <conninfo>
//
// Exit status 0 when the copy was made and verified, 1 otherwise.

#include <filesystem>
#include <string>

#include "db/driver_postgresql/driver_postgresql.hpp"
#include "db/driver_sqlite/connection.hpp"
#include "db/driver_sqlite/flat_layout.hpp"
#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/migration.hpp"
#include "util/log.hpp"

using namespace NORRIK;

namespace {

constexpr const char* kUsage =
    "Usage: norrik-migrate <source database file> <new database file>\n"
    "       norrik-migrate <source database file> --postgresql <conninfo>";

int fail(const std::string& why) {
    Log::error("norrik-migrate: " + why);
    return 1;
}

// Copies `source` into `target` and says what was copied; 0 when verified.
int migrate(const std::string& source, Data::StoreBackend& target, const std::string& targetName) {
    const Data::MigrationReport report = Data::migrateTablesLayout(source, target);
    Log::info("torrents " + std::to_string(report.torrents) + ", statistics rows " +
              std::to_string(report.statistics) + ", peers " + std::to_string(report.peers) + " copied");
    if (report.unreadablePeers > 0) {
        Log::info(std::to_string(report.unreadablePeers) + " peer rows of damaged sizes were not copied");
    }
    if (!report.verified) return fail(report.error);
    Log::info("The copy in " + targetName + " holds what " + source + " holds (the source is unchanged).");
    return 0;
}

int toPostgreSQL(const std::string& source, const std::string& conninfo) {
    const std::string shown = Data::PostgreSQLDriver::describeConninfo(conninfo);
    std::string error;
    std::unique_ptr<Data::StoreBackend> target = Data::PostgreSQLDriver::openBackend(conninfo, error);
    if (!target) return fail("cannot use the PostgreSQL database (" + shown + "): " + error);
    return migrate(source, *target, "the PostgreSQL database (" + shown + ")");
}

int toFlatFile(const std::string& source, const std::string& target) {
    std::error_code error;
    if (std::filesystem::exists(target) && std::filesystem::file_size(target, error) > 0) {
        return fail(target + " exists: the copy goes into a new file");
    }
    auto db = Data::SQLite::Connection::open(target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 64);
    if (!db) return fail("cannot create " + target);
    sqlite3_exec(db->handle(), "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (Data::SQLite::FlatLayout::createSchema(*db) != SQLITE_OK) {
        return fail("cannot write the flat layout's tables into " + target + ": " + sqlite3_errmsg(db->handle()));
    }
    Data::SQLite::FlatLayout layout(std::move(db));
    return migrate(source, layout, target);
}

}  // namespace

int main(int argc, char** argv) {
    const bool postgresql = argc == 4 && std::string(argv[2]) == "--postgresql";
    if ((argc != 3 && !postgresql) || std::string(argv[1]) == "-h") {
        Log::info(kUsage);
        return argc == 2 ? 0 : 1;
    }
    const std::string source = argv[1];
    if (!std::filesystem::exists(source)) return fail(source + " does not exist");
    return postgresql ? toPostgreSQL(source, argv[3]) : toFlatFile(source, argv[2]);
}
