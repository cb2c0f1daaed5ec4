#include "db/store.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

#include "util/log.hpp"

namespace NORRIK::Data {

namespace {

constexpr int32_t kEventCompleted = 1;
}  // namespace

Store::Store(Settings::Section* settings, bool isDynamic, std::unique_ptr<StoreBackend> backend,
             StoreOptions options)
    : DatabaseDriver(settings, isDynamic),
      backend_(std::move(backend)),
      layoutName_(backend_->layoutName()),
      refreshAllStatistics_(backend_->passRewritesAllStatistics()),
      queue_(options.queueCapacity) {
    Swarms::Load load;
    StoreResult loaded = backend_->load(load);
    if (!loaded.isOk()) {
        Log::error("Failed to read the database: " + loaded.error);
        throw DatabaseException(DatabaseException::kConnectFailed);
    }
    swarms_.finish(load);
    options.writer.dynamic = isDynamic;
    writer_ = std::make_unique<StoreWriter>(*backend_, swarms_, queue_, options.writer);
}

Store::~Store() { stopWriter(); }

void Store::stopWriter() {
    if (writer_) writer_->stop();
}

void Store::setClock(Clock clock) { clock_ = std::move(clock); }

int64_t Store::now() const { return clock_ ? clock_() : static_cast<int64_t>(std::time(nullptr)); }

bool Store::run(StoreWrite&& write, std::string* error) {
    auto op = std::make_shared<PendingOp>();
    write.op = op;
    queue_.push(std::move(write));
    const bool ok = op->wait();
    if (error != nullptr) *error = op->error();
    return ok;
}

bool Store::insertTorrent(const uint8_t* info_hash) {
    StoreWrite write;
    write.kind = StoreWrite::Kind::kRegister;
    write.row.info_hash = toInfoHash(info_hash);
    write.row.time = static_cast<int32_t>(now());
    std::string error;
    const bool ok = run(std::move(write), &error);
    Log::request(ok ? std::string("E:(null)") : "E:" + error);
    return ok;
}

bool Store::deleteTorrent(const uint8_t* info_hash) {
    StoreWrite write;
    write.kind = StoreWrite::Kind::kRemove;
    write.row.info_hash = toInfoHash(info_hash);
    write.row.time = static_cast<int32_t>(now());
    auto op = std::make_shared<PendingOp>();
    write.op = op;
    // Memory lets go of the torrent in the same step as the removal is
    // queued: announces after it no longer see it (nor, in dynamic mode, its
    // old peers).
    swarms_.remove(info_hash, queue_, std::move(write));
    return op->wait();
}

bool Store::hasTorrent(const uint8_t* info_hash) {
    if (isDynamic()) return true;
    return swarms_.listed(info_hash, false);
}

// The port plays no part: one client may use its identifier from several
// ports, and a NAT may move its port.
bool Store::issueConnectionId(uint64_t* connectionId, uint32_t ip, uint16_t) {
    *connectionId = connectionIds_.issue(ip);
    return true;
}

bool Store::checkConnectionId(uint64_t connectionId, uint32_t ip, uint16_t) {
    return connectionIds_.check(connectionId, ip);
}

void Store::setConnectionKey(const std::array<unsigned char, 16>& key) {
    connectionIds_ = ConnectionIds([this] { return now(); }, key);
}

bool Store::storePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port,
                      int64_t downloaded, int64_t left, int64_t uploaded, int32_t event) {
    PeerRow row;
    row.info_hash = toInfoHash(info_hash);
    std::memcpy(row.peer_id.data(), peer_id, row.peer_id.size());
    row.ip = ip;
    row.port = port;
    row.time = static_cast<int32_t>(now());
    row.downloaded = downloaded;
    row.left = left;
    row.uploaded = uploaded;
    Swarms::Counts counts;
    // Without dynamic mode a torrent removed since the announce was accepted
    // takes nothing (and no line is written for it).
    if (!swarms_.announce(row, event == kEventCompleted, isDynamic(), queue_, &counts)) return false;
    if (Log::requestLogging()) {  // no text built when nobody reads it
        Log::request("E:(null)");
        Log::request("seeders " + std::to_string(counts.seeders) + " leechers " + std::to_string(counts.leechers));
    }
    return true;
}

bool Store::deletePeer(const uint8_t* peer_id, const uint8_t* info_hash, uint32_t ip, uint16_t port) {
    StoreWrite write;
    write.kind = StoreWrite::Kind::kDeletePeer;
    write.row.info_hash = toInfoHash(info_hash);
    std::memcpy(write.row.peer_id.data(), peer_id, write.row.peer_id.size());
    write.row.ip = ip;
    write.row.port = port;
    write.row.time = static_cast<int32_t>(now());
    return run(std::move(write));
}

bool Store::fetchTorrentStats(TorrentStats* stats) { return swarms_.statistics(stats); }

bool Store::fetchPeers(const uint8_t* info_hash, int32_t* count, PeerAddress* peers) {
    const int32_t filled = swarms_.pickPeers(info_hash, *count, peers);
    if (Log::requestLogging()) Log::request(std::to_string(filled) + " Clients Dumped.");
    *count = filled;
    return true;
}

void Store::cleanup() {
    const int64_t start = now();
    const int32_t cutoff = static_cast<int32_t>(start - kPeerExpirySeconds);
    // Memory first, a bounded number of torrents at a time; then the file,
    // where the writer deletes by time (rows written meanwhile are newer
    // than the cutoff, so the order of the two does not matter).
    swarms_.expire(cutoff, refreshAllStatistics_);
    StoreWrite write;
    write.kind = StoreWrite::Kind::kExpire;
    write.cutoff = cutoff;
    write.row.time = static_cast<int32_t>(start);
    run(std::move(write));
}

bool Store::flush() {
    StoreWrite write;
    write.kind = StoreWrite::Kind::kFlush;
    return run(std::move(write));
}

StoreStatus Store::status() const {
    StoreStatus status;
    const Swarms::Totals totals = swarms_.totals();
    status.torrents = totals.torrents;
    status.peers = totals.peers;
    status.seeders = totals.seeders;
    status.leechers = totals.leechers;
    const WriteQueue::Status queue = queue_.status();
    status.queuedWrites = queue.waiting;
    status.queueLagSeconds = std::chrono::duration<double>(queue.oldestAge).count();
    status.droppedWrites = queue.dropped;
    if (writer_) {
        const StoreWriter::Status writer = writer_->status();
        // The writer's own batch waits as much as the queue does.
        status.queuedWrites += writer.heldWrites;
        if (writer.heldWrites > 0) {
            const double held =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - writer.oldestHeld).count();
            status.queueLagSeconds = std::max(status.queueLagSeconds, held);
        }
        status.commits = writer.commits;
        status.failedCommits = writer.failedCommits;
        status.rowsNotStored = writer.rowsNotStored;
        status.writerFailing = writer.failing;
        status.lastPassSeconds = writer.lastPassMicroseconds < 0 ? -1 : writer.lastPassMicroseconds / 1e6;
    }
    return status;
}

}  // namespace NORRIK::Data
