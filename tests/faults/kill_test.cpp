// kill -9 of norrik in the middle of announce (and API) load, then a restart
// on the same database file: the file must pass integrity_check, every
// torrent the API confirmed must still be registered, and the restarted
// tracker must serve.

#include <atomic>
#include <mutex>
#include <set>

#include "fault_support.hpp"

using namespace norrik_fault;

namespace {

constexpr uint32_t kMaxAnnouncesPerRound = 50000;  // per thread; the kill comes first
constexpr uint32_t kMaxApiCallsPerRound = 5000;

// Announces on a rotating set of hashes until `stop`; counts the requests.
void announceLoad(uint16_t port, uint32_t firstHash, std::atomic<bool>& stop, std::atomic<long>& sent) {
    UdpClient client(port, 300);
    std::optional<uint64_t> id;
    uint8_t peerId[20] = {'-', 'F', 'K', '0', '0', '0', '1', '-'};
    for (uint32_t i = 0; !stop.load() && i < kMaxAnnouncesPerRound; ++i) {
        if (!id || i % 50 == 0) id = client.connect();
        if (!id) continue;
        Hash hash(firstHash + i % 40);
        peerId[19] = static_cast<uint8_t>(i);
        client.send(UdpClient::announceRequest(*id, hash.bytes, peerId, static_cast<uint16_t>(10000 + i % 500),
                                               i % 3 == 0 ? 0 : 1000, i % 4 == 0 ? 2 : 0));
        client.receive();
        sent.fetch_add(1);
    }
}

}  // namespace

TEST(FaultKill, KillNineUnderLoadKeepsTheDatabaseAndEveryConfirmedTorrent) {
    constexpr int kKills = 6;
    norrik_test::TempDir dir;
    Ports ports;
    Config config;
    config.udpPort = ports.udp;
#ifdef NORRIK_FAULTS_WITH_API
    config.tcpPort = ports.tcp;
#endif
    config.database = dir.path("tracker.db");
    config.dynamic = true;
    config.cleanupInterval = 1;  // maintenance passes run during the load too
    norrik_test::writeFile(dir.path("norrik.conf"), config.text());

    std::mt19937 random(1234);
    std::set<std::string> confirmed;  // hex hashes the API answered with success
    std::vector<Hash> confirmedHashes;
    std::atomic<long> announces{0};
    long apiCalls = 0;
    const auto began = Clock::now();

    for (int round = 0; round < kKills; ++round) {
        NorrikProcess norrik(dir.root(), dir.path("norrik.conf"));
        norrik.start();
        ASSERT_TRUE(norrik.waitReady(ports.udp)) << norrik.output();

        std::atomic<bool> stop{false};
        std::vector<std::thread> load;
        for (uint32_t t = 0; t < 2; ++t) {
            load.emplace_back(announceLoad, ports.udp, 1000u * (t + 1), std::ref(stop), std::ref(announces));
        }
#ifdef NORRIK_FAULTS_WITH_API
        std::mutex confirmedMutex;
        std::atomic<long> calls{0};
        load.emplace_back([&, round] {
            for (uint32_t i = 0; !stop.load() && i < kMaxApiCallsPerRound; ++i) {
                Hash hash(100000u * (round + 1) + i, 0x33);
                bool connected = false;
                std::string reply =
                    httpExchange(ports.tcp, apiRequest(config.apiKey, "add", hash.hex()), 2000, &connected);
                calls.fetch_add(1);
                if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                if (reply.find("{\"success\":true}") != std::string::npos) {
                    std::lock_guard<std::mutex> lock(confirmedMutex);
                    confirmed.insert(hash.hex());
                    confirmedHashes.push_back(hash);
                }
            }
        });
#endif
        std::this_thread::sleep_for(std::chrono::milliseconds(300 + random() % 700));
        norrik.kill9();
        stop.store(true);
        for (auto& t : load) t.join();
#ifdef NORRIK_FAULTS_WITH_API
        apiCalls += calls.load();
#endif

        Database db(config.database);
        ASSERT_TRUE(db.isOpen());
        EXPECT_EQ(db.integrity(), "ok") << "after kill " << round + 1;
        for (const Hash& hash : confirmedHashes) {
            EXPECT_TRUE(db.hasTorrent(hash.bytes)) << "confirmed torrent lost: " << hash.hex();
        }
    }

    // The restarted tracker serves a full round trip on the same file.
    NorrikProcess norrik(dir.root(), dir.path("norrik.conf"));
    norrik.start();
    ASSERT_TRUE(norrik.waitReady(ports.udp)) << norrik.output();
    UdpClient client(ports.udp);
    auto id = client.connect();
    ASSERT_TRUE(id);
    Hash fresh(424242);
    uint8_t peerId[20] = {'-', 'F', 'K', 'A', 'F', 'T', 'E', 'R'};
    auto reply = client.exchange(UdpClient::announceRequest(*id, fresh.bytes, peerId, 6881, 0, 2));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->size(), 20u);
    bool seen = false;
    for (int attempt = 0; attempt < 20 && !seen; ++attempt) {
        auto scrape = client.exchange(UdpClient::scrapeRequest(*id, {fresh.bytes}));
        seen = scrape && scrape->size() == 1024 && UdpClient::read32(*scrape, 8) == 1;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(seen) << "the restarted tracker did not record a new seeder";
    EXPECT_EQ(norrik.stop(), 0);
#ifdef NORRIK_FAULTS_WITH_API
    EXPECT_FALSE(confirmed.empty()) << "the API confirmed nothing, so nothing was checked";
#endif

    figure("kills", kKills);
    figure("announces_sent", announces.load());
    figure("api_calls", apiCalls);
    figure("api_confirmed", static_cast<long long>(confirmed.size()));
    figure("seconds", std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count());
}
