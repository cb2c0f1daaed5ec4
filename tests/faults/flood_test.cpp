// Floods of hostile input: random and truncated datagrams, malformed HTTP
// requests. The process must stay up, its memory must not grow beyond a
// bound, and a normal client must be served correctly afterwards.

#include "fault_support.hpp"

using namespace norrik_fault;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer runtimes hold freed memory in quarantine: resident size says
// nothing about leaks there (leaks are the sanitizer's own job).
constexpr bool kMeasureMemory = false;
#else
constexpr bool kMeasureMemory = true;
#endif
constexpr long kMaxGrowthKb = 8 * 1024;

struct Tracker {
    norrik_test::TempDir dir;
    Ports ports;
    Config config;
    NorrikProcess norrik{dir.root(), dir.path("norrik.conf")};

    Tracker() {
        config.udpPort = ports.udp;
#ifdef NORRIK_FAULTS_WITH_API
        config.tcpPort = ports.tcp;
#endif
        config.database = dir.path("tracker.db");
        config.dynamic = true;
        norrik_test::writeFile(dir.path("norrik.conf"), config.text());
    }
};

// A normal client's round trip, checked field by field.
void expectNormalService(uint16_t port, uint32_t n) {
    UdpClient client(port);
    auto id = client.connect(0xCAFE0000 + n);
    ASSERT_TRUE(id) << "no connect reply";
    Hash hash(900000 + n);
    uint8_t peerId[20] = {'-', 'F', 'N', 'O', 'R', 'M'};
    auto reply = client.exchange(UdpClient::announceRequest(*id, hash.bytes, peerId, 6881, 0, 2, 50, 0x0BADF00D));
    ASSERT_TRUE(reply) << "no announce reply";
    ASSERT_EQ(reply->size(), 20u);
    EXPECT_EQ(UdpClient::read32(*reply, 0), 1u);
    EXPECT_EQ(UdpClient::read32(*reply, 4), 0x0BADF00Du);
    EXPECT_EQ(UdpClient::read32(*reply, 8), 1800u);
    bool seen = false;
    for (int attempt = 0; attempt < 30 && !seen; ++attempt) {
        auto scrape = client.exchange(UdpClient::scrapeRequest(*id, {hash.bytes}, 0x11223344));
        ASSERT_TRUE(scrape) << "no scrape reply";
        EXPECT_EQ(UdpClient::read32(*scrape, 4), 0x11223344u);
        // Until the store has recorded the announce (just after its reply),
        // the torrent has no statistics and the scrape is refused.
        if (UdpClient::read32(*scrape, 0) == 3) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        ASSERT_EQ(scrape->size(), 1024u);
        seen = UdpClient::read32(*scrape, 8) == 1;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(seen) << "the announce was not recorded";
}

// Checks every reply to the flood for the length rules of its kind.
struct ReplyCheck {
    long replies = 0;
    long badLength = 0;
    void operator()(const Bytes& reply) {
        ++replies;
        if (reply.size() < 8) {
            ++badLength;
            return;
        }
        const uint32_t action = UdpClient::read32(reply, 0);
        const std::size_t n = reply.size();
        const bool ok = (action == 0 && n == 16) || (action == 1 && n >= 20 && n <= 200 && (n - 20) % 6 == 0) ||
                        (action == 2 && n == 1024) || (action == 3 && n >= 9 && reply.back() == 0);
        if (!ok) ++badLength;
    }
};

}  // namespace

TEST(FaultFlood, RandomAndTruncatedDatagrams) {
    constexpr long kDatagrams = 30000;
    Tracker t;
    t.norrik.start();
    ASSERT_TRUE(t.norrik.waitReady(t.ports.udp)) << t.norrik.output();
    expectNormalService(t.ports.udp, 0);

    UdpClient flood(t.ports.udp, 500);
    auto id = flood.connect();
    ASSERT_TRUE(id);
    Hash hash(7);
    uint8_t peerId[20] = {'-', 'F', 'F', 'L'};
    const Bytes announce = UdpClient::announceRequest(*id, hash.bytes, peerId, 6881, 100, 2);
    Hash second(8);
    const Bytes scrape = UdpClient::scrapeRequest(*id, {hash.bytes, second.bytes});
    Bytes connectRequest(announce.begin(), announce.begin() + 16);
    connectRequest[8] = connectRequest[9] = connectRequest[10] = connectRequest[11] = 0;

    std::mt19937 random(4321);
    ReplyCheck check;
    auto collect = [&] {
        while (auto reply = [&]() -> std::optional<Bytes> {
            flood.setTimeout(20);
            return flood.receive();
        }()) {
            check(*reply);
        }
    };

    // Warm up the paths once so the memory baseline includes their caches.
    for (int i = 0; i < 2000; ++i) flood.send(i % 2 ? announce : scrape);
    collect();
    const long rssBefore = t.norrik.rssKb();
    const int fdsBefore = t.norrik.openFds();
    const auto began = Clock::now();

    for (long i = 0; i < kDatagrams; ++i) {
        Bytes datagram;
        switch (i % 5) {
            case 0: {  // random bytes of any length up to past the receive buffer
                datagram.resize(random() % 2200);
                for (auto& b : datagram) b = static_cast<uint8_t>(random());
                break;
            }
            case 1: {  // a truncated (or padded) announce
                datagram = announce;
                datagram.resize(random() % 120);
                break;
            }
            case 2: {  // a scrape of any length, valid or not
                datagram = scrape;
                datagram.resize(16 + random() % 2100, static_cast<uint8_t>(random()));
                break;
            }
            case 3: {  // a short connect, the header alone or less
                datagram = connectRequest;
                datagram.resize(random() % 17);
                break;
            }
            default: {  // a valid header with a random action and a random tail
                datagram = announce;
                const uint32_t action = random();
                for (int k = 0; k < 4; ++k) datagram[8 + k] = static_cast<uint8_t>(action >> (24 - 8 * k));
                for (std::size_t k = 16; k < datagram.size(); ++k) datagram[k] = static_cast<uint8_t>(random());
                break;
            }
        }
        if (datagram.empty()) datagram.push_back(0);  // an empty datagram tells nothing
        flood.send(datagram);
        if (i % 200 == 199) collect();  // keep the rate bounded by the tracker's pace
        if (i % 5000 == 4999) {
            ASSERT_TRUE(t.norrik.alive()) << t.norrik.output();
        }
    }
    collect();
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

    ASSERT_TRUE(t.norrik.alive()) << t.norrik.output();
    const long rssAfter = t.norrik.rssKb();
    const int fdsAfter = t.norrik.openFds();
    EXPECT_EQ(check.badLength, 0) << "replies that break their kind's length rule";
    // The store opens a reader connection (database, log and index files)
    // for each thread reading at once; beyond those nothing may stay open.
    EXPECT_LE(fdsAfter, fdsBefore + 3 * (t.config.trackerThreads + 1));
    if (kMeasureMemory) {
        EXPECT_LT(rssAfter - rssBefore, kMaxGrowthKb);
    }
    expectNormalService(t.ports.udp, 1);
    EXPECT_EQ(t.norrik.stop(), 0);

    figure("datagrams", kDatagrams);
    figure("replies", check.replies);
    figure("seconds", std::to_string(seconds));
    figure("rss_before_kb", rssBefore);
    figure("rss_after_kb", rssAfter);
    figure("fds_before", fdsBefore);
    figure("fds_after", fdsAfter);
}

#ifdef NORRIK_FAULTS_WITH_API
TEST(FaultFlood, MalformedHttpRequests) {
    constexpr long kRequests = 1500;
    Tracker t;
    t.norrik.start();
    ASSERT_TRUE(t.norrik.waitReady(t.ports.udp)) << t.norrik.output();

    const std::string valid = apiRequest(t.config.apiKey, "add", Hash(1).hex());
    std::mt19937 random(777);
    auto randomText = [&](std::size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = static_cast<char>(random());
        return s;
    };
    const std::vector<std::string> shapes = {
        "GET/ HTTP/1.1\r\n\r\n",
        "GET /a b HTTP/1.1\r\n\r\n",
        "GET /../../etc/passwd HTTP/1.1\r\n\r\n",
        "GET /api?auth=&action=add HTTP/1.1\r\n\r\n",
        "GET /api?auth=faultkey&action=add&hash=%%%% HTTP/1.1\r\n\r\n",
        "GET /api?" + std::string(3000, '&') + " HTTP/1.1\r\n\r\n",
        "GET / HTTP/1.1\r\nHost:example\r\n: x\r\nCookie: a=b;;;=;c\r\n\r\n",
        "GET / HTTP/1.1\r\n" + std::string(2100, 'H') + "\r\n\r\n",
        "\r\n\r\n",
        "GET",
    };

    for (int i = 0; i < 200; ++i) httpExchange(t.ports.tcp, valid, 2000);  // warm-up
    const long rssBefore = t.norrik.rssKb();
    const int fdsBefore = t.norrik.openFds();
    const auto began = Clock::now();
    long answered = 0, closedSilently = 0;
    for (long i = 0; i < kRequests; ++i) {
        std::string request;
        switch (i % 4) {
            case 0: request = randomText(1 + random() % 3000); break;
            case 1: request = valid.substr(0, random() % valid.size()); break;
            case 2: request = shapes[static_cast<std::size_t>(i / 4) % shapes.size()]; break;
            default: {
                request = valid;
                for (int k = 0; k < 4; ++k) request[random() % request.size()] = static_cast<char>(random());
                break;
            }
        }
        // Short reads: a request cut off early waits for the server's
        // receive timeout, so only some of them are left hanging.
        std::string reply = httpExchange(t.ports.tcp, request, 200);
        (reply.empty() ? closedSilently : answered)++;
        if (i % 500 == 499) {
            ASSERT_TRUE(t.norrik.alive()) << t.norrik.output();
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    ASSERT_TRUE(t.norrik.alive()) << t.norrik.output();
    std::this_thread::sleep_for(std::chrono::seconds(6));  // idle connections time out
    const long rssAfter = t.norrik.rssKb();
    const int fdsAfter = t.norrik.openFds();
    EXPECT_LE(fdsAfter, fdsBefore + 3 * (t.config.trackerThreads + t.config.apiThreads + 1));
    if (kMeasureMemory) {
        EXPECT_LT(rssAfter - rssBefore, kMaxGrowthKb);
    }

    // A normal API client and a normal tracker client are served.
    Hash added(2);
    std::string reply = httpExchange(t.ports.tcp, apiRequest(t.config.apiKey, "add", added.hex()));
    EXPECT_NE(reply.find("{\"success\":true}"), std::string::npos) << reply;
    expectNormalService(t.ports.udp, 2);
    EXPECT_EQ(t.norrik.stop(), 0);

    figure("requests", kRequests);
    figure("answered", answered);
    figure("closed_without_reply", closedSilently);
    figure("seconds", std::to_string(seconds));
    figure("rss_before_kb", rssBefore);
    figure("rss_after_kb", rssAfter);
    figure("fds_before", fdsBefore);
    figure("fds_after", fdsAfter);
}
#endif

#ifdef NORRIK_FAULTS_WITH_API
// Connections that send nothing hold an HTTP worker until its receive
// timeout (5 s); a normal request queued behind them must still be served,
// after at most the timeouts of the idle ones ahead of it.
TEST(FaultFlood, IdleHttpConnectionsDelayButDoNotStopTheApi) {
    constexpr int kIdle = 4;
    constexpr int kTimeoutSeconds = 5;
    Tracker t;
    t.norrik.start();
    ASSERT_TRUE(t.norrik.waitReady(t.ports.udp)) << t.norrik.output();

    std::vector<int> idle;
    for (int i = 0; i < kIdle; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(t.ports.tcp);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        idle.push_back(fd);
    }
    const auto began = Clock::now();
    const int bound = (kIdle / t.config.apiThreads + 1) * kTimeoutSeconds + 5;
    std::string reply = httpExchange(t.ports.tcp, apiRequest(t.config.apiKey, "add", Hash(5).hex()), bound * 1000);
    const double waited = std::chrono::duration<double>(Clock::now() - began).count();
    for (int fd : idle) ::close(fd);
    EXPECT_NE(reply.find("{\"success\":true}"), std::string::npos) << "not served within " << bound << " s";
    EXPECT_TRUE(t.norrik.alive());
    EXPECT_EQ(t.norrik.stop(), 0);

    figure("idle_connections", kIdle);
    figure("api_workers", t.config.apiThreads);
    figure("seconds_until_served", std::to_string(waited));
}
#endif
