#pragma once
// NORRIK::Server::HTTPServer: a minimal HTTP/1.1 server. One request per
// connection; every reply carries "Connection: Close".
//
// Construction binds the TCP port on one IPv4 address, or on all of them when
// none is given (with address reuse, so a restart is not refused while old
// connections sit in TIME_WAIT), puts the socket into the listening state and
// starts the worker threads; a busy port is reported there as
// ServerException 2 "Failed to bind socket".
//
// Handlers are plain functions registered on a path of segments (addApp);
// applications keep their state in named objects (setData/getData). Both the
// path tree and the object map are guarded by a reader/writer lock, so
// registration is safe while the workers already serve requests (a request
// that arrives before its handler is registered gets the Not Found page).
// Handlers run concurrently on the workers and must be safe for that.
//
// Every accepted connection gets a receive timeout: a client that sends
// nothing, or too little, loses its connection without a reply instead of
// holding a worker for ever.
//
// The destructor clears the running flag, wakes every worker and joins them
// all; a worker inside a handler finishes that request first. The objects
// stored with setData and everything the handlers use must outlive the
// server.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/request.hpp"
#include "http/response.hpp"
#include "http/server_exception.hpp"
#include "http/unique_fd.hpp"

namespace NORRIK::Server {

class HTTPServer;

// Called on a worker thread with the server, the parsed request and the
// response to fill. Any exception it lets escape becomes the 500 page.
using RequestHandler = void (*)(HTTPServer& server, Request& request, Response& response);

class HTTPServer {
public:
    using Request = ::NORRIK::Server::Request;
    using Response = ::NORRIK::Server::Response;
    using RequestHandler = ::NORRIK::Server::RequestHandler;

    static constexpr int kListenBacklog = 50;
    static constexpr std::chrono::milliseconds kDefaultReceiveTimeout{5000};

    static constexpr uint32_t kAnyAddress = 0;

    // Port 0 binds an ephemeral port (see getPort). A thread count below 1
    // starts one worker; the workers are named "norrik-http". bindAddress is
    // a host-order IPv4 address. Throws ServerException 1 "Failed to create
    // Socket" or 2 "Failed to bind socket".
    HTTPServer(uint16_t port, int32_t threads,
               std::chrono::milliseconds receiveTimeout = kDefaultReceiveTimeout,
               uint32_t bindAddress = kAnyAddress);
    virtual ~HTTPServer();

    HTTPServer(const HTTPServer&) = delete;
    HTTPServer& operator=(const HTTPServer&) = delete;

    // Sets the handler of the node at `path` (creating the nodes on the way,
    // without handlers), replacing an earlier one. An empty path is the root.
    void addApp(const std::vector<std::string>& path, RequestHandler handler);

    // Stores an object pointer under the name, replacing an earlier one. The
    // server never owns or frees it.
    void setData(const std::string& name, void* object);

    // The pointer stored under the name, or nullptr.
    void* getData(const std::string& name) const;

    // The port the listening socket is bound to.
    uint16_t getPort() const;

    int32_t getThreadCount() const { return threadCount_; }

    // The bodies of the built-in error pages.
    static const std::string& notFoundPage();
    static const std::string& internalErrorPage();

    // Makes `response` the server's answer to a path it has no handler for,
    // so a handler can answer exactly as if its path did not exist.
    static void writeNotFound(Response& response);

private:
    struct PathNode {
        RequestHandler handler = nullptr;
        std::map<std::string, std::unique_ptr<PathNode>> children;
    };

    void workerMain();
    void connectionLoop();
    int acceptConnection(sockaddr_in& client);
    void serveConnection(int connection, const sockaddr_in& client);
    RequestHandler findHandler(const std::vector<std::string>& segments) const;

    UniqueFd socket_;
    int32_t threadCount_;
    std::chrono::milliseconds receiveTimeout_;
    // A byte written here wakes every worker waiting for a connection.
    UniqueFd wakeRead_;
    UniqueFd wakeWrite_;
    std::atomic<bool> running_{false};
    mutable std::shared_mutex registryLock_;
    PathNode root_;
    std::map<std::string, void*> objects_;
    std::vector<std::thread> threads_;
};

}  // namespace NORRIK::Server
