#include "db_generator.hpp"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "db/driver_sqlite/connection.hpp"
#include "db/driver_postgresql/connection.hpp"
#include "db/driver_postgresql/pg_schema.hpp"
#include "db/driver_sqlite/flat_layout.hpp"
#include "db/driver_sqlite/sqlite_schema.hpp"
#include "swarm_shape.hpp"

namespace NORRIK::Bench {

void Population::check() const {
    if (torrents == 0) throw std::runtime_error("a database needs at least one torrent");
    if ((peers + torrents - 1) / torrents > kPeerPortSpan)
        throw std::runtime_error("more peers per torrent than distinct ports (" + std::to_string(kPeerPortSpan) + ")");
    if (seederPercent > 100) throw std::runtime_error("the seeder share is above 100 %");
}

void Population::fill(uint32_t t, GeneratedTorrent& out) const {
    torrentHash(seed, t, out.info_hash);
    out.created = time;
    out.last_mod = time;
    out.seeders = 0;
    out.leechers = 0;
    out.completed = 0;
    const uint32_t count = peersInTorrent(t, torrents, peers);
    out.peers.resize(count);
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t p = t + k * torrents;
        GeneratedPeer& peer = out.peers[k];
        peerIdOf(p, peer.peer_id);
        peer.ip = 0x7F000001u;
        peer.port = peerPort(p, torrents);
        peer.uploaded = 0;
        peer.downloaded = 0;
        const bool seeder = peerIsSeeder(p, seederPercent);
        peer.left = seeder ? 0 : kLeecherLeft;
        peer.last_seen = time;
        ++(seeder ? out.seeders : out.leechers);
    }
}

void generate(const Population& population, LayoutWriter& writer, uint32_t batchSize,
              const std::function<void(uint32_t)>& progress) {
    population.check();
    batchSize = std::max<uint32_t>(batchSize, 1);
    std::vector<GeneratedTorrent> batch;
    for (uint32_t first = 0; first < population.torrents; first += batchSize) {
        const uint32_t end = std::min(population.torrents, first + batchSize);
        batch.resize(end - first);
        for (uint32_t t = first; t < end; ++t) population.fill(t, batch[t - first]);
        writer.write(batch);
        if (progress) progress(end);
    }
    writer.finish();
}

namespace {

// The per-torrent tables layout's statements are the store's own
// (db/driver_sqlite/sqlite_schema.hpp): a file made here is one the store
// could have made itself.
using Data::SQLite::createPeerTableSql;
using Data::SQLite::kCreateStats;
using Data::SQLite::kCreateTorrents;
using Data::SQLite::peerTableName;

bool exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

// One SQLite connection and what fails on it, as exceptions.
class SqliteFile {
public:
    SqliteFile(const std::string& file) : file_(file) {
        if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
            const std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error(file + ": " + message);
        }
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    sqlite3* get() const { return db_; }

    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string message = error ? error : sqlite3_errmsg(db_);
            sqlite3_free(error);
            throw std::runtime_error(file_ + ": " + message + " (in: " + sql.substr(0, 120) + ")");
        }
    }

    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(file_ + ": " + what + ": " + sqlite3_errmsg(db_));
    }

private:
    std::string file_;
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(SqliteFile& file, const std::string& sql) : file_(file) {
        if (sqlite3_prepare_v2(file.get(), sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK)
            file.fail("cannot prepare " + sql.substr(0, 80));
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& blob(int index, const void* bytes, int size) {
        sqlite3_bind_blob(stmt_, index, bytes, size, SQLITE_STATIC);
        return *this;
    }
    Statement& integer(int index, int64_t value) {
        sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    void run() {
        if (sqlite3_step(stmt_) != SQLITE_DONE) file_.fail("cannot write a row");
        sqlite3_reset(stmt_);
    }

private:
    SqliteFile& file_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Today's layout: `torrents`, `stats` and one peer table per torrent.
//
// SQLite re-reads the part of its schema table that names a new table after
// every CREATE TABLE, by scanning the whole schema table; a million of them
// in one file would cost hours. So each batch's tables are made while the
// schema table holds that batch only: after each batch the writer moves the
// batch's schema rows into a side file (with writable_schema, which leaves
// the tables' pages where they are) and reopens the connection, and when all
// are written it puts every row back in the order they were made, each
// table's row before its index's.
class TablesLayout : public LayoutWriter {
public:
    explicit TablesLayout(const std::string& file) : file_(file), side_(file + ".schema-rows") {
        if (exists(file_)) throw std::runtime_error(file_ + " exists already: the generator writes new files only");
        ::unlink(side_.c_str());
        open();
        db_->exec(kCreateStats);
        db_->exec(kCreateTorrents);
        db_->exec("CREATE TABLE side.moved (type text,name text,tbl_name text,rootpage integer,sql text)");
    }

    // A file whose writing did not finish is removed: half a database
    // would be measured as a whole one.
    ~TablesLayout() override {
        db_.reset();
        ::unlink(side_.c_str());
        if (!finished_)
            for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((file_ + suffix).c_str());
    }

    void write(const std::vector<GeneratedTorrent>& batch) override {
        db_->exec("BEGIN");
        std::vector<std::string> names;
        names.reserve(batch.size());
        for (const GeneratedTorrent& torrent : batch) {
            names.push_back(peerTableName(torrent.info_hash));
            db_->exec(createPeerTableSql(names.back()));
        }
        {
            // Prepared after the tables exist: a CREATE TABLE would make
            // every prepared statement prepare itself again.
            Statement registration(*db_, "INSERT INTO torrents (info_hash,created) VALUES (?,?)");
            Statement stats(*db_,
                            "INSERT INTO stats (info_hash,completed,leechers,seeders,last_mod) VALUES (?,?,?,?,?)");
            for (std::size_t i = 0; i < batch.size(); ++i) {
                const GeneratedTorrent& torrent = batch[i];
                registration.blob(1, torrent.info_hash, 20).integer(2, torrent.created).run();
                stats.blob(1, torrent.info_hash, 20)
                    .integer(2, torrent.completed)
                    .integer(3, torrent.leechers)
                    .integer(4, torrent.seeders)
                    .integer(5, torrent.last_mod)
                    .run();
                Statement peer(*db_, "INSERT INTO '" + names[i] +
                                         "' (peer_id,ip,port,uploaded,downloaded,left,last_seen) "
                                         "VALUES (?,?,?,?,?,?,?)");
                // Numeric columns hold the host's in-memory bytes, as the store writes them.
                for (const GeneratedPeer& p : torrent.peers) {
                    peer.blob(1, p.peer_id, 20)
                        .blob(2, &p.ip, 4)
                        .blob(3, &p.port, 2)
                        .blob(4, &p.uploaded, 8)
                        .blob(5, &p.downloaded, 8)
                        .blob(6, &p.left, 8)
                        .integer(7, p.last_seen)
                        .run();
                }
            }
        }
        db_->exec("COMMIT");
        moveSchemaRows();
    }

    void finish() override {
        db_->exec("PRAGMA writable_schema=ON");
        db_->exec("BEGIN");
        db_->exec("INSERT INTO main.sqlite_master (type,name,tbl_name,rootpage,sql) "
                  "SELECT type,name,tbl_name,rootpage,sql FROM side.moved ORDER BY rowid");
        db_->exec("COMMIT");
        db_->exec("PRAGMA writable_schema=OFF");
        db_->exec("DETACH side");
        // The store keeps its files in WAL mode; it would switch on its first open.
        db_->exec("PRAGMA journal_mode=WAL");
        db_.reset();
        ::unlink(side_.c_str());
        finished_ = true;
    }

private:
    void open() {
        db_.reset();
        db_ = std::make_unique<SqliteFile>(file_);
        // A generated file is made whole or not at all: no journal is needed
        // while it is written, and nothing waits for the disk.
        db_->exec("PRAGMA journal_mode=OFF");
        db_->exec("PRAGMA synchronous=OFF");
        db_->exec("PRAGMA cache_size=-262144");
        db_->exec("ATTACH '" + side_ + "' AS side");
        db_->exec("PRAGMA side.journal_mode=OFF");
        db_->exec("PRAGMA side.synchronous=OFF");
    }

    void moveSchemaRows() {
        const char* batchRows = "FROM main.sqlite_master WHERE length(tbl_name)=41 AND tbl_name GLOB 't*'";
        db_->exec("PRAGMA writable_schema=ON");
        db_->exec("BEGIN");
        db_->exec(std::string("INSERT INTO side.moved SELECT type,name,tbl_name,rootpage,sql ") + batchRows +
                  " ORDER BY rowid");
        db_->exec(std::string("DELETE ") + batchRows);
        db_->exec("COMMIT");
        db_->exec("PRAGMA writable_schema=OFF");
        // A new connection reads the schema as the file now has it: without
        // the batch's tables, so neither memory nor the next scans grow.
        open();
    }

    std::string file_;
    std::string side_;
    std::unique_ptr<SqliteFile> db_;
    bool finished_ = false;
};

// The flat layout: `torrents`, `stats` and one `peers` table, made by the
// store's own schema code; addresses as the store writes them (16 bytes,
// IPv4-mapped), numbers as integers.
class FlatFile : public LayoutWriter {
public:
    explicit FlatFile(const std::string& file) : file_(file) {
        if (exists(file_)) throw std::runtime_error(file_ + " exists already: the generator writes new files only");
        db_ = std::make_unique<SqliteFile>(file_);
        db_->exec("PRAGMA journal_mode=OFF");
        db_->exec("PRAGMA synchronous=OFF");
        db_->exec("PRAGMA cache_size=-262144");
        auto connection = NORRIK::Data::SQLite::Connection::open(file_, SQLITE_OPEN_READWRITE, 4);
        if (!connection || NORRIK::Data::SQLite::FlatLayout::createSchema(*connection) != SQLITE_OK) {
            throw std::runtime_error(file_ + ": cannot make the flat layout's tables");
        }
    }

    ~FlatFile() override {
        db_.reset();
        if (!finished_)
            for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((file_ + suffix).c_str());
    }

    void write(const std::vector<GeneratedTorrent>& batch) override {
        db_->exec("BEGIN");
        {
            Statement registration(*db_, "INSERT INTO torrents (info_hash,created) VALUES (?,?)");
            Statement stats(*db_,
                            "INSERT INTO stats (info_hash,completed,leechers,seeders,last_mod) VALUES (?,?,?,?,?)");
            Statement peer(*db_,
                           "INSERT INTO peers (info_hash,ip,port,peer_id,uploaded,downloaded,left,last_seen) "
                           "VALUES (?,?,?,?,?,?,?,?)");
            for (const GeneratedTorrent& torrent : batch) {
                registration.blob(1, torrent.info_hash, 20).integer(2, torrent.created).run();
                stats.blob(1, torrent.info_hash, 20)
                    .integer(2, torrent.completed)
                    .integer(3, torrent.leechers)
                    .integer(4, torrent.seeders)
                    .integer(5, torrent.last_mod)
                    .run();
                for (const GeneratedPeer& p : torrent.peers) {
                    uint8_t ip[16];
                    NORRIK::Data::SQLite::mappedAddress(p.ip, ip);
                    peer.blob(1, torrent.info_hash, 20)
                        .blob(2, ip, 16)
                        .integer(3, p.port)
                        .blob(4, p.peer_id, 20)
                        .integer(5, p.uploaded)
                        .integer(6, p.downloaded)
                        .integer(7, p.left)
                        .integer(8, p.last_seen)
                        .run();
                }
            }
        }
        db_->exec("COMMIT");
    }

    void finish() override {
        db_->exec("PRAGMA journal_mode=WAL");
        db_.reset();
        finished_ = true;
    }

private:
    std::string file_;
    std::unique_ptr<SqliteFile> db_;
    bool finished_ = false;
};

// PostgreSQL: the store's own schema, rows by COPY. The target is a libpq
// connection string naming an empty database.
class PostgresDatabase : public LayoutWriter {
public:
    explicit PostgresDatabase(const std::string& conninfo) {
        std::string error;
        db_ = NORRIK::Data::PostgreSQL::Connection::open(conninfo, error);
        if (!db_) throw std::runtime_error("cannot connect (" + error + ")");
        NORRIK::Data::PostgreSQL::Result count = db_->exec("SELECT to_regclass('torrents') IS NOT NULL");
        if (!count.ok()) throw std::runtime_error(count.error());
        if (count.value(0, 0) == "t") throw std::runtime_error("the database has tables already: it must be empty");
        if (!NORRIK::Data::PostgreSQL::ensureSchema(*db_, error)) throw std::runtime_error(error);
    }

    void write(const std::vector<GeneratedTorrent>& batch) override {
        NORRIK::Data::PostgreSQL::CopyRows torrents, stats, peers;
        for (const GeneratedTorrent& torrent : batch) {
            torrents.bytes(torrent.info_hash, 20).integer(torrent.created).endRow();
            stats.bytes(torrent.info_hash, 20)
                .integer(torrent.completed)
                .integer(torrent.leechers)
                .integer(torrent.seeders)
                .integer(torrent.last_mod)
                .endRow();
            for (const GeneratedPeer& p : torrent.peers) {
                uint8_t ip[16];
                NORRIK::Data::PostgreSQL::mappedAddress(p.ip, ip);
                peers.bytes(torrent.info_hash, 20)
                    .bytes(ip, 16)
                    .integer(p.port)
                    .bytes(p.peer_id, 20)
                    .integer(p.uploaded)
                    .integer(p.downloaded)
                    .integer(p.left)
                    .integer(p.last_seen)
                    .endRow();
            }
        }
        check(db_->exec("BEGIN"));
        check(db_->copyIn("COPY torrents (info_hash,created) FROM STDIN", torrents));
        check(db_->copyIn("COPY stats (info_hash,completed,leechers,seeders,last_mod) FROM STDIN", stats));
        check(db_->copyIn("COPY peers (info_hash,ip,port,peer_id,uploaded,downloaded,\"left\",last_seen) FROM STDIN",
                          peers));
        check(db_->exec("COMMIT"));
    }

    void finish() override { check(db_->exec("ANALYZE")); }

private:
    static void check(const NORRIK::Data::PostgreSQL::Result& result) {
        if (!result.ok()) throw std::runtime_error(result.error());
    }

    std::unique_ptr<NORRIK::Data::PostgreSQL::Connection> db_;
};

}  // namespace

std::vector<std::string> layoutNames() { return {"tables", "flat", "postgresql"}; }

std::unique_ptr<LayoutWriter> openLayout(const std::string& layout, const std::string& target) {
    if (layout == "tables") return std::make_unique<TablesLayout>(target);
    if (layout == "flat") return std::make_unique<FlatFile>(target);
    if (layout == "postgresql") return std::make_unique<PostgresDatabase>(target);
    std::string known;
    for (const std::string& name : layoutNames()) known += (known.empty() ? "" : ", ") + name;
    throw std::runtime_error("unknown layout \"" + layout + "\" (known: " + known + ")");
}

}  // namespace NORRIK::Bench
