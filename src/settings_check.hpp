#pragma once
// The start-up check of the settings: one warning line for each thing that
// is read in a way the operator may not expect. Nothing here changes how a
// value is read; every reader keeps its own rules, and this only says what
// they make of the text:
// - a section or a key that nothing reads (settings_keys.hpp lists them);
// - a number with text after its digits ("port=69x9" reads as 69), or with
//   no digits at all (reads as 0);
// - a yes/no setting that is neither, and an "enable" other than 0 or 1;
// - an API key's address list that stops before its end, with the place
//   and the cause (util/whitelist.hpp has the reading rules).
// Empty values are not warned about: they take each reader's fallback.

#include <string>
#include <vector>

#include "settings.hpp"

namespace NORRIK {

// The warning lines, in section order and within a section in key order.
std::vector<std::string> settingsWarnings(const Settings& settings);

}  // namespace NORRIK
