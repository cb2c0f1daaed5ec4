#pragma once
// The records that travel between the store's parts: an announce's peer row,
// a torrent's statistics as the writer stores them, and the outcome of one
// write on the database. Plain values; no behaviour beyond comparisons.

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

namespace NORRIK::Data {

using InfoHash = std::array<uint8_t, 20>;
using PeerIdBytes = std::array<uint8_t, 20>;

inline InfoHash toInfoHash(const uint8_t* bytes) {
    InfoHash hash;
    std::memcpy(hash.data(), bytes, hash.size());
    return hash;
}

// Hashes info_hashes (chosen by clients) with a secret drawn once per
// process, so that nobody can pick hashes that share a bucket.
struct InfoHashHasher {
    std::size_t operator()(const InfoHash& hash) const noexcept;
};

// Mixes a peer's address and port with the same kind of secret.
uint64_t peerSlotHash(uint32_t ip, uint16_t port) noexcept;

// One announce as the file keeps it. Numbers in host order.
struct PeerRow {
    InfoHash info_hash;
    PeerIdBytes peer_id;
    uint32_t ip = 0;
    uint16_t port = 0;
    int32_t time = 0;  // last_seen: seconds since the epoch
    int64_t downloaded = 0;
    int64_t left = 0;
    int64_t uploaded = 0;
    bool known = false;  // the peer was in memory before this announce: its row is likely in the file
};

// What the writer stores of one torrent's statistics: the counts as memory
// has them, and the downloads counted since the last write.
struct StatsRow {
    InfoHash info_hash;
    int32_t seeders = 0;
    int32_t leechers = 0;
    int32_t completedAdded = 0;
    int32_t time = 0;
};

// The outcome of one database step. kTransient (a lock, a full disk, a lost
// server) fails the whole transaction, which is retried; kFailed concerns
// this one write only (a torrent whose peer storage cannot be made) and the
// transaction goes on without it.
struct StoreResult {
    enum class Code : uint8_t { kOk, kFailed, kTransient };
    Code code = Code::kOk;
    std::string error;

    static StoreResult ok() { return {}; }
    static StoreResult failed(std::string text) { return {Code::kFailed, std::move(text)}; }
    static StoreResult transient(std::string text) { return {Code::kTransient, std::move(text)}; }
    bool isOk() const { return code == Code::kOk; }
    bool isTransient() const { return code == Code::kTransient; }
};

}  // namespace NORRIK::Data
