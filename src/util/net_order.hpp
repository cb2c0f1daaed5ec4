#pragma once
// Conversion between host order and network (big-endian) order. The same
// function serves both directions: on a little-endian host it reverses the
// bytes, on a big-endian host it returns its argument.

#include <bit>
#include <cstdint>

namespace NORRIK {

constexpr uint16_t netOrder16(uint16_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<uint16_t>((value >> 8) | (value << 8));
    } else {
        return value;
    }
}

constexpr uint32_t netOrder32(uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return __builtin_bswap32(value);
    } else {
        return value;
    }
}

constexpr uint64_t netOrder64(uint64_t value) {
    if constexpr (std::endian::native == std::endian::little) {
        return __builtin_bswap64(value);
    } else {
        return value;
    }
}

}  // namespace NORRIK
