#pragma once
// NORRIK::Server::Request (also reachable as HTTPServer::Request): one parsed
// HTTP request. A worker reads the request with a single receive into a
// kBufferSize-byte buffer and hands the bytes to parse(), which is a pure
// function of those bytes: no socket is touched here, so the parser can be
// tested and fuzzed on byte strings.
//
// Nothing is decoded, case-folded or trimmed: every text stays byte for byte
// as it arrived. No body is read. Parse failures throw ServerException (codes
// 1 to 6, see server_exception.hpp) and leave no Request behind.
//
// A Request belongs to the one worker thread that parsed it.

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "http/server_exception.hpp"

namespace NORRIK::Server {

class Request {
public:
    // The receive buffer's size: a request must arrive whole in one receive
    // and be at most kBufferSize - 1 bytes long.
    static constexpr std::size_t kBufferSize = 2048;

    static constexpr int32_t kMethodOther = 0;
    static constexpr int32_t kMethodGet = 1;
    static constexpr int32_t kMethodPost = 2;

    // Parses what one receive into a kBufferSize-byte buffer delivered:
    // `received` is the receive's result (below 1 for an error or a closed
    // peer, kBufferSize or more when the buffer was filled). `client` is the
    // address the accept call filled in and `socket` the connection; both
    // are only recorded (not owned) for the handlers.
    static Request parse(const char* data, ssize_t received, const sockaddr_in* client = nullptr,
                         int socket = -1);

    const sockaddr_in* getAddress() const { return client_; }
    int getSocket() const { return socket_; }

    // 1 for exactly "GET", 2 for exactly "POST", 0 for any other method text.
    int32_t getMethod() const { return method_; }
    const std::string& getMethodText() const { return methodText_; }

    // The query parameter's value; empty text when absent (or given empty).
    std::string getParam(const std::string& name) const;

    // The cookie's value; empty text when absent.
    std::string getCookie(const std::string& name) const;

    // The first header of that name in arrival order, or nullptr.
    const std::string* getHeader(const std::string& name) const;

    const std::vector<std::string>& getSegments() const { return segments_; }
    const std::map<std::string, std::string>& getParams() const { return params_; }
    const std::map<std::string, std::string>& getCookies() const { return cookies_; }
    const std::multimap<std::string, std::string>& getHeaders() const { return headers_; }

private:
    Request(const sockaddr_in* client, int socket) : client_(client), socket_(socket) {}

    void parseRequestLine(std::string_view line);
    void parseHeaderLine(std::string_view line);
    void parseTarget(std::string_view target);
    void parseQuery(std::string_view query);
    void parseCookies(std::string_view value);

    const sockaddr_in* client_;
    int socket_;
    std::string methodText_;
    int32_t method_ = kMethodOther;
    std::vector<std::string> segments_;
    std::map<std::string, std::string> params_;
    std::map<std::string, std::string> cookies_;
    std::multimap<std::string, std::string> headers_;
};

}  // namespace NORRIK::Server
