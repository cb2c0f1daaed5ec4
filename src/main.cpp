// The norrik program: reads the command line, optionally detaches as a
// daemon, prints the banner, loads (or writes) the settings, starts the
// tracker and the API server, waits, and shuts down.
//
// Exit status: 0 after "-h" and after a normal shutdown; 1 when the tracker
// could not start (its socket, its port or its database), so supervisors and
// scripts see the failure.

#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "api_startup.hpp"
#include "db/database_exception.hpp"
#include "settings.hpp"
#include "startup.hpp"
#include "tracker/tracker.hpp"
#include "util/log.hpp"

using namespace NORRIK;

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const Startup::CommandLine commandLine = Startup::parseCommandLine(args);

    if (commandLine.daemon) Startup::daemonize(commandLine.logFile);

    Startup::printBanner();
    if (commandLine.help) {
        Log::info(Startup::kUsage);
        return 0;
    }

    auto settings = std::make_unique<Settings>(commandLine.settingsFile);
    Startup::loadSettings(*settings);

    auto tracker = std::make_unique<Tracker>(settings.get());
    // The HTTP server and the web application; empty unless the API server
    // start-up below creates them.
    ApiServer apiServer;
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
        apiServer.start(*settings, tracker->getDriver());

        if (commandLine.daemon) {
            for (;;) ::sleep(30);  // a daemon runs until a signal ends it
        }
        Log::info("Press Any key to exit.");
        char key;
        (void)::read(STDIN_FILENO, &key, 1);  // one character, or end of input
    }

    Log::info("");
    Log::info("Goodbye.");
    // The HTTP server first (its workers are joined; their handlers use the
    // tracker's store), then the web application. Only then the tracker,
    // which joins its threads before its store goes, and last the settings
    // that everything above reads.
    apiServer.stop();
    tracker.reset();
    settings.reset();
    return exitStatus;
}
