// The web application through real HTTP requests on loopback, with a store
// double that records calls and can fail or throw on demand.

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "db/database_driver.hpp"
#include "http/web_app.hpp"
#include "http_client.hpp"
#include "settings.hpp"
#include "util/hex.hpp"

using NORRIK::Settings;
using NORRIK::WebApp;
using NORRIK::Server::HTTPServer;
using NORRIK::Server::Request;
using NORRIK::Server::Response;
using NORRIK::Server::ServerException;
using norrik_test::get;
using norrik_test::splitReply;

namespace {

class FakeDriver : public NORRIK::Data::DatabaseDriver {
public:
    enum class Mode { Succeed, Fail, Throw };

    FakeDriver() : DatabaseDriver(nullptr, false) {}

    bool insertTorrent(const uint8_t* info_hash) override { return record("insert", info_hash); }
    bool deleteTorrent(const uint8_t* info_hash) override { return record("delete", info_hash); }

    Mode mode = Mode::Succeed;
    std::vector<std::string> calls;  // "insert <hex>" / "delete <hex>"

private:
    bool record(const char* what, const uint8_t* info_hash) {
        calls.push_back(std::string(what) + " " + NORRIK::hashToHex(info_hash));
        if (mode == Mode::Throw) throw NORRIK::Data::DatabaseException(NORRIK::Data::DatabaseException::kUnknown);
        return mode == Mode::Succeed;
    }
};

const std::string kHash = "0123456789abcdef0123456789abcdef01234567";

class WebAppTest : public ::testing::Test {
protected:
    WebAppTest() : settings("unused.conf"), server(0, 1) {
        settings.set("api.keys", "ops", "10.0.0.9, 127.0.0.1");
        settings.set("api.keys", "other", "10.0.0.1");
        settings.set("api.keys", "empty", "");
        settings.set("api.keys", "zero", "0.0.0.0 127.0.0.1");
        app = std::make_unique<WebApp>(&server, &driver, &settings);
        app->deploy();
    }

    std::string api(const std::string& query) { return get(server.getPort(), "/api?" + query); }

    Settings settings;
    FakeDriver driver;
    HTTPServer server;
    std::unique_ptr<WebApp> app;
};

TEST_F(WebAppTest, ApiReplies) {
    struct Case {
        const char* name;
        std::string query;
        FakeDriver::Mode mode;
        std::string statusLine;
        std::string body;  // empty: the Internal Server Error page
        std::string call;  // the store call expected, if any
    };
    const std::string ok = "HTTP/1.1 200 OK";
    const std::string forbidden = "HTTP/1.1 403 Forbidden";
    const std::string failed = "HTTP/1.1 500 Internal Server Error";
    const std::string denied = "IP not whitelisted. Access Denied.";
    using M = FakeDriver::Mode;
    const Case cases[] = {
        {"auth missing", "action=add&hash=" + kHash, M::Succeed, failed, "", ""},
        {"auth empty", "auth=&action=add&hash=" + kHash, M::Succeed, failed, "", ""},
        {"key not listed", "auth=nobody&action=add&hash=" + kHash, M::Succeed, forbidden, denied, ""},
        {"address not in the key's list", "auth=other&action=add&hash=" + kHash, M::Succeed, forbidden, denied, ""},
        {"key with an empty list", "auth=empty&action=add&hash=" + kHash, M::Succeed, forbidden, denied, ""},
        {"list starting with 0.0.0.0", "auth=zero&action=add&hash=" + kHash, M::Succeed, forbidden, denied, ""},
        {"keys are case-sensitive", "auth=OPS&action=add&hash=" + kHash, M::Succeed, forbidden, denied, ""},
        {"action missing", "auth=ops&hash=" + kHash, M::Succeed, ok, "{\"error\":\"unknown action\"}", ""},
        {"action Add", "auth=ops&action=Add&hash=" + kHash, M::Succeed, ok, "{\"error\":\"unknown action\"}", ""},
        {"action delete", "auth=ops&action=delete", M::Succeed, ok, "{\"error\":\"unknown action\"}", ""},
        {"hash missing", "auth=ops&action=add", M::Succeed, ok,
         "{\"error\":\"Hash length must be 40 characters.\"}", ""},
        {"hash of 39", "auth=ops&action=add&hash=" + kHash.substr(1), M::Succeed, ok,
         "{\"error\":\"Hash length must be 40 characters.\"}", ""},
        {"hash of 41 with a bad digit", "auth=ops&action=remove&hash=" + kHash + "Z", M::Succeed, ok,
         "{\"error\":\"Hash length must be 40 characters.\"}", ""},
        {"upper-case hash", "auth=ops&action=add&hash=0123456789ABCDEF0123456789abcdef01234567", M::Succeed, ok,
         "{\"error\":\"invalid info_hash.\"}", ""},
        {"non-hex digit", "auth=ops&action=remove&hash=" + kHash.substr(0, 39) + "g", M::Succeed, ok,
         "{\"error\":\"invalid info_hash.\"}", ""},
        {"add", "auth=ops&action=add&hash=" + kHash, M::Succeed, ok, "{\"success\":true}", "insert " + kHash},
        {"remove", "auth=ops&action=remove&hash=" + kHash, M::Succeed, ok, "{\"success\":true}",
         "delete " + kHash},
        {"add refused", "auth=ops&action=add&hash=" + kHash, M::Fail, ok,
         "{\"error\":\"failed to add torrent to DB\"}", "insert " + kHash},
        {"remove refused", "auth=ops&action=remove&hash=" + kHash, M::Fail, ok,
         "{\"error\":\"failed to remove torrent from DB\"}", "delete " + kHash},
        {"store throws", "auth=ops&action=add&hash=" + kHash, M::Throw, failed, "", "insert " + kHash},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver.mode = c.mode;
        driver.calls.clear();
        auto reply = splitReply(api(c.query));
        EXPECT_EQ(reply.statusLine, c.statusLine);
        if (c.body.empty()) {
            EXPECT_EQ(reply.body, HTTPServer::internalErrorPage());
        } else {
            EXPECT_EQ(reply.body, c.body);
            // JSON and the refusal carry no header of their own.
            EXPECT_EQ(reply.headers.front(), "Connection: Close");
        }
        EXPECT_EQ(driver.calls, c.call.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.call});
    }
}

TEST_F(WebAppTest, PathsOfTheApplication) {
    EXPECT_EQ(splitReply(get(server.getPort(), "/api/?auth=ops&action=x")).body, "{\"error\":\"unknown action\"}");
    EXPECT_EQ(splitReply(get(server.getPort(), "/api/add?auth=ops")).statusLine, "HTTP/1.1 404 Not Found");
    for (const char* target : {"/announce", "/announce?info_hash=abc&port=1", "/announce/"}) {
        EXPECT_EQ(get(server.getPort(), target),
                  "HTTP/1.1 200 OK\r\nConnection: Close\r\nContent-Length: 64\r\nServer: norrik\r\n\r\n"
                  "d14:failure reason42:this is a UDP tracker, not a HTTP tracker.e");
    }
    auto home = splitReply(get(server.getPort(), "/"));
    EXPECT_EQ(home.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(home.body, WebApp::homePage());
}

TEST_F(WebAppTest, MissingWebAppObjectIsAServerError) {
    server.setData("webapp", nullptr);
    auto reply = splitReply(api("auth=ops&action=add&hash=" + kHash));
    EXPECT_EQ(reply.statusLine, "HTTP/1.1 500 Internal Server Error");
    EXPECT_TRUE(driver.calls.empty());
}

// What the 500 page hides: the handler's own exceptions, seen directly.
TEST_F(WebAppTest, ApiExceptions) {
    struct Case {
        sa_family_t family;
        std::string query;
        bool registered;
        const char* message;
    };
    const Case cases[] = {
        {AF_INET6, "auth=ops", true, "IPv4 supported Only."},
        {AF_INET, "action=add", true, "Bad Authentication Key"},
        {AF_INET, "auth=", true, "Bad Authentication Key"},
        {AF_INET, "auth=ops", false, "WebApp object wasn't found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        sockaddr_in client{};
        client.sin_family = c.family;
        client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string text = "GET /api?" + c.query + " HTTP/1.1\r\n\r\n";
        Request request = Request::parse(text.data(), static_cast<ssize_t>(text.size()), &client);
        Response response;
        server.setData("webapp", c.registered ? app.get() : nullptr);
        try {
            WebApp::handleApi(server, request, response);
            ADD_FAILURE() << "no exception";
        } catch (const ServerException& e) {
            EXPECT_EQ(e.getCode(), 0);
            EXPECT_STREQ(e.getMessage(), c.message);
        }
    }
}

std::string base64Decode(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') break;
        std::size_t value = alphabet.find(c);
        if (value == std::string::npos) return "";
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

TEST(WebAppPages, HomePageIsOneLineWithAnEmbeddedGifButton) {
    const std::string& page = WebApp::homePage();
    EXPECT_EQ(page.find('\n'), std::string::npos);
    for (const char* piece : {"<title>Powered by NORRIK</title>", "<h2>The NORRIK Project</h2>",
                              "<div style=\"vertical-align:top;\"><p>", "<br /><hr /><div style=\"font-size:small;text-align:center;\">"}) {
        EXPECT_NE(page.find(piece), std::string::npos) << piece;
    }
    const std::string marker = "src=\"data:image/gif;base64,";
    std::size_t start = page.find(marker);
    ASSERT_NE(start, std::string::npos);
    start += marker.size();
    std::string gif = base64Decode(page.substr(start, page.find('"', start) - start));
    ASSERT_GT(gif.size(), 13u);
    EXPECT_EQ(gif.substr(0, 6), "GIF89a");
    EXPECT_EQ(static_cast<uint8_t>(gif[6]) | (static_cast<uint8_t>(gif[7]) << 8), 60);  // width
    EXPECT_EQ(static_cast<uint8_t>(gif[8]) | (static_cast<uint8_t>(gif[9]) << 8), 15);  // height
    EXPECT_EQ(gif.back(), ';');  // trailer
}

TEST(WebAppWhitelist, ParsesValues) {
    auto dotted = [](const char* text) { return static_cast<uint32_t>(inet_addr(text)); };
    struct Case {
        const char* value;
        std::vector<uint32_t> addresses;  // network order
    };
    const Case cases[] = {
        {"10.0.0.1, 10.0.0.2", {dotted("10.0.0.1"), dotted("10.0.0.2")}},
        {"10.0.0.1;10.0.0.2", {dotted("10.0.0.1"), dotted("10.0.0.2")}},
        {"10.0.0.1|10.0.0.2", {}},
        {"10.0.0.1 10.0.0.2|10.0.0.3", {dotted("10.0.0.1")}},
        {"x 10.0.0.1", {dotted("10.0.0.1")}},
        {"0.0.0.0 10.0.0.1", {}},
        {"10.0.0.1 0.0.0.0 10.0.0.2", {dotted("10.0.0.1")}},
        {"10.0.0.1 10.1", {dotted("10.0.0.1"), dotted("10.1.0.0")}},
        {"10.", {dotted("10.0.0.0")}},
        {"10.0.0.1.10.0.0.2", {dotted("10.0.0.1"), dotted("10.0.0.2")}},
        {"10.0 .0.1 10.0.0.2", {}},
        {"1.2.3.256", {dotted("1.2.4.0")}},  // parts above 255 carry
        {"", {}},
        {"none at all", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(WebApp::parseWhitelist(c.value), c.addresses);
    }
}

TEST_F(WebAppTest, IsAllowedComparesNetworkOrderAddresses) {
    EXPECT_TRUE(app->isAllowed("ops", htonl(INADDR_LOOPBACK)));
    EXPECT_TRUE(app->isAllowed("ops", inet_addr("10.0.0.9")));
    EXPECT_FALSE(app->isAllowed("ops", inet_addr("10.0.0.1")));
    EXPECT_FALSE(app->isAllowed("other", htonl(INADDR_LOOPBACK)));
    EXPECT_FALSE(app->isAllowed("nobody", htonl(INADDR_LOOPBACK)));
    EXPECT_FALSE(app->isAllowed("zero", htonl(INADDR_LOOPBACK)));
}

}  // namespace
