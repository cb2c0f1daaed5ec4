#pragma once
// A tiny HTTP client for the tests: connects to 127.0.0.1, sends the given
// bytes as they are, and reads until the server closes the connection.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace norrik_test {

class ClientSocket {
public:
    explicit ClientSocket(uint16_t port, int timeoutSeconds = 10) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) throw std::runtime_error("socket failed");
        timeval timeout{timeoutSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            throw std::runtime_error("connect failed");
        }
    }
    ~ClientSocket() { ::close(fd_); }
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    void send(const std::string& bytes) {
        if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
            throw std::runtime_error("send failed");
        }
    }

    // Everything until the peer closes. Throws when the receive times out,
    // so a server that never answers fails the test instead of hanging it.
    std::string readAll() {
        std::string all;
        char buffer[4096];
        while (true) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) return all;
            if (n < 0) {
                if (errno == ECONNRESET) return all;
                throw std::runtime_error("receive timed out or failed");
            }
            all.append(buffer, static_cast<std::size_t>(n));
        }
    }

    int fd() const { return fd_; }

private:
    int fd_;
};

// Sends one request and returns every byte of the reply.
inline std::string roundTrip(uint16_t port, const std::string& request) {
    ClientSocket client(port);
    client.send(request);
    return client.readAll();
}

inline std::string get(uint16_t port, const std::string& target) {
    return roundTrip(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
}

struct Reply {
    std::string statusLine;
    std::vector<std::string> headers;  // whole lines, in order
    std::string body;
};

inline Reply splitReply(const std::string& bytes) {
    Reply reply;
    std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string::npos) throw std::runtime_error("no end of head in reply: " + bytes);
    std::size_t pos = 0;
    bool first = true;
    while (pos < end) {
        std::size_t eol = bytes.find("\r\n", pos);
        std::string line = bytes.substr(pos, eol - pos);
        if (first) {
            reply.statusLine = line;
            first = false;
        } else {
            reply.headers.push_back(line);
        }
        pos = eol + 2;
    }
    reply.body = bytes.substr(end + 4);
    return reply;
}

}  // namespace norrik_test
