#include "db/driver_postgresql/synchroniser.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "db/driver_postgresql/pg_schema.hpp"
#include "util/log.hpp"

namespace NORRIK::Data::PostgreSQL {

namespace {

// The reader waits as long for a lock as the writer does.
constexpr const char* kSessionSettings = "SET lock_timeout = '5s'; SET statement_timeout = '60s'";

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool hashOf(const Result& result, int row, int column, InfoHash& out) {
    const std::string_view value = result.value(row, column);
    if (value.size() != out.size()) return false;
    std::memcpy(out.data(), value.data(), out.size());
    return true;
}

bool flag(const Result& result, int row, int column) {
    const std::string_view value = result.value(row, column);
    return !value.empty() && value[0] != 0;
}

}  // namespace

std::unique_ptr<Connection> Synchroniser::listen(const std::string& conninfo, std::string& error) {
    std::unique_ptr<Connection> connection = Connection::open(conninfo, error);
    if (!connection) return nullptr;
    Result settings = connection->exec(kSessionSettings);
    Result listening = settings.ok() ? connection->listen(kChannel) : Result();
    if (!settings.ok() || !listening.ok()) {
        error = settings.ok() ? listening.message() : settings.message();
        return nullptr;
    }
    return connection;
}

Synchroniser::Synchroniser(std::unique_ptr<Connection> connection, Swarms& swarms, std::string bound,
                           Options options)
    : connection_(std::move(connection)), swarms_(swarms), bound_(std::move(bound)), options_(options) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    publishSocket(PQsocket(connection_->handle()));
    thread_ = std::thread(&Synchroniser::run, this);
}

Synchroniser::~Synchroniser() {
    stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void Synchroniser::stop() {
    stopping_.store(true);
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
    }
    {
        // A read waiting for the server ends at once: its socket reads as
        // closed, the read fails, and the thread sees the stop.
        MutexLock lock(socketMutex_);
        if (socket_ >= 0) ::shutdown(socket_, SHUT_RDWR);
    }
    if (thread_.joinable()) thread_.join();
}

Synchroniser::Status Synchroniser::status() const {
    Status status;
    status.reads = reads_.load();
    status.failedReads = failedReads_.load();
    status.failing = failing_.load();
    return status;
}

void Synchroniser::publishSocket(int fd) {
    MutexLock lock(socketMutex_);
    // While stopping, a new connection's socket is shut down at once too.
    if (fd >= 0 && stopping_.load()) ::shutdown(fd, SHUT_RDWR);
    socket_ = fd;
}

void Synchroniser::failed(const std::string& why, bool lostConnection) {
    failedReads_.fetch_add(1);
    const auto now = std::chrono::steady_clock::now();
    if (!failing_.exchange(true)) {
        failingSince_ = now;
        streakLogged_ = false;
        streakReason_ = oneLine(why);
    }
    if (!streakLogged_ && (!lostConnection || now - failingSince_ >= options_.quietOutage)) {
        Log::error("Store: cannot read the other nodes' changes (" + streakReason_ + "); trying again");
        streakLogged_ = true;
    }
}

bool Synchroniser::waitForRetry() {
    pollfd wake{wakeFd_, POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(options_.retry.count()));
    return !stopping_.load();
}

void Synchroniser::run() {
#if defined(__linux__)
    pthread_setname_np(pthread_self(), "norrik-sync");
#endif
    using Clock = std::chrono::steady_clock;
    Clock::time_point lastGood = Clock::now();  // the store has just read everything
    Clock::time_point lastStart{};
    Clock::time_point next = Clock::now();      // what came since the load, at once
    while (!stopping_.load()) {
        if (connection_->lost()) {
            if (!waitForRetry()) break;
            publishSocket(-1);
            std::string why;
            const bool back = connection_->reconnect(why);
            publishSocket(back ? PQsocket(connection_->handle()) : -1);
            if (back) {
                Result settings = connection_->exec(kSessionSettings);
                if (!settings.ok()) why = settings.message();
            }
            if (connection_->lost()) {
                failed(why, true);
                continue;
            }
            next = Clock::now();  // notifications of the outage are lost: read at once
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (now >= next) {
            lastStart = now;
            if (read(now - lastGood > options_.fullReadAfter)) {
                lastGood = Clock::now();
                next = lastStart + options_.interval;
            } else {
                next = Clock::now() + options_.retry;
            }
            continue;
        }
        Notification notification;
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
        const Connection::Wait waited = connection_->waitForNotification(wait, notification, wakeFd_);
        if (waited == Connection::Wait::Notified && notification.channel == kChannel) {
            next = std::min(next, std::max(Clock::now(), lastStart + options_.quickest));
        } else if (waited == Connection::Wait::Lost && !connection_->lost()) {
            // The wait failed without the connection saying so: not again at once.
            if (!waitForRetry()) break;
        }
    }
}

bool Synchroniser::read(bool complete) {
    swarms_.beginStoredRound();
    struct EndRound {
        Swarms& swarms;
        ~EndRound() { swarms.endStoredRound(); }
    } endRound{swarms_};

    Connection& db = *connection_;
    auto fail = [&](const Result& result) {
        const bool lost = db.lost();
        failed(result.message(), lost);
        if (!lost && PQtransactionStatus(db.handle()) != PQTRANS_IDLE) db.exec("ROLLBACK");
        return false;
    };
    // Rows through a cursor, kChunk per round trip, each chunk handed on.
    auto forEachChunk = [&](const std::string& cursor, const std::string& select, auto&& chunk) {
        Result declared = db.exec("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + select);
        if (!declared.ok()) return fail(declared);
        for (;;) {
            Result rows = db.execParams("FETCH " + std::to_string(kChunk) + " FROM " + cursor,
                                        std::span<const Param>(), Format::Binary);
            if (!rows.ok()) return fail(rows);
            chunk(rows);
            if (rows.rows() < kChunk) return true;
        }
    };

    Result begun = db.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
    if (!begun.ok()) return fail(begun);
    Result snapshot = db.exec("SELECT pg_snapshot_xmin(pg_current_snapshot())::text");
    if (!snapshot.ok()) return fail(snapshot);
    if (snapshot.rows() != 1 || !allDigits(snapshot.value(0, 0))) return fail(Result::failure("no snapshot bound"));
    const std::string nextBound(snapshot.value(0, 0));
    if (!allDigits(bound_)) bound_ = nextBound;
    const std::string since = "'" + bound_ + "'::xid8";

    // Registrations first: the peers below join only torrents listed here.
    std::vector<Swarms::StoredRegistration> registrations;
    const std::string changedTorrents =
        complete ? std::string("SELECT info_hash, true FROM torrents")
                 : "SELECT h.info_hash, EXISTS (SELECT 1 FROM torrents t WHERE t.info_hash = h.info_hash) FROM "
                   "(SELECT info_hash FROM torrents WHERE changed >= " +
                       since + " UNION SELECT info_hash FROM removals WHERE changed >= " + since + ") h";
    if (!forEachChunk("changed_torrents", changedTorrents, [&](const Result& rows) {
            for (int i = 0; i < rows.rows(); ++i) {
                Swarms::StoredRegistration row{};
                if (!hashOf(rows, i, 0, row.hash)) continue;
                row.registered = flag(rows, i, 1);
                registrations.push_back(row);
            }
        })) {
        return false;
    }
    swarms_.applyStoredRegistrations(registrations, complete);

    std::vector<Swarms::StoredPeer> peers;
    if (!forEachChunk("changed_peers",
                      "SELECT info_hash, ip, port, \"left\" = 0, last_seen FROM peers WHERE changed >= " + since +
                          " AND origin <> " + std::to_string(options_.nodeId),
                      [&](const Result& rows) {
                          peers.clear();
                          for (int i = 0; i < rows.rows(); ++i) {
                              Swarms::StoredPeer row{};
                              const std::string_view ip = rows.value(i, 1);
                              if (!hashOf(rows, i, 0, row.hash) || !unmappedAddress(ip.data(), ip.size(), &row.ip)) {
                                  continue;
                              }
                              row.port = static_cast<uint16_t>(rows.integer(i, 2).value_or(0));
                              row.seeder = flag(rows, i, 3);
                              row.lastSeen = static_cast<int32_t>(rows.integer(i, 4).value_or(0));
                              peers.push_back(row);
                          }
                          swarms_.applyStoredPeers(peers);
                      })) {
        return false;
    }

    std::vector<Swarms::StoredDownloads> downloads;
    if (!forEachChunk("changed_stats", "SELECT info_hash, completed FROM stats WHERE changed >= " + since,
                      [&](const Result& rows) {
                          downloads.clear();
                          for (int i = 0; i < rows.rows(); ++i) {
                              Swarms::StoredDownloads row{};
                              if (!hashOf(rows, i, 0, row.hash)) continue;
                              row.completed = static_cast<int32_t>(rows.integer(i, 1).value_or(0));
                              downloads.push_back(row);
                          }
                          swarms_.applyStoredDownloads(downloads);
                      })) {
        return false;
    }

    Result committed = db.exec("COMMIT");
    if (!committed.ok()) return fail(committed);
    bound_ = nextBound;
    reads_.fetch_add(1);
    if (failing_.exchange(false) && streakLogged_) Log::error("Store: reading the other nodes' changes again");
    return true;
}

}  // namespace NORRIK::Data::PostgreSQL
