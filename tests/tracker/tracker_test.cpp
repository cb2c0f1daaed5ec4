// The tracker over loopback, with the real SQLite store in a temporary
// directory. The tracker runs one worker, so requests are handled in the
// order they are sent: "no reply" is shown by sending a connect right after
// the request and getting the connect reply as the next datagram.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "settings.hpp"
#include "tracker/tracker.hpp"
#include "util/address.hpp"
#include "tracker_support.hpp"

using namespace NORRIK;
using namespace norrik_test;

namespace {

using Keys = std::vector<std::pair<std::string, std::string>>;
using Entry = std::pair<uint32_t, uint16_t>;  // address, port

std::vector<Entry> peersOf(const Bytes& reply) {
    std::vector<Entry> peers;
    for (std::size_t at = 20; at + 6 <= reply.size(); at += 6) {
        peers.emplace_back(big32(reply, at), static_cast<uint16_t>((reply[at + 4] << 8) | reply[at + 5]));
    }
    return peers;
}

std::string errorText(const Bytes& reply) {
    if (reply.size() < 9 || big32(reply, 0) != 3) return "<not an error reply>";
    return std::string(reply.begin() + 8, reply.end() - 1);
}

class TrackerTest : public ::testing::Test {
protected:
    void SetUp() override { log.emplace(dir.path("stdout.log")); }
    void TearDown() override {
        tracker.reset();
        log.reset();
    }

    void start(const Keys& keys = {}) {
        if (settings.get("database", "file").empty()) settings.set("database", "file", dir.path("tracker.db"));
        settings.set("tracker", "port", "0");
        settings.set("tracker", "threads", "1");
        settings.set("tracker", "is_dynamic", "1");
        for (const auto& [key, value] : keys) settings.set("tracker", key, value);
        tracker = std::make_unique<Tracker>(&settings);
        ASSERT_EQ(tracker->start(), 0);
        port = tracker->getPort();
        ASSERT_NE(port, 0);
    }

    // The connection identifier bytes of a connect reply.
    Bytes connect(const UdpClient& client) {
        auto reply = client.request(port, header(Bytes(8, 0x55), 0, 0xC0FFEE));
        if (!reply || reply->size() != 16 || big32(*reply, 0) != 0) {
            ADD_FAILURE() << "no connect reply";
            return Bytes(8, 0);
        }
        return Bytes(reply->begin() + 8, reply->end());
    }

    std::optional<Bytes> announce(const UdpClient& client, const Bytes& id, const Announce& a,
                                  uint32_t transaction = 0xA1) {
        return client.request(port, announceRequest(id, transaction, a));
    }

    // Announces a peer from its own client and checks the reply is one.
    void addPeer(const Announce& a) {
        UdpClient client;
        auto reply = announce(client, connect(client), a);
        ASSERT_TRUE(reply.has_value());
        ASSERT_EQ(big32(*reply, 0), 1u) << errorText(*reply);
    }

    void expectNoReply(const UdpClient& client, const Bytes& request) {
        client.send(port, request);
        auto next = client.request(port, header(Bytes(8, 0), 0, 0x9999));
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->size(), 16u);
        EXPECT_EQ(big32(*next, 0), 0u) << "the request was answered: " << errorText(*next);
        EXPECT_EQ(big32(*next, 4), 0x9999u);
    }

    TempDir dir;
    std::optional<StdoutCapture> log;
    Settings settings{dir.path("norrik.conf")};
    std::unique_ptr<Tracker> tracker;
    uint16_t port = 0;
};

TEST_F(TrackerTest, ConnectAnnounceScrapeRoundTrip) {
    start();
    UdpClient seeder, leecher;
    const Hash hash = hashOf(1);

    auto connectReply = seeder.request(port, header(Bytes{1, 2, 3, 4, 5, 6, 7, 8}, 0, 0x0BADF00D));
    ASSERT_TRUE(connectReply.has_value());
    ASSERT_EQ(connectReply->size(), 16u);
    EXPECT_EQ(big32(*connectReply, 0), 0u);
    EXPECT_EQ(big32(*connectReply, 4), 0x0BADF00Du);
    const Bytes seederId(connectReply->begin() + 8, connectReply->end());

    auto first = announce(seeder, seederId, {.infoHash = hash, .peerSeed = 1, .left = 0, .port = 6881}, 0x01020304);
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->size(), 20u);  // nobody there yet
    EXPECT_EQ(big32(*first, 0), 1u);
    EXPECT_EQ(big32(*first, 4), 0x01020304u);
    EXPECT_EQ(big32(*first, 8), 1800u);

    auto second = announce(leecher, connect(leecher), {.infoHash = hash, .peerSeed = 2, .left = 1000, .port = 6882});
    ASSERT_TRUE(second.has_value());
    ASSERT_EQ(second->size(), 26u);
    EXPECT_EQ(big32(*second, 12), 0u);  // leechers: this announce is not counted yet
    EXPECT_EQ(big32(*second, 16), 1u);  // seeders
    EXPECT_EQ(peersOf(*second), (std::vector<Entry>{{dotted(127, 0, 0, 1), 6881}}));

    auto scrape = seeder.request(port, scrapeRequest(seederId, 0xFEEDBEEF, {hash}));
    ASSERT_TRUE(scrape.has_value());
    ASSERT_EQ(scrape->size(), 1024u);
    EXPECT_EQ(big32(*scrape, 0), 2u);
    EXPECT_EQ(big32(*scrape, 4), 0xFEEDBEEFu);
    EXPECT_EQ(big32(*scrape, 8), 1u);   // seeders
    EXPECT_EQ(big32(*scrape, 12), 0u);  // completed
    EXPECT_EQ(big32(*scrape, 16), 1u);  // leechers
    EXPECT_TRUE(std::all_of(scrape->begin() + 20, scrape->end(), [](uint8_t b) { return b == 0; }));

    const std::string hex = hexOf(hash);
    ASSERT_TRUE(log->waitFor("Handling scrape: \n"));
    const std::string text = log->text();
    EXPECT_NE(text.find("Starting maintenance thread (1/2)\nStarting thread (2/2)\n"), std::string::npos);
    EXPECT_NE(text.find("Handling request\n:: 127.0.0.1:" + std::to_string(leecher.port()) + " ACTION=1\n2\n"),
              std::string::npos);
    EXPECT_NE(text.find("Announce on: " + hex + " from: 127.0.0.1\nTotal Peers: 1\nPeer: 127.0.0.1:6881\n"),
              std::string::npos);
    EXPECT_NE(text.find("Handling scrape: \n\t" + hex + " Seeders: 1 Completed: 0 Leechers: 1\n"), std::string::npos);
}

// A client that holds its announce reply must find the torrent in a scrape,
// whichever worker takes the scrape: the announce is recorded before its
// reply goes out.
TEST_F(TrackerTest, ScrapeRightAfterAFirstAnnounceFindsTheTorrent) {
    start({{"threads", "4"}});
    UdpClient announcer, scraper;
    const Bytes announcerId = connect(announcer);
    const Bytes scraperId = connect(scraper);
    for (uint8_t seed = 100; seed < 140; ++seed) {
        SCOPED_TRACE(int(seed));
        const Hash hash = hashOf(seed);
        auto reply = announce(announcer, announcerId, {.infoHash = hash, .left = 0});
        ASSERT_TRUE(reply.has_value());
        ASSERT_EQ(big32(*reply, 0), 1u);
        auto scrape = scraper.request(port, scrapeRequest(scraperId, seed, {hash}));
        ASSERT_TRUE(scrape.has_value());
        ASSERT_EQ(big32(*scrape, 0), 2u) << errorText(*scrape);
        EXPECT_EQ(big32(*scrape, 8), 1u);  // the seeder
    }
}

TEST_F(TrackerTest, NumWantBoundsThePeerList) {
    start({{"allow_remotes", "1"}});
    for (int i = 0; i < 35; ++i) addPeer({.peerSeed = static_cast<uint8_t>(i), .ip = dotted(198, 51, 100, i + 1)});

    const std::pair<int32_t, std::size_t> cases[] = {{-1, 30}, {0, 30}, {5, 5}, {1000, 30}};
    UdpClient asker;
    const Bytes id = connect(asker);
    for (auto [numWant, peers] : cases) {
        auto reply = announce(asker, id, {.peerSeed = 99, .event = 0, .numWant = numWant, .port = 7000});
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->size(), 20 + 6 * peers) << "num_want " << numWant;
    }
}

TEST_F(TrackerTest, StoppedEventListsNoPeersButIsStored) {
    start();
    addPeer({.peerSeed = 1, .port = 6881});
    UdpClient client;
    auto reply = announce(client, connect(client), {.peerSeed = 2, .left = 5, .event = 3, .port = 6882});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 20u);
    EXPECT_EQ(big32(*reply, 16), 1u);  // the torrent's counts are still given
    ASSERT_TRUE(log->waitFor("3\n"));
    EXPECT_NE(log->text().find(":: 127.0.0.1:" + std::to_string(client.port()) + " ACTION=1\n3\n"),
              std::string::npos);
    EXPECT_NE(log->text().find("Total Peers: 0\n"), std::string::npos);

    // The stopped peer was passed on to the store (which keeps its row).
    Data::PeerAddress peers[30];
    int32_t count = 30;
    tracker->getDriver()->fetchPeers(hashOf(1).data(), &count, peers);
    std::set<uint16_t> ports;
    for (int i = 0; i < count; ++i) ports.insert(peers[i].port);
    EXPECT_TRUE(ports.count(6882)) << "stopped peer not stored";
}

TEST_F(TrackerTest, EventsAreReducedBeforeLoggingAndStoring) {
    start();
    struct Case {
        uint32_t sent;
        const char* logged;
        int32_t completed;  // the store counts completions (event 1)
    };
    const Case cases[] = {{9, "0", 0}, {1, "1", 1}};
    uint8_t seed = 10;
    for (const Case& c : cases) {
        const Hash hash = hashOf(seed++);
        UdpClient client;
        auto reply = announce(client, connect(client), {.infoHash = hash, .event = c.sent});
        ASSERT_TRUE(reply.has_value());
        ASSERT_EQ(big32(*reply, 0), 1u);
        ASSERT_TRUE(log->waitFor(" ACTION=1\n" + std::string(c.logged) + "\n"));

        Data::TorrentStats stats{hash.data(), 0, 0, 0};
        auto scrape = client.request(port, scrapeRequest(connect(client), 1, {hash}));  // after the store call
        ASSERT_TRUE(scrape.has_value());
        ASSERT_TRUE(tracker->getDriver()->fetchTorrentStats(&stats));
        EXPECT_EQ(stats.completed, c.completed) << "event " << c.sent;
        EXPECT_EQ(big32(*scrape, 12), static_cast<uint32_t>(c.completed));
    }
}

TEST_F(TrackerTest, UnknownTorrentInStaticAndDynamicMode) {
    struct Case {
        const char* isDynamic;
        bool served;
    };
    for (const Case& c : {Case{"0", false}, Case{"1", true}}) {
        TearDown();
        SetUp();
        settings.set("database", "file", dir.path(std::string("mode") + c.isDynamic + ".db"));
        start({{"is_dynamic", c.isDynamic}});
        UdpClient client;
        auto reply = announce(client, connect(client), {.infoHash = hashOf(42)}, 0x77);
        ASSERT_TRUE(reply.has_value());
        if (c.served) {
            EXPECT_EQ(reply->size(), 20u);
            EXPECT_EQ(big32(*reply, 0), 1u);
        } else {
            EXPECT_EQ(errorText(*reply), "info_hash not registered.");
            EXPECT_EQ(reply->size(), 9u + 25u);
            EXPECT_EQ(big32(*reply, 4), 0x77u);
            // Registered through the store, the same announce is served.
            ASSERT_TRUE(tracker->getDriver()->insertTorrent(hashOf(42).data()));
            auto again = announce(client, connect(client), {.infoHash = hashOf(42)});
            ASSERT_TRUE(again.has_value());
            EXPECT_EQ(big32(*again, 0), 1u);
        }
    }
}

TEST_F(TrackerTest, AnnouncedAddressNeedsAllowRemotes) {
    struct Case {
        const char* allowRemotes;
        uint32_t ip;
        bool served;
        uint32_t storedAs;
    };
    const Case cases[] = {
        {"0", 0, true, dotted(127, 0, 0, 1)},
        {"0", dotted(1, 2, 3, 4), false, 0},
        {"maybe", dotted(1, 2, 3, 4), false, 0},
        {"YES", dotted(1, 2, 3, 4), true, dotted(1, 2, 3, 4)},
    };
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        settings.set("database", "file", dir.path(std::string("remotes-") + c.allowRemotes + ".db"));
        start({{"allow_remotes", c.allowRemotes}});
        UdpClient client;
        const Hash hash = hashOf(static_cast<uint8_t>(c.ip & 0xff));
        auto reply = announce(client, connect(client), {.infoHash = hash, .ip = c.ip}, 0x31);
        ASSERT_TRUE(reply.has_value());

        Data::PeerAddress peers[30];
        int32_t count = 30;
        client.request(port, header(Bytes(8, 0), 0, 5));  // the store call has run
        tracker->getDriver()->fetchPeers(hash.data(), &count, peers);
        if (c.served) {
            EXPECT_EQ(big32(*reply, 0), 1u) << errorText(*reply);
            ASSERT_EQ(count, 1);
            EXPECT_EQ(peers[0].ip, c.storedAs);
            ASSERT_TRUE(log->waitFor(" from: " + addressToText(c.storedAs) + "\n"));
        } else {
            EXPECT_EQ(errorText(*reply), "Tracker doesn't allow remote IP's; Request ignored.");
            EXPECT_EQ(big32(*reply, 4), 0x31u);
            EXPECT_EQ(count, 0) << "a refused announce was recorded";
        }
    }
}

TEST_F(TrackerTest, LocalPeersAreRewrittenForRemoteAskers) {
    struct Case {
        const char* localSubnet;
        const char* remoteIp;
        uint32_t asker;  // the announce's address field; 0 asks as the sender, 127.0.0.1
        bool rewritten;
    };
    const Case cases[] = {
        {"192.168.0", "192.168.1.0", dotted(203, 0, 113, 9), true},
        {"192.168.0", "192.168.1.0", dotted(192, 168, 0, 5), false},
        {"192.168.0", "192.168.1.0", 0, true},
        {"127.0", "192.168.1.0", 0, false},  // a prefix of the text, not a network
        {"", "192.168.1.0", dotted(203, 0, 113, 9), false},
        {"192.168.0", "not an address", dotted(203, 0, 113, 9), false},
    };
    const Entry local{dotted(192, 168, 0, 20), 6969};
    const Entry remote{dotted(198, 51, 100, 2), 7000};
    int round = 0;
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        settings.set("database", "file", dir.path("subnet" + std::to_string(round++) + ".db"));
        start({{"allow_remotes", "1"}, {"local_subnet", c.localSubnet}, {"remote_ip", c.remoteIp}});
        const Hash hash = hashOf(7);
        addPeer({.infoHash = hash, .peerSeed = 1, .ip = local.first, .port = local.second});
        addPeer({.infoHash = hash, .peerSeed = 2, .ip = remote.first, .port = remote.second});

        UdpClient asker;
        auto reply = announce(asker, connect(asker), {.infoHash = hash, .peerSeed = 3, .ip = c.asker, .port = 7001});
        ASSERT_TRUE(reply.has_value());
        std::vector<Entry> peers = peersOf(*reply);
        std::sort(peers.begin(), peers.end());
        std::vector<Entry> expected{c.rewritten ? Entry{dotted(192, 168, 1, 0), 6969} : local, remote};
        std::sort(expected.begin(), expected.end());
        const std::string what = std::string("subnet '") + c.localSubnet + "' asker " + addressToText(c.asker);
        EXPECT_EQ(peers, expected) << what;
        const std::string from = " from: " + addressToText(c.asker != 0 ? c.asker : dotted(127, 0, 0, 1)) + "\n";
        ASSERT_TRUE(log->waitFor(from)) << what;
        const std::string text = log->text();
        const std::size_t at = text.find(from);
        const std::string askerLines = text.substr(at, text.find("Handling request", at) - at);
        EXPECT_NE(askerLines.find("Peer: 198.51.100.2:7000\n"), std::string::npos) << what;
        EXPECT_EQ(askerLines.find("Peer: 192.168.1.0:6969 (changed)\n") != std::string::npos, c.rewritten) << what;
    }
}

TEST_F(TrackerTest, ReservedSourcesAreDroppedWhenIanaIpsAreNotAllowed) {
    start({{"allow_iana_ips", "False"}});
    UdpClient client;
    client.send(port, header(Bytes(8, 0), 0, 1));
    ASSERT_TRUE(log->waitFor("Handling request\n"));
    EXPECT_FALSE(client.receive(0).has_value());
    EXPECT_EQ(log->text().find(":: 127.0.0.1"), std::string::npos);
}

TEST_F(TrackerTest, ErrorRepliesCarryTheTransactionAndExactLength) {
    start();
    UdpClient client;
    const Bytes id = connect(client);
    const std::string notUnderstood = "Tracker couldn't understand Client's request.";
    struct Case {
        Bytes request;
        std::string message;
        uint32_t transaction;
    };
    Bytes hugeScrape = scrapeRequest(id, 0x85, std::vector<Hash>(85, hashOf(1)));
    Bytes shortConnect = header(id, 0, 0, 15);
    shortConnect[12] = 0xAB, shortConnect[13] = 0xCD, shortConnect[14] = 0xEF;
    const Case cases[] = {
        {header(id, 7, 0x07), notUnderstood, 0x07},
        {header(id, 1, 0x16), notUnderstood, 0x16},                 // announce of 16 bytes
        {header(id, 1, 0x97, 97), notUnderstood, 0x97},             // announce of 97 bytes
        {header(id, 3, 0x03), notUnderstood, 0x03},                 // action 3 is never a request
        {shortConnect, notUnderstood, 0xABCDEF00},                  // missing byte sent as zero
        {Bytes{0, 0, 0, 0, 0}, notUnderstood, 0},                   // 5 bytes: no transaction at all
        {header(id, 2, 0x37, 37), "Bad scrape request.", 0x37},
        {header(Bytes(8, 1), 2, 0x20, 20), "Bad scrape request.", 0x20},  // length before identifier
        {hugeScrape, "Bad scrape request.", 0x85},                  // more hashes than the reply holds
    };
    for (const Case& c : cases) {
        auto reply = client.request(port, c.request);
        ASSERT_TRUE(reply.has_value()) << c.request.size();
        EXPECT_EQ(reply->size(), 9 + c.message.size()) << c.request.size();
        EXPECT_EQ(errorText(*reply), c.message);
        EXPECT_EQ(big32(*reply, 4), c.transaction);
    }
    ASSERT_TRUE(log->waitFor(" ACTION=7\n"));
}

TEST_F(TrackerTest, ConnectionIdentifiersAreBoundToTheClientsAddress) {
    start();
    UdpClient owner, otherPort;
    const Bytes ownerId = connect(owner);
    const uint64_t portComplement = ~uint64_t{otherPort.port()};
    Bytes forged(8);
    std::memcpy(forged.data(), &portComplement, 8);
    Bytes altered = ownerId;
    altered[7] ^= 0x40;

    expectNoReply(otherPort, announceRequest(forged, 2, {}));
    expectNoReply(otherPort, scrapeRequest(forged, 4, {}));
    expectNoReply(owner, announceRequest(altered, 5, {}));
    ASSERT_TRUE(log->waitFor("scrape connection not verified\n"));

    // The owner's identifier works for the owner and from another port of
    // its address: one client process announces from several local ports,
    // and a NAT may move the port after the connect.
    for (const UdpClient* client : {&owner, &otherPort}) {
        auto reply = announce(*client, ownerId, {});
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(big32(*reply, 0), 1u) << errorText(*reply);
        auto scrape = client->request(port, scrapeRequest(ownerId, 3, {hashOf(1)}));
        ASSERT_TRUE(scrape.has_value());
        EXPECT_EQ(big32(*scrape, 0), 2u) << errorText(*scrape);
    }
}

TEST_F(TrackerTest, ScrapeFailsAsAWholeOnATorrentWithoutStatistics) {
    start();
    const Hash first = hashOf(1), missing = hashOf(2), third = hashOf(3);
    addPeer({.infoHash = first, .left = 0});
    addPeer({.infoHash = third, .left = 0});

    UdpClient client;
    const Bytes id = connect(client);
    auto reply = client.request(port, scrapeRequest(id, 0x51, {first, missing, third}));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(errorText(*reply), "Scrape Failed: couldn't retrieve torrent data");
    EXPECT_EQ(reply->size(), 54u);
    EXPECT_EQ(big32(*reply, 4), 0x51u);
    ASSERT_TRUE(log->waitFor("error getting torrent info: "));
    EXPECT_NE(log->text().find("Handling scrape: \n\t" + hexOf(first) + " Seeders: 1 Completed: 0 Leechers: 0\n" +
                               "error getting torrent info: " + hexOf(missing) + "\n"),
              std::string::npos);
    EXPECT_EQ(log->text().find("\t" + hexOf(third)), std::string::npos);

    // Without the missing one, the same hash twice gives two equal entries.
    auto ok = client.request(port, scrapeRequest(id, 0x52, {third, third}));
    ASSERT_TRUE(ok.has_value());
    ASSERT_EQ(ok->size(), 1024u);
    EXPECT_EQ(Bytes(ok->begin() + 8, ok->begin() + 20), Bytes(ok->begin() + 20, ok->begin() + 32));
    EXPECT_EQ(big32(*ok, 8), 1u);
    EXPECT_TRUE(std::all_of(ok->begin() + 32, ok->end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(TrackerTest, TeardownJoinsEveryThreadInSlotOrder) {
    start({{"threads", "3"}, {"cleanup_interval", "3600"}});
    UdpClient client;
    connect(client);
    tracker.reset();  // must not wait out the hour-long maintenance sleep
    // The connect's own lines may come out between the first join and the
    // join of the worker that handled it; leave them aside.
    std::string teardown;
    std::istringstream lines(log->text());
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("Thread (")) teardown += line + "\n";
    }
    EXPECT_EQ(teardown,
              "Thread (1/4) terminated.\nThread (2/4) terminated.\nThread (3/4) terminated.\nThread (4/4) terminated.\n");
}

TEST_F(TrackerTest, TeardownWhileRequestsAreInFlight) {
    // Workers busy in the store while the tracker goes: every one must have
    // ended before the store is destroyed (a sanitizer build shows a miss).
    start({{"threads", "4"}, {"log_requests", "no"}});
    UdpClient client;
    const Bytes id = connect(client);
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        for (uint32_t i = 0; i < 200000 && sending.load(); ++i) {
            client.send(port, announceRequest(id, i, {.infoHash = hashOf(static_cast<uint8_t>(i % 8)),
                                                      .peerSeed = static_cast<uint8_t>(i),
                                                      .port = static_cast<uint16_t>(1024 + i % 5000)}));
        }
    });
    for (int replies = 0; replies < 200 && client.receive(); ++replies) {
    }
    tracker.reset();
    sending.store(false);
    sender.join();
    EXPECT_NE(log->text().find("Thread (5/5) terminated.\n"), std::string::npos);
}

TEST_F(TrackerTest, RequestLinesCanBeSwitchedOff) {
    start({{"log_requests", "no"}});
    UdpClient client;
    connect(client);
    tracker.reset();
    const std::string text = log->text();
    EXPECT_EQ(text.find("Handling request"), std::string::npos);
    EXPECT_NE(text.find("Starting thread (2/2)\n"), std::string::npos);
    EXPECT_NE(text.find("Thread (2/2) terminated.\n"), std::string::npos);
}

TEST_F(TrackerTest, BusyPortFailsWithCode2) {
    start();
    Settings second(dir.path("second.conf"));
    second.set("tracker", "port", std::to_string(port));
    second.set("database", "file", dir.path("second.db"));
    Tracker other(&second);
    EXPECT_EQ(other.start(), 2);
    EXPECT_EQ(other.getDriver(), nullptr);
    // The first tracker keeps serving.
    UdpClient client;
    connect(client);
}

}  // namespace

TEST(TrackerConfig, FallbacksAndReadingRules) {
    struct Case {
        Keys keys;
        uint16_t port;
        int threadCount;
        bool allowRemotes, allowIana, isDynamic, logRequests;
        int32_t announce, cleanup;
    };
    const Case cases[] = {
        {{}, 6969, 6, false, true, false, true, 1800, 120},
        {{{"port", ""}, {"threads", ""}, {"announce_interval", ""}}, 6969, 6, false, true, false, true, 1800, 120},
        {{{"port", "abc"}, {"threads", "0"}}, 0, 2, false, true, false, true, 1800, 120},  // one worker at least
        {{{"port", " 7000x"}, {"threads", "+2"}}, 7000, 3, false, true, false, true, 1800, 120},
        {{{"port", "70000"}}, static_cast<uint16_t>(70000), 6, false, true, false, true, 1800, 120},
        {{{"threads", "-3"}}, 6969, 6, false, true, false, true, 1800, 120},
        {{{"threads", "254"}}, 6969, 255, false, true, false, true, 1800, 120},
        {{{"threads", "1000"}}, 6969, 255, false, true, false, true, 1800, 120},
        {{{"allow_remotes", "YES"}, {"allow_iana_ips", "maybe"}}, 6969, 6, true, true, false, true, 1800, 120},
        {{{"allow_remotes", " yes"}, {"allow_iana_ips", "False"}}, 6969, 6, false, false, false, true, 1800, 120},
        {{{"is_dynamic", "true"}, {"log_requests", "No"}}, 6969, 6, false, true, true, false, 1800, 120},
        {{{"log_requests", "off"}}, 6969, 6, false, true, false, true, 1800, 120},
        {{{"announce_interval", "-5"}, {"cleanup_interval", "0"}}, 6969, 6, false, true, false, true, 1800, 120},
        {{{"announce_interval", "0"}, {"cleanup_interval", "-1"}}, 6969, 6, false, true, false, true, 0, 120},
        {{{"announce_interval", "60s"}, {"cleanup_interval", "5"}}, 6969, 6, false, true, false, true, 60, 5},
    };
    for (const Case& c : cases) {
        Settings settings("unused.conf");
        settings.set("tracker", "present", "1");
        for (const auto& [key, value] : c.keys) settings.set("tracker", key, value);
        TrackerConfig config = TrackerConfig::fromSection(settings.getSection("tracker"));
        std::string what = c.keys.empty() ? "(empty)" : c.keys[0].first + "=" + c.keys[0].second;
        EXPECT_EQ(config.port, c.port) << what;
        EXPECT_EQ(config.threadCount, c.threadCount) << what;
        EXPECT_EQ(config.allowRemoteIps, c.allowRemotes) << what;
        EXPECT_EQ(config.allowIanaIps, c.allowIana) << what;
        EXPECT_EQ(config.isDynamic, c.isDynamic) << what;
        EXPECT_EQ(config.logRequests, c.logRequests) << what;
        EXPECT_EQ(config.announceInterval, c.announce) << what;
        EXPECT_EQ(config.cleanupInterval, c.cleanup) << what;
    }

    // No section at all reads like an empty one.
    TrackerConfig none = TrackerConfig::fromSection(nullptr);
    EXPECT_EQ(none.port, 6969);
    EXPECT_EQ(none.threadCount, 6);
    EXPECT_TRUE(none.localSubnet.empty());
    EXPECT_FALSE(none.remoteAddress.has_value());
}

TEST(TrackerConfig, ThreadCountNoteAndBindAddress) {
    struct Case {
        const char* threads;
        const char* bindAddress;
        std::string note;                    // the line start() writes, or empty
        std::optional<uint32_t> address;     // nothing: refused
    };
    const Case cases[] = {
        {"3", "", "", 0},
        {"0", "127.0.0.1", "threads=0 read as 0 workers; starting 1 worker", 0x7f000001},
        {"none", "0.0.0.0", "threads=none read as 0 workers; starting 1 worker", 0},
        {"-3", "10.1.2.3", "threads=-3 read as -3 workers; starting 5 workers", 0x0a010203},
        {"1000", "localhost", "threads=1000 read as 1000 workers; starting 254 workers", std::nullopt},
        {"1", "127.0.0.1:6969", "", std::nullopt},
        {"1", "127.1", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.threads) + " " + c.bindAddress);
        Settings settings("unused.conf");
        settings.set("tracker", "threads", c.threads);
        settings.set("tracker", "bind_address", c.bindAddress);
        TrackerConfig config = TrackerConfig::fromSection(settings.getSection("tracker"));
        EXPECT_EQ(config.threadsNote, c.note);
        EXPECT_EQ(config.bindAddress, c.address);
    }
}

TEST(TrackerConfig, ParseBoolean) {
    const std::pair<const char*, int> cases[] = {
        {"yes", 1}, {"TRUE", 1}, {"1", 1}, {"No", 0}, {"false", 0}, {"0", 0},
        {"", -1},   {" yes", -1}, {"yes ", -1}, {"on", -1}, {"2", -1},
    };
    for (auto [text, value] : cases) EXPECT_EQ(parseBoolean(text), value) << "'" << text << "'";
}
