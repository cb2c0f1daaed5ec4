// norrik-bench-responder: the least a UDP tracker can do, as a yardstick for
// the benchmark. One thread on one socket of 127.0.0.1 answers every connect
// with a fixed connection id and every announce with an empty peer list (and
// every scrape with 1024 zero-count bytes), without storing anything. Its
// rate is the ceiling of the kernel path and the load generator together.
//
// usage: norrik-bench-responder PORT [SECONDS]   (ends after SECONDS, default 3600)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr size_t kBatch = 64;
constexpr size_t kDatagramMax = 2048;
constexpr size_t kScrapeReply = 1024;

void put32(uint8_t* p, uint32_t v) {
    const uint32_t n = htonl(v);
    std::memcpy(p, &n, 4);
}

uint32_t get32(const uint8_t* p) {
    uint32_t n = 0;
    std::memcpy(&n, p, 4);
    return ntohl(n);
}

// Builds the reply to `in` into `out`; 0 when there is none.
size_t answer(const uint8_t* in, size_t len, uint8_t* out) {
    if (len < 16) return 0;
    const uint32_t action = get32(in + 8);
    std::memcpy(out + 4, in + 12, 4);
    switch (action) {
    case 0:
        put32(out, 0);
        std::memset(out + 8, 0x5A, 8);
        return 16;
    case 1:
        if (len < 98) return 0;
        put32(out, 1);
        put32(out + 8, 1800);
        put32(out + 12, 0);
        put32(out + 16, 0);
        return 20;
    case 2:
        put32(out, 2);
        std::memset(out + 8, 0, kScrapeReply - 8);
        return kScrapeReply;
    default:
        return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: norrik-bench-responder PORT [SECONDS]\n");
        return 2;
    }
    const long port = std::strtol(argv[1], nullptr, 10);
    const long seconds = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 3600;
    if (port <= 0 || port > 65535 || seconds <= 0) {
        std::fprintf(stderr, "norrik-bench-responder: bad port or seconds\n");
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("norrik-bench-responder: bind");
        return 1;
    }
    static uint8_t inputs[kBatch][kDatagramMax];
    static uint8_t outputs[kBatch][kScrapeReply];
    sockaddr_in from[kBatch];
    mmsghdr in[kBatch];
    mmsghdr out[kBatch];
    iovec inVectors[kBatch];
    iovec outVectors[kBatch];
    const time_t end = time(nullptr) + seconds;
    while (time(nullptr) < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        for (size_t i = 0; i < kBatch; ++i) {
            inVectors[i] = {inputs[i], kDatagramMax};
            in[i] = {};
            in[i].msg_hdr.msg_iov = &inVectors[i];
            in[i].msg_hdr.msg_iovlen = 1;
            in[i].msg_hdr.msg_name = &from[i];
            in[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        const int n = recvmmsg(fd, in, kBatch, MSG_DONTWAIT, nullptr);
        size_t replies = 0;
        for (int i = 0; i < n; ++i) {
            const size_t len = answer(inputs[i], in[i].msg_len, outputs[replies]);
            if (len == 0) continue;
            outVectors[replies] = {outputs[replies], len};
            out[replies] = {};
            out[replies].msg_hdr.msg_iov = &outVectors[replies];
            out[replies].msg_hdr.msg_iovlen = 1;
            out[replies].msg_hdr.msg_name = &from[i];
            out[replies].msg_hdr.msg_namelen = in[i].msg_hdr.msg_namelen;
            ++replies;
        }
        if (replies > 0) sendmmsg(fd, out, static_cast<unsigned>(replies), 0);
    }
    close(fd);
    return 0;
}
