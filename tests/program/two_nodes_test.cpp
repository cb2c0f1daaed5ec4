// Two real norrik processes on one PostgreSQL database (tests/db/pg_cluster.hpp),
// as nodes of one tracker behind a load balancer: what one node is told, the
// other serves. A torrent added or removed through one node's API is served
// or refused by the other within 1 s; a peer that announced on one is handed
// out by the other, and counted in its scrapes, within 2 s; a connection
// identifier of one is accepted by the other (one secret file). And what a
// node says when it cannot start.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "db/pg_cluster.hpp"
#include "faults/fault_support.hpp"
#include "program_support.hpp"

using namespace norrik_fault;
using norrik_test::PgCluster;
using norrik_test::TempDir;
using norrik_test::writeFile;

namespace {

constexpr const char* kApiKey = "nodekey";
constexpr const char* kNotRegistered = "info_hash not registered.";

std::string nodeConfig(uint16_t udpPort, uint16_t tcpPort, const std::string& conninfo, const std::string& secret) {
    return "[apiserver]\nenable=1\nport=" + std::to_string(tcpPort) + "\nthreads=1\n\n[api.keys]\n" + kApiKey +
           "=127.0.0.1\n\n[database]\ndriver=postgresql\nconninfo=" + conninfo +
           "\n\n[tracker]\nallow_iana_ips=1\nallow_remotes=0\nannounce_interval=1800\ncleanup_interval=120\n"
           "is_dynamic=0\nlog_requests=0\nport=" +
           std::to_string(udpPort) + "\nthreads=2\nconnection_secret_file=" + secret + "\n\n";
}

struct Node {
    Node(const TempDir& dir, const std::string& name, const std::string& conninfo, const std::string& secret)
        : folder(dir.path(name)), process(folder, folder + "/norrik.conf") {
        std::filesystem::create_directories(folder);
        writeFile(folder + "/norrik.conf", nodeConfig(ports.udp, ports.tcp, conninfo, secret));
    }
    Ports ports;
    std::string folder;
    NorrikProcess process;
};

// The error text of an error reply, or nothing for any other reply.
std::optional<std::string> errorText(const Bytes& reply) {
    if (reply.size() < 8 || UdpClient::read32(reply, 0) != 3) return std::nullopt;
    return std::string(reply.begin() + 8, reply.end() - (reply.back() == 0 ? 1 : 0));
}

std::vector<uint16_t> peerPorts(const Bytes& reply) {
    std::vector<uint16_t> out;
    for (std::size_t at = 20; at + 6 <= reply.size(); at += 6) {
        out.push_back(static_cast<uint16_t>((reply[at + 4] << 8) | reply[at + 5]));
    }
    return out;
}

template <typename Done>
std::optional<std::chrono::milliseconds> within(std::chrono::milliseconds limit, Done done) {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
        if (done()) return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
}

std::string api(const Node& node, const std::string& action, const Hash& hash) {
    return httpExchange(node.ports.tcp, apiRequest(kApiKey, action, hash.hex()));
}

TEST(TwoNodes, WhatOneNodeIsToldTheOtherServes) {
    TempDir dir;
    const std::string conninfo = PgCluster::shared().freshDatabase();
    writeFile(dir.path("secret"), "the one secret of this tracker's nodes\n");
    Node a(dir, "a", conninfo, dir.path("secret"));
    Node b(dir, "b", conninfo, dir.path("secret"));
    a.process.start();
    b.process.start();
    ASSERT_TRUE(a.process.waitReady(a.ports.udp)) << a.process.output();
    ASSERT_TRUE(b.process.waitReady(b.ports.udp)) << b.process.output();

    UdpClient onA(a.ports.udp, 1000), onB(b.ports.udp, 1000);
    // Both clients are on 127.0.0.1: an identifier one node issued is good
    // for the other.
    const std::optional<uint64_t> idA = onA.connect();
    ASSERT_TRUE(idA.has_value());
    const uint64_t id = *idA;
    const Hash hash(1);
    const uint8_t seederId[20] = {'S'}, leecherId[20] = {'L'};
    auto announceOnB = [&](uint16_t port, int64_t left) {
        return onB.exchange(UdpClient::announceRequest(id, hash.bytes, leecherId, port, left, 2));
    };

    // Not registered yet: refused by both, and B accepts A's identifier.
    auto reply = announceOnB(7002, 1000);
    ASSERT_TRUE(reply.has_value()) << "node B does not accept node A's connection identifier";
    EXPECT_EQ(errorText(*reply), kNotRegistered);

    ASSERT_NE(api(a, "add", hash).find("{\"success\":true}"), std::string::npos);
    auto took = within(std::chrono::seconds(10), [&] {
        auto served = announceOnB(7002, 1000);
        return served && !errorText(*served);
    });
    ASSERT_TRUE(took) << "a torrent added through node A is not served by node B";
    figure("api_add_served_by_other_node_ms", took->count());
    EXPECT_LT(*took, std::chrono::seconds(1));

    // A seeder announces on A; B hands it out and counts it.
    reply = onA.exchange(UdpClient::announceRequest(id, hash.bytes, seederId, 7001, 0, 2));
    ASSERT_TRUE(reply && !errorText(*reply));
    took = within(std::chrono::seconds(10), [&] {
        auto served = announceOnB(7002, 1000);
        if (!served || errorText(*served)) return false;
        const std::vector<uint16_t> listed = peerPorts(*served);
        return std::find(listed.begin(), listed.end(), 7001) != listed.end();
    });
    ASSERT_TRUE(took) << "a peer that announced on node A is not handed out by node B";
    figure("peer_handed_out_by_other_node_ms", took->count());
    EXPECT_LT(*took, std::chrono::seconds(2));
    took = within(std::chrono::seconds(10), [&] {
        auto scraped = onB.exchange(UdpClient::scrapeRequest(id, {hash.bytes}));
        if (!scraped || scraped->size() < 20 || UdpClient::read32(*scraped, 0) != 2) return false;
        return UdpClient::read32(*scraped, 8) == 1 && UdpClient::read32(*scraped, 16) == 1;  // seeders, leechers
    });
    ASSERT_TRUE(took) << "node B's scrape does not count node A's seeder";
    EXPECT_LT(*took, std::chrono::seconds(2));

    ASSERT_NE(api(b, "remove", hash).find("{\"success\":true}"), std::string::npos);
    took = within(std::chrono::seconds(10), [&] {
        auto refused = onA.exchange(UdpClient::announceRequest(id, hash.bytes, seederId, 7001, 0, 2));
        return refused && errorText(*refused) == kNotRegistered;
    });
    ASSERT_TRUE(took) << "a torrent removed through node B is still served by node A";
    figure("api_remove_refused_by_other_node_ms", took->count());
    EXPECT_LT(*took, std::chrono::seconds(1));

    EXPECT_EQ(a.process.stop(), 0);
    EXPECT_EQ(b.process.stop(), 0);
}

// A node that cannot start says why and ends with status 1.
TEST(TwoNodes, ANodeThatCannotStartSaysWhy) {
    TempDir dir;
    writeFile(dir.path("secret"), "a secret that is long enough\n");
    writeFile(dir.path("short"), "tiny");
    const std::string refused =
        "host=127.0.0.1 port=" + std::to_string(freePort(SOCK_STREAM)) + " user=norrik password=hunter2 dbname=x";
    struct Case {
        const char* name;
        std::string conninfo;
        std::string secret;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"refused", refused, dir.path("secret"), "Cannot connect to the PostgreSQL server"},
        {"short", PgCluster::shared().freshDatabase(), dir.path("short"),
         "connection secret file '" + dir.path("short") + "'"},
        {"missing", PgCluster::shared().freshDatabase(), dir.path("none"), "does not exist"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = dir.path(std::string("node-") + c.name);
        std::filesystem::create_directories(folder);
        writeFile(folder + "/norrik.conf", nodeConfig(freePort(SOCK_DGRAM), freePort(SOCK_STREAM), c.conninfo, c.secret));
        norrik_test::Program program(folder, {"norrik.conf"});
        EXPECT_EQ(program.wait(), 1);
        const std::string err = program.err();
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_NE(err.find("Error While trying to start server."), std::string::npos) << err;
        EXPECT_EQ(err.find("hunter2"), std::string::npos) << err;
    }
}

}  // namespace
