// The norrik binary as an operator runs it: command line, first run, start
// failures and their exit status, shutdown at end of input, daemon mode.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
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
// `tracker` holds more lines of section "tracker".
std::string writeSettings(const TempDir& dir, const std::string& name, uint16_t port, const std::string& dbFile,
                          const std::string& tracker = "threads=1\n") {
    std::string path = dir.path(name);
    writeFile(path, "[database]\nfile=" + dbFile + "\n\n[tracker]\nport=" + std::to_string(port) + "\n" +
                        tracker + "\n");
    return path;
}

// The lines of a program's output without the per-request lines, which may
// land anywhere up to their worker's join.
std::string withoutRequestLines(const std::string& text) {
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line != "Handling request" && !line.starts_with(":: ")) out += line + "\n";
    }
    return out;
}

// Sends `signal` again and again until the process has ended (bounded), so
// that some of them arrive while it is shutting down.
void signalUntilExit(Program& program, int signal) {
    for (int i = 0; i < 5000 && !program.wait(0); ++i) {
        ::kill(program.pid(), signal);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

TEST(Program, HelpAndVersion) {
    TempDir dir;
    Program help(dir.root(), {"-h"});
    EXPECT_EQ(help.wait(), 0);
    EXPECT_TRUE(startsWithBanner(help.out())) << help.out();
    const std::string usage = bannerFree(help.out());
    EXPECT_TRUE(usage.starts_with(kUsage)) << usage;
    for (const char* option : {"\n  -d <log file> [<configuration file>] ", "\n  -f [<configuration file>] ",
                               "\n  -h ", "\n  --version "}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(help.err(), "");

    Program version(dir.root(), {"--version"});
    EXPECT_EQ(version.wait(), 0);
    EXPECT_TRUE(std::regex_match(version.out(), std::regex("NORRIK [0-9]+\\.[0-9]+\\.[0-9]+-[^ \n]+ \\([^)]+\\)\n")))
        << version.out();
    EXPECT_EQ(version.err(), "");
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
    writeSettings(dir, "norrik.conf", port, "tracker.db");
    Program program(dir.root(), {"norrik.conf"}, /*stdinOpen=*/true);
    ASSERT_TRUE(waitUntilServing(port));
    program.closeStdin();
    ASSERT_EQ(program.wait(), 0) << program.err();
    EXPECT_EQ(withoutRequestLines(bannerFree(program.out())),
              "Settings file: " + dir.path("norrik.conf") + "\nDatabase file: " + dir.path("tracker.db") +
                  "\nDatabase: SQLite, tables layout"
                  "\nStarting maintenance thread (1/2)\nStarting thread (2/2)\nPress Any key to exit.\n\nGoodbye.\n"
                  "Thread (1/2) terminated.\nThread (2/2) terminated.\n");
}

// SIGTERM and SIGINT stop norrik in the foreground the way the console does,
// also while more of them keep arriving during the shutdown; SIGHUP does
// not stop it. With -f the console is never read: standard input at its end
// leaves it running.
TEST(Program, SignalsStopTheForegroundCleanly) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool stdinOpen;
        int signal;
        const char* waitLine;  // the line before the wait, or empty
    };
    const Case cases[] = {
        {"console, SIGTERM", {"norrik.conf"}, true, SIGTERM, "Press Any key to exit.\n"},
        {"console, SIGINT", {"norrik.conf"}, true, SIGINT, "Press Any key to exit.\n"},
        {"-f, standard input at its end", {"-f"}, false, SIGTERM, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const uint16_t port = freeUdpPort();
        writeSettings(dir, "norrik.conf", port, "tracker.db", "threads=2\n");
        Program program(dir.root(), c.args, c.stdinOpen);
        ASSERT_TRUE(waitUntilServing(port)) << program.err();
        ::kill(program.pid(), SIGHUP);
        // Longer than the console is left unread between two looks at it.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_FALSE(program.wait(0)) << "ended before the signal: " << program.out();
        EXPECT_TRUE(answersConnect(port));

        ::kill(program.pid(), c.signal);
        signalUntilExit(program, c.signal);
        ASSERT_EQ(program.wait(), 0) << program.err();
        const std::string name = c.signal == SIGTERM ? "SIGTERM" : "SIGINT";
        EXPECT_TRUE(withoutRequestLines(bannerFree(program.out()))
                        .ends_with("Starting thread (3/3)\n" + std::string(c.waitLine) + "Stopping on " + name +
                                   ".\n\nGoodbye.\nThread (1/3) terminated.\nThread (2/3) terminated.\n"
                                   "Thread (3/3) terminated.\n"))
            << program.out();
        EXPECT_EQ(program.err(), "");
    }
}

// A settings file with mistakes: threads=0 still serves with one worker, and
// each mistake is one line on standard error.
TEST(Program, ZeroThreadsServeAndMistakesAreWarned) {
    TempDir dir;
    const uint16_t port = freeUdpPort();
    writeSettings(dir, "norrik.conf", port, "tracker.db", "threads=0\nallow_remotes=maybe\ncolour=blue\n");
    Program program(dir.root(), {"norrik.conf"}, /*stdinOpen=*/true);
    EXPECT_TRUE(waitUntilServing(port));
    program.closeStdin();
    ASSERT_EQ(program.wait(), 0) << program.err();
    EXPECT_NE(program.out().find("threads=0 read as 0 workers; starting 1 worker\n"
                                 "Starting maintenance thread (1/2)\nStarting thread (2/2)\n"),
              std::string::npos)
        << program.out();
    EXPECT_EQ(program.err(),
              "Settings: [tracker] allow_remotes=maybe is neither yes nor no; it reads as no.\n"
              "Settings: unknown key \"colour\" in section [tracker]; it is not read.\n");
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
        std::string tracker;  // more lines of section "tracker"
        std::string failure;  // standard error holds these lines
    };
    const Case cases[] = {
        // A second tracker on a busy port fails instead of sharing it.
        {"busy.conf", port, dir.path("second.db"), "", "Error While trying to start server.\nFailed to bind socket.\n"},
        // A database that cannot be opened is reported, not thrown out of main.
        {"nodb.conf", 0, dir.path("missing/dir/tracker.db"), "",
         "Error While trying to start server.\nFailed to connect to database\n"},
        // An address that does not read binds nothing rather than everything.
        {"badbind.conf", 0, dir.path("third.db"), "bind_address=localhost\n",
         "bind_address \"localhost\" in section [tracker] is not a dotted IPv4 address such as 127.0.0.1.\n"
         "Error While trying to start server.\nFailed to bind socket.\n"},
    };
    for (const Case& c : cases) {
        writeSettings(dir, c.name, c.port, c.dbFile, "threads=1\n" + c.tracker);
        Program second(dir.root(), {c.name});
        EXPECT_EQ(second.wait(), 1) << c.name;
        EXPECT_NE(second.err().find(c.failure), std::string::npos)
            << c.name << ": " << second.err();
        const std::string out = second.out();
        EXPECT_EQ(out.find("Press Any key"), std::string::npos) << c.name;
        EXPECT_TRUE(out.ends_with("\n\nGoodbye.\n")) << c.name << ": " << out;
    }

    EXPECT_TRUE(answersConnect(port)) << "the first tracker stopped serving";
    first.closeStdin();
    EXPECT_EQ(first.wait(), 0);
}

// A daemon started with a log file alone, from its own directory: it reads
// norrik.conf there and keeps its database there although it works in "/",
// writes both output streams into the one log file and its pid file, opens
// its log again on SIGHUP after a rotation, and stops cleanly on SIGTERM.
TEST(Program, DaemonFromItsStartingDirectory) {
    // Become the reaper of the detached daemon, so it can be waited for.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir dir;
    const uint16_t port = freeUdpPort();
    writeSettings(dir, "norrik.conf", port, "tracker.db", "threads=1\npid_file=norrik.pid\n");
    const std::string logFile = dir.path("norrik.log");

    // Whatever happens below, the daemon this test started does not outlive
    // it, even when the test fails before it has read the daemon's pid file:
    // as their reaper, the test is the parent of the daemons it started, and
    // only processes whose parent is this test are ended here.
    struct DaemonGuard {
        ~DaemonGuard() {
            for (pid_t child : childrenOf(::getpid())) {
                ::kill(child, SIGKILL);
                ::waitpid(child, nullptr, 0);
            }
        }
    } guard;

    Program launcher(dir.root(), {"-d", "norrik.log"});
    EXPECT_EQ(launcher.wait(), 0);
    EXPECT_EQ(launcher.out(), "starting daemon... started!\n");
    ASSERT_TRUE(waitUntilServing(port)) << readFile(logFile);
    ASSERT_TRUE(Program::waitForFile(dir.path("norrik.pid"), "\n"));
    const pid_t daemon = static_cast<pid_t>(std::atol(readFile(dir.path("norrik.pid")).c_str()));
    ASSERT_GT(daemon, 0);
    ASSERT_EQ(parentOf(daemon), ::getpid());
    EXPECT_TRUE(std::filesystem::exists(dir.path("tracker.db")));

    const std::string log = readFile(logFile);
    EXPECT_TRUE(startsWithBanner(log)) << log;
    EXPECT_TRUE(bannerFree(log).starts_with("Settings file: " + dir.path("norrik.conf") + "\nLog file: " + logFile +
                                            "\nDatabase file: " + dir.path("tracker.db") +
                                            "\nDatabase: SQLite, tables layout"
                                            "\nStarting maintenance thread (1/2)\nStarting thread (2/2)\n"))
        << log;

    // A second daemon on the same port fails into its own log: its banner
    // (standard output) and its failure lines (standard error) must both be
    // there, whole and in order. The pid file stays the first daemon's.
    const std::string failedLog = dir.path("failed.log");
    Program second(dir.root(), {"-d", "failed.log", "norrik.conf"});
    EXPECT_EQ(second.wait(), 0);
    EXPECT_TRUE(Program::waitForFile(failedLog, "Goodbye."));
    EXPECT_TRUE(startsWithBanner(readFile(failedLog))) << readFile(failedLog);
    EXPECT_EQ(bannerFree(readFile(failedLog)),
              "Settings file: " + dir.path("norrik.conf") + "\nLog file: " + failedLog + "\nDatabase file: " +
                  dir.path("tracker.db") + "\nError While trying to start server.\nFailed to bind socket.\n\nGoodbye.\n");
    EXPECT_EQ(std::atol(readFile(dir.path("norrik.pid")).c_str()), daemon);
    // The failed daemon has exited by itself; reap it (the first one runs on).
    for (int i = 0; i < 100 && ::waitpid(-1, nullptr, WNOHANG) >= 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Rotation: the log is renamed, SIGHUP opens a new one under the old name.
    const std::string rotatedLog = logFile + ".1";
    ASSERT_EQ(::rename(logFile.c_str(), rotatedLog.c_str()), 0);
    ASSERT_EQ(::kill(daemon, SIGHUP), 0);
    bool logged = false;
    for (int i = 0; i < 50 && !logged; ++i) {
        answersConnect(port);
        logged = Program::waitForFile(logFile, "Handling request\n:: 127.0.0.1:", 100);
    }
    ASSERT_TRUE(logged) << "no request lines in the new log";
    const std::string rotated = readFile(rotatedLog);
    const std::size_t before = readFile(logFile).size();
    EXPECT_TRUE(answersConnect(port));
    for (int i = 0; i < 200 && readFile(logFile).size() == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(readFile(logFile).size(), before);
    EXPECT_EQ(readFile(rotatedLog), rotated) << "the rotated log still grows";

    ASSERT_EQ(::kill(daemon, SIGTERM), 0);
    int raw = 0;
    ASSERT_EQ(::waitpid(daemon, &raw, 0), daemon);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
    EXPECT_EQ(withoutRequestLines(readFile(logFile)),
              "Stopping on SIGTERM.\n\nGoodbye.\nThread (1/2) terminated.\nThread (2/2) terminated.\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path("norrik.pid")));
}
