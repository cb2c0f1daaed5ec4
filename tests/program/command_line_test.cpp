// How the start-up code reads its arguments (the program name excluded).

#include <gtest/gtest.h>

#include "startup.hpp"

using NORRIK::Startup::parseCommandLine;

TEST(CommandLine, ArgumentsAndTheirMeaning) {
    struct Case {
        std::vector<std::string> args;
        bool help;
        bool version;
        bool daemon;
        bool service;
        std::string logFile;
        std::string settingsFile;
    };
    const Case cases[] = {
        {{}, false, false, false, false, "", "norrik.conf"},
        {{"-h"}, true, false, false, false, "", "norrik.conf"},
        {{"-h", "x.conf"}, true, false, false, false, "", "norrik.conf"},
        {{"x.conf", "-h"}, false, false, false, false, "", "-h"},  // -h counts only first
        {{"--version"}, false, true, false, false, "", "norrik.conf"},
        {{"-d"}, false, false, false, false, "", "-d"},  // a lone -d names the settings file
        // The log file alone: the settings are the default file, not the log.
        {{"-d", "n.log"}, false, false, true, false, "n.log", "norrik.conf"},
        {{"-d", "n.log", "n.conf"}, false, false, true, false, "n.log", "n.conf"},
        {{"-d", "n.log", "skipped", "n.conf"}, false, false, true, false, "n.log", "n.conf"},
        {{"-f"}, false, false, false, true, "", "norrik.conf"},
        {{"-f", "n.conf"}, false, false, false, true, "", "n.conf"},
        {{"n.conf", "-f"}, false, false, false, false, "", "-f"},  // -f counts only first
        {{"ignored", "n.conf"}, false, false, false, false, "", "n.conf"},  // no log file in the foreground
    };
    for (const Case& c : cases) {
        const auto line = parseCommandLine(c.args);
        std::string what;
        for (const auto& a : c.args) what += a + " ";
        EXPECT_EQ(line.help, c.help) << what;
        EXPECT_EQ(line.version, c.version) << what;
        EXPECT_EQ(line.daemon, c.daemon) << what;
        EXPECT_EQ(line.service, c.service) << what;
        EXPECT_EQ(line.readsConsole(), !c.daemon && !c.service) << what;
        EXPECT_EQ(line.logFile, c.logFile) << what;
        EXPECT_EQ(line.settingsFile, c.settingsFile) << what;
    }
}

TEST(CommandLine, NamesReadFromTheStartingDirectory) {
    using NORRIK::Startup::absolutePath;
    EXPECT_EQ(absolutePath("/srv/norrik", "norrik.log"), "/srv/norrik/norrik.log");
    EXPECT_EQ(absolutePath("/srv/norrik", "./data/../tracker.db"), "/srv/norrik/tracker.db");
    EXPECT_EQ(absolutePath("/srv/norrik", "/var/log/norrik.log"), "/var/log/norrik.log");
    EXPECT_EQ(absolutePath("", "norrik.conf"), "norrik.conf");  // start directory unknown

    // The store's file: made absolute; a daemon without one gets the
    // default file in the starting directory, the foreground keeps it unset.
    NORRIK::Settings named("unused"), unnamed("unused"), daemon("unused");
    named.set("database", "file", "db/tracker.db");
    EXPECT_EQ(NORRIK::Startup::resolveDatabaseFile(named, "/srv", false), "/srv/db/tracker.db");
    EXPECT_EQ(named.get("database", "file"), "/srv/db/tracker.db");
    EXPECT_EQ(NORRIK::Startup::resolveDatabaseFile(unnamed, "/srv", false), "/srv/tracker.db");
    EXPECT_EQ(unnamed.getSection("database"), nullptr);
    EXPECT_EQ(NORRIK::Startup::resolveDatabaseFile(daemon, "/srv", true), "/srv/tracker.db");
    EXPECT_EQ(daemon.get("database", "file"), "/srv/tracker.db");
}
