// Settings text: any bytes must parse without a fault, and what the store
// writes must read back as the same store (serialize is a fixed point after
// one parse), so a file written by save() is never read differently. The
// start-up check of the same text gives whole lines only.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "settings.hpp"
#include "settings_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NORRIK::Settings first("unused");
    first.parse(reinterpret_cast<const char*>(data), size);
    const std::string written = first.serialize();

    NORRIK::Settings second("unused");
    second.parse(written.data(), written.size());
    FUZZ_CHECK(second.serialize() == written);

    for (const std::string& warning : NORRIK::settingsWarnings(first)) {
        FUZZ_CHECK(warning.starts_with("Settings: ") && warning.find('\n') == std::string::npos);
    }
    return 0;
}
