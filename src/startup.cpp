#include "startup.hpp"

#include <cstdlib>

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

std::string versionString() {
    return std::string(NORRIK_VERSION_NUMBER) + "-" + NORRIK_PRERELEASE + "-" + NORRIK_COMMIT + " (" +
           NORRIK_PLATFORM + ")";
}

void printBanner() {
    Log::info("NORRIK " + versionString());
    Log::info("A BitTorrent tracker for IPv4: UDP tracker protocol, SQLite store, HTTP API.");
    Log::info(std::string("Build Date: ") + __DATE__);
    Log::info("");
}

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    if (args.size() >= 2 && args[0] == "-d") {
        line.daemon = true;
        line.logFile = args[1];
    }
    if (!args.empty()) {
        if (args[0] == "-h") {
            line.help = true;
        } else {
            line.settingsFile = args.back();
        }
    }
    return line;
}

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
    // overwrite each other. With the creation mask cleared, the mode here is
    // the file's mode: readable by all, writable by the owner.
    int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (log != STDOUT_FILENO && log != STDERR_FILENO) ::close(log);
    } else {
        ::close(STDOUT_FILENO);
        ::close(STDERR_FILENO);
    }
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
