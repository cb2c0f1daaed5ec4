#include "http/response.hpp"

#include <sys/socket.h>

#include <cstring>

namespace NORRIK::Server {

void Response::setStatus(int32_t code, std::string text) {
    status_ = code;
    statusText_ = std::move(text);
}

void Response::addHeader(std::string name, std::string value) {
    headers_.emplace(std::move(name), std::move(value));
}

void Response::write(const char* bytes, ssize_t length) {
    if (length < 0) {
        body_.append(bytes, std::strlen(bytes));
    } else {
        body_.append(bytes, static_cast<std::size_t>(length));
    }
}

std::string Response::serialize() const {
    std::string text;
    text.reserve(128 + body_.size());
    text.append("HTTP/1.1 ").append(std::to_string(status_)).append(" ").append(statusText_).append("\r\n");
    for (const auto& [name, value] : headers_) text.append(name).append(": ").append(value).append("\r\n");
    text.append("Connection: Close\r\n");
    text.append("Content-Length: ").append(std::to_string(body_.size())).append("\r\n");
    text.append("Server: norrik\r\n");
    text.append("\r\n");
    text.append(body_);
    return text;
}

void Response::finalize() {
    std::string text = serialize();
    // MSG_NOSIGNAL: a client that has gone away must not raise SIGPIPE, whose
    // default action would end the whole process.
    (void)::send(socket_, text.data(), text.size(), MSG_NOSIGNAL);
}

}  // namespace NORRIK::Server
