#pragma once
// NORRIK::MetricsApp: the path "metrics" on the HTTPServer, the operator's
// figures in the text format Prometheus servers scrape: the tracker's
// request counters, the store's state (torrents, peers, the write queue,
// commits, the last maintenance pass), uptime and the build's version.
//
// Only the source addresses that "metrics_allow" of section "apiserver"
// lists may read it (read like an API key's list, util/whitelist.hpp); when
// the key is absent or empty, 127.0.0.1 alone. Any other sender gets the
// server's Not Found answer, byte for byte, so the path's existence is not
// revealed.
//
// The MetricsApp borrows the server, the store and the counters, which must
// outlive it; it registers itself as the server's object "metrics" and does
// not unregister, so the server (whose workers call the handler) must be
// destroyed first. Everything it reads is safe to read from any thread; the
// allow list is filled by the constructor and only read afterwards.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "db/database_driver.hpp"
#include "http/http_server.hpp"
#include "settings.hpp"
#include "tracker/tracker_counters.hpp"

namespace NORRIK {

class MetricsApp {
public:
    static constexpr const char* kContentType = "text/plain; version=0.0.4";

    struct Sources {
        const Data::DatabaseDriver* driver = nullptr;  // none: the store's figures read as 0
        const TrackerCounters* counters = nullptr;     // none: the tracker's counters read as 0
        std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
        std::string version;  // the build_info label
    };

    MetricsApp(Server::HTTPServer* server, const Settings& settings, Sources sources);

    MetricsApp(const MetricsApp&) = delete;
    MetricsApp& operator=(const MetricsApp&) = delete;

    // Registers the handler of "metrics".
    void deploy();

    // Whether `address` (network byte order) may read the metrics.
    bool isAllowed(uint32_t address) const;

    // The whole page, as the handler sends it.
    std::string render() const;

    static void handleMetrics(Server::HTTPServer& server, Server::Request& request, Server::Response& response);

private:
    Server::HTTPServer* server_;
    Sources sources_;
    std::vector<uint32_t> allowed_;  // network byte order
};

}  // namespace NORRIK
