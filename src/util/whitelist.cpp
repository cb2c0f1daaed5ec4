#include "util/whitelist.hpp"

#include "util/net_order.hpp"

namespace NORRIK {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

WhitelistReading readWhitelist(std::string_view value) {
    WhitelistReading reading;
    std::size_t pos = 0;
    const std::size_t end = value.size();
    while (true) {
        while (pos < end && !isDigit(value[pos])) ++pos;
        if (pos >= end) return reading;

        const std::size_t begin = pos;
        uint32_t parts[4] = {0, 0, 0, 0};
        std::size_t digitsEnd = pos;
        for (int part = 0; part < 4 && pos < end; ++part) {
            while (pos < end && isDigit(value[pos])) {
                parts[part] = parts[part] * 10 + static_cast<uint32_t>(value[pos] - '0');
                ++pos;
            }
            digitsEnd = pos;
            if (pos >= end) break;
            const char c = value[pos];
            const bool ends = part < 3 ? c == '.' : (c == ' ' || c == ',' || c == '.' || c == ';');
            if (!ends) {
                reading.stop = WhitelistReading::Stop::kBadCharacter;
                reading.droppedFrom = begin;
                reading.stopAt = pos;
                return reading;
            }
            ++pos;
        }

        const uint32_t address = ((parts[0] * 256 + parts[1]) * 65536) + parts[2] * 256 + parts[3];
        if (address == 0) {
            reading.stop = WhitelistReading::Stop::kZeroAddress;
            reading.droppedFrom = begin;
            reading.stopAt = digitsEnd;
            return reading;
        }
        reading.addresses.push_back(netOrder32(address));
    }
}

}  // namespace NORRIK
