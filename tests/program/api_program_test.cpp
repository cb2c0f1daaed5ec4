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
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
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
            ++sent_[datagram.size() >= 12 ? get32(datagram, 8) : 0xffffffffu];
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

    // Datagrams sent so far with this action (retries included), and in all.
    uint64_t sent(uint32_t action) const {
        auto it = sent_.find(action);
        return it == sent_.end() ? 0 : it->second;
    }
    uint64_t sentInAll() const {
        uint64_t all = 0;
        for (const auto& [action, count] : sent_) all += count;
        return all;
    }

    static void put32(std::string& out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((value >> shift) & 0xff));
    }

private:
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
    std::map<uint32_t, uint64_t> sent_;
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

// Reads a metrics page as a scraping server would, and fails the test at any
// line that is neither "# HELP <name> <text>", "# TYPE <name> counter|gauge"
// nor a sample "<name>{<label>="<value>",...} <number>" with valid names,
// well-formed labels and a number. Every sample must follow its family's
// TYPE line (a family's samples together), every family has one HELP and one
// TYPE, counters end in "_total" and never go below 0. The samples by
// "<name>{<labels as written>}" (no braces without labels) go to `samples`.
void parseMetrics(const std::string& text, std::map<std::string, double>& samples) {
    auto isNameStart = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':'; };
    auto isNameChar = [&](char c) { return isNameStart(c) || std::isdigit(static_cast<unsigned char>(c)); };
    auto validName = [&](const std::string& name, bool metric) {
        if (name.empty() || !isNameStart(name[0]) || (!metric && name[0] == ':')) return false;
        for (char c : name) {
            if (!isNameChar(c) || (!metric && c == ':')) return false;
        }
        return true;
    };
    std::set<std::string> helped;
    std::map<std::string, std::string> types;
    std::set<std::string> sampled;
    std::string family;  // the family whose TYPE line came last
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << "the page ends with a line end";
    std::istringstream lines(text);
    int lineNumber = 0;
    for (std::string line; std::getline(lines, line);) {
        ++lineNumber;
        SCOPED_TRACE("line " + std::to_string(lineNumber) + ": " + line);
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
            const std::string rest = line.substr(7);
            const std::size_t space = rest.find(' ');
            const std::string name = rest.substr(0, space);
            EXPECT_TRUE(validName(name, true));
            EXPECT_NE(space, std::string::npos) << "a name and a text";
            if (line[2] == 'H') {
                EXPECT_TRUE(helped.insert(name).second) << "one HELP per family";
                continue;
            }
            const std::string type = space == std::string::npos ? "" : rest.substr(space + 1);
            EXPECT_TRUE(type == "counter" || type == "gauge");
            EXPECT_TRUE(types.emplace(name, type).second) << "one TYPE per family";
            EXPECT_EQ(sampled.count(name), 0u) << "TYPE before the family's samples";
            if (type == "counter") {
                EXPECT_TRUE(name.size() > 6 && name.substr(name.size() - 6) == "_total");
            }
            family = name;
            continue;
        }
        EXPECT_NE(line[0], '#') << "no other comments";
        std::size_t pos = 0;
        while (pos < line.size() && isNameChar(line[pos])) ++pos;
        const std::string name = line.substr(0, pos);
        ASSERT_TRUE(validName(name, true));
        ASSERT_EQ(name, family) << "a sample follows the TYPE line of its family";
        sampled.insert(name);
        std::string labels;
        if (pos < line.size() && line[pos] == '{') {
            const std::size_t open = pos++;
            std::set<std::string> labelNames;
            while (pos < line.size() && line[pos] != '}') {
                const std::size_t start = pos;
                while (pos < line.size() && isNameChar(line[pos])) ++pos;
                const std::string label = line.substr(start, pos - start);
                ASSERT_TRUE(validName(label, false)) << "label name '" << label << "'";
                ASSERT_TRUE(labelNames.insert(label).second) << "label given twice";
                ASSERT_EQ(line.substr(pos, 2), "=\"");
                pos += 2;
                while (pos < line.size() && line[pos] != '"') {
                    if (line[pos] == '\\') {
                        ++pos;
                        ASSERT_TRUE(pos < line.size() && std::strchr("\\\"n", line[pos]) != nullptr) << "escape";
                    }
                    ++pos;
                }
                ASSERT_LT(pos, line.size()) << "label value ends";
                ++pos;
                if (pos < line.size() && line[pos] == ',') ++pos;
            }
            ASSERT_LT(pos, line.size()) << "labels end with '}'";
            labels = line.substr(open, ++pos - open);
        }
        ASSERT_TRUE(pos < line.size() && line[pos] == ' ') << "one space before the value";
        const std::string value = line.substr(pos + 1);
        double number = 0;
        if (value == "NaN") {
            number = std::nan("");
        } else if (value == "+Inf" || value == "-Inf") {
            number = value[0] == '+' ? HUGE_VAL : -HUGE_VAL;
        } else {
            char* end = nullptr;
            number = std::strtod(value.c_str(), &end);
            ASSERT_TRUE(!value.empty() && !std::isspace(static_cast<unsigned char>(value[0])) && *end == '\0')
                << "a number, and nothing after it";
        }
        if (types[name] == "counter") {
            EXPECT_GE(number, 0);
        }
        EXPECT_TRUE(samples.emplace(name + labels, number).second) << "one sample per label set";
    }
    for (const auto& [name, type] : types) EXPECT_EQ(helped.count(name), 1u) << name << " has a HELP line";
}

TEST(ApiProgram, MetricsPageCountsTheTrafficSent) {
    TempDir dir;
    uint16_t udpPort = freePort(SOCK_DGRAM);
    uint16_t apiPort = freePort(SOCK_STREAM);
    Program program(dir, config(dir, udpPort, apiSection("1", apiPort, "1")));
    ASSERT_TRUE(waitForApi(apiPort)) << program.err();

    const std::string hex = "c0ffee0000000000000000000000000000000002";
    ASSERT_EQ(bodyOf(httpGet(apiPort, "/api?auth=testkey&action=add&hash=" + hex)), "{\"success\":true}");
    UdpClient client(udpPort);
    ASSERT_TRUE(client.connectToTracker());
    EXPECT_EQ(client.announce(hashBytes(hex), 'a', 100).action, 1u);
    EXPECT_EQ(client.announce(hashBytes(hex), 'b', 0).action, 1u);
    EXPECT_EQ(client.scrape(hashBytes(hex)), std::make_pair(1u, 1u));
    const uint64_t announcesBefore = client.sent(1);
    EXPECT_EQ(client.announce(hashBytes("c0ffee0000000000000000000000000000000003"), 'c', 5).action, 3u);
    const uint64_t notRegistered = client.sent(1) - announcesBefore;
    std::string unknownAction(8, '\0');
    UdpClient::put32(unknownAction, 7);
    UdpClient::put32(unknownAction, 0x0d0e0f10);
    EXPECT_EQ(client.exchange(unknownAction).size(), 54u);  // "Tracker couldn't understand Client's request."

    const std::optional<std::string> reply = httpGet(apiPort, "/metrics");
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->substr(0, reply->find("\r\n")), "HTTP/1.1 200 OK");
    EXPECT_NE(reply->find("\r\nContent-Type: text/plain; version=0.0.4\r\n"), std::string::npos);
    std::map<std::string, double> page;
    parseMetrics(bodyOf(reply), page);
    if (::testing::Test::HasFatalFailure()) return;

    // Every datagram the client sent, retries included, is counted once.
    const std::pair<std::string, double> expected[] = {
        {"norrik_udp_datagrams_total", client.sentInAll()},
        {"norrik_udp_requests_total{action=\"connect\"}", client.sent(0)},
        {"norrik_udp_requests_total{action=\"announce\"}", client.sent(1)},
        {"norrik_udp_requests_total{action=\"scrape\"}", client.sent(2)},
        {"norrik_udp_errors_total{kind=\"not_understood\"}", client.sent(7)},
        {"norrik_udp_errors_total{kind=\"not_registered\"}", notRegistered},
        {"norrik_udp_errors_total{kind=\"remote_ip\"}", 0},
        {"norrik_udp_errors_total{kind=\"bad_scrape\"}", 0},
        {"norrik_udp_errors_total{kind=\"scrape_failed\"}", 0},
        {"norrik_udp_dropped_total{kind=\"source_filter\"}", 0},
        {"norrik_udp_dropped_total{kind=\"connection_id\"}", 0},
        {"norrik_torrents", 1},
        {"norrik_peers", 2},
        {"norrik_seeders", 1},
        {"norrik_leechers", 1},
        {"norrik_store_writer_failing", 0},
        {"norrik_store_failed_commits_total", 0},
    };
    for (const auto& [name, value] : expected) {
        ASSERT_EQ(page.count(name), 1u) << name;
        EXPECT_EQ(page[name], value) << name;
    }
    EXPECT_GT(page["norrik_uptime_seconds"], 0);
    EXPECT_GE(page["norrik_store_commits_total"], 1);  // the API's add answered after its commit
    // The version label is the one the banner shows.
    const auto info = page.lower_bound("norrik_build_info{version=\"");
    ASSERT_NE(info, page.end());
    ASSERT_EQ(info->first.rfind("norrik_build_info{version=\"", 0), 0u);
    EXPECT_EQ(info->second, 1);
    const std::string version = info->first.substr(27, info->first.size() - 29);
    EXPECT_NE(program.out().find("NORRIK " + version + " ("), std::string::npos) << version;

    EXPECT_EQ(program.stop(), std::optional<int>(0));
}

}  // namespace
