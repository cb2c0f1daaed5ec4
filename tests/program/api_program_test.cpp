// The API server inside the running norrik program: start-up cases from the
// settings section "apiserver", and torrents added and removed through the
// API as the UDP side of the same program sees them.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

using norrik_test::freePort;
using norrik_test::readFile;
using norrik_test::TempDir;
using norrik_test::writeFile;

namespace {


// The norrik program in the foreground, in its own directory, with standard
// input on a pipe (a byte there stops it) and its output in files.
class Program {
public:
    Program(const TempDir& dir, const std::string& config) : dir_(dir) {
        writeFile(dir.path("norrik.conf"), config);
        int in[2];
        if (::pipe(in) != 0) throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::close(in[0]);
            ::close(in[1]);
            int out = ::open(dir.path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(dir.path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            if (::chdir(dir.root().c_str()) != 0) ::_exit(127);
            ::execl(NORRIK_BINARY, NORRIK_BINARY, "norrik.conf", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        stdin_ = in[1];
    }

    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (stdin_ >= 0) ::close(stdin_);
    }

    // Presses a key and waits (bounded) for the exit; the exit status, or
    // nothing when the program did not end in time (it is then killed).
    std::optional<int> stop() {
        char key = '\n';
        (void)!::write(stdin_, &key, 1);
        for (int i = 0; i < 300; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::nullopt;
    }

    std::string out() const { return readFile(dir_.path("stdout")); }
    std::string err() const { return readFile(dir_.path("stderr")); }
    pid_t pid() const { return pid_; }

    // Threads of the running process (Linux) that carry `name`.
    std::size_t threadsNamed(const std::string& name) const {
        std::size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task")) {
            if (readFile(entry.path().string() + "/comm") == name + "\n") ++count;
        }
        return count;
    }

    // Waits (bounded) until standard output holds `text`.
    bool waitForOut(const std::string& text) const {
        for (int i = 0; i < 500; ++i) {
            if (out().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

private:
    const TempDir& dir_;
    pid_t pid_ = -1;
    int stdin_ = -1;
};

std::string config(const TempDir& dir, uint16_t udpPort, const std::string& apiSection) {
    return "[database]\ndriver=sqlite3\nfile=" + dir.path("tracker.db") +
           "\n\n[tracker]\nis_dynamic=0\nport=" + std::to_string(udpPort) +
           "\nthreads=1\nallow_remotes=1\nallow_iana_ips=1\nannounce_interval=1800\ncleanup_interval=120\n"
           "local_subnet=192.168.0\nremote_ip=192.168.1.0\n\n" +
           apiSection + "[api.keys]\ntestkey=127.0.0.1\n";
}

std::string apiSection(const std::string& enable, uint16_t port, const std::string& threads) {
    return "[apiserver]\nenable=" + enable + "\nport=" + std::to_string(port) + "\nthreads=" + threads + "\n\n";
}

// One HTTP request to 127.0.0.1; the whole reply, or nothing when the port
// refuses connections.
std::optional<std::string> httpGet(uint16_t port, const std::string& target) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply;
}

std::string bodyOf(const std::optional<std::string>& reply) {
    if (!reply) return "<refused>";
    std::size_t end = reply->find("\r\n\r\n");
    return end == std::string::npos ? "<no head>" : reply->substr(end + 4);
}

// Waits (bounded) until the API port accepts connections.
bool waitForApi(uint16_t port) {
    for (int i = 0; i < 100; ++i) {
        if (httpGet(port, "/announce")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A BEP 15 client on 127.0.0.1.
class UdpClient {
public:
    explicit UdpClient(uint16_t port) : port_(port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        timeval timeout{0, 200000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~UdpClient() { ::close(fd_); }

    // Sends and waits for a reply, retrying a bounded number of times (the
    // tracker may still be starting).
    std::string exchange(const std::string& datagram) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int attempt = 0; attempt < 25; ++attempt) {
            ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
            char buffer[2048];
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0) return std::string(buffer, static_cast<std::size_t>(n));
        }
        return "";
    }

    bool connectToTracker() {
        std::string request;
        put64(request, 0x41727101980ull);
        put32(request, 0);           // connect
        put32(request, 0x01020304);  // transaction
        std::string reply = exchange(request);
        if (reply.size() < 16 || get32(reply, 0) != 0 || get32(reply, 4) != 0x01020304) return false;
        connectionId_ = reply.substr(8, 8);
        return true;
    }

    // The reply to one announce: action 1 with counts, or action 3 with a
    // message.
    struct Announce {
        uint32_t action = 0xffffffff;
        uint32_t leechers = 0;
        uint32_t seeders = 0;
        std::string message;
    };

    Announce announce(const std::string& infoHash, char peer, uint64_t left) {
        std::string request = connectionId_;
        put32(request, 1);
        put32(request, 0x0a0b0c0d);
        request += infoHash;
        request += std::string(20, peer);
        put64(request, 0);     // downloaded
        put64(request, left);
        put64(request, 0);     // uploaded
        put32(request, 2);     // started
        put32(request, 0);     // ip: the sender's
        put32(request, 7);     // key
        put32(request, 50);    // num_want
        request.push_back(0x1a);  // port 0x1a00 + the peer's letter: one port per peer
        request.push_back(peer);
        std::string reply = exchange(request);
        Announce result;
        if (reply.size() < 8) return result;
        result.action = get32(reply, 0);
        if (result.action == 1 && reply.size() >= 20) {
            result.leechers = get32(reply, 12);
            result.seeders = get32(reply, 16);
        } else if (result.action == 3) {
            result.message = reply.substr(8);  // the text and its zero byte
        }
        return result;
    }

    // Seeders and leechers of one torrent, from a scrape.
    std::pair<uint32_t, uint32_t> scrape(const std::string& infoHash) {
        std::string request = connectionId_;
        put32(request, 2);
        put32(request, 0x05060708);
        request += infoHash;
        std::string reply = exchange(request);
        if (reply.size() < 20 || get32(reply, 0) != 2) return {0xffffffff, 0xffffffff};
        return {get32(reply, 8), get32(reply, 16)};
    }

private:
    static void put32(std::string& out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
    }
    static void put64(std::string& out, uint64_t value) {
        put32(out, static_cast<uint32_t>(value >> 32));
        put32(out, static_cast<uint32_t>(value));
    }
    static uint32_t get32(const std::string& in, std::size_t at) {
        uint32_t value = 0;
        for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | static_cast<uint8_t>(in[at + i]);
        return value;
    }

    uint16_t port_;
    int fd_;
    std::string connectionId_;
};

std::string hashBytes(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

TEST(ApiProgram, AddAnnounceRemoveThroughTheRunningTracker) {
    TempDir dir;
    uint16_t udpPort = freePort(SOCK_DGRAM);
    uint16_t apiPort = freePort(SOCK_STREAM);
    Program program(dir, config(dir, udpPort, apiSection("1", apiPort, "2")));
    ASSERT_TRUE(waitForApi(apiPort)) << program.err();

    const std::string hex = "c0ffee0000000000000000000000000000000001";
    const std::string hash = hashBytes(hex);
    UdpClient client(udpPort);
    ASSERT_TRUE(client.connectToTracker());

    auto before = client.announce(hash, 'a', 100);
    EXPECT_EQ(before.action, 3u);
    EXPECT_EQ(before.message, std::string("info_hash not registered.", 26));

    EXPECT_EQ(bodyOf(httpGet(apiPort, "/api?auth=testkey&action=add&hash=" + hex)), "{\"success\":true}");
    auto first = client.announce(hash, 'a', 100);
    EXPECT_EQ(first.action, 1u);
    auto second = client.announce(hash, 'b', 0);
    EXPECT_EQ(second.action, 1u);
    EXPECT_EQ(second.leechers, 1u);  // peer a, stored after the first reply
    // A peer is stored (and its torrent registered again) after its reply;
    // the one tracker worker answers this scrape only once peer b is stored,
    // so the removal below cannot be undone by that late registration.
    EXPECT_EQ(client.scrape(hash), std::make_pair(1u, 1u));

    EXPECT_EQ(bodyOf(httpGet(apiPort, "/api?auth=testkey&action=remove&hash=" + hex)), "{\"success\":true}");
    auto after = client.announce(hash, 'a', 100);
    EXPECT_EQ(after.action, 3u);
    EXPECT_EQ(after.message, std::string("info_hash not registered.", 26));

    EXPECT_EQ(bodyOf(httpGet(apiPort, "/api?auth=wrong&action=add&hash=" + hex)),
              "IP not whitelisted. Access Denied.");

    EXPECT_EQ(program.stop(), std::optional<int>(0));
    EXPECT_NE(program.out().find("Goodbye."), std::string::npos);
}

TEST(ApiProgram, StartUpCases) {
    struct Case {
        const char* name;
        std::string enable;        // empty: no section "apiserver" at all
        bool holdPort;             // another socket listens on the API port
        const char* stderrLine;    // expected line on standard error, or nullptr
        bool serves;
    };
    const Case cases[] = {
        {"no section", "", false, nullptr, false},
        {"enable true", "true", false, "API Server not enabled.", false},
        {"enable empty", "=", false, "API Server not enabled.", false},
        {"port taken", "1", true, "ServerException #2: Failed to bind socket", false},
        {"enabled", "1", false, nullptr, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        uint16_t udpPort = freePort(SOCK_DGRAM);
        uint16_t apiPort = freePort(SOCK_STREAM);

        int holder = -1;
        if (c.holdPort) {
            holder = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(apiPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ASSERT_EQ(::listen(holder, 1), 0);
        }

        std::string section;
        if (c.enable == "=") {
            section = "[apiserver]\nenable=\nport=" + std::to_string(apiPort) + "\n\n";
        } else if (!c.enable.empty()) {
            section = apiSection(c.enable, apiPort, "1");
        }
        Program program(dir, config(dir, udpPort, section));

        // The tracker serves in every case.
        UdpClient client(udpPort);
        EXPECT_TRUE(client.connectToTracker());
        int idle = -1;
        if (c.serves) {
            EXPECT_TRUE(waitForApi(apiPort));
            EXPECT_EQ(bodyOf(httpGet(apiPort, "/api?auth=testkey")), "{\"error\":\"unknown action\"}");
            // A client that connected and sent nothing does not hold up the
            // shutdown, which still ends with status 0.
            idle = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(apiPort);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        } else if (!c.holdPort) {
            EXPECT_FALSE(httpGet(apiPort, "/"));
        }

        EXPECT_EQ(program.stop(), std::optional<int>(0));
        if (idle >= 0) ::close(idle);
        std::string err = program.err();
        if (c.stderrLine != nullptr) {
            EXPECT_NE(err.find(std::string(c.stderrLine) + "\n"), std::string::npos) << err;
        }
        EXPECT_EQ(err.find("API Server not enabled.") != std::string::npos,
                  c.stderrLine != nullptr && std::string(c.stderrLine) == "API Server not enabled.")
            << err;
        EXPECT_EQ(err.find("ServerException") != std::string::npos, c.holdPort) << err;
        if (holder >= 0) ::close(holder);
    }
}

TEST(ApiProgram, ThreadsZeroStartsOneWorker) {
    // The HTTP workers by their name: "0" starts one, like "1"; "3" three.
    // Counted once the start-up has gone past the API server, whose
    // constructor names every worker before it returns.
    const std::pair<const char*, std::size_t> cases[] = {{"0", 1}, {"1", 1}, {"3", 3}};
    for (const auto& [threads, workers] : cases) {
        SCOPED_TRACE(threads);
        TempDir dir;
        uint16_t udpPort = freePort(SOCK_DGRAM);
        uint16_t apiPort = freePort(SOCK_STREAM);
        Program program(dir, config(dir, udpPort, apiSection("1", apiPort, threads)));
        ASSERT_TRUE(program.waitForOut("Press Any key to exit.\n")) << program.err();
        ASSERT_TRUE(waitForApi(apiPort)) << program.err();
        EXPECT_EQ(program.threadsNamed("norrik-http"), workers);
        EXPECT_EQ(program.stop(), std::optional<int>(0));
    }
}

// Where /proc/net/<table> says a socket listens on `port` of 127.0.0.1
// ("0100007F") or of every address ("00000000"); empty when it does not.
std::string listeningAddress(const char* table, uint16_t port) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X ", port);
    std::istringstream lines(readFile(std::string("/proc/net/") + table));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        // UDP sockets show state 07, listening TCP sockets 0A.
        if (local.size() == 13 && (local.substr(8) + " ") == wanted && (state == "07" || state == "0A")) {
            return local.substr(0, 8);
        }
    }
    return "";
}

TEST(ApiProgram, BindAddresses) {
    struct Case {
        const char* name;
        const char* trackerAddress;  // "bind_address" lines, or nullptr for none
        const char* apiAddress;
        const char* udpListens;      // expected in /proc/net/udp
        const char* tcpListens;      // expected in /proc/net/tcp; empty: the API server does not run
        const char* stderrLine;
    };
    const Case cases[] = {
        {"both on 127.0.0.1", "127.0.0.1", "127.0.0.1", "0100007F", "0100007F", nullptr},
        {"absent and empty: every address", nullptr, "", "00000000", "00000000", nullptr},
        {"not an address: no API server", nullptr, "127.0.0.1:80", "00000000", "",
         "bind_address \"127.0.0.1:80\" in section [apiserver] is not a dotted IPv4 address such as 127.0.0.1; "
         "the API server does not start."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        uint16_t udpPort = freePort(SOCK_DGRAM);
        uint16_t apiPort = freePort(SOCK_STREAM);
        std::string text = config(dir, udpPort, apiSection("1", apiPort, "1") + "[apiserver]\nbind_address=" +
                                                    c.apiAddress + "\n\n");
        if (c.trackerAddress != nullptr) text += "[tracker]\nbind_address=" + std::string(c.trackerAddress) + "\n";
        Program program(dir, text);
        ASSERT_TRUE(program.waitForOut("Press Any key to exit.\n")) << program.err();
        UdpClient client(udpPort);
        EXPECT_TRUE(client.connectToTracker());
        EXPECT_EQ(listeningAddress("udp", udpPort), c.udpListens);
        EXPECT_EQ(listeningAddress("tcp", apiPort), c.tcpListens);
        if (*c.tcpListens != '\0') {
            EXPECT_EQ(bodyOf(httpGet(apiPort, "/api?auth=testkey")), "{\"error\":\"unknown action\"}");
        }
        EXPECT_EQ(program.stop(), std::optional<int>(0));
        EXPECT_EQ(program.err(), c.stderrLine == nullptr ? "" : std::string(c.stderrLine) + "\n");
    }
}

}  // namespace
