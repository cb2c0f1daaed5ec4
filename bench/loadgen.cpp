// norrik-loadgen: a load generator for UDP trackers (BEP 15) on loopback.
//
// It opens many UDP sockets (each one a distinct source port, so a distinct
// client identity for the connection identifier), connects each of them, then
// keeps a window of requests in flight for a bounded time: announces of
// simulated peers spread over a set of torrents, optionally mixed with scrapes
// and fresh connects, or with a steady share of announces that name torrents
// never announced before (torrents arriving while the tracker serves the
// others). Every reply is checked (transaction identifier, action,
// length, peer count, counts, peer entries) and everything that is wrong is
// counted. The result is ONE line of key=value pairs on standard output;
// diagnostics go to standard error.
//
// Only 127.0.0.1 is accepted as the target, and every phase is bounded in time
// and in the number of requests.

#include "latency_histogram.hpp"
#include "swarm_shape.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr uint32_t kActionConnect = 0;
constexpr uint32_t kActionAnnounce = 1;
constexpr uint32_t kActionScrape = 2;
constexpr uint32_t kActionError = 3;
constexpr uint64_t kProtocolId = 0x41727101980ULL;

constexpr size_t kConnectLength = 16;
constexpr size_t kAnnounceLength = 98;
constexpr size_t kAnnounceHeader = 20;
constexpr size_t kPeerEntry = 6;
constexpr size_t kScrapeHeader = 8;
constexpr size_t kScrapeEntry = 12;
constexpr size_t kFixedScrapeReply = 1024;
constexpr uint32_t kMaxReplyPeers = 30;
constexpr uint32_t kMaxScrapeHashes = 74;  // a compact reply then still fits in 896 bytes

constexpr uint32_t kMaxPeers = 1'000'000;
using NORRIK::Bench::kFirstPeerPort;
using NORRIK::Bench::kLeecherLeft;
using NORRIK::Bench::kPeerPortSpan;
using NORRIK::Bench::splitmix64;

constexpr uint32_t kEventNone = 0;
constexpr uint32_t kEventStarted = 2;

constexpr size_t kDatagramMax = 2048;
constexpr size_t kRecvBatch = 32;
constexpr size_t kSendBatch = 32;
constexpr uint32_t kSlotBitsMax = 20;  // transaction id = generation << bits | slot
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kLateSendNs = 1'000'000;
constexpr int64_t kTickNs = 10'000'000;  // between two scans for timed-out requests
constexpr size_t kErrorTextsKept = 5;
constexpr size_t kTimedOutKept = 4'000'000;  // timed-out requests whose late replies are recognised

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put32(uint8_t* p, uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
uint32_t get32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

struct Options {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    uint32_t torrents = 1000;
    uint32_t peers = 10000;
    uint32_t sockets = 256;
    uint32_t window = 512;
    double duration = 10;
    bool warmup = false;
    double warmupLimit = 600;  // seconds the connect and warm-up phases may take at most
    double rate = 0;           // requests per second; 0: closed loop (as fast as replies come)
    uint32_t seederPercent = 50;
    uint32_t scrapePercent = 0;
    uint32_t connectPercent = 0;
    uint32_t scrapeHashes = 1;
    int32_t numWant = 30;
    uint32_t timeoutMs = 1000;
    uint32_t reconnectSeconds = 50;
    uint64_t maxRequests = 100'000'000;
    bool compactScrape = false;  // scrape replies of 8 + 12 n bytes instead of 1024
    uint64_t seed = 1;
    bool printHashes = false;
    std::string hashFile;
    std::string beforeMeasure;  // shell command run between warm-up and measuring
    bool swarmsFilled = false;  // an earlier run announced every peer already
    double settle = 0;          // seconds of unmeasured load between warm-up and measuring
    uint32_t warmupPeers = UINT32_MAX;  // the warm-up announces peers 0 to warmupPeers - 1
    bool partialWarmup = false;         // a warm-up cut short by its time limit is measured on
    uint32_t freshPercent = 0;          // share of announces that name a torrent never announced
};

void usage(FILE* out) {
    std::fprintf(out,
        "usage: norrik-loadgen --port N [options]\n"
        "  --host 127.0.0.1      target address (no other is accepted)\n"
        "  --port N              target UDP port\n"
        "  --torrents N          torrents (default 1000)\n"
        "  --peers N             peers in all, spread over the torrents, at most 1000000 (default 10000)\n"
        "  --sockets N           UDP sockets, one client identity each (default 256)\n"
        "  --window N            requests in flight at most (default 512)\n"
        "  --duration S          seconds of measured load (default 10)\n"
        "  --warmup              announce every peer once before measuring\n"
        "  --warmup-limit S      seconds the connect and warm-up phases may take (default 600)\n"
        "  --rate N              fixed rate in requests/s (default: closed loop)\n"
        "  --seeders PCT         share of peers that are seeders (default 50)\n"
        "  --scrape PCT          share of scrapes among the requests (default 0)\n"
        "  --connect PCT         share of connects among the requests (default 0)\n"
        "  --scrape-hashes N     info_hashes per scrape, 1 to 74 (default 1)\n"
        "  --num-want N          num_want of each announce (default 30)\n"
        "  --timeout-ms N        a request unanswered this long is a timeout (default 1000)\n"
        "  --reconnect-s N       renew a socket's connection id this old (default 50)\n"
        "  --max-requests N      stop sending after this many requests (default 100000000)\n"
        "  --compact-scrape      expect scrape replies of 8 + 12 n bytes instead of 1024\n"
        "  --seed N              seed of the info_hashes and the random choices (default 1)\n"
        "  --print-hashes        print the info_hashes, one 40-digit hex line each, and exit\n"
        "  --hash-file PATH      write the info_hashes to PATH in that format and exit\n"
        "  --settle S            S seconds of the measured mix at full speed, not counted,\n"
        "                        between the warm-up and the measured seconds (default 0)\n"
        "  --swarms-filled       every peer was announced by an earlier run against this tracker:\n"
        "                        check the replies as if this run had done the warm-up\n"
        "  --before-measure CMD  run the shell command CMD after the warm-up, before measuring\n"
        "                        (for example to switch a profiler's collection on)\n"
        "  --warmup-peers N      the warm-up announces only peers 0 to N-1 (default all)\n"
        "  --partial-warmup      when the warm-up reaches --warmup-limit, measure with the torrents\n"
        "                        it got through instead of giving up\n"
        "  --fresh PCT           PCT %% of the announces after the warm-up name a torrent never\n"
        "                        announced before (the next unused one, by its first peer); the\n"
        "                        others re-announce a torrent that has had a reply. Figures are\n"
        "                        also given for both kinds apart (listed_*, first_*). Measuring\n"
        "                        ends early when no unused torrent is left (fresh_exhausted=1)\n");
}

bool parseUnsigned(const char* text, uint64_t max, uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v > max || text[0] == '-') return false;
    out = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "norrik-loadgen: %s needs a value\n", argv[i]);
                return false;
            }
            v = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max, auto& field) {
            const char* v = nullptr;
            uint64_t n = 0;
            if (!value(v)) return false;
            if (!parseUnsigned(v, max, n)) {
                std::fprintf(stderr, "norrik-loadgen: bad value for %s: %s\n", name.data(), v);
                return false;
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(n);
            return true;
        };
        auto decimal = [&](double max, double& field) {
            const char* v = nullptr;
            if (!value(v)) return false;
            char* end = nullptr;
            const double d = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(d >= 0) || d > max) {
                std::fprintf(stderr, "norrik-loadgen: bad value for %s: %s\n", name.data(), v);
                return false;
            }
            field = d;
            return true;
        };
        bool ok = true;
        if (name == "--host") {
            const char* v = nullptr;
            ok = value(v);
            if (ok) o.host = v;
        } else if (name == "--port") ok = number(65535, o.port);
        else if (name == "--torrents") ok = number(kMaxPeers, o.torrents);
        else if (name == "--peers") ok = number(kMaxPeers, o.peers);
        else if (name == "--sockets") ok = number(60000, o.sockets);
        else if (name == "--window") ok = number(uint64_t{1} << kSlotBitsMax, o.window);
        else if (name == "--duration") ok = decimal(86400, o.duration);
        else if (name == "--warmup") o.warmup = true;
        else if (name == "--swarms-filled") o.swarmsFilled = true;
        else if (name == "--settle") ok = decimal(3600, o.settle);
        else if (name == "--warmup-peers") ok = number(kMaxPeers, o.warmupPeers);
        else if (name == "--partial-warmup") o.partialWarmup = true;
        else if (name == "--fresh") ok = number(100, o.freshPercent);
        else if (name == "--warmup-limit") ok = decimal(86400, o.warmupLimit);
        else if (name == "--rate") ok = decimal(10'000'000, o.rate);
        else if (name == "--seeders") ok = number(100, o.seederPercent);
        else if (name == "--scrape") ok = number(100, o.scrapePercent);
        else if (name == "--connect") ok = number(100, o.connectPercent);
        else if (name == "--scrape-hashes") ok = number(kMaxScrapeHashes, o.scrapeHashes);
        else if (name == "--num-want") {
            const char* v = nullptr;
            ok = value(v);
            if (ok) o.numWant = static_cast<int32_t>(std::strtol(v, nullptr, 10));
        } else if (name == "--timeout-ms") ok = number(60'000, o.timeoutMs);
        else if (name == "--reconnect-s") ok = number(3600, o.reconnectSeconds);
        else if (name == "--max-requests") ok = number(UINT64_MAX, o.maxRequests);
        else if (name == "--compact-scrape") o.compactScrape = true;
        else if (name == "--seed") ok = number(UINT64_MAX, o.seed);
        else if (name == "--print-hashes") o.printHashes = true;
        else if (name == "--hash-file") {
            const char* v = nullptr;
            ok = value(v);
            if (ok) o.hashFile = v;
        } else if (name == "--before-measure") {
            const char* v = nullptr;
            ok = value(v);
            if (ok) o.beforeMeasure = v;
        } else if (name == "-h" || name == "--help") {
            usage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "norrik-loadgen: unknown option %s\n", argv[i]);
            ok = false;
        }
        if (!ok) return false;
    }
    if (o.torrents == 0 || o.peers == 0 || o.sockets == 0 || o.window == 0 || o.scrapeHashes == 0) {
        std::fprintf(stderr, "norrik-loadgen: torrents, peers, sockets, window and scrape-hashes must be at least 1\n");
        return false;
    }
    if (o.freshPercent > 0 && o.torrents > o.peers) {
        std::fprintf(stderr, "norrik-loadgen: --fresh needs at least one peer per torrent (--peers >= --torrents)\n");
        return false;
    }
    if (o.scrapePercent + o.connectPercent > 100) {
        std::fprintf(stderr, "norrik-loadgen: --scrape and --connect add up to more than 100\n");
        return false;
    }
    return true;
}

// The simulated swarms: torrent t has a fixed info_hash; peer p belongs to
// torrent p % torrents, carries its own peer_id and listening port, and is a
// seeder or a leecher for good.
class Workload {
public:
    explicit Workload(const Options& o)
        : options(o), hashes(size_t{o.torrents} * 20), announcedPeer(o.peers, false),
          announcedInTorrent(o.torrents, 0) {
        for (uint32_t t = 0; t < o.torrents; ++t) NORRIK::Bench::torrentHash(o.seed, t, &hashes[size_t{t} * 20]);
        if (o.swarmsFilled) {
            announcedPeer.assign(o.peers, true);
            for (uint32_t t = 0; t < o.torrents; ++t) announcedInTorrent[t] = peersIn(t);
        }
    }

    uint32_t torrents() const { return options.torrents; }
    uint32_t peers() const { return options.peers; }
    const uint8_t* hash(uint32_t t) const { return &hashes[size_t{t} * 20]; }
    uint32_t torrentOf(uint32_t peer) const { return NORRIK::Bench::torrentOfPeer(peer, options.torrents); }
    uint16_t portOf(uint32_t peer) const { return NORRIK::Bench::peerPort(peer, options.torrents); }
    uint32_t peersIn(uint32_t t) const { return NORRIK::Bench::peersInTorrent(t, options.torrents, options.peers); }
    bool isSeeder(uint32_t peer) const { return NORRIK::Bench::peerIsSeeder(peer, options.seederPercent); }
    // Distinct peers of torrent t named in an announce so far: no reply may
    // list or count more peers than that.
    uint32_t announcedIn(uint32_t t) const { return announcedInTorrent[t]; }

    size_t writeAnnounce(uint8_t* b, uint64_t connectionId, uint32_t tid, uint32_t peer, uint32_t event) {
        std::memcpy(b, &connectionId, 8);  // as the tracker issued it, byte for byte
        put32(b + 8, kActionAnnounce);
        put32(b + 12, tid);
        std::memcpy(b + 16, hash(torrentOf(peer)), 20);
        NORRIK::Bench::peerIdOf(peer, b + 36);
        put64(b + 56, 0);                                                      // downloaded
        put64(b + 64, isSeeder(peer) ? 0 : static_cast<uint64_t>(kLeecherLeft));  // left
        put64(b + 72, 0);                                                      // uploaded
        put32(b + 80, event);
        put32(b + 84, 0);  // IP: the sender's own
        put32(b + 88, peer);  // key
        put32(b + 92, static_cast<uint32_t>(options.numWant));
        put16(b + 96, portOf(peer));
        if (!announcedPeer[peer]) {
            announcedPeer[peer] = true;
            ++announcedInTorrent[torrentOf(peer)];
        }
        return kAnnounceLength;
    }

    size_t writeScrape(uint8_t* b, uint64_t connectionId, uint32_t tid, uint32_t first, uint32_t count) const {
        std::memcpy(b, &connectionId, 8);
        put32(b + 8, kActionScrape);
        put32(b + 12, tid);
        for (uint32_t i = 0; i < count; ++i)
            std::memcpy(b + 16 + 20 * i, hash((first + i) % options.torrents), 20);
        return 16 + 20 * size_t{count};
    }

    static size_t writeConnect(uint8_t* b, uint32_t tid) {
        put64(b, kProtocolId);
        put32(b + 8, kActionConnect);
        put32(b + 12, tid);
        return kConnectLength;
    }

    bool writeHashes(std::ostream& out) const {
        static const char digits[] = "0123456789abcdef";
        std::string line(41, '\n');
        for (uint32_t t = 0; t < options.torrents; ++t) {
            const uint8_t* h = hash(t);
            for (int i = 0; i < 20; ++i) {
                line[2 * i] = digits[h[i] >> 4];
                line[2 * i + 1] = digits[h[i] & 15];
            }
            out << line;
        }
        out.flush();
        return static_cast<bool>(out);
    }

private:
    const Options& options;
    std::vector<uint8_t> hashes;
    std::vector<bool> announcedPeer;
    std::vector<uint32_t> announcedInTorrent;
};

struct Counters {
    uint64_t sent = 0;
    uint64_t connectReplies = 0;
    uint64_t announceReplies = 0;
    uint64_t scrapeReplies = 0;
    uint64_t errorReplies = 0;
    uint64_t timeouts = 0;
    uint64_t malformed = 0;
    uint64_t late = 0;  // replies to requests already counted as timeouts
    uint64_t sendFailures = 0;
    uint64_t bad() const { return errorReplies + timeouts + malformed + sendFailures; }
};

enum class Kind : uint8_t { Connect, Announce, Scrape };
// What an announce's torrent was when the announce left: one that has had a
// reply (listed by the tracker), one never announced before (its first
// announce), or one whose first announce is still unanswered.
enum class Listing : uint8_t { Listed, First, Pending };
enum class Phase : uint8_t { Connect, Warmup, Settle, Measure };

struct Slot {
    uint32_t tid = 0;
    uint32_t sock = 0;
    uint32_t torrent = 0;  // announce: the peer's torrent; scrape: the first torrent
    uint32_t count = 0;    // scrape: number of hashes; announce: the peer
    int64_t sentNs = 0;
    Kind kind = Kind::Connect;
    Listing listing = Listing::Pending;
    bool measured = false;
    bool inUse = false;
};

struct Sock {
    int fd = -1;
    uint64_t connectionId = 0;
    int64_t connectedNs = 0;
    uint32_t inflight = 0;
    bool connected = false;
    bool connecting = false;
};

class LoadGenerator {
public:
    LoadGenerator(const Options& o, Workload& w)
        : options(o), work(w), slots(o.window), histogram(2'000'000), rng(splitmix64(o.seed ^ 0xC0FFEEULL) | 1),
          torrentPhase(o.torrents, o.swarmsFilled ? kTorrentListed : kTorrentUnused),
          warmupEnd(std::min(o.warmupPeers, o.peers)) {
        if (o.swarmsFilled)
            for (uint32_t t = 0; t < o.torrents; ++t) listedTorrents.push_back(t);
        while ((uint32_t{1} << slotBits) < o.window) ++slotBits;
        freeSlots.reserve(o.window);
        for (uint32_t i = o.window; i-- > 0;) freeSlots.push_back(i);
        depth = (o.window + o.sockets - 1) / o.sockets;
        timeoutNs = int64_t{o.timeoutMs} * 1'000'000;
        reconnectNs = int64_t{o.reconnectSeconds} * kNsPerSecond;
    }

    ~LoadGenerator() {
        for (Sock& s : socks)
            if (s.fd >= 0) close(s.fd);
        if (epollFd >= 0) close(epollFd);
    }

    bool open();
    bool run();
    void report() const;

private:
    bool runPhase(Phase p, int64_t deadlineNs);
    void dispatch(int64_t now, bool paced);
    bool chooseRequest(Sock& s, int64_t now, Kind& kind, uint32_t& a, uint32_t& b);
    size_t buildRequest(uint8_t* buffer, uint32_t slotIndex, uint32_t sockIndex, Kind kind, uint32_t a, uint32_t b,
                        int64_t sentNs);
    void receive(uint32_t sockIndex, int64_t now);
    void handleReply(uint32_t sockIndex, const uint8_t* d, size_t len, int64_t now);
    // The reply checks give nullptr for a good reply, else what is wrong.
    const char* checkAnnounce(const Slot& slot, const uint8_t* d, size_t len) const;
    const char* checkScrape(const Slot& slot, const uint8_t* d, size_t len) const;
    void malformed(bool measured, const char* reason);
    // Fresh mode: the peer of the next announce, of a listed torrent or of
    // one never announced; false (and measuring ends) when none is unused.
    bool chooseFreshOrListed(int64_t now, uint32_t& peer);
    void markListed(uint32_t torrent);
    void release(uint32_t slotIndex);
    void expire(int64_t now);
    uint64_t random() {
        rng ^= rng >> 12;
        rng ^= rng << 25;
        rng ^= rng >> 27;
        return rng * 0x2545F4914F6CDD1DULL;
    }
    Counters& countersOf(bool measured) { return measured ? measuredCounters : setupCounters; }
    uint64_t totalSent() const { return measuredCounters.sent + setupCounters.sent; }

    const Options& options;
    Workload& work;
    std::vector<Sock> socks;
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
    LatencyHistogram histogram;
    Counters measuredCounters;
    Counters setupCounters;
    std::map<std::string, uint64_t> errorTexts;
    std::map<std::string, uint64_t> malformedReasons;
    std::unordered_set<uint64_t> timedOut;  // transaction id << 32 | socket of requests given up on
    int epollFd = -1;
    uint32_t slotBits = 0;
    uint32_t generation = 0;
    uint32_t depth = 1;
    int64_t timeoutNs = 0;
    int64_t reconnectNs = 0;
    uint64_t rng;
    Phase phase = Phase::Connect;
    uint32_t warmupNext = 0;
    std::vector<uint32_t> warmupRetry;
    int64_t measureStartNs = 0;
    int64_t measureEndNs = 0;
    double measuredSeconds = 0;
    uint64_t rateIssued = 0;
    uint64_t rateBacklog = 0;  // most scheduled requests that waited for room in the window
    int64_t maxSendLagNs = 0;  // fixed rate: the latest a request left after its scheduled time
    uint64_t lateSends = 0;    // fixed rate: requests that left more than kLateSendNs late
    uint32_t cursor = 0;      // next socket to send on
    double setupSeconds = 0;

    // Which torrents the tracker has answered for (kTorrent*, one per
    // torrent), those listed in the order of their first reply, and where
    // the search for a never-announced torrent goes on.
    static constexpr uint8_t kTorrentUnused = 0;
    static constexpr uint8_t kTorrentPending = 1;
    static constexpr uint8_t kTorrentListed = 2;
    std::vector<uint8_t> torrentPhase;
    std::vector<uint32_t> listedTorrents;
    uint32_t nextFresh = 0;
    bool freshExhausted = false;
    size_t listedAtStart = 0;
    uint32_t warmupEnd;
    bool warmupStopped = false;  // the partial warm-up reached its time limit
    // Measured announces by what their torrent was when they left.
    struct ListingFigures {
        uint64_t replies = 0;
        uint64_t timeouts = 0;
        LatencyHistogram latency{2'000'000};
    };
    ListingFigures listedFigures;
    ListingFigures firstFigures;
    ListingFigures* figuresOf(const Slot& slot) {
        if (slot.kind != Kind::Announce) return nullptr;
        if (slot.listing == Listing::Listed) return &listedFigures;
        if (slot.listing == Listing::First) return &firstFigures;
        return nullptr;
    }
};

bool LoadGenerator::open() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        std::perror("norrik-loadgen: epoll_create1");
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in target = local;
    target.sin_port = htons(options.port);
    socks.resize(options.sockets);
    for (uint32_t i = 0; i < options.sockets; ++i) {
        Sock& s = socks[i];
        s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (s.fd < 0) {
            std::fprintf(stderr, "norrik-loadgen: socket %u: %s\n", i, std::strerror(errno));
            return false;
        }
        // Bound to port 0 (the system picks a free one), then connected, so the
        // kernel hands this socket only datagrams from the tracker.
        if (bind(s.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(s.fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
            std::fprintf(stderr, "norrik-loadgen: socket %u: %s\n", i, std::strerror(errno));
            return false;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = i;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, s.fd, &ev) != 0) {
            std::perror("norrik-loadgen: epoll_ctl");
            return false;
        }
    }
    return true;
}

bool LoadGenerator::run() {
    const int64_t setupStart = nowNs();
    const int64_t setupDeadline = setupStart + static_cast<int64_t>(options.warmupLimit * kNsPerSecond);
    if (!runPhase(Phase::Connect, setupDeadline)) {
        std::fprintf(stderr, "norrik-loadgen: could not connect every socket within the time limit\n");
        return false;
    }
    if (options.warmup && !runPhase(Phase::Warmup, setupDeadline)) {
        std::fprintf(stderr, "norrik-loadgen: warm-up did not finish within the time limit\n");
        return false;
    }
    if (options.settle > 0) {
        // The measured mix at full speed, not counted: lets the tracker reach
        // its steady state (caches filled) after the warm-up.
        measureStartNs = nowNs();
        measureEndNs = measureStartNs + static_cast<int64_t>(options.settle * kNsPerSecond);
        runPhase(Phase::Settle, measureEndNs + timeoutNs + kTickNs);
    }
    setupSeconds = static_cast<double>(nowNs() - setupStart) / kNsPerSecond;
    if (!options.beforeMeasure.empty() && std::system(options.beforeMeasure.c_str()) != 0)
        std::fprintf(stderr, "norrik-loadgen: --before-measure command failed\n");
    listedAtStart = listedTorrents.size();
    measureStartNs = nowNs();
    measureEndNs = measureStartNs + static_cast<int64_t>(options.duration * kNsPerSecond);
    // Sending stops at measureEndNs; the answers still under way get one timeout more.
    runPhase(Phase::Measure, measureEndNs + timeoutNs + kTickNs);
    measuredSeconds = static_cast<double>(measureEndNs - measureStartNs) / kNsPerSecond;
    return true;
}

bool LoadGenerator::runPhase(Phase p, int64_t deadlineNs) {
    phase = p;
    std::vector<epoll_event> events(std::min<uint32_t>(options.sockets, 1024));
    int64_t lastTick = nowNs();
    const bool paced = p == Phase::Measure && options.rate > 0;
    for (;;) {
        int64_t now = nowNs();
        const bool inflight = freeSlots.size() != slots.size();
        bool finished = false;
        switch (p) {
        case Phase::Connect:
            finished = !inflight && std::all_of(socks.begin(), socks.end(), [](const Sock& s) { return s.connected; });
            break;
        case Phase::Warmup:
            finished = !inflight && ((warmupNext >= warmupEnd && warmupRetry.empty()) || warmupStopped);
            break;
        case Phase::Settle:
        case Phase::Measure:
            finished = !inflight && now >= measureEndNs;
            break;
        }
        if (finished) return true;
        if (now >= deadlineNs && p == Phase::Warmup && options.partialWarmup && !warmupStopped) {
            // No more warm-up announces; those under way get their timeout.
            warmupStopped = true;
            warmupRetry.clear();
            deadlineNs = now + timeoutNs + kTickNs;
            std::fprintf(stderr, "norrik-loadgen: warm-up stopped at its time limit after %u of %u peers\n",
                         warmupNext, warmupEnd);
            continue;
        }
        if (now >= deadlineNs) {
            expire(INT64_MAX);  // whatever is left unanswered counts as timed out
            return warmupStopped && p == Phase::Warmup;
        }
        if (!paced || now < measureEndNs) dispatch(now, paced);
        // Paced sending polls without sleeping (the generator has its core to
        // itself); closed-loop sending sleeps until a reply comes.
        const int wait = paced && now < measureEndNs ? 0 : 2;
        const int n = epoll_wait(epollFd, events.data(), static_cast<int>(events.size()), wait);
        now = nowNs();
        for (int i = 0; i < n; ++i) receive(events[i].data.u32, now);
        if (now - lastTick >= kTickNs) {
            lastTick = now;
            expire(now);
        }
    }
}

// Picks the next request for socket s; false when the phase has none for it.
bool LoadGenerator::chooseRequest(Sock& s, int64_t now, Kind& kind, uint32_t& a, uint32_t& b) {
    if (!s.connected) {
        if (s.connecting) return false;
        kind = Kind::Connect;
        return true;
    }
    if (!s.connecting && now - s.connectedNs > reconnectNs) {
        kind = Kind::Connect;
        return true;
    }
    switch (phase) {
    case Phase::Connect:
        return false;
    case Phase::Warmup:
        kind = Kind::Announce;
        if (!warmupRetry.empty()) {
            a = warmupRetry.back();
            warmupRetry.pop_back();
            return true;
        }
        if (warmupStopped || warmupNext >= warmupEnd) return false;
        a = warmupNext++;
        return true;
    case Phase::Settle:
    case Phase::Measure: {
        if (now >= measureEndNs || totalSent() >= options.maxRequests) return false;
        const uint32_t dice = static_cast<uint32_t>(random() % 100);
        if (dice < options.connectPercent) {
            if (s.connecting) return false;
            kind = Kind::Connect;
        } else if (dice < options.connectPercent + options.scrapePercent) {
            kind = Kind::Scrape;
            a = static_cast<uint32_t>(random() % work.torrents());
            b = std::min(options.scrapeHashes, work.torrents());
        } else {
            kind = Kind::Announce;
            if (options.freshPercent > 0) return chooseFreshOrListed(now, a);
            a = static_cast<uint32_t>(random() % work.peers());
        }
        return true;
    }
    }
    return false;
}

bool LoadGenerator::chooseFreshOrListed(int64_t now, uint32_t& peer) {
    if (!listedTorrents.empty() && random() % 100 >= options.freshPercent) {
        // Any peer of a torrent that has had a reply.
        const uint32_t t = listedTorrents[random() % listedTorrents.size()];
        peer = t + static_cast<uint32_t>(random() % work.peersIn(t)) * work.torrents();
        return true;
    }
    while (nextFresh < work.torrents() && torrentPhase[nextFresh] != kTorrentUnused) ++nextFresh;
    if (nextFresh >= work.torrents()) {
        // The share of new torrents cannot be kept up: the phase ends here.
        freshExhausted = true;
        measureEndNs = std::min(measureEndNs, now);
        return false;
    }
    peer = nextFresh++;  // torrent t's first peer is peer t
    return true;
}

void LoadGenerator::markListed(uint32_t torrent) {
    if (torrentPhase[torrent] == kTorrentListed) return;
    torrentPhase[torrent] = kTorrentListed;
    listedTorrents.push_back(torrent);
}

size_t LoadGenerator::buildRequest(uint8_t* buffer, uint32_t slotIndex, uint32_t sockIndex, Kind kind, uint32_t a,
                                   uint32_t b, int64_t sentNs) {
    Slot& slot = slots[slotIndex];
    Sock& s = socks[sockIndex];
    generation = (generation + 1) & ((uint32_t{1} << (32 - slotBits)) - 1);
    slot.tid = (generation << slotBits) | slotIndex;
    slot.sock = sockIndex;
    slot.kind = kind;
    slot.measured = phase == Phase::Measure;
    slot.sentNs = sentNs;
    slot.inUse = true;
    ++s.inflight;
    ++countersOf(slot.measured).sent;
    switch (kind) {
    case Kind::Connect:
        s.connecting = true;
        return Workload::writeConnect(buffer, slot.tid);
    case Kind::Announce: {
        slot.count = a;
        slot.torrent = work.torrentOf(a);
        uint8_t& listing = torrentPhase[slot.torrent];
        slot.listing = listing == kTorrentListed ? Listing::Listed
                       : listing == kTorrentUnused ? Listing::First
                                                   : Listing::Pending;
        if (listing == kTorrentUnused) listing = kTorrentPending;
        return work.writeAnnounce(buffer, s.connectionId, slot.tid, a,
                                  phase == Phase::Warmup ? kEventStarted : kEventNone);
    }
    case Kind::Scrape:
        slot.torrent = a;
        slot.count = b;
        return work.writeScrape(buffer, s.connectionId, slot.tid, a, b);
    }
    return 0;
}

// Sends requests round-robin over the sockets, each socket holding at most
// its share of the window. Closed loop: as many as the window has room for.
// Fixed rate: every request whose scheduled time has come; its latency is
// measured from the scheduled time, so a tracker (or generator) that falls
// behind shows in the figures.
void LoadGenerator::dispatch(int64_t now, bool paced) {
    static uint8_t buffers[kSendBatch][kDatagramMax];
    mmsghdr messages[kSendBatch];
    iovec vectors[kSendBatch];
    uint32_t slotOf[kSendBatch];
    uint64_t due = UINT64_MAX;
    if (paced) {
        const double elapsed = static_cast<double>(now - measureStartNs) / kNsPerSecond;
        // Request k is scheduled at k / rate: at `elapsed`, those up to
        // floor(elapsed * rate) are due, the one at exactly that time included.
        due = static_cast<uint64_t>(elapsed * options.rate) + 1;
    }
    uint32_t idle = 0;  // sockets in a row that had nothing to send
    while (rateIssued < due && !freeSlots.empty() && idle < socks.size()) {
        const uint32_t i = cursor;
        cursor = cursor + 1 == socks.size() ? 0 : cursor + 1;
        Sock& s = socks[i];
        // Up to the socket's share of the window goes out in one sendmmsg.
        size_t n = 0;
        while (n < kSendBatch && s.inflight < depth && rateIssued < due && !freeSlots.empty()) {
            Kind kind{};
            uint32_t a = 0;
            uint32_t b = 0;
            if (!chooseRequest(s, now, kind, a, b)) break;
            const int64_t sentNs =
                paced ? measureStartNs + static_cast<int64_t>(static_cast<double>(rateIssued) * kNsPerSecond / options.rate)
                      : now;
            const uint32_t slotIndex = freeSlots.back();
            freeSlots.pop_back();
            vectors[n] = {buffers[n], buildRequest(buffers[n], slotIndex, i, kind, a, b, sentNs)};
            if (paced) {
                // How late the generator itself is: time spent here, not in the tracker.
                const int64_t lag = now - sentNs;
                maxSendLagNs = std::max(maxSendLagNs, lag);
                if (lag > kLateSendNs) ++lateSends;
            }
            messages[n] = {};
            messages[n].msg_hdr.msg_iov = &vectors[n];
            messages[n].msg_hdr.msg_iovlen = 1;
            slotOf[n++] = slotIndex;
            if (paced) ++rateIssued;
        }
        if (n == 0) {
            ++idle;
            continue;
        }
        idle = 0;
        int sent = sendmmsg(s.fd, messages, static_cast<unsigned>(n), 0);
        if (sent < 0) sent = 0;
        for (size_t k = static_cast<size_t>(sent); k < n; ++k) {
            // Not sent (socket buffer full): count it, free the slot, and hand
            // an unsent warm-up peer to a later round.
            Slot& slot = slots[slotOf[k]];
            ++countersOf(slot.measured).sendFailures;
            if (slot.kind == Kind::Connect) s.connecting = false;
            if (slot.kind == Kind::Announce && phase == Phase::Warmup) warmupRetry.push_back(slot.count);
            release(slotOf[k]);
        }
    }
    if (paced && rateIssued < due) rateBacklog = std::max(rateBacklog, due - rateIssued);
}

void LoadGenerator::receive(uint32_t sockIndex, int64_t now) {
    static uint8_t buffers[kRecvBatch][kDatagramMax];
    mmsghdr messages[kRecvBatch];
    iovec vectors[kRecvBatch];
    for (size_t i = 0; i < kRecvBatch; ++i) {
        vectors[i] = {buffers[i], kDatagramMax};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(socks[sockIndex].fd, messages, kRecvBatch, MSG_DONTWAIT, nullptr);
    for (int i = 0; i < n; ++i) {
        if (messages[i].msg_hdr.msg_flags & MSG_TRUNC) {
            malformed(phase == Phase::Measure, "longer than 2048 bytes");
            continue;
        }
        handleReply(sockIndex, buffers[i], messages[i].msg_len, now);
    }
}

void LoadGenerator::handleReply(uint32_t sockIndex, const uint8_t* d, size_t len, int64_t now) {
    if (len < 8) {
        malformed(phase == Phase::Measure, "shorter than 8 bytes");
        return;
    }
    const uint32_t action = get32(d);
    const uint32_t tid = get32(d + 4);
    const uint32_t slotIndex = tid & ((uint32_t{1} << slotBits) - 1);
    if (slotIndex >= slots.size()) {
        malformed(phase == Phase::Measure, "transaction id of no request");
        return;
    }
    Slot& slot = slots[slotIndex];
    if (!slot.inUse || slot.tid != tid || slot.sock != sockIndex) {
        // Either the late answer to a request given up on, or a transaction id
        // that no request of this socket carries.
        if (timedOut.erase(uint64_t{tid} << 32 | sockIndex) != 0) ++countersOf(phase == Phase::Measure).late;
        else malformed(phase == Phase::Measure, "transaction id of no outstanding request on this socket");
        return;
    }
    Counters& c = countersOf(slot.measured);
    Sock& s = socks[sockIndex];
    const char* wrong = nullptr;
    if (action == kActionError) {
        // A message text of any length, with or without a final zero byte.
        ++c.errorReplies;
        std::string text(reinterpret_cast<const char*>(d + 8), len - 8);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        if (errorTexts.size() < kErrorTextsKept || errorTexts.count(text)) ++errorTexts[text];
        if (slot.kind == Kind::Connect) s.connecting = false;
    } else {
        switch (slot.kind) {
        case Kind::Connect:
            s.connecting = false;
            if (action != kActionConnect) wrong = "connect answered with another action";
            else if (len != kConnectLength) wrong = "connect reply not 16 bytes";
            if (wrong) break;
            std::memcpy(&s.connectionId, d + 8, 8);
            s.connected = true;
            s.connectedNs = slot.sentNs;
            ++c.connectReplies;
            break;
        case Kind::Announce:
            wrong = action != kActionAnnounce ? "announce answered with another action" : checkAnnounce(slot, d, len);
            if (!wrong) {
                ++c.announceReplies;
                markListed(slot.torrent);
                if (slot.measured) {
                    if (ListingFigures* f = figuresOf(slot)) {
                        ++f->replies;
                        f->latency.record(static_cast<uint64_t>(std::max<int64_t>(0, now - slot.sentNs)) / 1000);
                    }
                }
            }
            break;
        case Kind::Scrape:
            wrong = action != kActionScrape ? "scrape answered with another action" : checkScrape(slot, d, len);
            if (!wrong) ++c.scrapeReplies;
            break;
        }
    }
    if (wrong) malformed(slot.measured, wrong);
    const bool ok = wrong == nullptr;
    if (slot.measured && ok) histogram.record(static_cast<uint64_t>(std::max<int64_t>(0, now - slot.sentNs)) / 1000);
    release(slotIndex);
}

const char* LoadGenerator::checkAnnounce(const Slot& slot, const uint8_t* d, size_t len) const {
    if (len < kAnnounceHeader || (len - kAnnounceHeader) % kPeerEntry != 0) return "announce reply length not 20 + 6n";
    const size_t n = (len - kAnnounceHeader) / kPeerEntry;
    const uint32_t known = work.announcedIn(slot.torrent);
    size_t possible = std::min<size_t>(kMaxReplyPeers, known);
    if (options.numWant > 0) possible = std::min<size_t>(possible, static_cast<size_t>(options.numWant));
    if (n > possible) return "more peers than possible (30, num_want, peers announced)";
    const int32_t interval = static_cast<int32_t>(get32(d + 8));
    const uint64_t leechers = get32(d + 12);
    const uint64_t seeders = get32(d + 16);
    if (interval <= 0) return "announce interval not positive";
    if (leechers + seeders > known) return "more seeders and leechers than peers announced";
    const uint32_t ports = std::min(work.peersIn(slot.torrent), kPeerPortSpan);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* e = d + kAnnounceHeader + kPeerEntry * i;
        const uint32_t ip = get32(e);
        const uint16_t port = get16(e + 4);
        // Every simulated peer announces from 127.0.0.1 with a port of its torrent's range.
        if (ip != INADDR_LOOPBACK || port < kFirstPeerPort || static_cast<uint32_t>(port - kFirstPeerPort) >= ports)
            return "peer entry not one of the torrent's peers";
    }
    return nullptr;
}

const char* LoadGenerator::checkScrape(const Slot& slot, const uint8_t* d, size_t len) const {
    const size_t expected = options.compactScrape ? kScrapeHeader + kScrapeEntry * slot.count : kFixedScrapeReply;
    if (len != expected) return "scrape reply of the wrong length";
    for (uint32_t i = 0; i < slot.count; ++i) {
        const uint8_t* e = d + kScrapeHeader + kScrapeEntry * i;
        const uint64_t seeders = get32(e);
        const uint64_t leechers = get32(e + 8);
        if (seeders + leechers > work.announcedIn((slot.torrent + i) % work.torrents()))
            return "scrape counts more peers than announced";
    }
    return nullptr;
}

void LoadGenerator::malformed(bool measured, const char* reason) {
    ++countersOf(measured).malformed;
    ++malformedReasons[reason];
}

void LoadGenerator::release(uint32_t slotIndex) {
    Slot& slot = slots[slotIndex];
    slot.inUse = false;
    --socks[slot.sock].inflight;
    freeSlots.push_back(slotIndex);
}

void LoadGenerator::expire(int64_t now) {
    for (uint32_t i = 0; i < slots.size(); ++i) {
        Slot& slot = slots[i];
        if (!slot.inUse || (now != INT64_MAX && now - slot.sentNs < timeoutNs)) continue;
        ++countersOf(slot.measured).timeouts;
        if (ListingFigures* f = slot.measured ? figuresOf(slot) : nullptr) ++f->timeouts;
        if (timedOut.size() < kTimedOutKept) timedOut.insert(uint64_t{slot.tid} << 32 | slot.sock);
        if (slot.kind == Kind::Connect) socks[slot.sock].connecting = false;
        release(i);
    }
}

void LoadGenerator::report() const {
    const Counters& m = measuredCounters;
    const uint64_t replies = m.connectReplies + m.announceReplies + m.scrapeReplies + m.errorReplies;
    const double perSecond = measuredSeconds > 0 ? static_cast<double>(replies) / measuredSeconds : 0;
    std::printf(
        "sent=%" PRIu64 " announce_replies=%" PRIu64 " scrape_replies=%" PRIu64 " connect_replies=%" PRIu64
        " error_replies=%" PRIu64 " timeouts=%" PRIu64 " replies_per_s=%.0f p50_us=%" PRIu64 " p99_us=%" PRIu64
        " p999_us=%" PRIu64 " max_us=%" PRIu64 " malformed=%" PRIu64 " late=%" PRIu64 " send_failures=%" PRIu64
        " rate_backlog=%" PRIu64 " late_sends=%" PRIu64 " max_send_lag_us=%" PRId64 " seconds=%.3f setup_sent=%" PRIu64 " setup_bad=%" PRIu64 " setup_errors=%" PRIu64
        " setup_timeouts=%" PRIu64 " setup_malformed=%" PRIu64 " setup_seconds=%.3f",
        m.sent, m.announceReplies, m.scrapeReplies, m.connectReplies, m.errorReplies, m.timeouts, perSecond,
        histogram.percentile(0.5), histogram.percentile(0.99), histogram.percentile(0.999), histogram.maximum(),
        m.malformed, m.late, m.sendFailures, rateBacklog, lateSends, maxSendLagNs / 1000, measuredSeconds, setupCounters.sent, setupCounters.bad(),
        setupCounters.errorReplies, setupCounters.timeouts, setupCounters.malformed, setupSeconds);
    if (options.freshPercent > 0) {
        for (const auto& [name, f] : {std::pair{"listed", &listedFigures}, std::pair{"first", &firstFigures}}) {
            std::printf(" %s_replies=%" PRIu64 " %s_per_s=%.0f %s_timeouts=%" PRIu64 " %s_p50_us=%" PRIu64
                        " %s_p99_us=%" PRIu64 " %s_p999_us=%" PRIu64,
                        name, f->replies, name,
                        measuredSeconds > 0 ? static_cast<double>(f->replies) / measuredSeconds : 0, name,
                        f->timeouts, name, f->latency.percentile(0.5), name, f->latency.percentile(0.99), name,
                        f->latency.percentile(0.999));
        }
        std::printf(" listed_at_start=%zu listed_at_end=%zu fresh_left=%u fresh_exhausted=%d warmup_stopped=%d",
                    listedAtStart, listedTorrents.size(),
                    static_cast<unsigned>(std::count(torrentPhase.begin(), torrentPhase.end(), kTorrentUnused)),
                    freshExhausted ? 1 : 0, warmupStopped ? 1 : 0);
    }
    std::printf("\n");
    std::fflush(stdout);
    for (const auto& [text, count] : errorTexts)
        std::fprintf(stderr, "norrik-loadgen: error reply x%" PRIu64 ": %s\n", count, text.c_str());
    for (const auto& [reason, count] : malformedReasons)
        std::fprintf(stderr, "norrik-loadgen: malformed reply x%" PRIu64 ": %s\n", count, reason.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(stderr);
        return 2;
    }
    Workload work(options);
    if (options.printHashes) return work.writeHashes(std::cout) ? 0 : 1;
    if (!options.hashFile.empty()) {
        std::ofstream out(options.hashFile, std::ios::trunc);
        if (!out || !work.writeHashes(out)) {
            std::fprintf(stderr, "norrik-loadgen: cannot write %s\n", options.hashFile.c_str());
            return 1;
        }
        return 0;
    }
    // Load goes to the loopback address only, whatever the caller asks for.
    if (options.host != "127.0.0.1") {
        std::fprintf(stderr, "norrik-loadgen: refusing target %s: only 127.0.0.1 is allowed\n", options.host.c_str());
        return 2;
    }
    if (options.port == 0) {
        std::fprintf(stderr, "norrik-loadgen: --port is required\n");
        return 2;
    }
    LoadGenerator generator(options, work);
    if (!generator.open()) return 1;
    const bool completed = generator.run();
    generator.report();
    return completed ? 0 : 1;
}
