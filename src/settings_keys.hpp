#pragma once
// Every setting norrik understands: its section, its key and how its value
// is read. This is the one list of them: the start-up check (settings_check)
// warns about any section or key that is not here, and docs/operations.md
// describes each one. A new setting is added here first.
//
// The section "api.keys" is the exception: its key names are the operator's
// own API keys, and each value is a list of source addresses.

#include <string_view>

namespace NORRIK::SettingsKeys {

enum class Reading {
    kText,       // any text, used as it stands (names, paths, addresses)
    kNumber,     // decimal like atoi: a sign and digits, reading stops at the first other character
    kYesOrNo,    // yes/true/1 or no/false/0 in any case; anything else reads as no
    kNoOrYes,    // the same words; anything else reads as yes
    kExactlyOne, // only the exact text "1" turns it on
    kAddressList,  // IPv4 addresses as an API key's list reads them (util/whitelist.hpp)
};

struct Key {
    std::string_view section;
    std::string_view key;
    Reading reading;
};

inline constexpr std::string_view kApiKeysSection = "api.keys";

inline constexpr Key kKeys[] = {
    {"database", "driver", Reading::kText},
    {"database", "file", Reading::kText},
    {"database", "layout", Reading::kText},
    {"database", "conninfo", Reading::kText},
    {"database", "journal_size_limit", Reading::kNumber},

    {"tracker", "is_dynamic", Reading::kYesOrNo},
    {"tracker", "port", Reading::kNumber},
    {"tracker", "threads", Reading::kNumber},
    {"tracker", "allow_remotes", Reading::kYesOrNo},
    {"tracker", "allow_iana_ips", Reading::kNoOrYes},
    {"tracker", "announce_interval", Reading::kNumber},
    {"tracker", "cleanup_interval", Reading::kNumber},
    {"tracker", "local_subnet", Reading::kText},
    {"tracker", "remote_ip", Reading::kText},
    {"tracker", "log_requests", Reading::kNoOrYes},
    {"tracker", "bind_address", Reading::kText},
    {"tracker", "connection_secret_file", Reading::kText},
    {"tracker", "pid_file", Reading::kText},

    {"apiserver", "enable", Reading::kExactlyOne},
    {"apiserver", "threads", Reading::kNumber},
    {"apiserver", "port", Reading::kNumber},
    {"apiserver", "bind_address", Reading::kText},
    {"apiserver", "metrics_allow", Reading::kAddressList},
};

// The entry of a known key, or nullptr.
constexpr const Key* find(std::string_view section, std::string_view key) {
    for (const Key& entry : kKeys) {
        if (entry.section == section && entry.key == key) return &entry;
    }
    return nullptr;
}

constexpr bool isKnownSection(std::string_view section) {
    if (section == kApiKeysSection) return true;
    for (const Key& entry : kKeys) {
        if (entry.section == section) return true;
    }
    return false;
}

}  // namespace NORRIK::SettingsKeys
