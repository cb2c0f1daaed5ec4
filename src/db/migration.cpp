#include "db/migration.hpp"

#include <cstring>
#include <unordered_map>
#include <vector>

#include "db/driver_sqlite/connection.hpp"
#include "db/driver_sqlite/sqlite_schema.hpp"
#include "db/swarms.hpp"
#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

// Writes per target transaction.
constexpr std::size_t kRowsPerTransaction = 20000;

bool blobOf(sqlite3_stmt* stmt, int column, int size, void* out) {
    if (sqlite3_column_type(stmt, column) != SQLITE_BLOB || sqlite3_column_bytes(stmt, column) != size) return false;
    std::memcpy(out, sqlite3_column_blob(stmt, column), static_cast<std::size_t>(size));
    return true;
}

// The target's writes, in transactions of kRowsPerTransaction.
class Batches {
public:
    explicit Batches(StoreBackend& target) : target_(target) {}

    StoreResult registration(const InfoHash& hash, int32_t created) {
        StoreResult result = open();
        if (result.isOk()) result = target_.registerTorrent(hash.data(), created);
        return result.isOk() ? counted() : result;
    }
    StoreResult peer(const PeerRow& row) {
        peers_.push_back(row);
        return peers_.size() >= kRowsPerTransaction ? flush() : StoreResult::ok();
    }
    StoreResult statistics(const StatsRow& row) {
        statistics_.push_back(row);
        return statistics_.size() >= kRowsPerTransaction ? flush() : StoreResult::ok();
    }
    StoreResult flush() {
        StoreResult result = open();
        if (result.isOk() && !peers_.empty()) {
            std::size_t skipped = 0;
            std::string why;
            result = target_.writePeers(peers_.data(), peers_.size(), &skipped, &why);
            if (result.isOk() && skipped > 0) result = StoreResult::failed(why);
        }
        if (result.isOk() && !statistics_.empty()) result = target_.writeStatistics(statistics_.data(), statistics_.size());
        peers_.clear();
        statistics_.clear();
        if (result.isOk()) result = target_.commit();
        if (!result.isOk()) target_.rollback();
        open_ = false;
        writes_ = 0;
        return result;
    }

private:
    StoreResult open() {
        if (open_) return StoreResult::ok();
        StoreResult result = target_.begin();
        open_ = result.isOk();
        return result;
    }
    StoreResult counted() { return ++writes_ >= kRowsPerTransaction ? flush() : StoreResult::ok(); }

    StoreBackend& target_;
    bool open_ = false;
    std::size_t writes_ = 0;
    std::vector<PeerRow> peers_;
    std::vector<StatsRow> statistics_;
};

struct SourceTotals {
    std::unordered_map<InfoHash, int32_t, InfoHashHasher> completed;  // per torrent with statistics
    std::vector<InfoHash> registered;
};

}  // namespace

MigrationReport migrateTablesLayout(const std::string& sourceFile, StoreBackend& target) {
    MigrationReport report;
    auto source = SQLite::Connection::open("file:" + sourceFile + "?mode=ro", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, 16);
    if (!source) {
        report.error = "cannot open " + sourceFile + " for reading";
        return report;
    }
    if (SQLite::detectLayout(*source) == SQLite::Layout::kFlat) {
        report.error = sourceFile + " holds the flat layout already";
        return report;
    }
    {
        Swarms::Load existing;
        StoreResult loaded = target.load(existing);
        Swarms held;
        held.finish(existing);
        if (!loaded.isOk() || held.totals().torrents > 0 || held.totals().peers > 0) {
            report.error = loaded.isOk() ? "the target already holds torrents: a migration only fills an empty store"
                                         : "the target cannot be read: " + loaded.error;
            return report;
        }
    }
    // One read transaction: the copy is of one moment of the source.
    source->run("BEGIN");
    SourceTotals totals;
    Batches batches(target);
    StoreResult result = StoreResult::ok();
    {
        SQLite::Statement rows(source->handle(), "SELECT info_hash,created FROM torrents");
        while (result.isOk() && rows.ok() && sqlite3_step(rows.get()) == SQLITE_ROW) {
            InfoHash hash;
            if (!blobOf(rows.get(), 0, 20, hash.data())) continue;
            result = batches.registration(hash, sqlite3_column_int(rows.get(), 1));
            totals.registered.push_back(hash);
            ++report.torrents;
        }
    }
    std::vector<std::string> tables;
    {
        SQLite::Statement list(source->handle(),
                               "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE "
                               "'t________________________________________'");
        while (list.ok() && sqlite3_step(list.get()) == SQLITE_ROW) {
            tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)));
        }
    }
    for (const std::string& table : tables) {
        PeerRow row;
        if (!result.isOk() || !SQLite::decodePeerTableName(table, row.info_hash.data())) continue;
        SQLite::Statement rows(source->handle(),
                               "SELECT peer_id,ip,port,uploaded,downloaded,left,last_seen FROM '" + table + "'");
        while (result.isOk() && rows.ok() && sqlite3_step(rows.get()) == SQLITE_ROW) {
            sqlite3_stmt* s = rows.get();
            // The source keeps the host's bytes of each number.
            if (!blobOf(s, 0, 20, row.peer_id.data()) || !blobOf(s, 1, 4, &row.ip) || !blobOf(s, 2, 2, &row.port) ||
                !blobOf(s, 3, 8, &row.uploaded) || !blobOf(s, 4, 8, &row.downloaded) || !blobOf(s, 5, 8, &row.left)) {
                ++report.unreadablePeers;
                continue;
            }
            row.time = sqlite3_column_int(s, 6);
            result = batches.peer(row);
            ++report.peers;
        }
    }
    {
        SQLite::Statement rows(source->handle(), "SELECT info_hash,completed,leechers,seeders,last_mod FROM stats");
        while (result.isOk() && rows.ok() && sqlite3_step(rows.get()) == SQLITE_ROW) {
            StatsRow stats;
            if (!blobOf(rows.get(), 0, 20, stats.info_hash.data())) continue;
            stats.completedAdded = sqlite3_column_int(rows.get(), 1);
            stats.leechers = sqlite3_column_int(rows.get(), 2);
            stats.seeders = sqlite3_column_int(rows.get(), 3);
            stats.time = sqlite3_column_int(rows.get(), 4);
            totals.completed[stats.info_hash] = stats.completedAdded;
            result = batches.statistics(stats);
            ++report.statistics;
        }
    }
    source->run("COMMIT");
    if (result.isOk()) result = batches.flush();
    if (!result.isOk()) {
        report.error = "writing the target failed: " + result.error;
        return report;
    }

    // Read back the way a store opens it.
    Swarms::Load load;
    result = target.load(load);
    if (!result.isOk()) {
        report.error = "the copy cannot be read back: " + result.error;
        return report;
    }
    Swarms copy;
    copy.finish(load);
    const Swarms::Totals copied = copy.totals();
    if (copied.peers != report.peers) {
        report.error = "the copy holds " + std::to_string(copied.peers) + " peers, the source " +
                       std::to_string(report.peers);
        return report;
    }
    for (const InfoHash& hash : totals.registered) {
        if (!copy.listed(hash.data(), false)) {
            report.error = "a registration is missing from the copy";
            return report;
        }
    }
    for (const auto& [hash, completed] : totals.completed) {
        TorrentStats stats{hash.data(), 0, 0, 0};
        if (!copy.statistics(&stats) || stats.completed != completed) {
            report.error = "the downloads of a torrent differ in the copy";
            return report;
        }
    }
    report.verified = true;
    return report;
}

}  // namespace NORRIK::Data
