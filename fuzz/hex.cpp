// Hash text: hexToHash accepts exactly the 40 lower-case digits that
// hashToHex writes, and the two are inverse to each other.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz_check.hpp"
#include "util/hex.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    uint8_t hash[NORRIK::kInfoHashSize];
    if (NORRIK::hexToHash(text, hash)) {
        FUZZ_CHECK(NORRIK::hashToHex(hash) == text);
    } else {
        bool wellFormed = size == NORRIK::kInfoHashHexSize;
        for (char c : text) wellFormed = wellFormed && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
        FUZZ_CHECK(!wellFormed);
    }
    if (size >= NORRIK::kInfoHashSize) {
        char digits[NORRIK::kInfoHashHexSize + 1];
        NORRIK::hashToHex(data, digits);
        FUZZ_CHECK(std::strlen(digits) == NORRIK::kInfoHashHexSize);
        uint8_t back[NORRIK::kInfoHashSize];
        FUZZ_CHECK(NORRIK::hexToHash(digits, back));
        FUZZ_CHECK(std::memcmp(back, data, NORRIK::kInfoHashSize) == 0);
    }
    return 0;
}
