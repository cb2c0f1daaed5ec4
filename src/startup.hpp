#pragma once
// Start-up pieces of the norrik program: the banner, the command line, the
// daemon detachment, the default settings and the messages that go with a
// tracker start. main.cpp strings them together; each runs on the main
// thread before (or after) the tracker's threads exist.

#include <string>
#include <vector>

#include "settings.hpp"

namespace NORRIK::Startup {

constexpr const char* kDefaultSettingsFile = "norrik.conf";
constexpr const char* kUsage = "Usage: norrik [-d] [<log file>] [<configuration file>]";

// "MAJOR.MINOR.PATCH-<pre-release>-<commit> (<platform>)".
std::string versionString();

// The banner lines: "NORRIK <version>", a notice, "Build Date: <date>", "".
void printBanner();

struct CommandLine {
    bool daemon = false;        // "-d" followed by at least one more argument
    std::string logFile;        // the argument after "-d" (daemon only)
    bool help = false;          // first argument exactly "-h"
    std::string settingsFile = kDefaultSettingsFile;  // the last argument, if any
};

// `args` excludes the program name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// Forks and detaches: the parent reports and exits; the child gets a new
// session, working directory "/", standard input from /dev/null and both
// standard output and standard error on one open description of the log
// file (created or truncated), so their lines never overwrite each other.
// Returns in the child only; exits with status 1 when detaching fails.
void daemonize(const std::string& logFile);

// Sets the fourteen default keys in their table order.
void setDefaults(Settings& settings);

// Loads the settings file; when it cannot be read, sets and saves the
// defaults and says so on standard error.
void loadSettings(Settings& settings);

// The standard-error line for a start result other than 0.
const char* startFailureText(int code);

}  // namespace NORRIK::Startup
