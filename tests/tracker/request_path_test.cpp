// The request path for senders that a loopback test cannot be: datagrams
// are handed to the tracker with a made-up sender address and the replies
// are caught before any socket, so nothing is ever sent to those addresses.
// Each call is synchronous, so the log lines of one request can be compared
// exactly.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "settings.hpp"
#include "tracker/tracker.hpp"
#include "tracker_support.hpp"
#include "util/address.hpp"

using namespace NORRIK;
using namespace norrik_test;

namespace {

sockaddr_in senderAt(uint32_t ip, uint16_t port) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(ip);
    from.sin_port = htons(port);
    return from;
}

class RequestPathTest : public ::testing::Test {
protected:
    void SetUp() override { log.emplace(dir.path("stdout.log")); }
    void TearDown() override {
        tracker.reset();
        log.reset();
    }

    void create(const std::vector<std::pair<std::string, std::string>>& keys) {
        settings.set("database", "file", dir.path("tracker.db"));
        settings.set("tracker", "is_dynamic", "1");
        for (const auto& [key, value] : keys) settings.set("tracker", key, value);
        tracker = std::make_unique<Tracker>(&settings);
        tracker->startWithoutNetwork();
    }

    struct Outcome {
        std::vector<Bytes> replies;
        std::string lines;  // the log lines of this request
    };

    Outcome handle(uint32_t ip, uint16_t port, const Bytes& datagram) {
        Outcome outcome;
        const sockaddr_in from = senderAt(ip, port);
        const std::size_t before = log->text().size();
        tracker->handleDatagram(from, datagram.data(), datagram.size(),
                                [&](const sockaddr_in& to, const uint8_t* data, std::size_t length) {
                                    EXPECT_EQ(to.sin_addr.s_addr, from.sin_addr.s_addr);
                                    EXPECT_EQ(to.sin_port, from.sin_port);
                                    outcome.replies.emplace_back(data, data + length);
                                });
        outcome.lines = log->text().substr(before);
        return outcome;
    }

    Bytes connect(uint32_t ip, uint16_t port) {
        Outcome outcome = handle(ip, port, header(Bytes(8, 0), 0, 1));
        if (outcome.replies.size() != 1 || outcome.replies[0].size() != 16) {
            ADD_FAILURE() << "no connect reply for " << addressToText(ip);
            return Bytes(8, 0);
        }
        return Bytes(outcome.replies[0].begin() + 8, outcome.replies[0].end());
    }

    TempDir dir;
    std::optional<StdoutCapture> log;
    Settings settings{dir.path("norrik.conf")};
    std::unique_ptr<Tracker> tracker;
};

TEST_F(RequestPathTest, SourceFilterDropsReservedRangesOnly) {
    struct Case {
        uint32_t ip;
        bool served;
    };
    const Case cases[] = {
        {dotted(10, 1, 2, 3), false},     {dotted(127, 0, 0, 1), false},    {dotted(0, 1, 2, 3), false},
        {dotted(224, 0, 0, 1), false},    {dotted(255, 255, 255, 255), false},
        {dotted(192, 168, 1, 5), true},   {dotted(172, 16, 0, 1), true},    {dotted(11, 0, 0, 1), true},
        {dotted(223, 255, 255, 255), true},
    };
    create({{"allow_iana_ips", "no"}});
    for (const Case& c : cases) {
        Outcome outcome = handle(c.ip, 6881, header(Bytes(8, 0), 0, 0x42));
        EXPECT_EQ(outcome.replies.size(), c.served ? 1u : 0u) << addressToText(c.ip);
        if (!c.served) {
            EXPECT_EQ(outcome.lines, "Handling request\n") << addressToText(c.ip);
        }
    }

    // With the default, reserved ranges are served.
    TearDown();
    SetUp();
    settings.set("tracker", "allow_iana_ips", "");
    create({});
    EXPECT_EQ(handle(dotted(10, 1, 2, 3), 6881, header(Bytes(8, 0), 0, 0x42)).replies.size(), 1u);
}

TEST_F(RequestPathTest, DispatchLineAndNotUnderstoodReply) {
    create({});
    Outcome outcome = handle(dotted(203, 0, 113, 7), 6969, header(Bytes(8, 0), 1, 0x0A0B0C0D));
    EXPECT_EQ(outcome.lines, "Handling request\n:: 203.0.113.7:6969 ACTION=1\n");
    ASSERT_EQ(outcome.replies.size(), 1u);
    EXPECT_EQ(outcome.replies[0].size(), 54u);
    EXPECT_EQ(big32(outcome.replies[0], 4), 0x0A0B0C0Du);

    Outcome unsignedAction = handle(dotted(203, 0, 113, 7), 6969, header(Bytes(8, 0), 0xFFFFFFFFu, 1));
    EXPECT_EQ(unsignedAction.lines, "Handling request\n:: 203.0.113.7:6969 ACTION=4294967295\n");
}

TEST_F(RequestPathTest, RemoteSenderGetsLocalPeersUnderTheConfiguredAddress) {
    // The start-up defaults: remote addresses refused, so each peer is
    // recorded under its sender address.
    create({{"allow_remotes", "0"}, {"local_subnet", "192.168.0"}, {"remote_ip", "192.168.1.0"}});
    const uint32_t localPeer = dotted(192, 168, 0, 20), otherPeer = dotted(198, 51, 100, 2);

    struct Case {
        uint32_t asker;
        const char* localPeerLine;
        uint32_t localPeerSeenAs;
    };
    const Case cases[] = {
        {dotted(203, 0, 113, 9), "Peer: 192.168.1.0:6969 (changed)\n", dotted(192, 168, 1, 0)},
        {dotted(192, 168, 0, 5), "Peer: 192.168.0.20:6969\n", localPeer},
        {dotted(192, 168, 10, 5), "Peer: 192.168.1.0:6969 (changed)\n", dotted(192, 168, 1, 0)},
    };
    uint8_t seed = 20;
    for (const Case& c : cases) {
        const Hash hash = hashOf(seed++);  // a swarm of the two peers only
        for (uint32_t ip : {localPeer, otherPeer}) {
            Outcome stored = handle(ip, 6969, announceRequest(connect(ip, 6969), 1, {.infoHash = hash, .port = 6969}));
            ASSERT_EQ(stored.replies.size(), 1u);
        }
        Outcome outcome = handle(c.asker, 7001, announceRequest(connect(c.asker, 7001), 2, {.infoHash = hash, .port = 7001}));
        ASSERT_EQ(outcome.replies.size(), 1u);
        const Bytes& reply = outcome.replies[0];
        ASSERT_EQ(reply.size(), 32u) << outcome.lines;
        std::vector<uint32_t> addresses{big32(reply, 20), big32(reply, 26)};
        std::sort(addresses.begin(), addresses.end());
        std::vector<uint32_t> expected{c.localPeerSeenAs, otherPeer};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(addresses, expected) << addressToText(c.asker);
        EXPECT_NE(outcome.lines.find("Announce on: " + hexOf(hash) + " from: " + addressToText(c.asker) +
                                     "\nTotal Peers: 2\n"),
                  std::string::npos)
            << outcome.lines;
        EXPECT_NE(outcome.lines.find(c.localPeerLine), std::string::npos) << outcome.lines;
        EXPECT_NE(outcome.lines.find("Peer: 198.51.100.2:6969\n"), std::string::npos) << outcome.lines;
    }
}

// Trackers given one connection secret file accept each other's connection
// identifiers (nodes behind one address); a tracker without it, or with
// another secret, does not. A secret file that cannot be used stops the
// start, with a line naming it.
TEST(ConnectionSecretFile, SharedByTrackersThatAcceptEachOthersIdentifiers) {
    TempDir dir;
    StdoutCapture out(dir.path("stdout.log"));
    writeFile(dir.path("secret"), "one secret for every node of this tracker\n");
    writeFile(dir.path("other"), "a secret of another tracker, long enough\n");
    writeFile(dir.path("short"), "abc");

    struct Node {
        explicit Node(const std::string& file) : settings(file) {}
        Settings settings;
        std::unique_ptr<Tracker> tracker;
    };
    auto node = [&](const std::string& name, const std::string& secret) {
        auto made = std::make_unique<Node>(dir.path(name + ".conf"));
        made->settings.set("database", "file", dir.path(name + ".db"));
        made->settings.set("tracker", "is_dynamic", "1");
        if (!secret.empty()) made->settings.set("tracker", "connection_secret_file", secret);
        made->tracker = std::make_unique<Tracker>(&made->settings);
        return made;
    };
    auto exchange = [](Tracker& tracker, const Bytes& datagram) {
        std::vector<Bytes> replies;
        tracker.handleDatagram(senderAt(dotted(198, 51, 100, 7), 6881), datagram.data(), datagram.size(),
                               [&](const sockaddr_in&, const uint8_t* data, std::size_t length) {
                                   replies.emplace_back(data, data + length);
                               });
        return replies;
    };

    auto issuer = node("issuer", dir.path("secret"));
    ASSERT_TRUE(issuer->tracker->startWithoutNetwork());
    const std::vector<Bytes> connected = exchange(*issuer->tracker, header(Bytes(8, 0), 0, 1));
    ASSERT_EQ(connected.size(), 1u);
    const Bytes id(connected[0].begin() + 8, connected[0].end());

    struct Case {
        const char* name;
        std::string secret;
        bool accepted;
    };
    const Case cases[] = {
        {"peer", dir.path("secret"), true},
        {"random", "", false},
        {"stranger", dir.path("other"), false},
    };
    for (const Case& c : cases) {
        auto other = node(c.name, c.secret);
        ASSERT_TRUE(other->tracker->startWithoutNetwork()) << c.name;
        const std::vector<Bytes> replies = exchange(*other->tracker, announceRequest(id, 2, {}));
        ASSERT_EQ(replies.size(), c.accepted ? 1u : 0u) << c.name;
        if (c.accepted) {
            EXPECT_EQ(big32(replies[0], 0), 1u) << c.name;
        }
    }

    StdoutCapture err(dir.path("stderr.log"), STDERR_FILENO);
    for (const char* unusable : {"missing", "short"}) {
        auto failing = node(std::string("failing-") + unusable, dir.path(unusable));
        failing->settings.set("tracker", "port", "0");
        EXPECT_EQ(failing->tracker->start(), 3) << unusable;
        EXPECT_EQ(failing->tracker->getDriver(), nullptr) << unusable;
        EXPECT_FALSE(failing->tracker->startWithoutNetwork()) << unusable;
        EXPECT_NE(err.text().find("'" + dir.path(unusable) + "'"), std::string::npos) << err.text();
    }
}

// Each outcome of a datagram raises the datagram count, the count of the
// handler it reached (if any) and the count of that outcome, and nothing else.
TEST_F(RequestPathTest, EachOutcomeIsCountedUnderItsKind) {
    create({{"is_dynamic", "0"}, {"allow_iana_ips", "no"}, {"allow_remotes", "0"}});
    const uint32_t client = dotted(203, 0, 113, 7);
    const Hash registered = hashOf(1), unknown = hashOf(2);
    ASSERT_TRUE(tracker->getDriver()->insertTorrent(registered.data()));
    const Bytes id = connect(client, 6881);
    const Bytes badId(8, 0x5a);
    using C = TrackerCounters;

    struct Case {
        const char* name;
        uint32_t sender;
        Bytes datagram;
        std::vector<C::Counter> raised;  // besides kDatagrams
        bool replied;
    };
    const Case cases[] = {
        {"connect", client, header(Bytes(8, 0), 0, 1), {C::kConnects}, true},
        {"reserved source", dotted(10, 1, 2, 3), header(Bytes(8, 0), 0, 1), {C::kDroppedSourceFilter}, false},
        {"unknown action", client, header(id, 7, 1), {C::kErrorNotUnderstood}, true},
        {"announce too short", client, header(id, 1, 1), {C::kErrorNotUnderstood}, true},
        {"announce", client, announceRequest(id, 1, {.infoHash = registered}), {C::kAnnounces}, true},
        {"announce, identifier refused", client, announceRequest(badId, 1, {.infoHash = registered}),
         {C::kAnnounces, C::kDroppedConnectionId}, false},
        {"announce naming another address", client,
         announceRequest(id, 1, {.infoHash = registered, .ip = dotted(198, 51, 100, 1)}),
         {C::kAnnounces, C::kErrorRemoteIp}, true},
        {"announce, torrent not registered", client, announceRequest(id, 1, {.infoHash = unknown}),
         {C::kAnnounces, C::kErrorNotRegistered}, true},
        {"scrape", client, scrapeRequest(id, 1, {registered}), {C::kScrapes}, true},
        {"scrape too short", client, header(id, 2, 9, 12), {C::kScrapes, C::kErrorBadScrape}, true},
        {"scrape, identifier refused", client, scrapeRequest(badId, 1, {registered}),
         {C::kScrapes, C::kDroppedConnectionId}, false},
        {"scrape of an unknown torrent", client, scrapeRequest(id, 1, {registered, unknown}),
         {C::kScrapes, C::kErrorScrapeFailed}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const C::Totals before = tracker->counters().totals();
        Outcome outcome = handle(c.sender, 6881, c.datagram);
        EXPECT_EQ(outcome.replies.size(), c.replied ? 1u : 0u);
        C::Totals expected = before;
        ++expected[C::kDatagrams];
        for (C::Counter counter : c.raised) ++expected[counter];
        EXPECT_EQ(tracker->counters().totals(), expected);
    }
}

}  // namespace
