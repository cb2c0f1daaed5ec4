#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "db/connection_ids.hpp"
#include "test_support.hpp"

using NORRIK::Data::ConnectionIds;
using namespace norrik_test;

namespace {

constexpr int64_t kStart = 1'700'000'000;
constexpr uint32_t kClient = 0xC0A80005;  // 192.168.0.5

ConnectionIds::Key keyOf(unsigned char fill) {
    ConnectionIds::Key key;
    key.fill(fill);
    return key;
}

TEST(ConnectionIds, AcceptsTheIssuedAddressForUpTo180Seconds) {
    struct Case {
        const char* what;
        int64_t age;   // seconds from issue to check; negative: issued ahead of the checking clock
        uint32_t ip;
        uint64_t change;  // XORed into the identifier
        bool accepted;
    } cases[] = {
        {"at once", 0, kClient, 0, true},
        {"119 s old", 119, kClient, 0, true},
        {"120 s old", 120, kClient, 0, true},
        {"121 s old", 121, kClient, 0, true},
        {"179 s old", 179, kClient, 0, true},
        {"180 s old", 180, kClient, 0, true},
        {"181 s old", 181, kClient, 0, false},
        {"255 s old", 255, kClient, 0, false},
        {"256 s old: stamp as at once", 256, kClient, 0, false},
        {"316 s old: stamp as 60 s", 316, kClient, 0, false},
        {"a day old", 86400, kClient, 0, false},
        {"5 s ahead: a small clock step", -5, kClient, 0, true},
        {"6 s ahead", -6, kClient, 0, false},
        {"an hour ahead", -3600, kClient, 0, false},
        {"another address", 0, kClient + 1, 0, false},
        {"another network", 0, 0x0A000005, 0, false},
        {"stamp changed", 0, kClient, 0x01, false},
        {"one hash bit changed", 0, kClient, uint64_t{1} << 40, false},
    };
    // Every position of the issue time in the stamp's 256-second cycle, so
    // that the cycle's wrap is crossed by every age.
    for (int64_t offset = 0; offset < 256; ++offset) {
        const int64_t issued = kStart + offset;
        int64_t clock = issued;
        ConnectionIds ids([&] { return clock; });
        const uint64_t id = ids.issue(kClient);
        for (const Case& c : cases) {
            clock = issued + c.age;
            EXPECT_EQ(ids.check(id ^ c.change, c.ip), c.accepted) << c.what << ", issued at " << issued;
        }
    }
}

TEST(ConnectionIds, RefusesValuesNeverIssued) {
    int64_t clock = kStart;
    ConnectionIds ids([&] { return clock; });
    const uint64_t made_up[] = {0, ~uint64_t{0}, 0x0123456789abcdefull, ~uint64_t{6969},
                                static_cast<uint64_t>(kStart & 0xFF)};
    for (uint64_t id : made_up) EXPECT_FALSE(ids.check(id, kClient)) << std::hex << id;
    EXPECT_NE(ids.issue(kClient), ids.issue(kClient + 1));
}

TEST(ConnectionIds, SameKeyAcceptsTheOthersIdentifiersAnotherKeyDoesNot) {
    int64_t clock = kStart;
    auto at = [&] { return clock; };
    const ConnectionIds first(at, keyOf(1)), second(at, keyOf(1)), other(at, keyOf(2));
    const uint64_t id = first.issue(kClient);
    clock += 100;
    EXPECT_TRUE(second.check(id, kClient));
    EXPECT_TRUE(first.check(second.issue(kClient), kClient));
    EXPECT_FALSE(other.check(id, kClient));
    EXPECT_FALSE(first.check(other.issue(kClient), kClient));

    // Without a key, every instance of the process uses the one random key,
    // on the system clock.
    const ConnectionIds process, sameProcess;
    EXPECT_TRUE(sameProcess.check(process.issue(kClient), kClient));
    EXPECT_FALSE(first.check(process.issue(kClient), kClient));
}

TEST(ConnectionIds, KeyFileGivesOneKeyForOneContent) {
    TempDir dir;
    const std::string secret(32, 'x');
    writeFile(dir.path("a"), secret);
    writeFile(dir.path("b"), secret);
    writeFile(dir.path("c"), secret.substr(0, 31) + "y");  // differs only in its last byte
    writeFile(dir.path("d"), secret + "\n");
    writeFile(dir.path("short"), std::string(16, 's'));

    std::string error;
    auto a = ConnectionIds::loadKeyFile(dir.path("a"), &error);
    ASSERT_TRUE(a.has_value()) << error;
    auto b = ConnectionIds::loadKeyFile(dir.path("b"));
    auto c = ConnectionIds::loadKeyFile(dir.path("c"));
    auto d = ConnectionIds::loadKeyFile(dir.path("d"));
    ASSERT_TRUE(b && c && d);
    EXPECT_TRUE(ConnectionIds::loadKeyFile(dir.path("short")).has_value());  // 16 bytes are enough
    EXPECT_EQ(*a, *b);
    EXPECT_NE(*a, *c);
    EXPECT_NE(*a, *d);

    // Two nodes given the same file accept each other's identifiers.
    int64_t clock = kStart;
    const ConnectionIds node1([&] { return clock; }, a), node2([&] { return clock; }, b),
        node3([&] { return clock; }, c);
    EXPECT_TRUE(node2.check(node1.issue(kClient), kClient));
    EXPECT_FALSE(node3.check(node1.issue(kClient), kClient));
}

TEST(ConnectionIds, KeyFileErrorsNameTheFileAndTheProblem) {
    TempDir dir;
    writeFile(dir.path("empty"), "");
    writeFile(dir.path("15"), std::string(15, 'k'));
    writeFile(dir.path("huge"), std::string(ConnectionIds::kMaxSecretBytes + 1, 'k'));
    ::mkdir(dir.path("folder").c_str(), 0700);

    struct Case {
        std::string file;
        std::string message;
    } cases[] = {
        {dir.path("missing"), "The connection secret file '" + dir.path("missing") + "' does not exist."},
        {dir.path("folder"), "Cannot read the connection secret file '" + dir.path("folder") + "': Is a directory."},
        {dir.path("empty"), "The connection secret file '" + dir.path("empty") +
                                "' holds 0 bytes; it needs at least 16 (make one with: head -c 32 /dev/urandom > '" +
                                dir.path("empty") + "')."},
        {dir.path("15"), "The connection secret file '" + dir.path("15") +
                             "' holds 15 bytes; it needs at least 16 (make one with: head -c 32 /dev/urandom > '" +
                             dir.path("15") + "')."},
        {dir.path("huge"), "The connection secret file '" + dir.path("huge") +
                               "' is longer than 65536 bytes (make one with: head -c 32 /dev/urandom > '" +
                               dir.path("huge") + "')."},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ConnectionIds::loadKeyFile(c.file, &error).has_value()) << c.file;
        EXPECT_EQ(error, c.message);
    }
    EXPECT_FALSE(ConnectionIds::loadKeyFile(dir.path("missing")).has_value());  // no error text wanted
}

}  // namespace
