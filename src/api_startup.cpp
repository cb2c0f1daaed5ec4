#include "api_startup.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "util/address.hpp"
#include "util/log.hpp"

namespace NORRIK {

namespace {

constexpr uint16_t kDefaultApiPort = 6969;

// atoi's reading (leading blanks, sign, digits, no digits give 0), keeping
// the low 16 bits.
uint16_t lowBits(const std::string& text) { return static_cast<uint16_t>(std::atoi(text.c_str())); }

}  // namespace

void ApiServer::start(Settings& settings, Data::DatabaseDriver* driver, MetricsApp::Sources metrics) {
    const Settings::Section* section = settings.getSection("apiserver");
    if (section == nullptr) return;
    if (section->get("enable") != "1") {
        Log::error("API Server not enabled.");
        return;
    }

    std::string portText = section->get("port");
    std::string threadsText = section->get("threads");
    uint16_t port = portText.empty() ? kDefaultApiPort : lowBits(portText);
    uint16_t threads = lowBits(threadsText);
    if (threads == 0) threads = 1;

    // Listening on more addresses than asked (say, the API on the internet
    // instead of 127.0.0.1) is worse than not listening at all.
    const std::string bindText = section->get("bind_address");
    std::optional<uint32_t> bindAddress = Server::HTTPServer::kAnyAddress;
    if (!bindText.empty()) bindAddress = textToAddress(bindText);
    if (!bindAddress) {
        Log::error("bind_address \"" + bindText +
                   "\" in section [apiserver] is not a dotted IPv4 address such as 127.0.0.1; "
                   "the API server does not start.");
        return;
    }

    try {
        server_ = std::make_unique<Server::HTTPServer>(port, threads, Server::HTTPServer::kDefaultReceiveTimeout,
                                                       *bindAddress);
        app_ = std::make_unique<WebApp>(server_.get(), driver, &settings);
        app_->deploy();
        metrics.driver = driver;
        metrics_ = std::make_unique<MetricsApp>(server_.get(), settings, std::move(metrics));
        metrics_->deploy();
    } catch (const Server::ServerException& e) {
        Log::error("ServerException #" + std::to_string(e.getCode()) + ": " + e.getMessage());
    }
}

}  // namespace NORRIK
