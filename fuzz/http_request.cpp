// The HTTP request parser on raw bytes, as one receive delivers them: it
// either fails with one of its ServerException codes (nothing else may
// escape) or yields a request whose parts keep the parser's promises: the
// method code matches the method text, no path segment is empty, "." or
// ".." or holds a "/", and no query value holds a "&".

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.hpp"
#include "http/request.hpp"
#include "http/server_exception.hpp"

using NORRIK::Server::Request;
using NORRIK::Server::ServerException;

namespace {

bool knownFailure(const ServerException& e) {
    static const struct {
        int32_t code;
        const char* message;
    } kKnown[] = {
        {1, "Request Size too big."}, {2, "Socket Error"},      {3, "No Request header."},
        {4, "Malformed headers"},     {5, "Malformed request method"}, {6, "Malformed request"},
        {1, "Hack attempt"},
    };
    for (const auto& known : kKnown) {
        if (e.getCode() == known.code && std::strcmp(e.getMessage(), known.message) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One receive into the 2048-byte buffer keeps at most that much. An
    // exactly sized copy lets ASan catch a read past what was received.
    const std::size_t kept = size < Request::kBufferSize ? size : Request::kBufferSize;
    std::vector<char> received(data, data + kept);
    try {
        Request request = Request::parse(received.data(), static_cast<ssize_t>(kept));
        FUZZ_CHECK(kept > 0 && kept < Request::kBufferSize);
        const std::string& method = request.getMethodText();
        const int32_t expected = method == "GET" ? Request::kMethodGet : method == "POST" ? Request::kMethodPost
                                                                                         : Request::kMethodOther;
        FUZZ_CHECK(request.getMethod() == expected);
        for (const std::string& segment : request.getSegments()) {
            FUZZ_CHECK(!segment.empty() && segment != "." && segment != "..");
            FUZZ_CHECK(segment.find('/') == std::string::npos && segment.find('?') == std::string::npos);
        }
        for (const auto& [key, value] : request.getParams()) {
            FUZZ_CHECK(value.find('&') == std::string::npos);
            FUZZ_CHECK(request.getParam(key) == value);
        }
        for (const auto& [name, value] : request.getHeaders()) {
            FUZZ_CHECK(name != "Cookie");
            FUZZ_CHECK(request.getHeader(name) != nullptr);
        }
    } catch (const ServerException& e) {
        FUZZ_CHECK(knownFailure(e));
        if (kept >= Request::kBufferSize) FUZZ_CHECK(e.getCode() == 1);
        if (kept == 0) FUZZ_CHECK(e.getCode() == 2);
    }
    return 0;
}
