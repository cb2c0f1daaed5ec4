#pragma once
// NORRIK::WebApp: the web application on the HTTPServer. Three paths:
//   ""         the home page (static HTML);
//   "announce" a bencoded refusal for clients that try to announce over HTTP;
//   "api"      the JSON API through which an operator adds and removes
//              torrents: ?auth=<key>&action=add|remove&hash=<40 hex digits>.
// Each API key (a key of the settings section "api.keys") admits only the
// IPv4 source addresses listed in its value.
//
// The WebApp borrows the server, the driver and the settings; the whitelist
// is filled by the constructor and only read afterwards, so the handlers may
// run on several workers at once. It registers itself with the server as the
// object "webapp" and does not unregister: the server (whose workers call the
// handlers) must be destroyed first.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "db/database_driver.hpp"
#include "http/http_server.hpp"
#include "settings.hpp"

namespace NORRIK {

class WebApp {
public:
    WebApp(Server::HTTPServer* server, Data::DatabaseDriver* driver, Settings* settings);

    WebApp(const WebApp&) = delete;
    WebApp& operator=(const WebApp&) = delete;

    // Registers the handlers of "", "api" and "announce", in that order.
    void deploy();

    // True when the key is listed and its list holds the address (network
    // byte order, as in a socket address record).
    bool isAllowed(const std::string& key, uint32_t address) const;

    // Reads one "api.keys" value into addresses in network byte order, as
    // readWhitelist (util/whitelist.hpp) describes.
    static std::vector<uint32_t> parseWhitelist(std::string_view value);

    static void handleRoot(Server::HTTPServer& server, Server::Request& request, Server::Response& response);
    static void handleApi(Server::HTTPServer& server, Server::Request& request, Server::Response& response);
    static void handleHttpAnnounce(Server::HTTPServer& server, Server::Request& request,
                                   Server::Response& response);

    void doAddTorrent(Server::Request& request, Server::Response& response);
    void doRemoveTorrent(Server::Request& request, Server::Response& response);

    static const std::string& homePage();

private:
    Server::HTTPServer* server_;
    Data::DatabaseDriver* driver_;
    std::map<std::string, std::vector<uint32_t>> ipWhitelist_;
};

}  // namespace NORRIK
