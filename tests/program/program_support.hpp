#pragma once
// Runs the real norrik binary for the program tests: a child process with
// its own working directory, standard output and standard error in files,
// and standard input either at end of file or a pipe the test closes.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.hpp"

namespace norrik_test {

inline uint16_t freeUdpPort() { return freePort(SOCK_DGRAM); }

// Sends a connect request to 127.0.0.1:port and waits up to timeoutMs for
// the 16-byte connect reply.
inline bool answersConnect(uint16_t port, int timeoutMs = 1000) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    uint8_t request[16] = {0, 0, 4, 0x17, 0x27, 0x10, 0x19, 0x80, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
    ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{fd, POLLIN, 0};
    bool ok = false;
    if (::poll(&p, 1, timeoutMs) > 0) {
        uint8_t reply[64];
        ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        ok = n == 16 && reply[3] == 0 && std::memcmp(reply + 4, request + 12, 4) == 0;
    }
    ::close(fd);
    return ok;
}

// Retries answersConnect for a bounded time (the program is starting up).
inline bool waitUntilServing(uint16_t port) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (answersConnect(port, 200)) return true;
    }
    return false;
}

class Program {
public:
    // stdinOpen: standard input is a pipe kept open until closeStdin();
    // otherwise it is /dev/null (end of file at once).
    Program(const std::string& workDir, const std::vector<std::string>& args, bool stdinOpen = false)
        : outPath_(workDir + "/.stdout"), errPath_(workDir + "/.stderr") {
        static int counter = 0;
        outPath_ += std::to_string(counter);
        errPath_ += std::to_string(counter++);
        int pipeFds[2] = {-1, -1};
        if (stdinOpen && ::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            if (::chdir(workDir.c_str()) != 0) ::_exit(126);
            int in = stdinOpen ? pipeFds[0] : ::open("/dev/null", O_RDONLY);
            int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            if (stdinOpen) ::close(pipeFds[1]);
            std::vector<char*> argv;
            std::string binary = NORRIK_BINARY;
            argv.push_back(binary.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(binary.c_str(), argv.data());
            ::_exit(127);
        }
        if (stdinOpen) {
            ::close(pipeFds[0]);
            stdin_ = pipeFds[1];
        }
    }

    ~Program() {
        closeStdin();
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);  // only the process this object started
            ::waitpid(pid_, nullptr, 0);
        }
    }

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    // The exit status, or nothing if the process did not end in time (or
    // ended by a signal, which shows as -signal).
    std::optional<int> wait(int timeoutMs = 20000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!status_) {
            int raw = 0;
            pid_t r = ::waitpid(pid_, &raw, WNOHANG);
            if (r == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }
    pid_t pid() const { return pid_; }

    // Waits (bounded) until standard output holds `text`.
    bool waitForOut(const std::string& text, int timeoutMs = 10000) const {
        return waitForFile(outPath_, text, timeoutMs);
    }

    // Waits (bounded) until `path` holds `text`.
    static bool waitForFile(const std::string& path, const std::string& text, int timeoutMs = 10000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (readFile(path).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    std::string outPath_, errPath_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
};

// The parent of a process, from /proc (0 when it cannot be read).
inline pid_t parentOf(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    // After the command name: " <state> <ppid> ..."
    return static_cast<pid_t>(std::atol(stat.c_str() + close + 4));
}

// The processes whose parent is `parent`, from /proc.
inline std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        char* end = nullptr;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (*end == '\0' && pid > 0 && parentOf(static_cast<pid_t>(pid)) == parent) {
            children.push_back(static_cast<pid_t>(pid));
        }
    }
    return children;
}

}  // namespace norrik_test
