#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

#include "util/address.hpp"
#include "util/hex.hpp"
#include "util/net_order.hpp"

using namespace NORRIK;

TEST(NetOrder, ConvertsToBigEndianBytesAndBack) {
    uint16_t port = netOrder16(6969);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&port);
    EXPECT_EQ(bytes[0], 0x1B);
    EXPECT_EQ(bytes[1], 0x39);
    EXPECT_EQ(netOrder16(port), 6969);

    uint32_t address = netOrder32(0x0A000001);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&address)[0], 10);
    EXPECT_EQ(netOrder32(address), 0x0A000001u);

    uint64_t big = netOrder64(0x0102030405060708ull);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&big)[0], 1);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&big)[7], 8);
    EXPECT_EQ(netOrder64(big), 0x0102030405060708ull);
}

TEST(Hex, RoundTripAndRefusals) {
    uint8_t hash[20];
    for (int i = 0; i < 20; ++i) hash[i] = static_cast<uint8_t>((i % 16) * 17);
    char text[41];
    text[40] = 'x';
    hashToHex(hash, text);
    EXPECT_STREQ(text, "00112233445566778899aabbccddeeff00112233");

    uint8_t back[20];
    ASSERT_TRUE(hexToHash(text, back));
    EXPECT_EQ(0, memcmp(hash, back, 20));

    EXPECT_FALSE(hexToHash("00112233445566778899AABBCCDDEEFF00112233", back));  // upper case
    EXPECT_FALSE(hexToHash("00112233445566778899aabbccddeeff0011223", back));   // 39 digits
    EXPECT_FALSE(hexToHash("00112233445566778899aabbccddeeff001122334", back)); // 41 digits
    EXPECT_FALSE(hexToHash("00112233445566778899aabbccddeeff0011223g", back));
}

TEST(Address, DottedTextBothWays) {
    EXPECT_EQ(addressToText(0xCB007109), "203.0.113.9");
    EXPECT_EQ(addressToText(0), "0.0.0.0");
    EXPECT_EQ(addressToText(0xFFFFFFFF), "255.255.255.255");
    // Every octet value in every position, against printf's formatting.
    for (uint32_t value = 0; value < 256; ++value) {
        for (uint32_t address : {value << 24 | 0x0A0B0C, value << 16 | 0x09000001, value << 8 | 0x64000000, value,
                                 value * 0x01010101u}) {
            char expected[32];
            std::snprintf(expected, sizeof expected, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xff,
                          (address >> 8) & 0xff, address & 0xff);
            char text[NORRIK::kAddressTextSize];
            ASSERT_EQ(std::string(text, addressToText(address, text)), expected);
            ASSERT_STREQ(text, expected);
        }
    }

    struct Case {
        const char* text;
        bool valid;
        uint32_t address;
    } cases[] = {
        {"192.168.1.0", true, 0xC0A80100},  {"255.255.255.255", true, 0xFFFFFFFF},
        {"0.0.0.0", true, 0},               {"256.1.1.1", false, 0},
        {"1.2.3", false, 0},                {"1.2.3.4.5", false, 0},
        {"a.b.c.d", false, 0},              {"", false, 0},
        {" 1.2.3.4", false, 0},             {"1.2.3.4 ", false, 0},
        {"1..3.4", false, 0},               {"0001.2.3.4", false, 0},
    };
    for (const auto& c : cases) {
        auto parsed = textToAddress(c.text);
        EXPECT_EQ(parsed.has_value(), c.valid) << c.text;
        if (c.valid && parsed) {
            EXPECT_EQ(*parsed, c.address) << c.text;
        }
    }
}
