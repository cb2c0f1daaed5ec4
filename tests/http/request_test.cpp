// The request parser on byte strings: every failure code and message, and
// what the successful parses hold.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "http/request.hpp"

using NORRIK::Server::Request;
using NORRIK::Server::ServerException;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Request parseText(const std::string& text) { return Request::parse(text.data(), static_cast<ssize_t>(text.size())); }

// A request of exactly `size` bytes: a request line, one header padded to
// fill, and the empty line.
std::string requestOfSize(std::size_t size) {
    std::string head = "GET /big HTTP/1.1\r\nX-Pad: ";
    std::string tail = "\r\n\r\n";
    return head + std::string(size - head.size() - tail.size(), 'p') + tail;
}

struct Failure {
    const char* name;
    std::string bytes;
    int32_t code;
    const char* message;
};

TEST(RequestParse, FailuresCarryTheirCodeAndMessage) {
    const Failure cases[] = {
        {"bare LF line ends", "GET / HTTP/1.1\n\n", 3, "No Request header."},
        {"leading empty line", "\r\nGET / HTTP/1.1\r\n\r\n", 3, "No Request header."},
        {"request line cut off by the receive", "GET / HT", 3, "No Request header."},
        {"lone CR LF", "\r\n", 3, "No Request header."},
        {"header without colon space", "GET / HTTP/1.1\r\nHost:example\r\n\r\n", 4, "Malformed headers"},
        {"header without any colon", "GET / HTTP/1.1\r\nHost example\r\n\r\n", 4, "Malformed headers"},
        {"no space in request line", "GET/HTTP/1.1\r\n\r\n", 5, "Malformed request method"},
        {"no version after the target", "GET /\r\n\r\n", 6, "Malformed request"},
        {"trailing space, empty version", "GET / \r\n\r\n", 6, "Malformed request"},
        {"climbing above the root", "GET /.. HTTP/1.1\r\n\r\n", 1, "Hack attempt"},
        {"climbing above the root later", "GET /a/../.. HTTP/1.1\r\n\r\n", 1, "Hack attempt"},
        {"request line fails before a bad header", "GET /.. HTTP/1.1\r\nbad\r\n\r\n", 1, "Hack attempt"},
        {"bad header after a good one", "GET / HTTP/1.1\r\nA: b\r\nbad\r\n\r\n", 4, "Malformed headers"},
        {"a full buffer", requestOfSize(Request::kBufferSize), 1, "Request Size too big."},
        {"a full buffer of garbage", std::string(Request::kBufferSize, '\n'), 1, "Request Size too big."},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            parseText(c.bytes);
            ADD_FAILURE() << "parsed";
        } catch (const ServerException& e) {
            EXPECT_EQ(e.getCode(), c.code);
            EXPECT_STREQ(e.getMessage(), c.message);
        }
    }
}

TEST(RequestParse, FailedOrEmptyReceiveIsSocketError) {
    char buffer[4] = {'G', 'E', 'T', ' '};
    for (ssize_t received : {ssize_t{0}, ssize_t{-1}}) {
        try {
            Request::parse(buffer, received);
            ADD_FAILURE() << "parsed";
        } catch (const ServerException& e) {
            EXPECT_EQ(e.getCode(), 2);
            EXPECT_STREQ(e.getMessage(), "Socket Error");
        }
    }
}

TEST(RequestParse, LargestRequestThatFitsParses) {
    Request request = parseText(requestOfSize(Request::kBufferSize - 1));
    EXPECT_EQ(request.getSegments(), std::vector<std::string>{"big"});
    ASSERT_NE(request.getHeader("X-Pad"), nullptr);
}

struct Success {
    const char* name;
    std::string bytes;
    std::string methodText;
    int32_t method;
    std::vector<std::string> segments;
    std::map<std::string, std::string> params;
    std::map<std::string, std::string> cookies;
    Pairs headers;  // in map order, equal names in arrival order
};

TEST(RequestParse, ParsedFields) {
    const Success cases[] = {
        {"plain root", "GET / HTTP/1.1\r\n", "GET", 1, {}, {}, {}, {}},
        {"method glued to target", "GET/ HTTP/1.1\r\n\r\n", "GET/", 0, {}, {}, {}, {}},
        {"single space: empty target", "GET /x\r\n\r\n", "GET", 1, {}, {}, {}, {}},
        {"other methods", "PUT /a HTTP/1.1\r\n\r\n", "PUT", 0, {"a"}, {}, {}, {}},
        {"POST", "POST /a HTTP/1.1\r\n\r\n", "POST", 2, {"a"}, {}, {}, {}},
        {"method is case-sensitive", "get /a HTTP/1.1\r\n\r\n", "get", 0, {"a"}, {}, {}, {}},
        {"space inside the target", "GET /a b HTTP/1.1\r\n\r\n", "GET", 1, {"a b"}, {}, {}, {}},
        {"empty pieces and dots", "GET /a//b/./ HTTP/1.1\r\n\r\n", "GET", 1, {"a", "b"}, {}, {}, {}},
        {"leading dot", "GET /./a HTTP/1.1\r\n\r\n", "GET", 1, {"a"}, {}, {}, {}},
        {"dot-dot removes one segment", "GET /a/../b HTTP/1.1\r\n\r\n", "GET", 1, {"b"}, {}, {}, {}},
        {"relative target", "GET api HTTP/1.1\r\n\r\n", "GET", 1, {"api"}, {}, {}, {}},
        {"absolute-form target", "GET http://h/p HTTP/1.1\r\n\r\n", "GET", 1, {"http:", "h", "p"}, {}, {}, {}},
        {"no decoding", "GET /a%20b?x=1+2 HTTP/1.1\r\n\r\n", "GET", 1, {"a%20b"}, {{"x", "1+2"}}, {}, {}},
        {"first query key wins", "GET /?a=1&a=2 HTTP/1.1\r\n\r\n", "GET", 1, {}, {{"a", "1"}}, {}, {}},
        {"empty value", "GET /?a=&b=2 HTTP/1.1\r\n\r\n", "GET", 1, {}, {{"a", ""}, {"b", "2"}}, {}, {}},
        {"piece without equals joins the next", "GET /?x&y=1 HTTP/1.1\r\n\r\n", "GET", 1, {}, {{"x&y", "1"}}, {}, {}},
        {"lone key", "GET /?a HTTP/1.1\r\n\r\n", "GET", 1, {}, {}, {}, {}},
        {"second question mark stays", "GET /p?a=1?b=2 HTTP/1.1\r\n\r\n", "GET", 1, {"p"}, {{"a", "1?b=2"}}, {}, {}},
        {"trailing ampersand", "GET /?a=1& HTTP/1.1\r\n\r\n", "GET", 1, {}, {{"a", "1"}}, {}, {}},
        {"empty header name", "GET / HTTP/1.1\r\n: x\r\n\r\n", "GET", 1, {}, {}, {}, {{"", "x"}}},
        {"later colon space stays in the value", "GET / HTTP/1.1\r\nA: b: c\r\n\r\n", "GET", 1, {}, {}, {},
         {{"A", "b: c"}}},
        {"headers sorted by name, repeats in arrival order",
         "GET / HTTP/1.1\r\nb: 1\r\nA: 2\r\nb: 3\r\n\r\n", "GET", 1, {}, {}, {},
         {{"A", "2"}, {"b", "1"}, {"b", "3"}}},
        {"last cookie wins", "GET / HTTP/1.1\r\nCookie: a=1; a=2\r\n\r\n", "GET", 1, {}, {}, {{"a", "2"}}, {}},
        {"last cookie wins across headers", "GET / HTTP/1.1\r\nCookie: a=1; b=2\r\nCookie: a=3\r\n\r\n", "GET",
         1, {}, {}, {{"a", "3"}, {"b", "2"}}, {}},
        {"semicolon without space does not separate", "GET / HTTP/1.1\r\nCookie: a=1;b=2\r\n\r\n", "GET", 1, {},
         {}, {{"a", "1;b=2"}}, {}},
        {"lower-case cookie is a header", "GET / HTTP/1.1\r\ncookie: a=1\r\n\r\n", "GET", 1, {}, {}, {},
         {{"cookie", "a=1"}}},
        {"zero byte cuts the line", std::string("GET /a\0junk HTTP/1.1\r\n\r\n", 24), "GET", 1, {}, {}, {}, {}},
        {"body after the empty line is ignored", "GET / HTTP/1.1\r\n\r\nnot a header\r\n", "GET", 1, {}, {}, {},
         {}},
        {"unterminated last line is ignored", "GET / HTTP/1.1\r\nA: b", "GET", 1, {}, {}, {}, {}},
    };
    for (const Success& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Request request = parseText(c.bytes);
            EXPECT_EQ(request.getMethodText(), c.methodText);
            EXPECT_EQ(request.getMethod(), c.method);
            EXPECT_EQ(request.getSegments(), c.segments);
            EXPECT_EQ(request.getParams(), c.params);
            EXPECT_EQ(request.getCookies(), c.cookies);
            EXPECT_EQ(Pairs(request.getHeaders().begin(), request.getHeaders().end()), c.headers);
        } catch (const ServerException& e) {
            ADD_FAILURE() << "ServerException #" << e.getCode() << ": " << e.getMessage();
        }
    }
}

TEST(RequestParse, Accessors) {
    sockaddr_in client{};
    client.sin_family = AF_INET;
    std::string text = "GET /?a=1&e= HTTP/1.1\r\nX: first\r\nX: second\r\nCookie: c=v\r\n\r\n";
    Request request = Request::parse(text.data(), static_cast<ssize_t>(text.size()), &client, 7);
    EXPECT_EQ(request.getAddress(), &client);
    EXPECT_EQ(request.getSocket(), 7);
    EXPECT_EQ(request.getParam("a"), "1");
    EXPECT_EQ(request.getParam("e"), "");
    EXPECT_EQ(request.getParam("missing"), "");
    EXPECT_EQ(request.getCookie("c"), "v");
    EXPECT_EQ(request.getCookie("missing"), "");
    ASSERT_NE(request.getHeader("X"), nullptr);
    EXPECT_EQ(*request.getHeader("X"), "first");
    EXPECT_EQ(request.getHeader("x"), nullptr);
}

}  // namespace
