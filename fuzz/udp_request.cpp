// The tracker's whole request path on raw datagrams: bytes go into the same
// handler the worker threads call, with a real SQLite store in a temporary
// file, and every reply is checked for the length rules of its kind
// (connect 16, announce 20 + 6n <= 200, scrape 1024, error 9 + L ending in a
// zero byte), for the echoed transaction identifier, and for at most one
// reply per datagram.
//
// The first input byte steers the harness, the rest is the datagram:
//   bit 0: overwrite bytes 0-7 with a connection identifier the store issued
//          to the sender, so announces and scrapes get past the check;
//   bit 1: use the tracker in static mode instead of dynamic mode;
//   bit 2: keep the datagram's info_hash; otherwise bytes 16-35 become one of
//          four fixed hashes (bits 3-4), so the store does not gain a peer
//          table for every mutation (each new table makes SQLite reread its
//          schema, which slows the run down to a crawl).
//
// The tracker runs without its socket (startWithoutNetwork) and each datagram
// goes through handleDatagram with a made-up sender; replies are collected
// from its callback instead of being sent.

#include <netinet/in.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "settings.hpp"
#include "tracker/tracker.hpp"
#include "tracker/wire.hpp"
#include "util/log.hpp"
#include "util/net_order.hpp"

namespace {

struct Harness {
    std::string dir;
    std::unique_ptr<NORRIK::Settings> settings[2];
    std::unique_ptr<NORRIK::Tracker> trackers[2];  // dynamic, static
    sockaddr_in sender{};

    Harness() {
        char pattern[] = "/tmp/norrik-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        dir = pattern;
        NORRIK::Log::setRequestLogging(false);
        sender.sin_family = AF_INET;
        sender.sin_addr.s_addr = NORRIK::netOrder32(0x7F000001);
        sender.sin_port = NORRIK::netOrder16(40000);
        for (int i = 0; i < 2; ++i) {
            settings[i] = std::make_unique<NORRIK::Settings>(dir + "/unused.conf");
            settings[i]->set("database", "file", dir + (i == 0 ? "/dynamic.db" : "/static.db"));
            settings[i]->set("tracker", "is_dynamic", i == 0 ? "1" : "0");
            settings[i]->set("tracker", "allow_remotes", "1");
            settings[i]->set("tracker", "local_subnet", "127.0");
            settings[i]->set("tracker", "remote_ip", "203.0.113.9");
            settings[i]->set("tracker", "log_requests", "0");
            trackers[i] = std::make_unique<NORRIK::Tracker>(settings[i].get());
            trackers[i]->startWithoutNetwork();
        }
        // One registered torrent for the static tracker: hash bytes 0x00..0x13.
        uint8_t hash[20];
        for (int k = 0; k < 20; ++k) hash[k] = static_cast<uint8_t>(k);
        trackers[1]->getDriver()->insertTorrent(hash);
    }
    ~Harness() {
        for (auto& tracker : trackers) tracker.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
};

Harness* instance = nullptr;

// libFuzzer ends a timed run with exit(): the database files go with it.
void removeHarness() {
    delete instance;
    instance = nullptr;
}

Harness& harness() {
    if (instance == nullptr) {
        instance = new Harness();
        std::atexit(removeHarness);
    }
    return *instance;
}

void checkReply(const uint8_t* request, std::size_t length, const uint8_t* reply, std::size_t size) {
    FUZZ_CHECK(size >= 8);
    uint8_t transaction[4] = {};
    for (std::size_t i = 0; i < 4; ++i) transaction[i] = 12 + i < length ? request[12 + i] : 0;
    FUZZ_CHECK(std::memcmp(reply + 4, transaction, 4) == 0);
    const uint32_t action = (uint32_t(reply[0]) << 24) | (uint32_t(reply[1]) << 16) | (uint32_t(reply[2]) << 8) |
                            reply[3];
    switch (action) {
        case 0:
            FUZZ_CHECK(size == 16);
            break;
        case 1:
            FUZZ_CHECK(size >= 20 && size <= 200 && (size - 20) % 6 == 0);
            break;
        case 2:
            FUZZ_CHECK(size == 1024);
            break;
        case 3:
            FUZZ_CHECK(size >= 9 && size <= 9 + 1023 && reply[size - 1] == 0);
            FUZZ_CHECK(std::memchr(reply + 8, 0, size - 9) == nullptr);  // 9 + L: no zero inside the text
            break;
        default:
            FUZZ_CHECK(!"reply with an unknown action");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;  // the control byte and a datagram of at least one byte
    Harness& h = harness();
    const uint8_t control = data[0];
    std::vector<uint8_t> datagram(data + 1, data + size);
    if (datagram.size() > NORRIK::Wire::kReceiveBufferSize) datagram.resize(NORRIK::Wire::kReceiveBufferSize);
    NORRIK::Tracker& tracker = *h.trackers[(control & 2) ? 1 : 0];

    if ((control & 1) && datagram.size() >= 8) {
        uint64_t id = 0;
        tracker.getDriver()->issueConnectionId(&id, NORRIK::netOrder32(h.sender.sin_addr.s_addr),
                                               NORRIK::netOrder16(h.sender.sin_port));
        std::memcpy(datagram.data(), &id, 8);
    }

    if (!(control & 4) && datagram.size() >= 36) {
        for (std::size_t k = 16; k < 36; ++k) datagram[k] = static_cast<uint8_t>(k - 16 + ((control >> 3) & 3));
    }

    int replies = 0;
    tracker.handleDatagram(h.sender, datagram.data(), datagram.size(),
                           [&](const sockaddr_in& to, const uint8_t* reply, std::size_t length) {
                               FUZZ_CHECK(to.sin_addr.s_addr == h.sender.sin_addr.s_addr &&
                                          to.sin_port == h.sender.sin_port);
                               ++replies;
                               checkReply(datagram.data(), datagram.size(), reply, length);
                           });
    FUZZ_CHECK(replies <= 1);
    return 0;
}
