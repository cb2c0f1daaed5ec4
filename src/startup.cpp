#include "startup.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/log.hpp"

#ifndef NORRIK_VERSION_NUMBER
#define NORRIK_VERSION_NUMBER "0.1.0"
#endif
#ifndef NORRIK_PRERELEASE
#define NORRIK_PRERELEASE "alpha"
#endif
#ifndef NORRIK_COMMIT
#define NORRIK_COMMIT "unknown"
#endif

#if defined(__FreeBSD__)
#define NORRIK_PLATFORM "FreeBSD"
#elif defined(__linux__)
#define NORRIK_PLATFORM "Linux"
#else
#define NORRIK_PLATFORM "Unknown"
#endif

namespace NORRIK::Startup {

std::string buildVersion() { return std::string(NORRIK_VERSION_NUMBER) + "-" + NORRIK_PRERELEASE + "-" + NORRIK_COMMIT; }

std::string versionString() { return buildVersion() + " (" + NORRIK_PLATFORM + ")"; }

void printBanner() {
    Log::info("NORRIK " + versionString());
    Log::info("A BitTorrent tracker for IPv4: UDP tracker protocol, SQLite store, HTTP API.");
    Log::info(std::string("Build Date: ") + __DATE__);
    Log::info("");
}

namespace {

constexpr const char* kOptionLines[] = {
    "  -d <log file> [<configuration file>]  run as a daemon, logging to <log file>; SIGHUP reopens it",
    "  -f [<configuration file>]             run in the foreground without reading the console (for service managers)",
    "  -h                                    print this help",
    "  --version                             print the version line",
    "  <configuration file>                  the settings file (default norrik.conf); the console stops norrik",
};

}  // namespace

void printHelp() {
    Log::info(kUsage);
    for (const char* line : kOptionLines) Log::info(line);
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.empty()) return line;
    const std::string& first = args[0];
    if (first == "-h") {
        line.help = true;
    } else if (first == "--version") {
        line.version = true;
    } else if (first == "-d" && args.size() >= 2) {
        line.daemon = true;
        line.logFile = args[1];
        // With the log file alone, the settings are the default file rather
        // than the log file just emptied for the daemon's output.
        if (args.size() >= 3) line.settingsFile = args.back();
    } else if (first == "-f") {
        line.service = true;
        if (args.size() >= 2) line.settingsFile = args.back();
    } else {
        line.settingsFile = args.back();
    }
    return line;
}

std::string startingDirectory() {
    std::error_code error;
    std::filesystem::path directory = std::filesystem::current_path(error);
    return error ? std::string() : directory.string();
}

std::string absolutePath(const std::string& directory, const std::string& path) {
    if (path.empty() || directory.empty() || path.front() == '/') return path;
    return (std::filesystem::path(directory) / path).lexically_normal().string();
}

namespace {

// The log file for both standard streams. With the creation mask cleared,
// the mode here is the file's mode: readable by all, writable by the owner.
int openLog(const std::string& logFile, bool truncate) {
    return ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | (truncate ? O_TRUNC : 0), 0644);
}

}  // namespace

void daemonize(const std::string& logFile) {
    Log::raw("starting daemon..");
    pid_t child = ::fork();
    if (child < 0) {
        Log::info(". failed!");
        std::exit(1);
    }
    if (child > 0) {
        Log::info(". started!");
        std::exit(0);
    }
    ::umask(0);
    if (::setsid() < 0) std::exit(1);
    if (::chdir("/") != 0) std::exit(1);

    int input = ::open("/dev/null", O_RDONLY);
    if (input >= 0) {
        ::dup2(input, STDIN_FILENO);
        if (input != STDIN_FILENO) ::close(input);
    }
    // One open of the log file shared by both streams: separate opens would
    // give each stream its own file position and their lines would
    // overwrite each other.
    int log = openLog(logFile, /*truncate=*/true);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (log != STDOUT_FILENO && log != STDERR_FILENO) ::close(log);
    } else {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
    }
}

bool reopenLog(const std::string& logFile) {
    int log = openLog(logFile, /*truncate=*/false);
    if (log < 0) return false;
    // dup2 swaps each descriptor in one step: a line written by another
    // thread meanwhile lands whole in the old file or in the new one.
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    if (log != STDOUT_FILENO && log != STDERR_FILENO) ::close(log);
    return true;
}

std::string resolveDatabaseFile(Settings& settings, const std::string& directory, bool daemon) {
    const std::string configured = settings.get("database", "file");
    if (configured.empty()) {
        if (!daemon) return absolutePath(directory, kDefaultDatabaseFile);
        settings.set("database", "file", absolutePath(directory, kDefaultDatabaseFile));
    } else {
        settings.set("database", "file", absolutePath(directory, configured));
    }
    return settings.get("database", "file");
}

void setDefaults(Settings& settings) {
    static constexpr const char* kDefaults[][3] = {
        {"database", "driver", "sqlite3"},
        {"database", "file", "tracker.db"},
        {"tracker", "is_dynamic", "0"},
        {"tracker", "port", "6969"},
        {"tracker", "threads", "5"},
        {"tracker", "allow_remotes", "1"},
        {"tracker", "allow_iana_ips", "1"},
        {"tracker", "announce_interval", "1800"},
        {"tracker", "cleanup_interval", "120"},
        {"tracker", "local_subnet", "192.168.0"},
        {"tracker", "remote_ip", "192.168.1.0"},
        {"apiserver", "enable", "1"},
        {"apiserver", "threads", "1"},
        {"apiserver", "port", "6969"},
    };
    for (const auto& entry : kDefaults) settings.set(entry[0], entry[1], entry[2]);
}

void loadSettings(Settings& settings) {
    if (settings.load()) return;
    setDefaults(settings);
    settings.save();
    Log::error("Failed to read from '" + settings.getFileName() + "'. Using default settings.");
}

const char* startFailureText(int code) {
    switch (code) {
        case 1:
            return "Failed to create socket.";
        case 2:
            return "Failed to bind socket.";
        case 3:
            return "Failed to read the connection secret file.";
        default:
            return "Unknown Error";
    }
}

}  // namespace NORRIK::Startup
