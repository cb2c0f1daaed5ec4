// The norrik binary as an operator runs it: command line, first run, start
// failures and their exit status, shutdown at end of input, daemon mode.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include <sys/prctl.h>

#include "program_support.hpp"

using namespace norrik_test;

namespace {

const std::string kUsage = "Usage: norrik [-d] [<log file>] [<configuration file>]\n";
const std::regex kBanner(
    "NORRIK [0-9]+\\.[0-9]+\\.[0-9]+-[A-Za-z0-9.]+-[A-Za-z0-9]+ \\([^)]+\\)\n"
    "[^\n]+\n"
    "Build Date: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\n"
    "\n");

bool startsWithBanner(const std::string& text) {
    std::smatch match;
    return std::regex_search(text, match, kBanner, std::regex_constants::match_continuous);
}

std::string bannerFree(const std::string& text) {
    std::smatch match;
    if (!std::regex_search(text, match, kBanner, std::regex_constants::match_continuous)) return text;
    return match.suffix();
}

// A settings file for one test: its own UDP port, database and no API server.
std::string writeSettings(const TempDir& dir, const std::string& name, uint16_t port, const std::string& dbFile) {
    std::string path = dir.path(name);
    writeFile(path, "[database]\nfile=" + dbFile + "\n\n[tracker]\nport=" + std::to_string(port) +
                        "\nthreads=1\n\n");
    return path;
}

}  // namespace

TEST(Program, HelpPrintsBannerAndUsage) {
    TempDir dir;
    Program program(dir.root(), {"-h"});
    EXPECT_EQ(program.wait(), 0);
    EXPECT_TRUE(startsWithBanner(program.out())) << program.out();
    EXPECT_EQ(bannerFree(program.out()), kUsage);
    EXPECT_EQ(program.err(), "");
}

TEST(Program, FirstRunWritesTheDefaultSettings) {
    TempDir dir;
    // With the defaults the tracker takes UDP port 6969, which may be busy on
    // this machine; the file and the message are what this test is about.
    Program program(dir.root(), {});
    std::optional<int> status = program.wait();
    ASSERT_TRUE(status == 0 || status == 1) << program.err();
    EXPECT_EQ(readFile(dir.path("norrik.conf")),
              "; norrik Settings File - Created Automatically.\n"
              "[apiserver]\nenable=1\nport=6969\nthreads=1\n\n"
              "[database]\ndriver=sqlite3\nfile=tracker.db\n\n"
              "[tracker]\nallow_iana_ips=1\nallow_remotes=1\nannounce_interval=1800\ncleanup_interval=120\n"
              "is_dynamic=0\nlocal_subnet=192.168.0\nport=6969\nremote_ip=192.168.1.0\nthreads=5\n\n");
    EXPECT_EQ(program.err().rfind("Failed to read from 'norrik.conf'. Using default settings.\n", 0), 0u)
        << program.err();
}

TEST(Program, EndOfInputShutsDownAndJoinsEveryThread) {
    TempDir dir;
    const uint16_t port = freeUdpPort();
    writeSettings(dir, "norrik.conf", port, dir.path("tracker.db"));
    Program program(dir.root(), {"norrik.conf"}, /*stdinOpen=*/true);
    ASSERT_TRUE(waitUntilServing(port));
    program.closeStdin();
    ASSERT_EQ(program.wait(), 0) << program.err();
    // A request's lines are written once its reply has gone out, so they may
    // land anywhere up to that worker's join; the rest is in a fixed order.
    std::string out;
    std::istringstream lines(bannerFree(program.out()));
    for (std::string line; std::getline(lines, line);) {
        if (line != "Handling request" && !line.starts_with(":: ")) out += line + "\n";
    }
    EXPECT_EQ(out, "Database " + dir.path("tracker.db") +
                       ": SQLite, tables layout\n"
                       "Starting maintenance thread (1/2)\nStarting thread (2/2)\nPress Any key to exit.\n\nGoodbye.\n"
                       "Thread (1/2) terminated.\nThread (2/2) terminated.\n");
}

TEST(Program, StartFailuresEndWithStatusOne) {
    TempDir dir;
    const uint16_t port = freeUdpPort();
    writeSettings(dir, "first.conf", port, dir.path("first.db"));
    Program first(dir.root(), {"first.conf"}, /*stdinOpen=*/true);
    ASSERT_TRUE(waitUntilServing(port));

    struct Case {
        const char* name;
        uint16_t port;
        std::string dbFile;
        std::string failure;
    };
    const Case cases[] = {
        // A second tracker on a busy port fails instead of sharing it.
        {"busy.conf", port, dir.path("second.db"), "Failed to bind socket.\n"},
        // A database that cannot be opened is reported, not thrown out of main.
        {"nodb.conf", 0, dir.path("missing/dir/tracker.db"), "Failed to connect to database\n"},
    };
    for (const Case& c : cases) {
        writeSettings(dir, c.name, c.port, c.dbFile);
        Program second(dir.root(), {c.name});
        EXPECT_EQ(second.wait(), 1) << c.name;
        EXPECT_NE(second.err().find("Error While trying to start server.\n" + c.failure), std::string::npos)
            << c.name << ": " << second.err();
        const std::string out = second.out();
        EXPECT_EQ(out.find("Press Any key"), std::string::npos) << c.name;
        EXPECT_TRUE(out.ends_with("\n\nGoodbye.\n")) << c.name << ": " << out;
    }

    EXPECT_TRUE(answersConnect(port)) << "the first tracker stopped serving";
    first.closeStdin();
    EXPECT_EQ(first.wait(), 0);
}

TEST(Program, DaemonDetachesLogsToOneFileAndServes) {
    // Become the reaper of the detached daemon, so it can be waited for.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir dir;
    const uint16_t port = freeUdpPort();
    const std::string conf = writeSettings(dir, "norrik.conf", port, dir.path("tracker.db"));
    const std::string logFile = dir.path("norrik.log");
    const std::vector<std::string> args{"-d", logFile, conf};

    std::vector<std::string> command{NORRIK_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    // Whatever happens below, the daemon this test started does not outlive it.
    struct DaemonGuard {
        std::vector<std::string> command;
        ~DaemonGuard() {
            if (pid_t pid = findProcess(command); pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } guard{command};

    Program launcher(dir.root(), args);
    EXPECT_EQ(launcher.wait(), 0);
    EXPECT_EQ(launcher.out(), "starting daemon... started!\n");
    ASSERT_TRUE(waitUntilServing(port));

    const pid_t daemon = findProcess(command);
    ASSERT_GT(daemon, 0);

    // A second daemon on the same port fails into its own log: its banner
    // (standard output) and its failure lines (standard error) must both be
    // there, whole and in order.
    const std::string failedLog = dir.path("failed.log");
    Program second(dir.root(), {"-d", failedLog, conf});
    EXPECT_EQ(second.wait(), 0);
    for (int i = 0; i < 200 && readFile(failedLog).find("Goodbye.") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    EXPECT_TRUE(startsWithBanner(readFile(failedLog))) << readFile(failedLog);
    EXPECT_EQ(bannerFree(readFile(failedLog)),
              "Error While trying to start server.\nFailed to bind socket.\n\nGoodbye.\n");

    ::kill(daemon, SIGTERM);
    int raw = 0;
    EXPECT_EQ(::waitpid(daemon, &raw, 0), daemon);
    EXPECT_TRUE(WIFSIGNALED(raw));
    // The failed daemon has exited by itself; reap it too if it is ours.
    for (int i = 0; i < 100 && ::waitpid(-1, nullptr, WNOHANG) >= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    const std::string log = readFile(logFile);
    EXPECT_TRUE(startsWithBanner(log)) << log;
    std::size_t at = 0;
    for (const char* line : {"Starting maintenance thread (1/2)\n", "Starting thread (2/2)\n", "Handling request\n:: 127.0.0.1:"}) {
        at = log.find(line, at);
        EXPECT_NE(at, std::string::npos) << line << " missing or out of order in\n" << log;
    }
}
