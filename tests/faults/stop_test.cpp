// A stop signal while announces are still queued for the database: every
// announce that was answered must be in the file afterwards, and a stop
// while another program holds the database's lock ends within a bounded
// time, saying what it could not store.

#include <condition_variable>

#include "fault_support.hpp"

using namespace norrik_fault;

namespace {

constexpr uint32_t kAnnounces = 500;
constexpr uint32_t kTorrents = 5;

// Announces `kAnnounces` distinct peers with event "completed" over
// kTorrents torrents; the number answered.
uint32_t completedAnnounces(uint16_t port) {
    UdpClient client(port, 2000);
    uint32_t answered = 0;
    std::optional<uint64_t> id;
    uint8_t peerId[20] = {'-', 'F', 'S', 'T'};
    for (uint32_t i = 0; i < kAnnounces; ++i) {
        if (!id || i % 50 == 0) id = client.connect();
        if (!id) continue;
        Hash hash(900 + i % kTorrents);
        peerId[18] = static_cast<uint8_t>(i >> 8);
        peerId[19] = static_cast<uint8_t>(i);
        auto reply = client.exchange(
            UdpClient::announceRequest(*id, hash.bytes, peerId, static_cast<uint16_t>(20000 + i), 0, 1));
        if (reply && reply->size() >= 20 && UdpClient::read32(*reply, 0) == 1) ++answered;
    }
    return answered;
}

// Waits up to `timeoutMs` for the process to end; its exit status, or -1.
int waitForExit(NorrikProcess& norrik, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (!norrik.alive()) return norrik.exitStatus();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

struct Stopped {
    norrik_test::TempDir dir;
    Ports ports;
    Config config;
    std::unique_ptr<NorrikProcess> norrik;

    Stopped() {
        config.udpPort = ports.udp;
        config.database = dir.path("tracker.db");
        config.trackerThreads = 3;
        norrik_test::writeFile(dir.path("norrik.conf"), config.text());
        norrik = std::make_unique<NorrikProcess>(dir.root(), dir.path("norrik.conf"));
        norrik->start();
    }
};

}  // namespace

TEST(FaultStop, SigtermStoresEveryAnsweredAnnounce) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        Stopped stopped;
        ASSERT_TRUE(stopped.norrik->waitReady(stopped.ports.udp)) << stopped.norrik->output();
        const uint32_t answered = completedAnnounces(stopped.ports.udp);
        ASSERT_EQ(answered, kAnnounces);
        ::kill(stopped.norrik->pid(), SIGTERM);  // at once: the last rows are still queued
        ASSERT_EQ(waitForExit(*stopped.norrik, 20000), 0) << stopped.norrik->output();
        EXPECT_NE(stopped.norrik->output().find("Goodbye."), std::string::npos);

        Database db(stopped.config.database);
        long peers = 0, completed = 0;
        for (uint32_t t = 0; t < kTorrents; ++t) {
            Hash hash(900 + t);
            peers += std::stol(db.scalar("SELECT COUNT(*) FROM 't" + hash.hex() + "'"));
            completed += std::stol(db.scalar("SELECT completed FROM stats WHERE info_hash=?", hash.bytes));
        }
        EXPECT_EQ(peers, static_cast<long>(answered)) << "answered announces are missing from the file";
        EXPECT_EQ(completed, static_cast<long>(answered)) << "answered downloads are missing from the counts";
    }
}

// The lock is held for longer than the store tries to store at a stop (10 s):
// the stop ends anyway, cleanly, and says what it could not store.
TEST(FaultStop, StopWhileTheDatabaseIsLockedIsBoundedAndSaysWhatIsLost) {
    Stopped stopped;
    ASSERT_TRUE(stopped.norrik->waitReady(stopped.ports.udp)) << stopped.norrik->output();
    ASSERT_EQ(completedAnnounces(stopped.ports.udp), kAnnounces);  // registers the torrents
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // stored

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open_v2(stopped.config.database.c_str(), &holder, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(completedAnnounces(stopped.ports.udp), kAnnounces);  // answered from memory, queued

    const auto stoppedAt = Clock::now();
    ::kill(stopped.norrik->pid(), SIGTERM);
    const int status = waitForExit(*stopped.norrik, 30000);
    const auto took = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - stoppedAt).count();
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(status, 0) << stopped.norrik->output();
    EXPECT_LE(took, 20) << "the stop waited for the lock without bound";
    const std::string output = stopped.norrik->output();
    EXPECT_NE(output.find("Store: stopping with "), std::string::npos) << output;
    EXPECT_NE(output.find("not stored"), std::string::npos) << output;
    figure("stop_seconds_under_lock", took);
}
