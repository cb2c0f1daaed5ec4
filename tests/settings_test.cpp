#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "settings.hpp"
#include "test_support.hpp"

using NORRIK::Settings;

namespace {

struct Expect {
    const char* section;
    const char* key;
    const char* value;  // nullptr: the key must be absent
};

struct ParseCase {
    const char* name;
    std::string text;
    std::vector<Expect> expects;
};

std::unique_ptr<Settings> parsed(const std::string& text) {
    auto settings = std::make_unique<Settings>("unused");
    settings->parse(text.data(), text.size());
    return settings;
}

}  // namespace

TEST(SettingsParse, ReadingRules) {
    const std::vector<ParseCase> cases = {
        {"spaces around =", "[tracker]\nport = 6969\n", {{"tracker", "port", "6969"}}},
        {"no comment after a value", "[tracker]\nport=6969 ; fast\n", {{"tracker", "port", "6969 ; fast"}}},
        {"= inside value", "[s]\na=b=c\n", {{"s", "a", "b=c"}}},
        {"empty value", "[s]\nkey=\n", {{"s", "key", ""}}},
        {"line without =", "[s]\njusttext\nx=1\n", {{"s", "justtext", nullptr}, {"s", "x", "1"}}},
        {"last line without line feed", "[s]\nx=1", {{"s", "x", "1"}}},
        {"last line without line feed, CR", "[s]\nx=1 \r", {{"s", "x", "1"}}},
        {"hash is no comment", "[s]\n# note=1\n# plain\n", {{"s", "# note", "1"}}},
        {"semicolon comment", "[s]\n;x=1\ny=2\n", {{"s", "x", nullptr}, {"s", "y", "2"}}},
        {"pair after header on one line", "[a] b=c\n", {{"a", "b", "c"}}},
        {"sections merge, last value wins", "[s]\nx=1\n[t]\ny=2\n[s]\nx=3\n", {{"s", "x", "3"}, {"t", "y", "2"}}},
        {"CR LF line ends", "[s]\r\nx=1\r\ny = 2 \r\n", {{"s", "x", "1"}, {"s", "y", "2"}}},
        {"pair before any header is dropped", "x=1\n[s]\ny=2\n", {{"s", "x", nullptr}, {"s", "y", "2"}}},
        {"empty section name drops pairs", "[]\nx=1\n", {{"", "x", nullptr}}},
        {"key keeps inner spaces, loses trailing", "[s]\na b  =v\n", {{"s", "a b", "v"}}},
        {"unclosed header ends reading", "[s]\nx=1\n[broken\ny=2\n", {{"s", "x", "1"}, {"s", "y", nullptr}}},
        {"comment without line feed ends reading", "[s]\nx=1\n; end", {{"s", "x", "1"}}},
        {"control bytes skipped", std::string("[s]\n\x01\x80x=1\n", 9), {{"s", "x", "1"}}},
    };
    for (const auto& c : cases) {
        auto settings = parsed(c.text);
        for (const auto& e : c.expects) {
            const Settings::Section* section = settings->getSection(e.section);
            if (e.value == nullptr) {
                EXPECT_TRUE(section == nullptr || section->getEntries().count(e.key) == 0)
                    << c.name << ": " << e.key;
            } else {
                ASSERT_NE(section, nullptr) << c.name;
                auto it = section->getEntries().find(e.key);
                ASSERT_NE(it, section->getEntries().end()) << c.name << ": " << e.key;
                EXPECT_EQ(it->second, e.value) << c.name;
            }
        }
    }
}

TEST(SettingsParse, PaddedSectionNameIsItsOwnSection) {
    auto settings = parsed("[ tracker ]\nport=1\n");
    EXPECT_EQ(settings->getSection("tracker"), nullptr);
    ASSERT_NE(settings->getSection(" tracker "), nullptr);
}

TEST(Settings, SetGetAndSections) {
    Settings settings("unused");
    EXPECT_FALSE(settings.set("", "k", "v"));
    EXPECT_FALSE(settings.set("s", "", "v"));
    EXPECT_EQ(settings.getSection("s"), nullptr);
    EXPECT_TRUE(settings.set("s", "k", ""));
    EXPECT_TRUE(settings.set("s", "k", "v"));
    EXPECT_EQ(settings.get("s", "k"), "v");
    EXPECT_EQ(settings.get("s", "missing"), "");
    EXPECT_EQ(settings.get("", "k"), "");
    EXPECT_EQ(settings.getSection(""), nullptr);
    Settings::Section* section = settings.getSection("s");
    settings.set("other", "x", "1");  // pointers stay valid as sections are added
    EXPECT_EQ(section, settings.getSection("s"));
    EXPECT_EQ(section->get("k"), "v");
}

TEST(SettingsFile, SaveWritesExactTextAndLoadReadsItBack) {
    norrik_test::TempDir dir;
    std::string path = dir.path("norrik.conf");
    Settings settings(path);
    settings.set("tracker", "port", "6969");
    settings.set("tracker", "allow_iana_ips", "1");
    settings.set("apiserver", "enable", "1");
    settings.set("Zeta", "B", "x");
    settings.save();
    EXPECT_EQ(norrik_test::readFile(path),
              "; norrik Settings File - Created Automatically.\n"
              "[Zeta]\nB=x\n\n"
              "[apiserver]\nenable=1\n\n"
              "[tracker]\nallow_iana_ips=1\nport=6969\n\n");

    Settings loaded(path);
    ASSERT_TRUE(loaded.load());
    EXPECT_EQ(loaded.serialize(), settings.serialize());
}

TEST(SettingsFile, LoadMissingAndEmptyFiles) {
    norrik_test::TempDir dir;
    Settings missing(dir.path("absent.conf"));
    EXPECT_FALSE(missing.load());

    std::string empty = dir.path("empty.conf");
    norrik_test::writeFile(empty, "");
    Settings settings(empty);
    EXPECT_TRUE(settings.load());
    EXPECT_EQ(settings.serialize(), "; norrik Settings File - Created Automatically.\n");

    Settings unwritable(dir.path("no/such/dir/x.conf"));
    unwritable.set("s", "k", "v");
    unwritable.save();  // silently nothing
    EXPECT_FALSE(std::filesystem::exists(dir.path("no/such/dir/x.conf")));
}
