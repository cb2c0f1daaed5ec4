#include "http/request.hpp"

namespace NORRIK::Server {

namespace {

// A line's text ends at its first zero byte, as if it were a C string.
std::string_view cutAtZero(std::string_view line) {
    std::size_t zero = line.find('\0');
    return zero == std::string_view::npos ? line : line.substr(0, zero);
}

}  // namespace

Request Request::parse(const char* data, ssize_t received, const sockaddr_in* client, int socket) {
    if (received >= static_cast<ssize_t>(kBufferSize)) throw ServerException(1, "Request Size too big.");
    if (received < 1) throw ServerException(2, "Socket Error");

    Request request(client, socket);
    const std::string_view bytes(data, static_cast<std::size_t>(received));
    const std::size_t n = bytes.size();

    bool sawRequestLine = false;
    std::size_t start = 0;
    // Only lines ended by CR LF count; an empty line ends the head, and
    // whatever follows it (a body) is ignored.
    while (start + 1 < n) {
        std::size_t crlf = bytes.find("\r\n", start);
        if (crlf == std::string_view::npos) break;
        std::string_view line = cutAtZero(bytes.substr(start, crlf - start));
        start = crlf + 2;
        if (line.empty()) break;
        if (!sawRequestLine) {
            request.parseRequestLine(line);
            sawRequestLine = true;
        } else {
            request.parseHeaderLine(line);
        }
    }
    if (!sawRequestLine) throw ServerException(3, "No Request header.");
    return request;
}

void Request::parseRequestLine(std::string_view line) {
    std::size_t first = line.find(' ');
    if (first == std::string_view::npos) throw ServerException(5, "Malformed request method");

    methodText_ = std::string(line.substr(0, first));
    if (methodText_ == "GET") {
        method_ = kMethodGet;
    } else if (methodText_ == "POST") {
        method_ = kMethodPost;
    } else {
        method_ = kMethodOther;
    }

    // The version token follows the last space; with a single space the
    // target is empty and the version starts one byte after that space.
    std::size_t last = line.rfind(' ');
    if (last == first) last = first + 1;
    if (last + 1 >= line.size()) throw ServerException(6, "Malformed request");

    parseTarget(line.substr(first + 1, last - first - 1));
}

void Request::parseHeaderLine(std::string_view line) {
    std::size_t separator = line.find(": ");
    if (separator == std::string_view::npos) throw ServerException(4, "Malformed headers");
    std::string_view name = line.substr(0, separator);
    std::string_view value = line.substr(separator + 2);
    if (name == "Cookie") {
        parseCookies(value);
    } else {
        headers_.emplace(std::string(name), std::string(value));
    }
}

void Request::parseTarget(std::string_view target) {
    std::string_view path = target;
    std::string_view query;
    std::size_t mark = target.find('?');
    if (mark != std::string_view::npos) {
        path = target.substr(0, mark);
        query = target.substr(mark + 1);
    }

    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view piece = path.substr(pos, slash - pos);
        pos = slash + 1;
        if (piece.empty() || piece == ".") continue;
        if (piece == "..") {
            // Climbing above the root would leave the tree of handlers.
            if (segments_.empty()) throw ServerException(1, "Hack attempt");
            segments_.pop_back();
            continue;
        }
        segments_.emplace_back(piece);
    }

    if (!query.empty()) parseQuery(query);
}

void Request::parseQuery(std::string_view query) {
    std::size_t pos = 0;
    while (true) {
        std::size_t equals = query.find('=', pos);
        if (equals == std::string_view::npos) return;
        std::size_t amp = query.find('&', equals + 1);
        if (amp == std::string_view::npos) amp = query.size();
        // The first occurrence of a key wins.
        params_.emplace(std::string(query.substr(pos, equals - pos)),
                        std::string(query.substr(equals + 1, amp - equals - 1)));
        pos = amp + 1;
        if (pos >= query.size()) return;
    }
}

void Request::parseCookies(std::string_view value) {
    std::size_t pos = 0;
    while (pos < value.size()) {
        std::size_t equals = value.find('=', pos);
        if (equals == std::string_view::npos) return;
        std::size_t separator = value.find("; ", equals + 1);
        if (separator == std::string_view::npos) separator = value.size();
        // The last occurrence of a name wins, also across Cookie headers.
        cookies_[std::string(value.substr(pos, equals - pos))] =
            std::string(value.substr(equals + 1, separator - equals - 1));
        pos = separator + 2;
    }
}

std::string Request::getParam(const std::string& name) const {
    auto it = params_.find(name);
    return it == params_.end() ? std::string() : it->second;
}

std::string Request::getCookie(const std::string& name) const {
    auto it = cookies_.find(name);
    return it == cookies_.end() ? std::string() : it->second;
}

const std::string* Request::getHeader(const std::string& name) const {
    // lower_bound, not find: find may return any of several equal names.
    auto it = headers_.lower_bound(name);
    return it == headers_.end() || it->first != name ? nullptr : &it->second;
}

}  // namespace NORRIK::Server
