// The HTTP server over loopback on ephemeral ports: reply bytes, routing,
// error pages, malformed and idle clients, binding and shutdown.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "http/http_server.hpp"
#include "http_client.hpp"

using NORRIK::Server::HTTPServer;
using NORRIK::Server::Request;
using NORRIK::Server::Response;
using NORRIK::Server::ServerException;
using norrik_test::ClientSocket;
using norrik_test::roundTrip;
using norrik_test::get;
using norrik_test::splitReply;

using namespace std::string_literals;

namespace {

void writeName(const char* name, Response& response) { response.write(name, -1); }
void rootHandler(HTTPServer&, Request&, Response& r) { writeName("root", r); }
void apiHandler(HTTPServer&, Request&, Response& r) { writeName("api", r); }
void firstHandler(HTTPServer&, Request&, Response& r) { writeName("first", r); }
void secondHandler(HTTPServer&, Request&, Response& r) { writeName("second", r); }
void deepHandler(HTTPServer&, Request&, Response& r) { writeName("deep", r); }

void headersHandler(HTTPServer&, Request&, Response& r) {
    r.setStatus(201, "Made It");
    r.addHeader("b-last", "1");
    r.addHeader("X-Upper", "2");
    r.addHeader("b-last", "3");
    r.addHeader("A", "4");
    r.write("body\0cut", 8);
}

void throwingHandler(HTTPServer&, Request&, Response& r) {
    r.addHeader("X-Before", "kept");
    r.write("partial;");
    throw ServerException(0, "secret cause");
}

void throwingAnythingHandler(HTTPServer&, Request&, Response&) { throw 42; }

void dataHandler(HTTPServer& server, Request&, Response& r) {
    auto* text = static_cast<std::string*>(server.getData("text"));
    r.write(text == nullptr ? std::string("none") : *text);
}

TEST(HttpServer, ReplyBytesSortHeadersByNameBeforeTheFixedOnes) {
    HTTPServer server(0, 1);
    server.addApp({"h"}, &headersHandler);
    server.addApp({"plain"}, &rootHandler);

    EXPECT_EQ(get(server.getPort(), "/h"),
              "HTTP/1.1 201 Made It\r\n"
                          "A: 4\r\n"
                          "X-Upper: 2\r\n"
                          "b-last: 1\r\n"
                          "b-last: 3\r\n"
                          "Connection: Close\r\n"
                          "Content-Length: 8\r\n"
                          "Server: norrik\r\n"
                          "\r\n"
                          "body\0cut"s);
    EXPECT_EQ(get(server.getPort(), "/plain"),
              "HTTP/1.1 200 OK\r\nConnection: Close\r\nContent-Length: 4\r\nServer: norrik\r\n\r\nroot");

    // A client asking to keep the connection still gets one reply and a close.
    std::string reply = roundTrip(server.getPort(), "GET /plain HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_NE(reply.find("\r\nConnection: Close\r\n"), std::string::npos);
}

TEST(HttpServer, EmptyReplyHasLengthZero) {
    Response response;
    EXPECT_EQ(response.serialize(), "HTTP/1.1 200 OK\r\nConnection: Close\r\nContent-Length: 0\r\nServer: norrik\r\n\r\n");
}

TEST(HttpServer, RoutesWholeSegmentsOnly) {
    HTTPServer server(0, 2);
    server.addApp({}, &rootHandler);
    server.addApp({"api"}, &apiHandler);
    server.addApp({"twice"}, &firstHandler);
    server.addApp({"twice"}, &secondHandler);
    server.addApp({"a", "b"}, &deepHandler);

    struct Case {
        std::string request;
        std::string body;  // empty: the Not Found page
    };
    const Case cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", "root"},
        {"GET  HTTP/1.1\r\n\r\n", "root"},  // empty target
        {"GET /api HTTP/1.1\r\n\r\n", "api"},
        {"GET /api/ HTTP/1.1\r\n\r\n", "api"},
        {"GET /api?auth=x HTTP/1.1\r\n\r\n", "api"},
        {"GET /x/../api HTTP/1.1\r\n\r\n", "api"},
        {"GET /api/x HTTP/1.1\r\n\r\n", ""},
        {"GET /API HTTP/1.1\r\n\r\n", ""},
        {"GET /twice HTTP/1.1\r\n\r\n", "second"},
        {"GET /a HTTP/1.1\r\n\r\n", ""},  // intermediate node without a handler
        {"GET /a/b HTTP/1.1\r\n\r\n", "deep"},
        {"GET /b HTTP/1.1\r\n\r\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        auto reply = splitReply(roundTrip(server.getPort(), c.request));
        if (c.body.empty()) {
            EXPECT_EQ(reply.statusLine, "HTTP/1.1 404 Not Found");
            EXPECT_EQ(reply.body, HTTPServer::notFoundPage());
        } else {
            EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
            EXPECT_EQ(reply.body, c.body);
        }
    }
}

TEST(HttpServer, ErrorPages) {
    HTTPServer server(0, 1);
    server.addApp({"throws"}, &throwingHandler);
    server.addApp({"throws-int"}, &throwingAnythingHandler);

    auto notFound = splitReply(get(server.getPort(), "/nothing"));
    EXPECT_EQ(notFound.statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(notFound.headers, (std::vector<std::string>{"Content-Type: text/html; charset=US-ASCII",
                                                           "Connection: Close",
                                                           "Content-Length: " + std::to_string(notFound.body.size()),
                                                           "Server: norrik"}));
    const std::string notFoundStart =
        "<html><head><title>Not Found</title></head><body><h1>Not Found</h1><div>The server couldn't find the "
        "request resource.</div><br /><hr /><div style=\"font-size:small;text-align:center;\">";
    EXPECT_EQ(notFound.body.substr(0, notFoundStart.size()), notFoundStart);
    EXPECT_EQ(notFound.body.substr(notFound.body.size() - 20), "</div></body></html>");
    EXPECT_NE(notFound.body.find("<a href="), std::string::npos);

    // The handler's headers and body stay; the page follows; the cause stays secret.
    auto failed = splitReply(get(server.getPort(), "/throws"));
    EXPECT_EQ(failed.statusLine, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(failed.headers[0], "Content-Type: text/html; charset=US-ASCII");
    EXPECT_EQ(failed.headers[1], "X-Before: kept");
    EXPECT_EQ(failed.body, "partial;" + HTTPServer::internalErrorPage());
    EXPECT_EQ(failed.body.find("secret"), std::string::npos);
    const std::string errorStart =
        "<html><head><title>Internal Server Error</title></head><body><h1>Internal Server Error</h1><div>An "
        "Error Occurred while trying to process your request.</div><br /><hr /><div "
        "style=\"font-size:small;text-align:center;\">";
    EXPECT_EQ(HTTPServer::internalErrorPage().substr(0, errorStart.size()), errorStart);

    auto failedInt = splitReply(get(server.getPort(), "/throws-int"));
    EXPECT_EQ(failedInt.statusLine, "HTTP/1.1 500 Internal Server Error");
    EXPECT_EQ(failedInt.body, HTTPServer::internalErrorPage());
}

TEST(HttpServer, BadRequestsAreClosedWithoutAByte) {
    HTTPServer server(0, 1);
    server.addApp({}, &rootHandler);
    for (const std::string& bytes : {std::string("GET / HTTP/1.1\r\nHost:example\r\n\r\n"),
                                     std::string("GET /.. HTTP/1.1\r\n\r\n"), std::string(3000, 'x')}) {
        ClientSocket client(server.getPort());
        client.send(bytes);
        EXPECT_EQ(client.readAll(), "");
    }
    {
        ClientSocket client(server.getPort());
        ::shutdown(client.fd(), SHUT_WR);  // closes without sending
        EXPECT_EQ(client.readAll(), "");
    }
    EXPECT_EQ(splitReply(get(server.getPort(), "/")).body, "root");  // still serving
}

TEST(HttpServer, IdleClientTimesOutAndDoesNotBlockTheOnlyWorker) {
    HTTPServer server(0, 1, std::chrono::milliseconds(300));
    server.addApp({}, &rootHandler);

    ClientSocket idle(server.getPort());  // connects, sends nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The second client waits behind the idle one until its receive times out.
    EXPECT_EQ(splitReply(get(server.getPort(), "/")).body, "root");
    EXPECT_EQ(idle.readAll(), "");  // closed without a reply

    // A client that trickles a partial request is cut off the same way.
    ClientSocket trickle(server.getPort());
    trickle.send("GET / HT");
    EXPECT_EQ(trickle.readAll(), "");
}

TEST(HttpServer, BusyPortIsReportedAndRestartAfterTrafficWorks) {
    uint16_t port;
    {
        HTTPServer first(0, 1);
        first.addApp({}, &rootHandler);
        port = first.getPort();
        try {
            HTTPServer second(port, 1);
            ADD_FAILURE() << "a second server bound a port in use";
        } catch (const ServerException& e) {
            EXPECT_EQ(e.getCode(), 2);
            EXPECT_STREQ(e.getMessage(), "Failed to bind socket");
        }
        // The server closes this connection itself, leaving it in TIME_WAIT.
        EXPECT_EQ(splitReply(get(port, "/")).body, "root");
    }
    HTTPServer restarted(port, 1);
    restarted.addApp({}, &rootHandler);
    EXPECT_EQ(splitReply(get(port, "/")).body, "root");
}

std::atomic<bool> gSlowHandlerEntered{false};
std::atomic<bool> gSlowHandlerDone{false};

void slowHandler(HTTPServer&, Request&, Response& r) {
    gSlowHandlerEntered = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    r.write("slow");
    gSlowHandlerDone = true;
}

TEST(HttpServer, DestructorWaitsForRunningHandlersAndStopsIdleWorkers) {
    auto server = std::make_unique<HTTPServer>(0, 4);
    server->addApp({"slow"}, &slowHandler);
    uint16_t port = server->getPort();
    auto reply = std::async(std::launch::async, [port] { return get(port, "/slow"); });
    while (!gSlowHandlerEntered) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server.reset();  // three idle workers and one inside the handler
    EXPECT_TRUE(gSlowHandlerDone);
    EXPECT_EQ(splitReply(reply.get()).body, "slow");
}

TEST(HttpServer, ShutdownDoesNotWaitForIdleClients) {
    auto server = std::make_unique<HTTPServer>(0, 1, std::chrono::minutes(10));
    server->addApp({}, &rootHandler);
    ClientSocket idle(server->getPort());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the only worker take it
    auto stopped = std::async(std::launch::async, [&server] { server.reset(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(idle.readAll(), "");
}

TEST(HttpServer, NamedObjectsAndThreadCount) {
    HTTPServer server(0, 0);
    EXPECT_EQ(server.getThreadCount(), 1);
    server.addApp({"data"}, &dataHandler);
    EXPECT_EQ(server.getData("text"), nullptr);
    EXPECT_EQ(splitReply(get(server.getPort(), "/data")).body, "none");
    std::string first = "first", second = "second";
    server.setData("text", &first);
    server.setData("text", &second);
    EXPECT_EQ(server.getData("text"), &second);
    EXPECT_EQ(splitReply(get(server.getPort(), "/data")).body, "second");
}

TEST(HttpServer, RegistrationWhileServing) {
    // Handlers and objects registered while clients are being served: the
    // lock keeps the tree consistent (a thread sanitizer build checks this).
    HTTPServer server(0, 2);
    uint16_t port = server.getPort();
    std::atomic<bool> stop{false};
    std::thread client([&] {
        while (!stop) get(port, "/p0");
    });
    for (int i = 0; i < 200; ++i) server.addApp({"p" + std::to_string(i), "x"}, &rootHandler);
    server.addApp({"p0"}, &apiHandler);
    for (int i = 0; i < 200; ++i) server.setData("n" + std::to_string(i), &server);
    stop = true;
    client.join();
    EXPECT_EQ(splitReply(get(port, "/p0")).body, "api");
    EXPECT_EQ(splitReply(get(port, "/p7/x")).body, "root");
}

}  // namespace
