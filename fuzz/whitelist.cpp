// The API whitelist value parser against a plain model of its rules:
// addresses separated by non-digits; parts a, b and c end with ".", part d
// with " ", ",", "." or ";"; any other character after a part ends the scan
// and drops the address being read; the value's end fills missing parts
// with 0; parts carry into higher ones in 32-bit arithmetic; an address of 0
// ends the scan. Every address it keeps is non-zero.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "http/web_app.hpp"
#include "util/net_order.hpp"
#include "util/whitelist.hpp"

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

std::vector<uint32_t> model(std::string_view value) {
    std::vector<uint32_t> out;
    std::size_t i = 0;
    for (;;) {
        while (i < value.size() && !digit(value[i])) ++i;
        if (i == value.size()) return out;
        uint32_t part[4] = {};
        for (int p = 0; p < 4; ++p) {
            while (i < value.size() && digit(value[i])) part[p] = part[p] * 10u + uint32_t(value[i++] - '0');
            if (i == value.size()) break;
            const char c = value[i];
            const bool separator = p < 3 ? c == '.' : (c == ' ' || c == ',' || c == '.' || c == ';');
            if (!separator) return out;
            ++i;
        }
        const uint32_t address = ((part[0] * 256u + part[1]) * 65536u) + part[2] * 256u + part[3];
        if (address == 0) return out;
        out.push_back(NORRIK::netOrder32(address));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    const std::vector<uint32_t> parsed = NORRIK::WebApp::parseWhitelist(value);
    FUZZ_CHECK(parsed == model(value));
    for (uint32_t address : parsed) FUZZ_CHECK(address != 0);

    // Where a reading stops lies inside the value, after the addresses kept.
    const NORRIK::WhitelistReading reading = NORRIK::readWhitelist(value);
    FUZZ_CHECK(reading.addresses == parsed);
    if (reading.stop != NORRIK::WhitelistReading::Stop::kEndOfValue) {
        FUZZ_CHECK(reading.droppedFrom <= reading.stopAt && reading.stopAt <= value.size());
        FUZZ_CHECK(reading.stop == NORRIK::WhitelistReading::Stop::kZeroAddress || reading.stopAt < value.size());
    }
    return 0;
}
