#pragma once
// The UDP tracker messages (BEP 15, IPv4) as bytes: requests are parsed from
// a received datagram and replies are encoded into caller-owned fixed
// buffers. Nothing here touches a socket, the store or the log, so every
// function can be tested and fuzzed on plain byte arrays.
//
// Byte order: every integer on the wire is big-endian, with two exceptions
// that are copied untouched. The transaction identifier (request bytes
// 12-15) goes back byte for byte. The connection identifier (request bytes
// 0-7, connect reply bytes 8-15) is opaque: its 8 bytes are moved to and from
// a host uint64_t with memcpy, so the value the store issues is the value it
// is later asked to check.
//
// Parsers read only the `length` bytes they are given; a datagram shorter
// than the 16-byte header reads its missing header bytes as zero.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "db/database_driver.hpp"

namespace NORRIK::Wire {

enum Action : uint32_t {
    kActionConnect = 0,
    kActionAnnounce = 1,
    kActionScrape = 2,
    kActionError = 3,
};

constexpr std::size_t kReceiveBufferSize = 2048;
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kConnectRequestSize = 16;
constexpr std::size_t kConnectReplySize = 16;
constexpr std::size_t kAnnounceRequestSize = 98;
constexpr std::size_t kAnnounceReplyHeaderSize = 20;
constexpr std::size_t kPeerEntrySize = 6;
constexpr std::size_t kMaxAnnouncePeers = 30;
constexpr std::size_t kAnnounceReplyMaxSize = kAnnounceReplyHeaderSize + kPeerEntrySize * kMaxAnnouncePeers;
constexpr std::size_t kScrapeHashSize = 20;
constexpr std::size_t kScrapeReplySize = 1024;
constexpr std::size_t kScrapeReplyHeaderSize = 8;
constexpr std::size_t kScrapeEntrySize = 12;
// 8 + 12 * 84 = 1016: the most entries that fit in the 1024-byte reply.
constexpr std::size_t kMaxScrapeEntries = (kScrapeReplySize - kScrapeReplyHeaderSize) / kScrapeEntrySize;
constexpr std::size_t kErrorReplyHeaderSize = 8;
// The message field, its terminating zero byte included.
constexpr std::size_t kMaxErrorMessageField = 1024;
constexpr std::size_t kErrorReplyMaxSize = kErrorReplyHeaderSize + kMaxErrorMessageField;

// Announce events as the tracker hands them to the store.
enum Event : int32_t {
    kEventNone = 0,
    kEventCompleted = 1,
    kEventStarted = 2,
    kEventStopped = 3,
};

using TransactionId = std::array<uint8_t, 4>;

struct RequestHeader {
    uint64_t connectionId;      // raw bytes 0-7, host memory order
    uint32_t action;            // bytes 8-11, big-endian on the wire
    TransactionId transaction;  // bytes 12-15, untouched
};

struct AnnounceRequest {
    uint64_t connectionId;
    TransactionId transaction;
    const uint8_t* infoHash;  // 20 bytes inside the datagram
    const uint8_t* peerId;    // 20 bytes inside the datagram
    int64_t downloaded;
    int64_t left;
    int64_t uploaded;
    uint32_t event;   // as sent; see reduceEvent
    uint32_t ip;      // host order; 0 means the sender's own address
    int32_t numWant;  // 0 or negative asks for the default
    uint16_t port;    // host order
};

struct ScrapeRequest {
    uint64_t connectionId;
    TransactionId transaction;
    const uint8_t* hashes;  // count * 20 bytes inside the datagram
    std::size_t count;
};

enum class ScrapeParse {
    kOk,
    kBadLength,      // below 16 bytes, or not 16 plus a multiple of 20
    kTooManyHashes,  // well formed, but more hashes than the reply can hold
};

// The header of any datagram; bytes the datagram did not carry read as zero.
RequestHeader parseHeader(const uint8_t* data, std::size_t length);

// Nothing when fewer than 98 bytes arrived; bytes beyond 98 are ignored.
std::optional<AnnounceRequest> parseAnnounce(const uint8_t* data, std::size_t length);

// Fills `out` only when the result is kOk.
ScrapeParse parseScrape(const uint8_t* data, std::size_t length, ScrapeRequest* out);

// Events 1, 2 and 3 stay; every other value becomes 0 (none).
int32_t reduceEvent(uint32_t event);

// Peers asked of the store for num_want: 30 for 0 or less and for 30 or
// more, num_want otherwise.
int32_t wantedPeers(int32_t numWant);

// Writes the 16-byte connect reply; returns 16.
std::size_t encodeConnectReply(uint8_t* out, const TransactionId& transaction, uint64_t connectionId);

// Writes the 20-byte announce reply header into `out` (room for
// kAnnounceReplyMaxSize bytes). Leechers come before seeders.
void encodeAnnounceHeader(uint8_t* out, const TransactionId& transaction, int32_t interval, int32_t leechers,
                          int32_t seeders);

// Writes peer entry `index` (below 30): the address, first octet first, then
// the port, big-endian. Returns the reply size with index + 1 entries.
std::size_t encodeAnnouncePeer(uint8_t* out, std::size_t index, uint32_t ip, uint16_t port);

constexpr std::size_t announceReplySize(std::size_t peers) {
    return kAnnounceReplyHeaderSize + kPeerEntrySize * peers;
}

// Clears the whole 1024-byte scrape reply and writes its header, so the
// bytes after the last entry are zero whatever came before in the buffer.
void beginScrapeReply(uint8_t* out, const TransactionId& transaction);

// Writes entry `index` (below 84): seeders, completed, leechers.
void encodeScrapeEntry(uint8_t* out, std::size_t index, int32_t seeders, int32_t completed, int32_t leechers);

// Writes the error reply (action 3, transaction, message, zero byte) into
// `out` (room for kErrorReplyMaxSize bytes); a message longer than 1023
// characters is cut. Returns 9 + the message length written.
std::size_t encodeError(uint8_t* out, const TransactionId& transaction, std::string_view message);

}  // namespace NORRIK::Wire
