#pragma once
// NORRIK::Server::Response (also reachable as HTTPServer::Response): the reply
// to one connection. Handlers set the status, add headers and append to the
// body; the worker then calls finalize() once, which sends the whole reply
// with one send and never retries.
//
// Serialisation, each line ended by CR LF: "HTTP/1.1 <code> <text>", the
// handler's headers sorted byte-wise by name (equal names in the order they
// were added), "Connection: Close", "Content-Length: <body bytes>",
// "Server: norrik", an empty line, then the body. No header is added by
// default (in particular no Content-Type).
//
// A Response belongs to the one worker thread that serves its connection.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace NORRIK::Server {

class Response {
public:
    explicit Response(int socket = -1) : socket_(socket) {}

    void setStatus(int32_t code, std::string text);

    // Adds one header; one already there under that name stays beside it.
    void addHeader(std::string name, std::string value);

    // Appends `length` bytes; a negative length means up to the first zero
    // byte.
    void write(const char* bytes, ssize_t length);
    void write(std::string_view text) { body_.append(text); }

    int32_t getStatus() const { return status_; }
    const std::string& getStatusText() const { return statusText_; }
    const std::multimap<std::string, std::string>& getHeaders() const { return headers_; }
    const std::string& getBody() const { return body_; }

    // The exact bytes finalize() sends.
    std::string serialize() const;

    // Sends serialize() on the socket with one send; a short or failed send
    // is ignored (the connection is closed right after anyway).
    void finalize();

private:
    int socket_;
    int32_t status_ = 200;
    std::string statusText_ = "OK";
    std::multimap<std::string, std::string> headers_;
    std::string body_;
};

}  // namespace NORRIK::Server
