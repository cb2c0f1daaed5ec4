#pragma once
// NORRIK::Tracker: the UDP tracker endpoint (BEP 15, IPv4).
//
// Contract:
// - Built from the Settings (section "tracker"); the constructor only reads
//   values and never fails. The Settings must outlive the tracker.
// - start() is called at most once, on the thread that also destroys the
//   tracker. It binds one UDP socket on the IPv4 address "bind_address"
//   names, or on all of them (without address reuse, so a second tracker on
//   a busy port fails instead of sharing its datagrams), creates the store
//   from section "database", and
//   launches one maintenance thread and the worker threads. Results: 0
//   running, 1 the socket could not be created, 2 it could not be bound, 3
//   the connection secret file ("connection_secret_file") cannot be used
//   (said in one line on standard error; no store is made). A
//   DatabaseException from the store's constructor passes out unchanged.
// - getDriver() is the store the tracker owns; others may borrow it while
//   the tracker lives.
// - The destructor stops every thread cooperatively (running flag, the
//   blocked receive and the maintenance sleep are woken), joins them all,
//   and only then destroys the store and closes the socket.
// - For tests and fuzzing, startWithoutNetwork() creates the store only (no
//   socket, no threads) and handleDatagram() runs the whole request path for
//   one datagram from any sender on the calling thread, handing each reply to
//   a callback instead of the socket.
// - counters() counts every datagram and what became of it (tracker_counters.hpp);
//   any thread may read it while the tracker lives.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <netinet/in.h>

#include "db/database_driver.hpp"
#include "settings.hpp"
#include "tracker/tracker_counters.hpp"

namespace NORRIK {

// The values of section "tracker" after their fallbacks.
struct TrackerConfig {
    static constexpr uint16_t kDefaultPort = 6969;
    static constexpr int kDefaultWorkers = 5;
    static constexpr int kMaxWorkers = 254;  // the thread count (workers + 1) is 8 bits
    static constexpr int32_t kDefaultAnnounceInterval = 1800;
    static constexpr int32_t kDefaultCleanupInterval = 120;

    uint16_t port = kDefaultPort;
    uint8_t threadCount = kDefaultWorkers + 1;  // maintenance thread + workers
    bool allowRemoteIps = false;
    bool allowIanaIps = true;
    int32_t announceInterval = kDefaultAnnounceInterval;
    int32_t cleanupInterval = kDefaultCleanupInterval;
    bool isDynamic = false;
    std::string localSubnet;
    std::string remoteIp;
    std::optional<uint32_t> remoteAddress;  // remoteIp read as a dotted address
    bool logRequests = true;
    // "bind_address": the host-order IPv4 address the socket is bound to;
    // absent or empty text binds all addresses. Nothing when the text is not
    // a dotted address: start() then refuses to bind rather than listen on
    // more addresses than asked.
    std::string bindAddressText;
    std::optional<uint32_t> bindAddress = 0;
    // The line that says how "threads" was read when the count started
    // differs from the number written (0, negative, too many); else empty.
    std::string threadsNote;
    // A file holding the secret that connection identifiers are made with,
    // shared by the nodes of one tracker; empty: a random key per process.
    std::string connectionSecretFile;

    // A missing section reads like an empty one.
    static TrackerConfig fromSection(const Settings::Section* section);
};

// "yes", "true", "1" give 1; "no", "false", "0" give 0 (ASCII letters in any
// case, compared whole, no trimming); empty text and anything else give -1.
int parseBoolean(std::string_view text);

// Reads like atoi: leading white space, an optional sign, digits up to the
// first other character; no digits read as 0. Saturates instead of
// overflowing.
long long parseDecimal(std::string_view text);

// An owned file descriptor, closed when its owner goes.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);
    // Gives up ownership without closing.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

class Tracker {
public:
    // Makes the store from section "database" and the dynamic flag; the
    // default opens the one that section names.
    using StoreFactory = std::function<std::unique_ptr<Data::DatabaseDriver>(Settings::Section*, bool isDynamic)>;

    explicit Tracker(Settings* settings, StoreFactory storeFactory = {});
    virtual ~Tracker();

    Tracker(const Tracker&) = delete;
    Tracker& operator=(const Tracker&) = delete;

    int start();

    Data::DatabaseDriver* getDriver() const { return driver_.get(); }
    const TrackerConfig& getConfig() const { return config_; }
    const TrackerCounters& counters() const { return counters_; }

    // The port the socket is bound to (the one the system picked when the
    // configured port is 0); the configured port before a successful start.
    uint16_t getPort() const;

    using ReplySink = std::function<void(const sockaddr_in& to, const uint8_t* data, std::size_t length)>;

    // Creates the store as start() does (a DatabaseException passes out),
    // without a socket or threads; false when the connection secret file
    // cannot be used. Use instead of start(), not with it.
    bool startWithoutNetwork();

    // Handles one datagram (1 to 2048 bytes) as a worker would, as if it came
    // from `from`; replies go to `sink`. Needs the store (start() or
    // startWithoutNetwork()). Its log lines go out in one write at the end.
    void handleDatagram(const sockaddr_in& from, const uint8_t* data, std::size_t length, const ReplySink& sink);

private:
    bool createDriver();
    void maintenanceLoop();

    // The error replies, each with its message and its counter.
    enum class ErrorReply { kNotUnderstood, kRemoteIp, kNotRegistered, kBadScrape, kScrapeFailed };

    void workerLoop(TrackerCounters::Block& counts);

    // `counts` is the block of the thread that handles the datagram.
    void handleRequest(TrackerCounters::Block& counts, const sockaddr_in& from, const uint8_t* data,
                       std::size_t length);
    void handleConnect(const sockaddr_in& from, const uint8_t* data, std::size_t length);
    void handleAnnounce(TrackerCounters::Block& counts, const sockaddr_in& from, const uint8_t* data,
                        std::size_t length);
    void handleScrape(TrackerCounters::Block& counts, const sockaddr_in& from, const uint8_t* data,
                      std::size_t length);
    void sendError(TrackerCounters::Block& counts, const sockaddr_in& to, const std::array<uint8_t, 4>& transaction,
                   ErrorReply error);
    void sendReply(const sockaddr_in& to, const uint8_t* data, std::size_t length);

    Settings* settings_;
    TrackerConfig config_;
    StoreFactory storeFactory_;
    std::unique_ptr<Data::DatabaseDriver> driver_;
    FileDescriptor socket_;
    std::atomic<bool> running_{false};
    std::vector<std::thread> threads_;  // slot 0 maintenance, then the workers
    TrackerCounters counters_;          // block i belongs to the worker in slot i + 1

    std::mutex sleepMutex_;
    std::condition_variable sleepWake_;
};

}  // namespace NORRIK
