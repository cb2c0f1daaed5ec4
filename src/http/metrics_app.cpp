#include "http/metrics_app.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>

#include "http/metrics_text.hpp"
#include "util/whitelist.hpp"

namespace NORRIK {

using Server::HTTPServer;
using Server::MetricsText;
using Server::Request;
using Server::Response;

namespace {

constexpr const char* kMetricsName = "metrics";

using Type = MetricsText::Type;
using Counter = TrackerCounters::Counter;

struct LabelledCounter {
    const char* label;
    Counter counter;
};

constexpr LabelledCounter kRequests[] = {
    {"connect", TrackerCounters::kConnects},
    {"announce", TrackerCounters::kAnnounces},
    {"scrape", TrackerCounters::kScrapes},
};

constexpr LabelledCounter kErrors[] = {
    {"not_understood", TrackerCounters::kErrorNotUnderstood},
    {"remote_ip", TrackerCounters::kErrorRemoteIp},
    {"not_registered", TrackerCounters::kErrorNotRegistered},
    {"bad_scrape", TrackerCounters::kErrorBadScrape},
    {"scrape_failed", TrackerCounters::kErrorScrapeFailed},
};

constexpr LabelledCounter kDrops[] = {
    {"source_filter", TrackerCounters::kDroppedSourceFilter},
    {"connection_id", TrackerCounters::kDroppedConnectionId},
};

}  // namespace

MetricsApp::MetricsApp(HTTPServer* server, const Settings& settings, Sources sources)
    : server_(server), sources_(std::move(sources)) {
    const std::string allow = settings.get("apiserver", "metrics_allow");
    if (allow.empty()) {
        allowed_.push_back(htonl(INADDR_LOOPBACK));
    } else {
        // A list that reads as no address at all (say "0.0.0.0") admits
        // nobody.
        allowed_ = readWhitelist(allow).addresses;
    }
    server_->setData(kMetricsName, this);
}

void MetricsApp::deploy() { server_->addApp({kMetricsName}, &MetricsApp::handleMetrics); }

bool MetricsApp::isAllowed(uint32_t address) const {
    return std::find(allowed_.begin(), allowed_.end(), address) != allowed_.end();
}

void MetricsApp::handleMetrics(HTTPServer& server, Request& request, Response& response) {
    const auto* app = static_cast<const MetricsApp*>(server.getData(kMetricsName));
    const sockaddr_in* client = request.getAddress();
    if (app == nullptr || client == nullptr || client->sin_family != AF_INET ||
        !app->isAllowed(client->sin_addr.s_addr)) {
        HTTPServer::writeNotFound(response);
        return;
    }
    response.addHeader("Content-Type", kContentType);
    response.write(app->render());
}

std::string MetricsApp::render() const {
    const TrackerCounters::Totals counts = sources_.counters != nullptr ? sources_.counters->totals()
                                                                        : TrackerCounters::Totals{};
    const Data::StoreStatus store = sources_.driver != nullptr ? sources_.driver->status() : Data::StoreStatus{};
    MetricsText page;

    page.family("norrik_udp_datagrams_total", Type::kCounter,
                "UDP datagrams received by the tracker, whatever became of them.");
    page.sample(counts[TrackerCounters::kDatagrams]);
    page.family("norrik_udp_requests_total", Type::kCounter,
                "UDP requests that reached the handler of their action (connect, announce, scrape).");
    for (const LabelledCounter& c : kRequests) page.sample({{"action", c.label}}, counts[c.counter]);
    page.family("norrik_udp_errors_total", Type::kCounter, "UDP error replies sent, by kind.");
    for (const LabelledCounter& c : kErrors) page.sample({{"kind", c.label}}, counts[c.counter]);
    page.family("norrik_udp_dropped_total", Type::kCounter,
                "UDP requests dropped without a reply: source_filter for a reserved source range, "
                "connection_id for an announce or scrape whose connection identifier was refused.");
    for (const LabelledCounter& c : kDrops) page.sample({{"kind", c.label}}, counts[c.counter]);

    page.family("norrik_torrents", Type::kGauge, "Torrents registered.");
    page.sample(store.torrents);
    page.family("norrik_peers", Type::kGauge, "Peers of all torrents.");
    page.sample(store.peers);
    page.family("norrik_seeders", Type::kGauge, "Peers that have the whole torrent.");
    page.sample(store.seeders);
    page.family("norrik_leechers", Type::kGauge, "Peers that still download.");
    page.sample(store.leechers);

    page.family("norrik_store_queued_writes", Type::kGauge, "Writes waiting for the store's writer thread.");
    page.sample(store.queuedWrites);
    page.family("norrik_store_queue_lag_seconds", Type::kGauge,
                "Age of the oldest write waiting for the writer thread; 0 when none waits.");
    page.sample({}, store.queueLagSeconds);
    page.family("norrik_store_dropped_writes_total", Type::kCounter,
                "Peer rows not queued for the database because the write queue was full.");
    page.sample(store.droppedWrites);
    page.family("norrik_store_commits_total", Type::kCounter, "Database transactions committed.");
    page.sample(store.commits);
    page.family("norrik_store_failed_commits_total", Type::kCounter, "Database transactions that failed.");
    page.sample(store.failedCommits);
    page.family("norrik_store_rows_not_stored_total", Type::kCounter,
                "Rows that could not be written to the database, or were still waiting when it was closed.");
    page.sample(store.rowsNotStored);
    page.family("norrik_store_writer_failing", Type::kGauge, "1 while the database refuses writes, else 0.");
    page.sample(store.writerFailing ? 1u : 0u);
    // No sample until the first pass has ended: there is no duration yet.
    page.family("norrik_maintenance_last_pass_seconds", Type::kGauge,
                "Duration of the last maintenance pass (expiry of silent peers).");
    if (store.lastPassSeconds >= 0) page.sample({}, store.lastPassSeconds);

    page.family("norrik_uptime_seconds", Type::kGauge, "Seconds since norrik started.");
    page.sample({}, std::chrono::duration<double>(std::chrono::steady_clock::now() - sources_.startedAt).count());
    page.family("norrik_build_info", Type::kGauge, "The running build; its version is the label.");
    page.sample({{"version", sources_.version}}, uint64_t{1});
    return page.text();
}

}  // namespace NORRIK
