#pragma once
// Helpers for the tracker tests: a UDP client on 127.0.0.1, request
// builders, and a capture of the process's standard output (where the log
// lines go) into a file.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_support.hpp"

namespace norrik_test {

using Bytes = std::vector<uint8_t>;

inline void putBig32(Bytes& data, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

inline void putBig64(Bytes& data, std::size_t at, uint64_t value) {
    for (int i = 0; i < 8; ++i) data[at + i] = static_cast<uint8_t>(value >> (56 - 8 * i));
}

inline uint32_t big32(const Bytes& data, std::size_t at) {
    return (uint32_t{data[at]} << 24) | (uint32_t{data[at + 1]} << 16) | (uint32_t{data[at + 2]} << 8) | data[at + 3];
}

inline uint32_t dotted(int a, int b, int c, int d) {
    return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
           static_cast<uint32_t>(d);
}

using Hash = std::array<uint8_t, 20>;

inline Hash hashOf(uint8_t seed) {
    Hash hash;
    for (int i = 0; i < 20; ++i) hash[i] = static_cast<uint8_t>(seed * 7 + i);
    return hash;
}

inline std::string hexOf(const Hash& hash) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : hash) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

// A request header: connection id bytes, action, transaction id.
inline Bytes header(const Bytes& connectionId, uint32_t action, uint32_t transaction, std::size_t length = 16) {
    Bytes data(length, 0);
    std::memcpy(data.data(), connectionId.data(), std::min<std::size_t>(8, connectionId.size()));
    if (length >= 12) putBig32(data, 8, action);
    if (length >= 16) putBig32(data, 12, transaction);
    return data;
}

struct Announce {
    Hash infoHash = hashOf(1);
    uint8_t peerSeed = 1;
    int64_t downloaded = 0;
    int64_t left = 0;
    int64_t uploaded = 0;
    uint32_t event = 2;
    uint32_t ip = 0;
    int32_t numWant = -1;
    uint16_t port = 6881;
};

inline Bytes announceRequest(const Bytes& connectionId, uint32_t transaction, const Announce& a) {
    Bytes data = header(connectionId, 1, transaction, 98);
    std::memcpy(data.data() + 16, a.infoHash.data(), 20);
    for (int i = 0; i < 20; ++i) data[36 + i] = static_cast<uint8_t>(a.peerSeed + i);
    putBig64(data, 56, static_cast<uint64_t>(a.downloaded));
    putBig64(data, 64, static_cast<uint64_t>(a.left));
    putBig64(data, 72, static_cast<uint64_t>(a.uploaded));
    putBig32(data, 80, a.event);
    putBig32(data, 84, a.ip);
    putBig32(data, 88, 0x5eed);
    putBig32(data, 92, static_cast<uint32_t>(a.numWant));
    data[96] = static_cast<uint8_t>(a.port >> 8);
    data[97] = static_cast<uint8_t>(a.port);
    return data;
}

inline Bytes scrapeRequest(const Bytes& connectionId, uint32_t transaction, const std::vector<Hash>& hashes) {
    Bytes data = header(connectionId, 2, transaction, 16 + 20 * hashes.size());
    for (std::size_t i = 0; i < hashes.size(); ++i) std::memcpy(data.data() + 16 + 20 * i, hashes[i].data(), 20);
    return data;
}

// One UDP socket bound to 127.0.0.1 on a port the system picks.
class UdpClient {
public:
    UdpClient() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            throw std::runtime_error("client socket");
        }
        socklen_t size = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
        port_ = ntohs(local.sin_port);
    }
    ~UdpClient() { ::close(fd_); }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    uint16_t port() const { return port_; }

    void send(uint16_t trackerPort, const Bytes& data) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // tests talk to loopback only
        to.sin_port = htons(trackerPort);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // The next datagram, or nothing after `timeoutMs` (0: only what is
    // already queued).
    std::optional<Bytes> receive(int timeoutMs = 5000) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return std::nullopt;
        Bytes data(4096);
        ssize_t n = ::recv(fd_, data.data(), data.size(), MSG_DONTWAIT);
        if (n < 0) return std::nullopt;
        data.resize(static_cast<std::size_t>(n));
        return data;
    }

    std::optional<Bytes> request(uint16_t trackerPort, const Bytes& data) const {
        send(trackerPort, data);
        return receive();
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Sends standard output (descriptor 1; or `descriptor`, 2 for standard
// error) to a file while it lives; on destruction puts it back and, when the
// test failed, replays what was captured so gtest's own messages are not
// lost.
class StdoutCapture {
public:
    explicit StdoutCapture(std::string path, int descriptor = STDOUT_FILENO)
        : path_(std::move(path)), descriptor_(descriptor) {
        std::fflush(stdout);
        saved_ = ::dup(descriptor_);
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        ::dup2(fd, descriptor_);
        ::close(fd);
    }
    ~StdoutCapture() {
        std::fflush(stdout);
        ::dup2(saved_, descriptor_);
        ::close(saved_);
        if (::testing::Test::HasFailure()) {
            std::string text = readFile(path_);
            std::fprintf(stdout, "---- captured standard output ----\n%s----\n", text.c_str());
            std::fflush(stdout);
        }
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string text() const { return readFile(path_); }

    // Waits (bounded) until the captured text contains `needle`.
    bool waitFor(const std::string& needle, int timeoutMs = 5000) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (text().find(needle) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return text().find(needle) != std::string::npos;
    }

private:
    std::string path_;
    int descriptor_;
    int saved_ = -1;
};

}  // namespace norrik_test
