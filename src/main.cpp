// The norrik program: reads the command line, optionally detaches as a
// daemon, prints the banner, loads (or writes) the settings, starts the
// tracker and the API server, waits, and shuts down.
//
// The wait ends on SIGTERM or SIGINT in every mode, and in the plain
// foreground also on a key press (or the end of standard input); all of
// them take the same orderly shutdown. SIGHUP makes a daemon reopen its log
// file and is ignored otherwise. The signals are taken on this thread only
// (signals.hpp).
//
// Exit status: 0 after "-h", "--version" and a normal shutdown; 1 when the
// tracker could not start (its socket, its port, its bind address or its
// database), so supervisors and scripts see the failure.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "api_startup.hpp"
#include "db/database_exception.hpp"
#include "pid_file.hpp"
#include "settings.hpp"
#include "settings_check.hpp"
#include "signals.hpp"
#include "startup.hpp"
#include "tracker/tracker.hpp"
#include "util/log.hpp"

using namespace NORRIK;

namespace {

// Waits until a stop: a signal, or the console when it is read. A SIGHUP
// meanwhile reopens a daemon's log file.
void waitForStop(const Startup::CommandLine& commandLine) {
    for (;;) {
        const Signals::Wake wake = Signals::wait(commandLine.readsConsole() ? STDIN_FILENO : -1);
        if (wake.event == Signals::Event::kHangup) {
            if (commandLine.daemon && !Startup::reopenLog(commandLine.logFile)) {
                Log::error("Failed to reopen log file '" + commandLine.logFile + "'.");
            }
            continue;
        }
        if (wake.signal != 0) Log::info("Stopping on " + Signals::name(wake.signal) + ".");
        return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto startedAt = std::chrono::steady_clock::now();
    // Before any other thread exists, so that every thread inherits the mask.
    Signals::block();

    const std::vector<std::string> args(argv + 1, argv + argc);
    Startup::CommandLine commandLine = Startup::parseCommandLine(args);
    if (commandLine.version) {
        Log::info("NORRIK " + Startup::versionString());
        return 0;
    }

    // A daemon works in "/": every name it was given is read from where it
    // was started, before it detaches.
    const std::string startDirectory = Startup::startingDirectory();
    if (commandLine.daemon) {
        commandLine.logFile = Startup::absolutePath(startDirectory, commandLine.logFile);
        commandLine.settingsFile = Startup::absolutePath(startDirectory, commandLine.settingsFile);
        Startup::daemonize(commandLine.logFile);
    }

    Startup::printBanner();
    if (commandLine.help) {
        Startup::printHelp();
        return 0;
    }

    auto settings = std::make_unique<Settings>(commandLine.settingsFile);
    Startup::loadSettings(*settings);
    const std::vector<std::string> warnings = settingsWarnings(*settings);
    const std::string databaseFile = Startup::resolveDatabaseFile(*settings, startDirectory, commandLine.daemon);
    Log::info("Settings file: " + Startup::absolutePath(startDirectory, commandLine.settingsFile));
    if (commandLine.daemon) Log::info("Log file: " + commandLine.logFile);
    Log::info("Database file: " + databaseFile);
    for (const std::string& warning : warnings) Log::error(warning);

    auto tracker = std::make_unique<Tracker>(settings.get());
    // The HTTP server and the web application; empty unless the API server
    // start-up below creates them.
    ApiServer apiServer;
    std::optional<PidFile> pidFile;
    int startResult = 0;
    const char* failure = nullptr;
    try {
        startResult = tracker->start();
        if (startResult != 0) failure = Startup::startFailureText(startResult);
    } catch (const Data::DatabaseException& e) {
        failure = e.message();
    }

    int exitStatus = 0;
    if (failure != nullptr) {
        Log::error("Error While trying to start server.");
        Log::error(failure);
        exitStatus = 1;
    } else {
        // Only after a successful tracker start; the tracker keeps running
        // whatever the API server start-up reports.
        MetricsApp::Sources metrics;
        metrics.counters = &tracker->counters();
        metrics.startedAt = startedAt;
        metrics.version = Startup::buildVersion();
        apiServer.start(*settings, tracker->getDriver(), std::move(metrics));

        pidFile.emplace(Startup::absolutePath(startDirectory, settings->get("tracker", "pid_file")));
        if (!pidFile->path().empty() && !pidFile->written()) {
            Log::error("Failed to write pid file '" + pidFile->path() + "'.");
        }

        if (commandLine.readsConsole()) Log::info("Press Any key to exit.");
        waitForStop(commandLine);
    }

    Log::info("");
    Log::info("Goodbye.");
    // The HTTP server first (its workers are joined; their handlers use the
    // tracker's store), then the web application. Only then the tracker,
    // which joins its threads before its store goes, and last the settings
    // that everything above reads. The pid file goes once nothing is left
    // running.
    apiServer.stop();
    tracker.reset();
    settings.reset();
    pidFile.reset();
    return exitStatus;
}
