#include "http/http_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>

#include "util/log.hpp"

namespace NORRIK::Server {

namespace {

// The small print under both error pages.
constexpr const char* kFooter =
    "<div style=\"font-size:small;text-align:center;\">"
    "Served by norrik, a BitTorrent tracker for IPv4 &middot; "
    "<a href=\"https://norrik.example.org/\">norrik.example.org</a></div>";

bool setFlag(int fd, int flag, bool on) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    flags = on ? (flags | flag) : (flags & ~flag);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

void setCloseOnExec(int fd) { ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

timeval toTimeval(std::chrono::milliseconds duration) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(duration.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((duration.count() % 1000) * 1000);
    return value;
}

}  // namespace

const std::string& HTTPServer::notFoundPage() {
    static const std::string page = std::string("<html>") +
                                    "<head><title>Not Found</title></head>" +
                                    "<body><h1>Not Found</h1><div>The server couldn't find the request "
                                    "resource.</div><br /><hr />" +
                                    kFooter + "</body>" + "</html>";
    return page;
}

const std::string& HTTPServer::internalErrorPage() {
    static const std::string page = std::string("<html>") +
                                    "<head><title>Internal Server Error</title></head>" +
                                    "<body><h1>Internal Server Error</h1><div>An Error Occurred while "
                                    "trying to process your request.</div><br /><hr />" +
                                    kFooter + "</body>" + "</html>";
    return page;
}

void HTTPServer::writeNotFound(Response& response) {
    response.setStatus(404, "Not Found");
    response.addHeader("Content-Type", "text/html; charset=US-ASCII");
    response.write(notFoundPage());
}

HTTPServer::HTTPServer(uint16_t port, int32_t threads, std::chrono::milliseconds receiveTimeout,
                       uint32_t bindAddress)
    : threadCount_(threads < 1 ? 1 : threads), receiveTimeout_(receiveTimeout) {
    socket_.reset(::socket(AF_INET, SOCK_STREAM, 0));
    if (!socket_) throw ServerException(1, "Failed to create Socket");
    setCloseOnExec(socket_.get());

    // Every connection is closed by this side, so after traffic the port has
    // connections in TIME_WAIT; without address reuse a quick restart would
    // be refused. It does not let two listening servers share the port.
    int on = 1;
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(bindAddress);
    address.sin_port = htons(port);
    if (::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw ServerException(2, "Failed to bind socket");
    }
    // Listening here (not in each worker) makes a port that is taken fail
    // now, where the start-up code can report it.
    if (::listen(socket_.get(), kListenBacklog) != 0) throw ServerException(2, "Failed to bind socket");
    // Workers wait in poll and then accept without blocking, so a connection
    // taken by another worker cannot leave one stuck in accept at shutdown.
    setFlag(socket_.get(), O_NONBLOCK, true);

    int wake[2];
    if (::pipe(wake) != 0) throw ServerException(1, "Failed to create Socket");
    wakeRead_.reset(wake[0]);
    wakeWrite_.reset(wake[1]);
    setCloseOnExec(wake[0]);
    setCloseOnExec(wake[1]);

    running_ = true;
    threads_.reserve(static_cast<std::size_t>(threadCount_));
    for (int32_t i = 0; i < threadCount_; ++i) {
        try {
            threads_.emplace_back(&HTTPServer::workerMain, this);
            // Named here rather than by the worker itself, so every worker
            // carries its name once the constructor has returned.
            ::pthread_setname_np(threads_.back().native_handle(), "norrik-http");
        } catch (const std::system_error&) {
            // Serve with the workers that did start.
        }
    }
}

HTTPServer::~HTTPServer() {
    running_ = false;
    char byte = 1;
    // The pipe is never read, so the byte stays and wakes every worker.
    while (::write(wakeWrite_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    for (std::thread& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

void HTTPServer::addApp(const std::vector<std::string>& path, RequestHandler handler) {
    std::unique_lock lock(registryLock_);
    PathNode* node = &root_;
    for (const std::string& segment : path) {
        std::unique_ptr<PathNode>& child = node->children[segment];
        if (!child) child = std::make_unique<PathNode>();
        node = child.get();
    }
    node->handler = handler;
}

void HTTPServer::setData(const std::string& name, void* object) {
    std::unique_lock lock(registryLock_);
    objects_[name] = object;
}

void* HTTPServer::getData(const std::string& name) const {
    std::shared_lock lock(registryLock_);
    auto it = objects_.find(name);
    return it == objects_.end() ? nullptr : it->second;
}

uint16_t HTTPServer::getPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

RequestHandler HTTPServer::findHandler(const std::vector<std::string>& segments) const {
    std::shared_lock lock(registryLock_);
    const PathNode* node = &root_;
    for (const std::string& segment : segments) {
        auto it = node->children.find(segment);
        if (it == node->children.end()) return nullptr;
        node = it->second.get();
    }
    return node->handler;
}

void HTTPServer::workerMain() {
    while (running_) {
        try {
            connectionLoop();
        } catch (const ServerException& e) {
            Log::error("SRV ERR #" + std::to_string(e.getCode()) + ": " + e.getMessage());
        } catch (const std::exception& e) {
            Log::error(std::string("SRV ERR: ") + e.what());
        }
    }
}

void HTTPServer::connectionLoop() {
    while (running_) {
        sockaddr_in client{};
        int connection = acceptConnection(client);
        if (connection < 0) continue;
        UniqueFd owner(connection);
        serveConnection(connection, client);
    }
}

int HTTPServer::acceptConnection(sockaddr_in& client) {
    pollfd waits[2] = {{socket_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) return -1;
    if (waits[1].revents != 0 || !running_) return -1;
    if ((waits[0].revents & POLLIN) == 0) return -1;

    socklen_t length = sizeof client;
    int connection = ::accept(socket_.get(), reinterpret_cast<sockaddr*>(&client), &length);
    if (connection < 0) {
        // EAGAIN: another worker took it. Anything else (for instance out of
        // descriptors): pause briefly instead of spinning.
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }
    setCloseOnExec(connection);
    // Some systems hand the listening socket's non-blocking mode on.
    setFlag(connection, O_NONBLOCK, false);
    timeval timeout = toTimeval(receiveTimeout_);
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    return connection;
}

void HTTPServer::serveConnection(int connection, const sockaddr_in& client) {
    Log::RequestScope logScope;
    Response response(connection);

    // Wait for the request's first bytes, for the shutdown, or for the
    // receive timeout, whichever comes first; only then take one receive.
    pollfd waits[2] = {{connection, POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
    int ready = ::poll(waits, 2, static_cast<int>(receiveTimeout_.count()));
    if (ready <= 0 || waits[1].revents != 0) return;  // timed out or stopping: close

    char buffer[Request::kBufferSize];
    ssize_t received = ::recv(connection, buffer, sizeof buffer, 0);
    std::optional<Request> request;
    try {
        request.emplace(Request::parse(buffer, received, &client, connection));
    } catch (const ServerException&) {
        return;  // malformed, too big, failed or timed out: close without a reply
    }

    RequestHandler handler = findHandler(request->getSegments());
    if (handler != nullptr) {
        try {
            handler(*this, *request, response);
        } catch (...) {
            // The cause stays on this side; the client sees the generic page.
            response.setStatus(500, "Internal Server Error");
            response.addHeader("Content-Type", "text/html; charset=US-ASCII");
            response.write(internalErrorPage());
        }
    } else {
        writeNotFound(response);
    }
    response.finalize();
}

}  // namespace NORRIK::Server
