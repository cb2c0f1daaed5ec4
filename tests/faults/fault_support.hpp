#pragma once
// Helpers for the fault tests: run the real norrik binary on a settings file
// in a private directory, talk to it over 127.0.0.1 as a UDP client and an
// HTTP client, watch its memory and descriptors, and report figures.
//
// Every figure a test reports is printed as "[figure] <test> <name>=<value>"
// so scripts/reliability can collect them from a real run.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "test_support.hpp"

namespace norrik_fault {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline void figure(const std::string& name, const std::string& value) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string test = info ? std::string(info->test_suite_name()) + "." + info->name() : "?";
    std::printf("[figure] %s %s=%s\n", test.c_str(), name.c_str(), value.c_str());
    std::fflush(stdout);
    ::testing::Test::RecordProperty(name, value);
}
inline void figure(const std::string& name, long long value) { figure(name, std::to_string(value)); }

using norrik_test::freePort;

// Both protocols free on the same number would be nicer, but the tracker and
// the API server take separate ports here.
struct Ports {
    uint16_t udp = freePort(SOCK_DGRAM);
    uint16_t tcp = freePort(SOCK_STREAM);
};

struct Config {
    uint16_t udpPort = 0;
    uint16_t tcpPort = 0;  // 0: API server disabled
    std::string database;  // path of the database file
    bool dynamic = true;
    int trackerThreads = 2;
    int apiThreads = 2;
    int cleanupInterval = 120;
    std::string apiKey = "faultkey";

    std::string text() const {
        std::ostringstream out;
        out << "[apiserver]\nenable=" << (tcpPort ? 1 : 0) << "\nport=" << tcpPort << "\nthreads=" << apiThreads
            << "\n\n[api.keys]\n" << apiKey << "=127.0.0.1\n\n[database]\ndriver=sqlite3\nfile=" << database
            << "\n\n[tracker]\nallow_iana_ips=1\nallow_remotes=1\nannounce_interval=1800\ncleanup_interval="
            << cleanupInterval << "\nis_dynamic=" << (dynamic ? 1 : 0)
            << "\nlocal_subnet=192.168.0\nlog_requests=0\nport=" << udpPort << "\nremote_ip=192.168.1.0\nthreads="
            << trackerThreads << "\n\n";
        return out.str();
    }
};

// A UDP client on 127.0.0.1 with a bounded wait for each reply.
class UdpClient {
public:
    explicit UdpClient(uint16_t serverPort, int timeoutMs = 2000) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        server_.sin_family = AF_INET;
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server_.sin_port = htons(serverPort);
        setTimeout(timeoutMs);
    }
    ~UdpClient() { ::close(fd_); }
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    void setTimeout(int timeoutMs) {
        timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }

    void send(const Bytes& datagram) {
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&server_),
                 sizeof server_);
    }

    // One reply, or nothing when none came within the timeout.
    std::optional<Bytes> receive() {
        Bytes buffer(4096);
        ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (got < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(got));
        return buffer;
    }

    // Reads and drops replies until none arrives for `quietMs`; returns how many.
    int drain(int quietMs = 50) {
        int count = 0;
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, quietMs) > 0) {
            char buffer[4096];
            if (::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT) < 0) break;
            ++count;
        }
        return count;
    }

    std::optional<Bytes> exchange(const Bytes& datagram) {
        send(datagram);
        return receive();
    }

    std::optional<uint64_t> connect(uint32_t transaction = 0x01020304) {
        Bytes request = header(0x41727101980ull, 0, transaction, true);
        auto reply = exchange(request);
        if (!reply || reply->size() != 16 || read32(*reply, 0) != 0) return std::nullopt;
        uint64_t id;
        std::memcpy(&id, reply->data() + 8, 8);
        return id;
    }

    static Bytes announceRequest(uint64_t connectionId, const uint8_t* hash, const uint8_t* peerId, uint16_t port,
                                 int64_t left, uint32_t event, int32_t numWant = -1, uint32_t transaction = 7) {
        Bytes out = header(connectionId, 1, transaction, false);
        out.insert(out.end(), hash, hash + 20);
        out.insert(out.end(), peerId, peerId + 20);
        put64(out, 0);
        put64(out, static_cast<uint64_t>(left));
        put64(out, 0);
        put32(out, event);
        put32(out, 0);  // ip: the sender's own
        put32(out, 0);  // key
        put32(out, static_cast<uint32_t>(numWant));
        out.push_back(static_cast<uint8_t>(port >> 8));
        out.push_back(static_cast<uint8_t>(port));
        return out;
    }

    static Bytes scrapeRequest(uint64_t connectionId, const std::vector<const uint8_t*>& hashes,
                               uint32_t transaction = 9) {
        Bytes out = header(connectionId, 2, transaction, false);
        for (const uint8_t* h : hashes) out.insert(out.end(), h, h + 20);
        return out;
    }

    static uint32_t read32(const Bytes& b, std::size_t at) {
        return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
    }

private:
    static void put32(Bytes& out, uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
    }
    static void put64(Bytes& out, uint64_t v) {
        for (int s = 56; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
    }
    // The connection identifier travels as raw host bytes, except the connect
    // request's fixed protocol constant, which is big-endian.
    static Bytes header(uint64_t connectionId, uint32_t action, uint32_t transaction, bool bigEndianId) {
        Bytes out;
        if (bigEndianId) {
            put64(out, connectionId);
        } else {
            out.resize(8);
            std::memcpy(out.data(), &connectionId, 8);
        }
        put32(out, action);
        put32(out, transaction);
        return out;
    }

    int fd_ = -1;
    sockaddr_in server_{};
};

// One HTTP exchange with 127.0.0.1:port: sends `request`, reads until the
// server closes or `timeoutMs` passes. Empty text when nothing came back.
inline std::string httpExchange(uint16_t port, const std::string& request, int timeoutMs = 5000,
                                bool* connected = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (connected) *connected = ok;
    std::string reply;
    if (ok) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[4096];
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            reply.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    return reply;
}

inline std::string apiRequest(const std::string& key, const std::string& action, const std::string& hashHex) {
    return "GET /api?auth=" + key + "&action=" + action + "&hash=" + hashHex + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

inline std::string hexOf(const uint8_t* hash) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 20; ++i) {
        out += digits[hash[i] >> 4];
        out += digits[hash[i] & 15];
    }
    return out;
}

// Deterministic 20-byte hashes: hash(i) differs for every i.
struct Hash {
    uint8_t bytes[20];
    explicit Hash(uint32_t i, uint8_t salt = 0x5a) {
        for (int k = 0; k < 20; ++k) bytes[k] = static_cast<uint8_t>(salt + k * 7);
        bytes[0] = static_cast<uint8_t>(i >> 24);
        bytes[1] = static_cast<uint8_t>(i >> 16);
        bytes[2] = static_cast<uint8_t>(i >> 8);
        bytes[3] = static_cast<uint8_t>(i);
    }
    std::string hex() const { return hexOf(bytes); }
};

// The norrik binary run in the foreground in `dir` with the settings file
// `conf`: its standard input is a pipe held open until stop(), its output
// goes to dir/norrik.out.
class NorrikProcess {
public:
    NorrikProcess(std::string dir, std::string conf) : dir_(std::move(dir)), conf_(std::move(conf)) {}
    ~NorrikProcess() {
        if (pid_ > 0) kill9();
    }
    NorrikProcess(const NorrikProcess&) = delete;
    NorrikProcess& operator=(const NorrikProcess&) = delete;

    void start() {
        int in[2];
        ASSERT_EQ(::pipe(in), 0);
        std::string out = dir_ + "/norrik.out";
        pid_ = ::fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            int log = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::close(in[0]);
            ::close(in[1]);
            ::close(log);
            if (::chdir(dir_.c_str()) != 0) ::_exit(126);
            ::execl(NORRIK_BINARY, NORRIK_BINARY, conf_.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        stdin_ = in[1];
        ::fcntl(stdin_, F_SETFD, FD_CLOEXEC);
    }

    // Waits until the tracker answers a connect on `udpPort`.
    bool waitReady(uint16_t udpPort, int timeoutMs = 15000) {
        UdpClient client(udpPort, 200);
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (!alive()) return false;
            if (client.connect()) return true;
        }
        return false;
    }

    bool alive() {
        if (pid_ <= 0) return false;
        int status;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = status;
            pid_ = -1;
            return false;
        }
        return true;
    }

    void kill9() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        int status;
        ::waitpid(pid_, &status, 0);
        status_ = status;
        pid_ = -1;
        closeStdin();
    }

    // Closes standard input (the program's signal to shut down) and waits up
    // to `timeoutMs`; the exit status (128 + signal number when a signal
    // ended it), or -1 when it had to be killed.
    int stop(int timeoutMs = 20000) {
        closeStdin();
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Clock::now() < deadline) {
            if (!alive()) return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill9();
        return -1;
    }

    pid_t pid() const { return pid_; }
    // The exit status once the process ended (128 + signal number when a
    // signal ended it).
    int exitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_); }
    std::string output() const { return norrik_test::readFile(dir_ + "/norrik.out"); }

    // Resident memory in kB (VmRSS), -1 when unreadable.
    long rssKb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        }
        return -1;
    }

    int openFds() const {
        std::error_code ec;
        int count = 0;
        for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            ++count;
        }
        return count;
    }

private:
    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    std::string dir_;
    std::string conf_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    int status_ = 0;
};

// Opens the database file as a separate connection, as an operator would
// after a crash (this also rolls back a hot journal left by a killed writer).
class Database {
public:
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
        if (db_) sqlite3_busy_timeout(db_, 5000);
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    bool isOpen() const { return db_ != nullptr; }

    // The first row's first column as text, or "<error: ...>".
    std::string scalar(const std::string& sql, const uint8_t* blob = nullptr) {
        if (!db_) return "<error: not open>";
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            return std::string("<error: ") + sqlite3_errmsg(db_) + ">";
        }
        if (blob) sqlite3_bind_blob(statement, 1, blob, 20, SQLITE_TRANSIENT);
        std::string out;
        int rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            out = text ? reinterpret_cast<const char*>(text) : "";
        } else if (rc != SQLITE_DONE) {
            out = std::string("<error: ") + sqlite3_errmsg(db_) + ">";
        }
        sqlite3_finalize(statement);
        return out;
    }

    std::string integrity() { return scalar("PRAGMA integrity_check"); }

    bool hasTorrent(const uint8_t* hash) {
        return scalar("SELECT COUNT(*) FROM torrents WHERE info_hash=?", hash) == "1";
    }

private:
    sqlite3* db_ = nullptr;
};

}  // namespace norrik_fault
