#include "util/address.hpp"

namespace NORRIK {

std::size_t addressToText(uint32_t address, char* out) {
    // Formatted by hand: it runs for every peer of every announce when a
    // local subnet is configured, and printf-style formatting costs ten
    // times as much.
    std::size_t length = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (address >> shift) & 0xffu;
        if (octet >= 100) out[length++] = static_cast<char>('0' + octet / 100);
        if (octet >= 10) out[length++] = static_cast<char>('0' + octet / 10 % 10);
        out[length++] = static_cast<char>('0' + octet % 10);
        if (shift > 0) out[length++] = '.';
    }
    out[length] = '\0';
    return length;
}

std::string addressToText(uint32_t address) {
    char text[kAddressTextSize];
    return std::string(text, addressToText(address, text));
}

std::optional<uint32_t> textToAddress(std::string_view text) {
    uint32_t address = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return std::nullopt;
            ++pos;
        }
        std::size_t start = pos;
        uint32_t value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255) return std::nullopt;
        address = (address << 8) | value;
    }
    if (pos != text.size()) return std::nullopt;
    return address;
}

}  // namespace NORRIK
