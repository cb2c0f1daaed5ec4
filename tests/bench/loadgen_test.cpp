// The load generator's reply checks: norrik-loadgen runs against a small
// in-process tracker on 127.0.0.1 that answers correctly or with one kind of
// fault, and its result line must count exactly that fault.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

enum class Fault { None, WrongTransaction, OddLength, TooManyPeers, CountsTooHigh, ForeignPeer, ShortScrape, ErrorReply, Silent };

void put32(uint8_t* p, uint32_t v) {
    const uint32_t n = htonl(v);
    std::memcpy(p, &n, 4);
}
uint32_t get32(const uint8_t* p) {
    uint32_t n = 0;
    std::memcpy(&n, p, 4);
    return ntohl(n);
}

// Answers connects always; announces and scrapes as the fault says. A correct
// announce reply lists the asker itself and counts it as the one seeder. With
// a delay, the first announce of each info_hash is answered that much later
// (the others at once), as a tracker that registers torrents on the request
// path would.
class FakeTracker {
public:
    explicit FakeTracker(Fault f, int firstAnnounceDelayMs = 0) : fault(f), firstDelay(firstAnnounceDelayMs) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~FakeTracker() {
        stop();
        close(fd);
    }
    void stop() {
        running = false;
        if (worker.joinable()) worker.join();
    }
    uint16_t port = 0;
    // Distinct info_hashes announced; read after stop().
    size_t torrentsSeen() const { return seen.size(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Deferred {
        Clock::time_point due;
        sockaddr_in to;
        std::string bytes;
    };

    void serve() {
        uint8_t in[2048];
        uint8_t out[2048];
        while (running) {
            while (!deferred.empty() && deferred.front().due <= Clock::now()) {
                const Deferred& d = deferred.front();
                sendto(fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
                deferred.pop_front();
            }
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, deferred.empty() ? 20 : 1) <= 0) continue;
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 16) continue;
            const size_t len = answer(in, static_cast<size_t>(n), out);
            if (len == 0) continue;
            const bool announce = get32(in + 8) == 1 && n >= 98;
            const bool first = announce && seen.insert(std::string(reinterpret_cast<char*>(in + 16), 20)).second;
            if (first && firstDelay > 0) {
                deferred.push_back({Clock::now() + std::chrono::milliseconds(firstDelay), from,
                                    std::string(reinterpret_cast<char*>(out), len)});
            } else {
                sendto(fd, out, len, 0, reinterpret_cast<sockaddr*>(&from), fromLen);
            }
        }
    }

    size_t answer(const uint8_t* in, size_t n, uint8_t* out) {
        const uint32_t action = get32(in + 8);
        std::memcpy(out + 4, in + 12, 4);  // transaction id
        if (action == 0) {
            put32(out, 0);
            std::memset(out + 8, 0xAB, 8);
            return 16;
        }
        if (fault == Fault::Silent) return 0;
        if (fault == Fault::ErrorReply) {
            put32(out, 3);
            std::memcpy(out + 8, "nope", 5);
            return 13;
        }
        if (fault == Fault::WrongTransaction) put32(out + 4, get32(in + 12) + 1);
        if (action == 2) {
            put32(out, 2);
            std::memset(out + 8, 0, 1016);
            return fault == Fault::ShortScrape ? 1023 : 1024;
        }
        if (action != 1 || n < 98) return 0;
        put32(out, 1);
        put32(out + 8, 1800);
        put32(out + 12, 0);                                           // leechers
        put32(out + 16, fault == Fault::CountsTooHigh ? 1000 : 1);    // seeders
        const size_t peers = fault == Fault::TooManyPeers ? 31 : 1;
        for (size_t i = 0; i < peers; ++i) {
            uint8_t* e = out + 20 + 6 * i;
            put32(e, fault == Fault::ForeignPeer ? 0x0A000001 : INADDR_LOOPBACK);
            std::memcpy(e + 4, in + 96, 2);  // the asker's own port
        }
        return 20 + 6 * peers + (fault == Fault::OddLength ? 1 : 0);
    }

    Fault fault;
    int firstDelay;
    std::set<std::string> seen;
    std::deque<Deferred> deferred;
    int fd = -1;
    std::atomic<bool> running{true};
    std::thread worker;
};

struct Outcome {
    int status = -1;
    std::map<std::string, long long> figures;
};

Outcome runLoadgen(const std::string& arguments) {
    const std::string command = std::string(NORRIK_LOADGEN) + " " + arguments + " 2>/dev/null";
    Outcome o;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return o;
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = pclose(pipe);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::istringstream fields(output);
    std::string field;
    while (fields >> field) {
        const auto eq = field.find('=');
        if (eq != std::string::npos) o.figures[field.substr(0, eq)] = std::atoll(field.c_str() + eq + 1);
    }
    return o;
}

std::string smallLoad(uint16_t port) {
    return "--port " + std::to_string(port) +
           " --torrents 10 --peers 100 --sockets 4 --window 4 --duration 0.3 --timeout-ms 200";
}

struct Case {
    const char* name;
    Fault fault;
    const char* extra;
    const char* counter;  // the figure that must be above zero
    bool repliesCount;    // whether the well-formed replies still arrive
};

TEST(LoadgenChecks, CountsEachKindOfFaultyReply) {
    const Case cases[] = {
        {"correct tracker", Fault::None, " --warmup --scrape 30", "announce_replies", true},
        {"wrong transaction id", Fault::WrongTransaction, "", "malformed", false},
        {"length not 20 + 6n", Fault::OddLength, "", "malformed", false},
        {"31 peers", Fault::TooManyPeers, "", "malformed", false},
        {"more peers counted than announced", Fault::CountsTooHigh, "", "malformed", false},
        {"peer entry of another address", Fault::ForeignPeer, "", "malformed", false},
        {"scrape reply of 1023 bytes", Fault::ShortScrape, " --scrape 100", "malformed", false},
        {"error replies", Fault::ErrorReply, "", "error_replies", false},
        {"no answers", Fault::Silent, "", "timeouts", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTracker tracker(c.fault);
        const Outcome o = runLoadgen(smallLoad(tracker.port) + c.extra);
        ASSERT_FALSE(o.figures.empty());
        EXPECT_GT(o.figures.at("sent"), 0);
        EXPECT_GT(o.figures.at(c.counter), 0);
        if (c.fault == Fault::None) {
            EXPECT_EQ(o.status, 0);
            EXPECT_GT(o.figures.at("scrape_replies"), 0);
            for (const char* zero : {"malformed", "error_replies", "timeouts", "setup_bad", "late"})
                EXPECT_EQ(o.figures.at(zero), 0) << zero;
        } else if (!c.repliesCount) {
            EXPECT_EQ(o.figures.at("announce_replies") + o.figures.at("scrape_replies"), 0);
        }
    }
}

TEST(LoadgenChecks, FixedRateSendsTheScheduledNumberOfRequests) {
    // 200 requests/s for 0.5 s: requests 0 to 99 are due before the end, what
    // ever the machine's load (the schedule follows the clock, not the loop).
    FakeTracker tracker(Fault::None);
    const Outcome o = runLoadgen(smallLoad(tracker.port) + " --duration 0.5 --rate 200 --settle 0.2");
    ASSERT_FALSE(o.figures.empty());
    EXPECT_GE(o.figures.at("sent"), 95);
    EXPECT_LE(o.figures.at("sent"), 101);
    EXPECT_EQ(o.figures.at("announce_replies"), o.figures.at("sent"));
    EXPECT_EQ(o.figures.at("malformed"), 0);
    EXPECT_GT(o.figures.at("setup_sent"), 4);  // the settling load is not counted
}

// Fresh mode: a share of the announces names torrents never announced, the
// rest torrents that have had a reply, and the two are measured apart.
TEST(LoadgenFresh, NewTorrentsArriveAtTheirShareAndAreMeasuredApart) {
    // First announces wait 30 ms at the tracker, the others not at all: a
    // generator that mixed the two kinds up would show it in the medians.
    FakeTracker tracker(Fault::None, 30);
    const Outcome o = runLoadgen("--port " + std::to_string(tracker.port) +
                                 " --torrents 50000 --peers 50000 --warmup --warmup-peers 200 --fresh 20"
                                 " --sockets 8 --window 16 --duration 1 --timeout-ms 1000");
    ASSERT_FALSE(o.figures.empty());
    EXPECT_EQ(o.status, 0);
    const auto& f = o.figures;
    EXPECT_EQ(f.at("listed_at_start"), 200);
    EXPECT_GT(f.at("first_replies"), 0);
    EXPECT_GT(f.at("listed_replies"), 0);
    // Every torrent the tracker saw had a reply and is counted once.
    EXPECT_EQ(f.at("listed_at_end"), f.at("listed_at_start") + f.at("first_replies"));
    tracker.stop();
    EXPECT_EQ(static_cast<long long>(tracker.torrentsSeen()), f.at("listed_at_end"));
    EXPECT_EQ(f.at("fresh_left"), 50000 - f.at("listed_at_end"));
    // About 20 % of the announces are first ones.
    const double share = static_cast<double>(f.at("first_replies")) /
                         static_cast<double>(f.at("first_replies") + f.at("listed_replies"));
    EXPECT_GT(share, 0.10);
    EXPECT_LT(share, 0.30);
    EXPECT_GE(f.at("first_p50_us"), 30000);
    EXPECT_LT(f.at("listed_p50_us"), 15000);
    for (const char* zero : {"malformed", "timeouts", "listed_timeouts", "first_timeouts", "fresh_exhausted"})
        EXPECT_EQ(f.at(zero), 0) << zero;
}

TEST(LoadgenFresh, MeasuringEndsWhenNoNewTorrentIsLeft) {
    FakeTracker tracker(Fault::None);
    const Outcome o = runLoadgen("--port " + std::to_string(tracker.port) +
                                 " --torrents 300 --peers 300 --warmup --warmup-peers 100 --fresh 50"
                                 " --sockets 4 --window 4 --duration 20 --timeout-ms 500");
    ASSERT_FALSE(o.figures.empty());
    EXPECT_EQ(o.figures.at("fresh_exhausted"), 1);
    EXPECT_EQ(o.figures.at("fresh_left"), 0);
    EXPECT_EQ(o.figures.at("listed_at_end"), 300);
    EXPECT_EQ(o.figures.at("first_replies"), 200);
    EXPECT_LT(o.figures.at("seconds"), 10);  // long before the 20 s asked for
}

TEST(LoadgenFresh, PartialWarmupMeasuresWhatTheWarmupGotThrough) {
    // Every first announce takes 50 ms and the warm-up may take 0.3 s: it
    // cannot finish its 10,000 torrents, and the measurement goes on with
    // those listed by then.
    FakeTracker tracker(Fault::None, 50);
    const std::string load = "--port " + std::to_string(tracker.port) +
                             " --torrents 20000 --peers 20000 --warmup --warmup-peers 10000 --fresh 5"
                             " --sockets 4 --window 4 --duration 0.5 --warmup-limit 0.3 --timeout-ms 1000";
    const Outcome cut = runLoadgen(load + " --partial-warmup");
    ASSERT_FALSE(cut.figures.empty());
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.figures.at("warmup_stopped"), 1);
    EXPECT_GT(cut.figures.at("listed_at_start"), 0);
    EXPECT_LT(cut.figures.at("listed_at_start"), 10000);
    EXPECT_GT(cut.figures.at("listed_replies"), 0);
    EXPECT_EQ(cut.figures.at("setup_timeouts"), 0);  // the announces under way were waited for

    const Outcome whole = runLoadgen(load);  // without it the run gives up, as before
    EXPECT_EQ(whole.status, 1);
}

TEST(LoadgenChecks, RefusesEveryTargetButLoopback) {
    for (const char* host : {"127.0.0.2", "10.0.0.1", "localhost", "0.0.0.0"}) {
        SCOPED_TRACE(host);
        const Outcome o = runLoadgen(std::string("--host ") + host + " --port 6969 --duration 0.1");
        EXPECT_EQ(o.status, 2);
        EXPECT_TRUE(o.figures.empty());
    }
}

TEST(LoadgenChecks, HashListIsOneFortyDigitHexLinePerTorrent) {
    const std::string command = std::string(NORRIK_LOADGEN) + " --torrents 3 --print-hashes";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> lines;
    char buffer[128];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) lines.emplace_back(buffer);
    EXPECT_EQ(pclose(pipe), 0);
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) {
        ASSERT_EQ(line.size(), 41u);
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find_first_not_of("0123456789abcdef"), 40u);
    }
    EXPECT_NE(lines[0], lines[1]);
}

}  // namespace
