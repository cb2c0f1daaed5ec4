#pragma once
// The simulated swarms of the benchmark tools, in one place so that the load
// generator and the database generator describe the same torrents and peers:
// a database written by one can be announced to by the other.
//
// Torrent t (of `torrents`) has a fixed info_hash drawn from the seed. Peer p
// belongs to torrent p % torrents, announces from 127.0.0.1 with its own
// listening port and peer_id, and is a seeder or a leecher for good.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace NORRIK::Bench {

constexpr uint16_t kFirstPeerPort = 1024;
constexpr uint32_t kPeerPortSpan = 64000;
constexpr int64_t kLeecherLeft = 1'000'000;

inline uint64_t splitmix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// The 20 bytes of torrent t's info_hash.
inline void torrentHash(uint64_t seed, uint32_t t, uint8_t* out) {
    for (int part = 0; part < 3; ++part) {
        const uint64_t x = splitmix64(seed * 0x100000000ULL + uint64_t{t} * 3 + part);
        uint8_t bytes[8];
        std::memcpy(bytes, &x, 8);
        std::memcpy(out + part * 8, bytes, part == 2 ? 4 : 8);
    }
}

inline uint32_t torrentOfPeer(uint32_t peer, uint32_t torrents) { return peer % torrents; }

// Peers of one torrent listen on consecutive ports from kFirstPeerPort.
inline uint16_t peerPort(uint32_t peer, uint32_t torrents) {
    return static_cast<uint16_t>(kFirstPeerPort + (peer / torrents) % kPeerPortSpan);
}

// How many of `peers` belong to torrent t.
inline uint32_t peersInTorrent(uint32_t t, uint32_t torrents, uint32_t peers) {
    return peers / torrents + (t < peers % torrents ? 1 : 0);
}

inline bool peerIsSeeder(uint32_t peer, uint32_t seederPercent) {
    return splitmix64(peer ^ 0x5EEDULL) % 100 < seederPercent;
}

// The 20 bytes of the peer's peer_id: "-NL0001-" and 12 digits.
inline void peerIdOf(uint32_t peer, uint8_t* out) {
    char text[21];
    std::snprintf(text, sizeof text, "-NL0001-%012" PRIu32, peer);
    std::memcpy(out, text, 20);
}

}  // namespace NORRIK::Bench
