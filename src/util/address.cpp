#include "util/address.hpp"

#include <cstdio>

namespace NORRIK {

std::string addressToText(uint32_t address) {
    char text[16];
    int length = std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xffu,
                               (address >> 16) & 0xffu, (address >> 8) & 0xffu, address & 0xffu);
    return std::string(text, static_cast<std::size_t>(length));
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
