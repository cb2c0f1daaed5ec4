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
// The store's database file when the settings name none.
constexpr const char* kDefaultDatabaseFile = "tracker.db";
constexpr const char* kUsage = "Usage: norrik [-d] [<log file>] [<configuration file>]";

// "MAJOR.MINOR.PATCH-<pre-release>-<commit> (<platform>)".
std::string versionString();

// The same without the platform: "MAJOR.MINOR.PATCH-<pre-release>-<commit>".
std::string buildVersion();

// The banner lines: "NORRIK <version>", a notice, "Build Date: <date>", "".
void printBanner();

// Writes the usage line and then one line per option to standard output.
void printHelp();

struct CommandLine {
    bool help = false;          // first argument exactly "-h"
    bool version = false;       // first argument exactly "--version"
    bool daemon = false;        // "-d" followed by at least one more argument
    bool service = false;       // first argument "-f": foreground, console never read
    std::string logFile;        // the argument after "-d" (daemon only)
    // The last argument, if any; "norrik.conf" also after "-d <log file>"
    // and a lone "-f", whose only argument is not a settings file.
    std::string settingsFile = kDefaultSettingsFile;

    // Whether the wait reads the console: only in the plain foreground.
    bool readsConsole() const { return !daemon && !service; }
};

// `args` excludes the program name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// The working directory norrik was started in, or empty text when it cannot
// be told (it was removed, say).
std::string startingDirectory();

// `path` read from `directory`: absolute paths, empty paths and an empty
// directory leave it as it is.
std::string absolutePath(const std::string& directory, const std::string& path);

// Forks and detaches: the parent reports and exits; the child gets a new
// session, working directory "/", standard input from /dev/null and both
// standard output and standard error on one open description of the log
// file (created or truncated), so their lines never overwrite each other.
// Returns in the child only; exits with status 1 when detaching fails.
// Relative names read after this resolve against "/", so the caller makes
// them absolute first.
void daemonize(const std::string& logFile);

// Opens the log file again under its name (created if missing, appended to,
// mode 0644) and puts it under standard output and standard error: after a
// rotation renamed it, new lines go to a new file and the old one stops
// growing. False, leaving both streams as they were, when it cannot be
// opened.
bool reopenLog(const std::string& logFile);

// Makes the section "database" key "file" absolute against `directory`, so
// that the store opens the same file whatever the working directory is by
// then. An absent or empty name is the store's own default "tracker.db" in
// the working directory; a daemon, which works in "/", gets it in
// `directory` instead. Returns the absolute name of the file the store will
// open.
std::string resolveDatabaseFile(Settings& settings, const std::string& directory, bool daemon);

// Sets the fourteen default keys in their table order.
void setDefaults(Settings& settings);

// Loads the settings file; when it cannot be read, sets and saves the
// defaults and says so on standard error.
void loadSettings(Settings& settings);

// The standard-error line for a start result other than 0.
const char* startFailureText(int code);

}  // namespace NORRIK::Startup
