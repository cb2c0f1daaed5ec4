// The metrics page: its text format, and who may read it through a real HTTP
// server on loopback.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "db/database_driver.hpp"
#include "http/metrics_app.hpp"
#include "http/metrics_text.hpp"
#include "http_client.hpp"
#include "settings.hpp"
#include "tracker/tracker_counters.hpp"

using NORRIK::MetricsApp;
using NORRIK::Settings;
using NORRIK::TrackerCounters;
using NORRIK::Server::HTTPServer;
using NORRIK::Server::MetricsText;
using norrik_test::get;
using norrik_test::splitReply;

namespace {

TEST(MetricsText, EscapesTextsAndWritesNumbersThatReadBack) {
    MetricsText page;
    page.family("norrik_test_total", MetricsText::Type::kCounter, "a \\ and a\nline \"quoted\"");
    page.sample({{"kind", "q\"b\\s\nn"}, {"other", ""}}, uint64_t{18446744073709551615u});
    page.family("norrik_test_seconds", MetricsText::Type::kGauge, "seconds");
    page.sample({}, 0.1);
    page.sample({}, 1e-7);
    page.sample({}, std::numeric_limits<double>::quiet_NaN());
    page.sample({}, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(page.text(),
              "# HELP norrik_test_total a \\\\ and a\\nline \"quoted\"\n"
              "# TYPE norrik_test_total counter\n"
              "norrik_test_total{kind=\"q\\\"b\\\\s\\nn\",other=\"\"} 18446744073709551615\n"
              "# HELP norrik_test_seconds seconds\n"
              "# TYPE norrik_test_seconds gauge\n"
              "norrik_test_seconds 0.1\n"
              "norrik_test_seconds 1e-07\n"
              "norrik_test_seconds NaN\n"
              "norrik_test_seconds -Inf\n");
}

class StatusDriver : public NORRIK::Data::DatabaseDriver {
public:
    StatusDriver() : DatabaseDriver(nullptr, false) {}
    NORRIK::Data::StoreStatus status() const override {
        NORRIK::Data::StoreStatus s;
        s.torrents = 3;
        s.peers = 7;
        s.seeders = 2;
        s.leechers = 5;
        s.queuedWrites = 4;
        s.queueLagSeconds = 0.25;
        s.failedCommits = 1;
        s.writerFailing = true;
        s.lastPassSeconds = 0.5;
        return s;
    }
};

// The server and its metrics page; `allow` is the value of metrics_allow,
// nothing for a settings file without the key.
struct Served {
    explicit Served(const char* allow) : settings("unused.conf"), counters(1), server(0, 1) {
        if (allow != nullptr) settings.set("apiserver", "metrics_allow", allow);
        counters.block(0).add(TrackerCounters::kAnnounces);
        counters.sharedBlock().add(TrackerCounters::kErrorNotRegistered);
        MetricsApp::Sources sources;
        sources.driver = &driver;
        sources.counters = &counters;
        sources.version = "9.8.7-test";
        app = std::make_unique<MetricsApp>(&server, settings, sources);
        app->deploy();
    }

    Settings settings;
    StatusDriver driver;
    TrackerCounters counters;
    HTTPServer server;
    std::unique_ptr<MetricsApp> app;
};

TEST(MetricsApp, OnlyListedAddressesSeeThePage) {
    struct Case {
        const char* allow;
        bool served;
    };
    const Case cases[] = {
        {nullptr, true},                  // absent: 127.0.0.1 alone
        {"", true},                       // empty reads as absent
        {"10.0.0.1", false},              // a list without this machine
        {"10.0.0.1, 127.0.0.1", true},
        {"0.0.0.0 127.0.0.1", false},     // reads as no address: nobody
        {"127.0.0.1/8", false},           // the list stops at '/', before its only address
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.allow == nullptr ? "(absent)" : c.allow);
        Served served(c.allow);
        const uint16_t port = served.server.getPort();
        const std::string reply = get(port, "/metrics");
        if (!c.served) {
            // The same bytes as a path that does not exist.
            EXPECT_EQ(reply, get(port, "/no-such-page"));
            EXPECT_EQ(get(port, "/metrics/"), reply);
            continue;
        }
        const norrik_test::Reply split = splitReply(reply);
        EXPECT_EQ(split.statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(split.headers.front(), "Content-Type: text/plain; version=0.0.4");
        for (const char* line : {"norrik_udp_requests_total{action=\"announce\"} 1\n",
                                 "norrik_udp_errors_total{kind=\"not_registered\"} 1\n",
                                 "norrik_udp_errors_total{kind=\"remote_ip\"} 0\n", "norrik_torrents 3\n",
                                 "norrik_leechers 5\n", "norrik_store_queue_lag_seconds 0.25\n",
                                 "norrik_store_failed_commits_total 1\n", "norrik_store_writer_failing 1\n",
                                 "norrik_maintenance_last_pass_seconds 0.5\n",
                                 "norrik_build_info{version=\"9.8.7-test\"} 1\n"}) {
            EXPECT_NE(split.body.find(line), std::string::npos) << line << split.body;
        }
    }
}

}  // namespace
