#include "settings_check.hpp"

#include <cctype>
#include <cstdio>
#include <string_view>

#include "settings_keys.hpp"
#include "util/address.hpp"
#include "util/net_order.hpp"
#include "util/whitelist.hpp"

namespace NORRIK {

namespace {

using SettingsKeys::Reading;

// Section names may span lines and values may hold control bytes; a warning
// stays one line.
std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string where(const std::string& section, const std::string& key, const std::string& value) {
    return "Settings: [" + printable(section) + "] " + printable(key) + "=" + printable(value);
}

// The warning for a number, or empty text. The reading is atoi's: leading
// white space, an optional sign, digits up to the first other character.
std::string checkNumber(const std::string& section, const std::string& key, const std::string& value) {
    std::size_t pos = 0;
    while (pos < value.size() && std::isspace(static_cast<unsigned char>(value[pos]))) ++pos;
    const std::size_t numberStart = pos;
    if (pos < value.size() && (value[pos] == '+' || value[pos] == '-')) ++pos;
    const std::size_t digitsStart = pos;
    while (pos < value.size() && value[pos] >= '0' && value[pos] <= '9') ++pos;
    if (pos == digitsStart) return where(section, key, value) + " is not a number; it reads as 0.";
    if (pos == value.size()) return "";
    return where(section, key, value) + " is not a whole number: reading stops at \"" +
           printable(std::string_view(value).substr(pos)) + "\", so it reads as " +
           value.substr(numberStart, pos - numberStart) + ".";
}

bool isYesOrNo(std::string_view value) {
    std::string lower(value);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower == "yes" || lower == "true" || lower == "1" || lower == "no" || lower == "false" || lower == "0";
}

std::string checkWhitelist(std::string_view section, const std::string& key, const std::string& value) {
    const WhitelistReading reading = readWhitelist(value);
    if (reading.stop == WhitelistReading::Stop::kEndOfValue) return "";
    const std::string_view text(value);
    std::string cause;
    std::size_t stopsAt = reading.droppedFrom;  // the address that reads as 0
    if (reading.stop == WhitelistReading::Stop::kBadCharacter) {
        stopsAt = reading.stopAt;
        cause = "'" + printable(text.substr(reading.stopAt, 1)) + "' after \"" +
                printable(text.substr(reading.droppedFrom, reading.stopAt - reading.droppedFrom)) + "\"";
    } else {
        cause = "\"" + printable(text.substr(reading.droppedFrom, reading.stopAt - reading.droppedFrom)) +
                "\" reads as address 0";
    }
    const std::size_t read = reading.addresses.size();
    std::string before;
    for (uint32_t address : reading.addresses) {
        before += (before.empty() ? "" : ", ") + addressToText(netOrder32(address));
    }
    return "Settings: [" + printable(section) + "] " + printable(key) +
           ": the address list stops at character " + std::to_string(stopsAt + 1) + " (" + cause +
           "): \"" + printable(text.substr(reading.droppedFrom)) + "\" is ignored; " +
           (read == 0 ? std::string("no address was read before it.")
                      : std::to_string(read) + (read == 1 ? " address was" : " addresses were") +
                            " read before it (" + before + ").");
}

std::string checkValue(const SettingsKeys::Key& known, const std::string& section, const std::string& key,
                       const std::string& value) {
    if (value.empty()) return "";  // every reader takes its fallback
    switch (known.reading) {
        case Reading::kText:
            return "";
        case Reading::kNumber:
            return checkNumber(section, key, value);
        case Reading::kYesOrNo:
        case Reading::kNoOrYes:
            if (isYesOrNo(value)) return "";
            return where(section, key, value) + " is neither yes nor no; it reads as " +
                   (known.reading == Reading::kYesOrNo ? "no." : "yes.");
        case Reading::kExactlyOne:
            if (value == "1" || value == "0") return "";
            return where(section, key, value) + " is not 1; it reads as off.";
        case Reading::kAddressList:
            return checkWhitelist(section, key, value);
    }
    return "";
}

}  // namespace

std::vector<std::string> settingsWarnings(const Settings& settings) {
    std::vector<std::string> warnings;
    auto add = [&warnings](std::string line) {
        if (!line.empty()) warnings.push_back(std::move(line));
    };
    for (const auto& [name, section] : settings.getSections()) {
        if (!SettingsKeys::isKnownSection(name)) {
            add("Settings: unknown section [" + printable(name) + "]; nothing in it is read.");
            continue;
        }
        for (const auto& [key, value] : section.getEntries()) {
            if (name == SettingsKeys::kApiKeysSection) {
                add(checkWhitelist(SettingsKeys::kApiKeysSection, key, value));
                continue;
            }
            const SettingsKeys::Key* known = SettingsKeys::find(name, key);
            if (known == nullptr) {
                add("Settings: unknown key \"" + printable(key) + "\" in section [" + printable(name) +
                    "]; it is not read.");
                continue;
            }
            add(checkValue(*known, name, key, value));
        }
    }
    return warnings;
}

}  // namespace NORRIK
