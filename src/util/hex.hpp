#pragma once
// Text form of a 20-byte info_hash: 40 lower-case hexadecimal digits.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace NORRIK {

constexpr std::size_t kInfoHashSize = 20;
constexpr std::size_t kInfoHashHexSize = 2 * kInfoHashSize;

// Writes the 40 digits and a terminating zero byte into `out`, which must
// hold at least 41 bytes.
void hashToHex(const uint8_t* hash, char* out);

// Convenience form returning the 40 digits as a string.
std::string hashToHex(const uint8_t* hash);

// Reads exactly 40 digits "0"-"9" / "a"-"f" into 20 bytes. Returns false
// (leaving `out` unspecified) for any other length or character, upper-case
// digits included.
bool hexToHash(std::string_view text, uint8_t* out);

}  // namespace NORRIK
