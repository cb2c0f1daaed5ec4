#include "http/web_app.hpp"

#include <sys/socket.h>

#include <algorithm>

#include "util/hex.hpp"
#include "util/whitelist.hpp"

namespace NORRIK {

using Server::HTTPServer;
using Server::Request;
using Server::Response;
using Server::ServerException;

namespace {

constexpr const char* kWebAppName = "webapp";

// A 60x15 button reading "NORRIK", 127 bytes as a GIF.
constexpr const char* kButtonGif =
    "R0lGODlhPAAPAIEAAB0/Xytso////wAAACwAAAAAPAAPAAACWISPqcvtGqKctNqLszS6+39x4EhiYomiZydEbSC8sRy7tQy"
    "u2g27fY/7tV4fXWY49M1sRBrJiMFJhT8q0QO9BGtWJa/ayabGJgD5jDWj1yE1+715yOd0RwEAOw==";

// The hash parameter as 20 bytes; false when it is not 40 lower-case hex
// digits. The length is checked (and reported) by the caller first.
bool readHash(const Request& request, Response& response, uint8_t* hash) {
    std::string text = request.getParam("hash");
    if (text.size() != kInfoHashHexSize) {
        response.write("{\"error\":\"Hash length must be 40 characters.\"}");
        return false;
    }
    if (!hexToHash(text, hash)) {
        response.write("{\"error\":\"invalid info_hash.\"}");
        return false;
    }
    return true;
}

}  // namespace

const std::string& WebApp::homePage() {
    static const std::string page =
        std::string("<html><head><title>Powered by NORRIK</title></head><body>") +
        "<h2>The NORRIK Project</h2>" +
        "<div style=\"vertical-align:top;\"><p>This BitTorrent tracker runs on norrik, a small "
        "UDP tracker for IPv4 with an SQLite store and a JSON API for its operator. "
        "norrik is free software: you can get its source code and documentation from "
        "<a href=\"https://norrik.example.org/\">norrik.example.org</a>. "
        "If it serves you well, please help the project along: "
        "<a href=\"https://norrik.example.org/support\"><img alt=\"Support norrik\" "
        "src=\"data:image/gif;base64," +
        kButtonGif +
        "\" /></a></p></div>"
        "<br /><hr />"
        "<div style=\"font-size:small;text-align:center;\">norrik BitTorrent tracker &middot; "
        "<a href=\"https://norrik.example.org/\">norrik.example.org</a></div>"
        "</body></html>";
    return page;
}

WebApp::WebApp(HTTPServer* server, Data::DatabaseDriver* driver, Settings* settings)
    : server_(server), driver_(driver) {
    if (const Settings::Section* keys = settings->getSection("api.keys")) {
        for (const auto& [key, value] : keys->getEntries()) ipWhitelist_.emplace(key, parseWhitelist(value));
    }
    server_->setData(kWebAppName, this);
}

void WebApp::deploy() {
    server_->addApp({}, &WebApp::handleRoot);
    server_->addApp({"api"}, &WebApp::handleApi);
    server_->addApp({"announce"}, &WebApp::handleHttpAnnounce);
}

std::vector<uint32_t> WebApp::parseWhitelist(std::string_view value) { return readWhitelist(value).addresses; }

bool WebApp::isAllowed(const std::string& key, uint32_t address) const {
    auto it = ipWhitelist_.find(key);
    if (it == ipWhitelist_.end()) return false;
    return std::find(it->second.begin(), it->second.end(), address) != it->second.end();
}

void WebApp::handleRoot(HTTPServer&, Request&, Response& response) { response.write(homePage()); }

void WebApp::handleHttpAnnounce(HTTPServer&, Request&, Response& response) {
    response.write("d14:failure reason42:this is a UDP tracker, not a HTTP tracker.e");
}

void WebApp::handleApi(HTTPServer& server, Request& request, Response& response) {
    const sockaddr_in* client = request.getAddress();
    if (client == nullptr || client->sin_family != AF_INET) throw ServerException(0, "IPv4 supported Only.");

    std::string key = request.getParam("auth");
    if (key.empty()) throw ServerException(0, "Bad Authentication Key");

    auto* app = static_cast<WebApp*>(server.getData(kWebAppName));
    if (app == nullptr) throw ServerException(0, "WebApp object wasn't found");

    if (!app->isAllowed(key, client->sin_addr.s_addr)) {
        response.setStatus(403, "Forbidden");
        response.write("IP not whitelisted. Access Denied.");
        return;
    }

    std::string action = request.getParam("action");
    if (action == "add") {
        app->doAddTorrent(request, response);
    } else if (action == "remove") {
        app->doRemoveTorrent(request, response);
    } else {
        response.write("{\"error\":\"unknown action\"}");
    }
}

void WebApp::doAddTorrent(Request& request, Response& response) {
    uint8_t hash[kInfoHashSize];
    if (!readHash(request, response, hash)) return;
    if (driver_->insertTorrent(hash)) {
        response.write("{\"success\":true}");
    } else {
        response.write("{\"error\":\"failed to add torrent to DB\"}");
    }
}

void WebApp::doRemoveTorrent(Request& request, Response& response) {
    uint8_t hash[kInfoHashSize];
    if (!readHash(request, response, hash)) return;
    if (driver_->deleteTorrent(hash)) {
        response.write("{\"success\":true}");
    } else {
        response.write("{\"error\":\"failed to remove torrent from DB\"}");
    }
}

}  // namespace NORRIK
