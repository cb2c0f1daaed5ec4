#pragma once
// Reading of an API key's address list (the value of a key in the settings
// section "api.keys"). The web application admits the addresses it yields;
// the start-up check uses the same reading to say where a list stops.
//
// Dotted addresses are separated by any non-digit characters. Parts a, b and
// c of an address end with "."; part d ends with a space, ",", "." or ";"
// (or the end of the value, which may also cut an address short: its
// missing parts count as 0). Parts above 255 carry into the next higher
// part. Any other character after a part, or an address equal to 0, ends
// the reading: the address being read and everything after it are dropped,
// and what was read before stays.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace NORRIK {

struct WhitelistReading {
    enum class Stop {
        kEndOfValue,    // the whole value was read
        kBadCharacter,  // a character that may not follow the part before it
        kZeroAddress,   // an address that reads as 0
    };

    std::vector<uint32_t> addresses;  // network byte order
    Stop stop = Stop::kEndOfValue;
    // Unless the whole value was read: where the dropped address begins, and
    // the character that stopped the reading (for kZeroAddress the position
    // just after the address).
    std::size_t droppedFrom = 0;
    std::size_t stopAt = 0;
};

WhitelistReading readWhitelist(std::string_view value);

}  // namespace NORRIK
