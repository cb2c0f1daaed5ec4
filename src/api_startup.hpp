#pragma once
// Start-up of the API server beside the running tracker: reads the settings
// section "apiserver", creates the HTTPServer with the WebApp and the
// MetricsApp on it, and
// reports a ServerException on standard error instead of letting it end the
// program (the tracker keeps running either way).
//
// Keys of "apiserver": "enable" (only the exact text "1" starts the server),
// "port" (decimal, low 16 bits; 6969 when empty or absent), "threads"
// (decimal, low 16 bits; 1 when empty, absent or 0), "bind_address" (the
// dotted IPv4 address to listen on; all addresses when empty or absent; any
// other text keeps the API server from starting, with a line on standard
// error).
//
// Ownership and shutdown: ApiServer owns the three objects. Its destruction
// (or stop()) destroys the server first, which joins its workers, and then
// the applications whose handlers they ran. The handlers use the tracker's
// driver and counters, so the ApiServer must be stopped before the tracker
// is destroyed.

#include <memory>

#include "db/database_driver.hpp"
#include "http/http_server.hpp"
#include "http/metrics_app.hpp"
#include "http/web_app.hpp"
#include "settings.hpp"

namespace NORRIK {

class ApiServer {
public:
    ApiServer() = default;
    ~ApiServer() { stop(); }

    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Reads "apiserver" and starts the server with its web application. A
    // missing section starts nothing silently; "enable" other than "1" writes
    // "API Server not enabled."; a ServerException writes
    // "ServerException #<code>: <message>". Objects created before the
    // exception stay until stop(). Called once, on the start-up thread.
    // `metrics` says where the metrics page takes its figures; its driver
    // is `driver`.
    void start(Settings& settings, Data::DatabaseDriver* driver, MetricsApp::Sources metrics = {});

    // Stops the workers (joined) and then releases the applications.
    void stop() {
        server_.reset();
        metrics_.reset();
        app_.reset();
    }

    Server::HTTPServer* server() const { return server_.get(); }
    WebApp* app() const { return app_.get(); }
    MetricsApp* metrics() const { return metrics_.get(); }

private:
    // Declared in this order so that even plain member destruction takes the
    // server down before the application.
    std::unique_ptr<WebApp> app_;
    std::unique_ptr<MetricsApp> metrics_;
    std::unique_ptr<Server::HTTPServer> server_;
};

}  // namespace NORRIK
