#pragma once
// Writes a tracker database of many torrents and peers directly, without
// norrik, so that a file of a million torrents takes minutes instead of the
// hours of registering them one by one through the store.
//
// The torrents and peers are those of the load generator's swarms
// (bench/swarm_shape.hpp): torrent t's info_hash, its peers from 127.0.0.1
// on consecutive ports, half of them seeders by default, all last seen at
// the given time. What to write is made in one place (Population); how it
// is written is one LayoutWriter per database layout, picked by name, so a
// new layout or engine is one class and one line in openLayout().
//
// Not thread-safe; one generator per target. Failures throw
// std::runtime_error with a message that names the target and the cause.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace NORRIK::Bench {

struct GeneratedPeer {
    uint8_t peer_id[20];
    uint32_t ip;    // host order
    uint16_t port;  // host order
    int64_t uploaded;
    int64_t downloaded;
    int64_t left;
    int32_t last_seen;
};

struct GeneratedTorrent {
    uint8_t info_hash[20];
    int32_t created;
    int32_t last_mod;
    int32_t seeders;
    int32_t leechers;
    int32_t completed;
    std::vector<GeneratedPeer> peers;
};

// `peers` peers spread over `torrents` torrents as the load generator
// spreads them (peer p in torrent p % torrents).
struct Population {
    uint32_t torrents = 100'000;
    uint32_t peers = 500'000;
    uint64_t seed = 1;  // the load generator's --seed
    uint32_t seederPercent = 50;
    int32_t time = 0;  // registration, last announce and statistics time

    // Throws when the shape cannot be written (no torrent, or more peers
    // in one torrent than it has distinct ports).
    void check() const;
    // Torrent t with its peers and counts, into `out` (reusing its memory).
    void fill(uint32_t t, GeneratedTorrent& out) const;
};

// Writes torrents into one layout. write() takes them in batches, in the
// order they are generated; finish() completes the database (nothing
// written is complete before it).
class LayoutWriter {
public:
    virtual ~LayoutWriter() = default;
    virtual void write(const std::vector<GeneratedTorrent>& batch) = 0;
    virtual void finish() = 0;
};

// The layouts openLayout() knows, by name.
std::vector<std::string> layoutNames();

// A writer for the named layout on `target`: a file name for the SQLite
// layouts ("tables", "flat"), which must not exist yet; a libpq connection
// string for "postgresql", naming a database without tables.
std::unique_ptr<LayoutWriter> openLayout(const std::string& layout, const std::string& target);

// Writes the whole population through `writer`, `batchSize` torrents at a
// time, then finishes it. `progress` (may be empty) hears the number of
// torrents written after each batch.
void generate(const Population& population, LayoutWriter& writer, uint32_t batchSize,
              const std::function<void(uint32_t)>& progress = {});

}  // namespace NORRIK::Bench
