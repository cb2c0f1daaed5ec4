#pragma once
// NORRIK::Server::ServerException: the error of the HTTP side. A numeric code
// and a fixed, statically allocated message (never owned or freed). Thrown by
// value, caught by reference. Codes repeat across throwers; the message tells
// the cases apart:
//   1 "Failed to create Socket"   2 "Failed to bind socket"   (server start)
//   1 "Request Size too big."     2 "Socket Error"            (request read)
//   3 "No Request header."        4 "Malformed headers"
//   5 "Malformed request method"  6 "Malformed request"
//   1 "Hack attempt"                                           (path guard)
//   0 "IPv4 supported Only."  0 "Bad Authentication Key"
//   0 "WebApp object wasn't found"                            (API handler)

#include <cstdint>

namespace NORRIK::Server {

class ServerException {
public:
    constexpr ServerException(int32_t code, const char* message) : code_(code), message_(message) {}

    constexpr int32_t getCode() const { return code_; }
    constexpr const char* getMessage() const { return message_; }

private:
    int32_t code_;
    const char* message_;
};

}  // namespace NORRIK::Server
