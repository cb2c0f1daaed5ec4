#include "util/hex.hpp"

namespace NORRIK {

namespace {
constexpr char kDigits[] = "0123456789abcdef";

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

void hashToHex(const uint8_t* hash, char* out) {
    for (std::size_t i = 0; i < kInfoHashSize; ++i) {
        out[2 * i] = kDigits[hash[i] >> 4];
        out[2 * i + 1] = kDigits[hash[i] & 0x0f];
    }
    out[kInfoHashHexSize] = '\0';
}

std::string hashToHex(const uint8_t* hash) {
    char text[kInfoHashHexSize + 1];
    hashToHex(hash, text);
    return std::string(text, kInfoHashHexSize);
}

bool hexToHash(std::string_view text, uint8_t* out) {
    if (text.size() != kInfoHashHexSize) return false;
    for (std::size_t i = 0; i < kInfoHashSize; ++i) {
        int high = digitValue(text[2 * i]);
        int low = digitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

}  // namespace NORRIK
