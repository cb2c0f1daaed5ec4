#include "tracker/wire.hpp"

#include <algorithm>
#include <cstring>

#include "util/net_order.hpp"

namespace NORRIK::Wire {

namespace {

uint16_t readBig16(const uint8_t* at) {
    uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return netOrder16(value);
}

uint32_t readBig32(const uint8_t* at) {
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return netOrder32(value);
}

uint64_t readBig64(const uint8_t* at) {
    uint64_t value;
    std::memcpy(&value, at, sizeof value);
    return netOrder64(value);
}

void writeBig16(uint8_t* at, uint16_t value) {
    value = netOrder16(value);
    std::memcpy(at, &value, sizeof value);
}

void writeBig32(uint8_t* at, uint32_t value) {
    value = netOrder32(value);
    std::memcpy(at, &value, sizeof value);
}

void writeTransaction(uint8_t* at, const TransactionId& transaction) {
    std::memcpy(at, transaction.data(), transaction.size());
}

}  // namespace

RequestHeader parseHeader(const uint8_t* data, std::size_t length) {
    // Work on a zero-filled copy so a short datagram never reads bytes it did
    // not carry (the receive buffer may still hold an earlier datagram).
    uint8_t header[kHeaderSize] = {};
    std::memcpy(header, data, std::min(length, kHeaderSize));
    RequestHeader out;
    std::memcpy(&out.connectionId, header, sizeof out.connectionId);
    out.action = readBig32(header + 8);
    std::memcpy(out.transaction.data(), header + 12, out.transaction.size());
    return out;
}

std::optional<AnnounceRequest> parseAnnounce(const uint8_t* data, std::size_t length) {
    if (length < kAnnounceRequestSize) return std::nullopt;
    AnnounceRequest out;
    std::memcpy(&out.connectionId, data, sizeof out.connectionId);
    std::memcpy(out.transaction.data(), data + 12, out.transaction.size());
    out.infoHash = data + 16;
    out.peerId = data + 36;
    out.downloaded = static_cast<int64_t>(readBig64(data + 56));
    out.left = static_cast<int64_t>(readBig64(data + 64));
    out.uploaded = static_cast<int64_t>(readBig64(data + 72));
    out.event = readBig32(data + 80);
    out.ip = readBig32(data + 84);
    // bytes 88-91: the key, not used
    out.numWant = static_cast<int32_t>(readBig32(data + 92));
    out.port = readBig16(data + 96);
    return out;
}

ScrapeParse parseScrape(const uint8_t* data, std::size_t length, ScrapeRequest* out) {
    if (length < kHeaderSize || (length - kHeaderSize) % kScrapeHashSize != 0) return ScrapeParse::kBadLength;
    std::size_t count = (length - kHeaderSize) / kScrapeHashSize;
    if (count > kMaxScrapeEntries) return ScrapeParse::kTooManyHashes;
    std::memcpy(&out->connectionId, data, sizeof out->connectionId);
    std::memcpy(out->transaction.data(), data + 12, out->transaction.size());
    out->hashes = data + kHeaderSize;
    out->count = count;
    return ScrapeParse::kOk;
}

int32_t reduceEvent(uint32_t event) {
    switch (event) {
        case kEventCompleted:
        case kEventStarted:
        case kEventStopped:
            return static_cast<int32_t>(event);
        default:
            return kEventNone;
    }
}

int32_t wantedPeers(int32_t numWant) {
    constexpr auto kMax = static_cast<int32_t>(kMaxAnnouncePeers);
    if (numWant <= 0 || numWant >= kMax) return kMax;
    return numWant;
}

std::size_t encodeConnectReply(uint8_t* out, const TransactionId& transaction, uint64_t connectionId) {
    writeBig32(out, kActionConnect);
    writeTransaction(out + 4, transaction);
    std::memcpy(out + 8, &connectionId, sizeof connectionId);
    return kConnectReplySize;
}

void encodeAnnounceHeader(uint8_t* out, const TransactionId& transaction, int32_t interval, int32_t leechers,
                          int32_t seeders) {
    writeBig32(out, kActionAnnounce);
    writeTransaction(out + 4, transaction);
    writeBig32(out + 8, static_cast<uint32_t>(interval));
    writeBig32(out + 12, static_cast<uint32_t>(leechers));
    writeBig32(out + 16, static_cast<uint32_t>(seeders));
}

std::size_t encodeAnnouncePeer(uint8_t* out, std::size_t index, uint32_t ip, uint16_t port) {
    uint8_t* entry = out + kAnnounceReplyHeaderSize + kPeerEntrySize * index;
    writeBig32(entry, ip);
    writeBig16(entry + 4, port);
    return announceReplySize(index + 1);
}

void beginScrapeReply(uint8_t* out, const TransactionId& transaction) {
    std::memset(out, 0, kScrapeReplySize);
    writeBig32(out, kActionScrape);
    writeTransaction(out + 4, transaction);
}

void encodeScrapeEntry(uint8_t* out, std::size_t index, int32_t seeders, int32_t completed, int32_t leechers) {
    uint8_t* entry = out + kScrapeReplyHeaderSize + kScrapeEntrySize * index;
    writeBig32(entry, static_cast<uint32_t>(seeders));
    writeBig32(entry + 4, static_cast<uint32_t>(completed));
    writeBig32(entry + 8, static_cast<uint32_t>(leechers));
}

std::size_t encodeError(uint8_t* out, const TransactionId& transaction, std::string_view message) {
    std::size_t length = std::min(message.size(), kMaxErrorMessageField - 1);
    writeBig32(out, kActionError);
    writeTransaction(out + 4, transaction);
    std::memcpy(out + kErrorReplyHeaderSize, message.data(), length);
    out[kErrorReplyHeaderSize + length] = 0;
    return kErrorReplyHeaderSize + length + 1;
}

}  // namespace NORRIK::Wire
