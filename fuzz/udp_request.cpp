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
// The handler is private to Tracker and replies through its socket, so the
// harness opens the class (see below), gives it a socket bound to 127.0.0.1
// and plays the sender with a second loopback socket; replies are read back
// without waiting, since the handler sends them before it returns.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "db/driver_sqlite/driver_sqlite.hpp"
#include "fuzz_check.hpp"
#include "settings.hpp"
#include "util/log.hpp"

// Test-only access to the handler and the members it uses; every standard
// header the class needs is included above, so only its own declaration is
// opened.
#define private public
#include "tracker/tracker.hpp"
#undef private

#include "tracker/wire.hpp"

namespace {

int boundLoopbackSocket(sockaddr_in* address) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) std::abort();
    socklen_t size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    *address = local;
    return fd;
}

struct Harness {
    std::string dir;
    std::unique_ptr<NORRIK::Settings> settings[2];
    std::unique_ptr<NORRIK::Tracker> trackers[2];  // dynamic, static
    int client = -1;
    sockaddr_in clientAddress{};

    Harness() {
        char pattern[] = "/tmp/norrik-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        dir = pattern;
        NORRIK::Log::setRequestLogging(false);
        client = boundLoopbackSocket(&clientAddress);
        for (int i = 0; i < 2; ++i) {
            settings[i] = std::make_unique<NORRIK::Settings>(dir + "/unused.conf");
            settings[i]->set("database", "file", dir + (i == 0 ? "/dynamic.db" : "/static.db"));
            settings[i]->set("tracker", "is_dynamic", i == 0 ? "1" : "0");
            settings[i]->set("tracker", "allow_remotes", "1");
            settings[i]->set("tracker", "local_subnet", "127.0");
            settings[i]->set("tracker", "remote_ip", "203.0.113.9");
            settings[i]->set("tracker", "log_requests", "0");
            trackers[i] = std::make_unique<NORRIK::Tracker>(settings[i].get());
            NORRIK::Tracker& t = *trackers[i];
            sockaddr_in unused{};
            t.socket_ = boundLoopbackSocket(&unused);
            t.driver_ = std::make_unique<NORRIK::Data::SQLite3Driver>(settings[i]->getSection("database"),
                                                                      t.config_.isDynamic);
        }
        // One registered torrent for the static tracker: hash bytes 0x00..0x13.
        uint8_t hash[20];
        for (int k = 0; k < 20; ++k) hash[k] = static_cast<uint8_t>(k);
        trackers[1]->driver_->insertTorrent(hash);
    }
    ~Harness() {
        ::close(client);
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
        tracker.driver_->issueConnectionId(&id, ntohl(h.clientAddress.sin_addr.s_addr),
                                           ntohs(h.clientAddress.sin_port));
        std::memcpy(datagram.data(), &id, 8);
    }

    if (!(control & 4) && datagram.size() >= 36) {
        for (std::size_t k = 16; k < 36; ++k) datagram[k] = static_cast<uint8_t>(k - 16 + ((control >> 3) & 3));
    }

    tracker.handleRequest(h.clientAddress, datagram.data(), datagram.size());

    uint8_t reply[4096];
    int replies = 0;
    for (;;) {
        ssize_t got = ::recv(h.client, reply, sizeof reply, MSG_DONTWAIT);
        if (got < 0) break;
        ++replies;
        checkReply(datagram.data(), datagram.size(), reply, static_cast<std::size_t>(got));
    }
    FUZZ_CHECK(replies <= 1);
    return 0;
}
