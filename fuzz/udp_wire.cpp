// The UDP wire module on raw datagrams: parsing never reads past the bytes
// given, every accepted request is consistent with the length rules, and the
// replies built from it keep theirs (connect 16, announce 20 + 6n <= 200,
// scrape 1024 with zero bytes after the last entry, error 9 + L).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "tracker/wire.hpp"

using namespace NORRIK::Wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The receive loop drops empty datagrams and keeps at most one buffer.
    if (size == 0) return 0;
    if (size > kReceiveBufferSize) size = kReceiveBufferSize;
    // An exactly sized heap copy, so ASan sees any read past the datagram.
    std::vector<uint8_t> datagram(data, data + size);
    const uint8_t* bytes = datagram.data();

    const RequestHeader header = parseHeader(bytes, size);
    for (std::size_t i = 0; i < 4; ++i) {
        FUZZ_CHECK(header.transaction[i] == (12 + i < size ? bytes[12 + i] : 0));
    }

    auto announce = parseAnnounce(bytes, size);
    FUZZ_CHECK(announce.has_value() == (size >= kAnnounceRequestSize));
    if (announce) {
        FUZZ_CHECK(announce->infoHash == bytes + 16 && announce->peerId == bytes + 36);
        FUZZ_CHECK(std::memcmp(announce->transaction.data(), bytes + 12, 4) == 0);
        const int32_t wanted = wantedPeers(announce->numWant);
        FUZZ_CHECK(wanted >= 1 && wanted <= static_cast<int32_t>(kMaxAnnouncePeers));
        const int32_t event = reduceEvent(announce->event);
        FUZZ_CHECK(event >= 0 && event <= 3);

        std::vector<uint8_t> reply(kAnnounceReplyMaxSize);
        encodeAnnounceHeader(reply.data(), announce->transaction, 1800, 1, 2);
        std::size_t replySize = announceReplySize(0);
        for (int32_t i = 0; i < wanted; ++i) {
            replySize = encodeAnnouncePeer(reply.data(), static_cast<std::size_t>(i), announce->ip, announce->port);
        }
        FUZZ_CHECK(replySize == kAnnounceReplyHeaderSize + kPeerEntrySize * static_cast<std::size_t>(wanted));
        FUZZ_CHECK(replySize <= 200);
        FUZZ_CHECK(std::memcmp(reply.data() + 4, bytes + 12, 4) == 0);
    }

    ScrapeRequest scrape{};
    const ScrapeParse result = parseScrape(bytes, size, &scrape);
    const bool wellSized = size >= kHeaderSize && (size - kHeaderSize) % kScrapeHashSize == 0;
    const std::size_t hashes = wellSized ? (size - kHeaderSize) / kScrapeHashSize : 0;
    if (!wellSized) {
        FUZZ_CHECK(result == ScrapeParse::kBadLength);
    } else if (hashes > kMaxScrapeEntries) {
        FUZZ_CHECK(result == ScrapeParse::kTooManyHashes);
    } else {
        FUZZ_CHECK(result == ScrapeParse::kOk);
        FUZZ_CHECK(scrape.count == hashes && scrape.hashes == bytes + kHeaderSize);
        // A buffer that held an older reply: nothing of it may survive.
        std::vector<uint8_t> reply(kScrapeReplySize, 0xAB);
        beginScrapeReply(reply.data(), scrape.transaction);
        for (std::size_t i = 0; i < scrape.count; ++i) encodeScrapeEntry(reply.data(), i, 1, 2, 3);
        for (std::size_t i = kScrapeReplyHeaderSize + kScrapeEntrySize * scrape.count; i < kScrapeReplySize; ++i) {
            FUZZ_CHECK(reply[i] == 0);
        }
        FUZZ_CHECK(std::memcmp(reply.data() + 4, bytes + 12, 4) == 0);
    }

    // The error reply with the datagram itself as message: 9 + L, cut to fit.
    std::vector<uint8_t> error(kErrorReplyMaxSize);
    const std::string_view message(reinterpret_cast<const char*>(bytes), size);
    const std::size_t errorSize = encodeError(error.data(), header.transaction, message);
    const std::size_t kept = size < kMaxErrorMessageField ? size : kMaxErrorMessageField - 1;
    FUZZ_CHECK(errorSize == kErrorReplyHeaderSize + kept + 1);
    FUZZ_CHECK(error[errorSize - 1] == 0);

    std::vector<uint8_t> connect(kConnectReplySize);
    FUZZ_CHECK(encodeConnectReply(connect.data(), header.transaction, header.connectionId) == 16);
    return 0;
}
