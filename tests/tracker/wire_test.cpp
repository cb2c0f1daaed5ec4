// The tracker's messages on byte arrays: parsing, length boundaries and the
// exact bytes of every reply.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tracker/wire.hpp"

using namespace NORRIK;
using Bytes = std::vector<uint8_t>;

namespace {

const Wire::TransactionId kTransaction{0xde, 0xad, 0x01, 0xfe};

Bytes requestOf(std::size_t length, uint32_t action) {
    Bytes data(length, 0xAA);  // filler that would show up if read as a field
    if (length >= 12) {
        data[8] = static_cast<uint8_t>(action >> 24);
        data[9] = static_cast<uint8_t>(action >> 16);
        data[10] = static_cast<uint8_t>(action >> 8);
        data[11] = static_cast<uint8_t>(action);
    }
    if (length >= 16) std::memcpy(data.data() + 12, kTransaction.data(), 4);
    return data;
}

uint32_t big32(const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

}  // namespace

TEST(WireHeader, ReadsActionBigEndianAndKeepsTransactionAndConnectionBytes) {
    Bytes data = requestOf(16, 0x01020304);
    const uint8_t id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::memcpy(data.data(), id, 8);
    Wire::RequestHeader header = Wire::parseHeader(data.data(), data.size());
    EXPECT_EQ(header.action, 0x01020304u);
    EXPECT_EQ(header.transaction, kTransaction);
    // The connection identifier is the 8 bytes as they lie in memory.
    EXPECT_EQ(std::memcmp(&header.connectionId, id, 8), 0);
}

TEST(WireHeader, ShortDatagramReadsMissingBytesAsZero) {
    struct Case {
        std::size_t length;
        uint32_t action;
        Wire::TransactionId transaction;
    };
    // Filler 0xAA in every byte carried, nothing after.
    const Case cases[] = {
        {0, 0, {0, 0, 0, 0}},
        {9, 0xAA000000u, {0, 0, 0, 0}},
        {12, 0xAAAAAAAAu, {0, 0, 0, 0}},
        {14, 0xAAAAAAAAu, {0xAA, 0xAA, 0, 0}},
    };
    for (const Case& c : cases) {
        Bytes buffer(64, 0xAA);  // what a reused receive buffer may still hold
        Wire::RequestHeader header = Wire::parseHeader(buffer.data(), c.length);
        EXPECT_EQ(header.action, c.action) << "length " << c.length;
        EXPECT_EQ(header.transaction, c.transaction) << "length " << c.length;
    }
}

TEST(WireAnnounce, LengthBoundaryAndFields) {
    EXPECT_FALSE(Wire::parseAnnounce(requestOf(97, 1).data(), 97).has_value());

    Bytes data = requestOf(120, 1);  // extra bytes are ignored
    for (int i = 0; i < 20; ++i) data[16 + i] = static_cast<uint8_t>(i);
    for (int i = 0; i < 20; ++i) data[36 + i] = static_cast<uint8_t>(100 + i);
    const uint8_t fields[] = {
        0, 0, 0, 0, 0, 0, 0x01, 0x00,                    // downloaded 256
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe,  // left -2
        0, 0, 0, 1, 0, 0, 0, 0,                          // uploaded 2^32
        0, 0, 0, 2,                                      // event started
        203, 0, 113, 9,                                  // ip
        0x12, 0x34, 0x56, 0x78,                          // key
        0xff, 0xff, 0xff, 0xff,                          // num_want -1
        0x1B, 0x39,                                      // port 6969
    };
    std::memcpy(data.data() + 56, fields, sizeof fields);

    for (std::size_t length : {std::size_t{98}, data.size()}) {
        auto request = Wire::parseAnnounce(data.data(), length);
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->transaction, kTransaction);
        EXPECT_EQ(request->infoHash, data.data() + 16);
        EXPECT_EQ(request->peerId, data.data() + 36);
        EXPECT_EQ(request->downloaded, 256);
        EXPECT_EQ(request->left, -2);
        EXPECT_EQ(request->uploaded, int64_t{1} << 32);
        EXPECT_EQ(request->event, 2u);
        EXPECT_EQ(request->ip, 0xCB007109u);
        EXPECT_EQ(request->numWant, -1);
        EXPECT_EQ(request->port, 6969);
    }
}

TEST(WireAnnounce, EventReductionAndWantedPeers) {
    const std::pair<uint32_t, int32_t> events[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 0}, {9, 0}, {0xffffffffu, 0}};
    for (auto [sent, used] : events) EXPECT_EQ(Wire::reduceEvent(sent), used) << sent;

    const std::pair<int32_t, int32_t> wants[] = {{-1, 30}, {0, 30}, {1, 1}, {5, 5}, {29, 29}, {30, 30}, {1000, 30}};
    for (auto [numWant, asked] : wants) EXPECT_EQ(Wire::wantedPeers(numWant), asked) << numWant;
}

TEST(WireScrape, LengthRules) {
    struct Case {
        std::size_t length;
        Wire::ScrapeParse result;
        std::size_t count;
    };
    const Case cases[] = {
        {15, Wire::ScrapeParse::kBadLength, 0},
        {16, Wire::ScrapeParse::kOk, 0},
        {17, Wire::ScrapeParse::kBadLength, 0},
        {35, Wire::ScrapeParse::kBadLength, 0},
        {36, Wire::ScrapeParse::kOk, 1},
        {37, Wire::ScrapeParse::kBadLength, 0},
        {16 + 20 * 84, Wire::ScrapeParse::kOk, 84},
        {16 + 20 * 85, Wire::ScrapeParse::kTooManyHashes, 0},
        {16 + 20 * 101, Wire::ScrapeParse::kTooManyHashes, 0},
    };
    for (const Case& c : cases) {
        Bytes data = requestOf(c.length, 2);
        Wire::ScrapeRequest request{};
        ASSERT_EQ(Wire::parseScrape(data.data(), c.length, &request), c.result) << "length " << c.length;
        if (c.result != Wire::ScrapeParse::kOk) continue;
        EXPECT_EQ(request.count, c.count);
        EXPECT_EQ(request.hashes, data.data() + 16);
        EXPECT_EQ(request.transaction, kTransaction);
    }
}

TEST(WireReplies, ConnectReplyCarriesTransactionAndIdentifierBytes) {
    uint8_t out[16];
    const uint64_t id = 0x0123456789abcdefULL;
    ASSERT_EQ(Wire::encodeConnectReply(out, kTransaction, id), 16u);
    EXPECT_EQ(big32(out), 0u);
    EXPECT_EQ(std::memcmp(out + 4, kTransaction.data(), 4), 0);
    EXPECT_EQ(std::memcmp(out + 8, &id, 8), 0);  // host order, no conversion
}

TEST(WireReplies, AnnounceReplyLayout) {
    uint8_t out[Wire::kAnnounceReplyMaxSize];
    Wire::encodeAnnounceHeader(out, kTransaction, 1800, 7, 3);
    EXPECT_EQ(Wire::announceReplySize(0), 20u);
    EXPECT_EQ(big32(out), 1u);
    EXPECT_EQ(std::memcmp(out + 4, kTransaction.data(), 4), 0);
    EXPECT_EQ(big32(out + 8), 1800u);
    EXPECT_EQ(big32(out + 12), 7u);  // leechers before seeders
    EXPECT_EQ(big32(out + 16), 3u);

    EXPECT_EQ(Wire::encodeAnnouncePeer(out, 0, 0xC0A80014u, 6969), 26u);
    const uint8_t entry[] = {192, 168, 0, 20, 0x1B, 0x39};
    EXPECT_EQ(std::memcmp(out + 20, entry, 6), 0);
    EXPECT_EQ(Wire::encodeAnnouncePeer(out, 29, 1, 2), 200u);
}

TEST(WireReplies, ScrapeReplyIsZeroAfterLastEntry) {
    uint8_t out[Wire::kScrapeReplySize];
    std::memset(out, 0xAA, sizeof out);  // stale contents of a reused buffer
    Wire::beginScrapeReply(out, kTransaction);
    Wire::encodeScrapeEntry(out, 0, 4, 0, 2);
    EXPECT_EQ(big32(out), 2u);
    EXPECT_EQ(std::memcmp(out + 4, kTransaction.data(), 4), 0);
    EXPECT_EQ(big32(out + 8), 4u);  // seeders, completed, leechers
    EXPECT_EQ(big32(out + 12), 0u);
    EXPECT_EQ(big32(out + 16), 2u);
    for (std::size_t i = 20; i < sizeof out; ++i) ASSERT_EQ(out[i], 0) << "byte " << i;

    // The last entry that fits ends at byte 1016.
    Wire::encodeScrapeEntry(out, Wire::kMaxScrapeEntries - 1, 1, 2, 3);
    EXPECT_EQ(Wire::kMaxScrapeEntries, 84u);
    EXPECT_EQ(big32(out + 1012), 3u);
}

TEST(WireReplies, ErrorReplyLengths) {
    struct Case {
        const char* message;
        std::size_t length;
    };
    const Case cases[] = {
        {"Bad scrape request.", 28},
        {"Tracker couldn't understand Client's request.", 54},
        {"Scrape Failed: couldn't retrieve torrent data", 54},
        {"", 9},
    };
    for (const Case& c : cases) {
        uint8_t out[Wire::kErrorReplyMaxSize];
        ASSERT_EQ(Wire::encodeError(out, kTransaction, c.message), c.length) << c.message;
        EXPECT_EQ(big32(out), 3u);
        EXPECT_EQ(std::memcmp(out + 4, kTransaction.data(), 4), 0);
        EXPECT_EQ(std::memcmp(out + 8, c.message, c.length - 9), 0);
        EXPECT_EQ(out[c.length - 1], 0);
    }
    // The message field never grows past 1024 bytes, its zero byte included.
    std::string longMessage(5000, 'x');
    uint8_t out[Wire::kErrorReplyMaxSize];
    EXPECT_EQ(Wire::encodeError(out, kTransaction, longMessage), 8u + 1024u);
}
