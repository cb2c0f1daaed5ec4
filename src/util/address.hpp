#pragma once
// Dotted text of a host-order IPv4 address ("%d.%d.%d.%d", most significant
// octet first, no leading zeros) and the way back.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace NORRIK {

// At most 15 characters.
std::string addressToText(uint32_t hostOrderAddress);

// The same text written into `out` (room for kAddressTextSize bytes, a
// terminating zero included), without allocating; returns its length.
constexpr std::size_t kAddressTextSize = 16;
std::size_t addressToText(uint32_t hostOrderAddress, char* out);

// Reads four decimal numbers separated by dots, each 0-255, nothing else
// around them. Returns the host-order address, or nothing when the text is
// not such an address.
std::optional<uint32_t> textToAddress(std::string_view text);

}  // namespace NORRIK
