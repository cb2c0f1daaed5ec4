// How the start-up code reads its arguments (the program name excluded).

#include <gtest/gtest.h>

#include "startup.hpp"

using NORRIK::Startup::parseCommandLine;

TEST(CommandLine, ArgumentsAndTheirMeaning) {
    struct Case {
        std::vector<std::string> args;
        bool help;
        bool daemon;
        std::string logFile;
        std::string settingsFile;
    };
    const Case cases[] = {
        {{}, false, false, "", "norrik.conf"},
        {{"-h"}, true, false, "", "norrik.conf"},
        {{"-h", "x.conf"}, true, false, "", "norrik.conf"},
        {{"x.conf", "-h"}, false, false, "", "-h"},           // -h counts only first
        {{"-d"}, false, false, "", "-d"},                    // a lone -d names the settings file
        {{"-d", "n.log"}, false, true, "n.log", "n.log"},    // log file and settings file at once
        {{"-d", "n.log", "skipped", "n.conf"}, false, true, "n.log", "n.conf"},
        {{"ignored", "n.conf"}, false, false, "", "n.conf"}, // no log file in the foreground
    };
    for (const Case& c : cases) {
        const auto line = parseCommandLine(c.args);
        std::string what;
        for (const auto& a : c.args) what += a + " ";
        EXPECT_EQ(line.help, c.help) << what;
        EXPECT_EQ(line.daemon, c.daemon) << what;
        EXPECT_EQ(line.logFile, c.logFile) << what;
        EXPECT_EQ(line.settingsFile, c.settingsFile) << what;
    }
}
