#include "settings.hpp"

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

namespace NORRIK {

namespace {

bool isSpace(unsigned char c) { return std::isspace(c) != 0; }
bool isGraph(unsigned char c) { return std::isgraph(c) != 0; }

std::string trimEnd(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && isSpace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(0, end));
}

std::string trim(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size() && isSpace(static_cast<unsigned char>(text[start]))) ++start;
    return trimEnd(text.substr(start));
}

}  // namespace

std::string Settings::Section::get(const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? std::string() : it->second;
}

bool Settings::Section::set(const std::string& key, const std::string& value) {
    entries_[key] = value;
    return true;
}

bool Settings::load() {
    std::ifstream file(fileName_, std::ios::in | std::ios::binary);
    if (!file.is_open()) return false;
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    parse(bytes.data(), bytes.size());
    return true;
}

void Settings::parse(const char* data, std::size_t size) {
    std::string_view text(data, size);
    std::string section;  // empty: no section yet, pairs are dropped by set()
    std::size_t pos = 0;
    while (pos < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[pos]);
        if (c == '\n') {
            ++pos;
        } else if (c == ';') {
            std::size_t lineEnd = text.find('\n', pos);
            if (lineEnd == std::string_view::npos) return;
            pos = lineEnd + 1;
        } else if (isSpace(c)) {
            ++pos;
        } else if (c == '[') {
            std::size_t close = text.find(']', pos + 1);
            if (close == std::string_view::npos) return;
            section = std::string(text.substr(pos + 1, close - pos - 1));
            pos = close + 1;
        } else if (isGraph(c)) {
            std::size_t stop = text.find_first_of("=\n", pos);
            if (stop == std::string_view::npos) return;
            if (text[stop] == '\n') {
                pos = stop + 1;
                continue;
            }
            std::string key = trimEnd(text.substr(pos, stop - pos));
            // A last line without a line feed is read like any other line.
            std::size_t lineEnd = text.find('\n', stop + 1);
            std::size_t valueEnd = lineEnd == std::string_view::npos ? text.size() : lineEnd;
            set(section, key, trim(text.substr(stop + 1, valueEnd - stop - 1)));
            pos = valueEnd == text.size() ? valueEnd : valueEnd + 1;
        } else {
            ++pos;
        }
    }
}

std::string Settings::serialize() const {
    std::ostringstream out;
    out << "; norrik Settings File - Created Automatically.\n";
    for (const auto& [name, section] : sections_) {
        out << '[' << name << "]\n";
        for (const auto& [key, value] : section.getEntries()) {
            out << key << '=' << value << '\n';
        }
        out << '\n';
    }
    return out.str();
}

void Settings::save() const {
    std::ofstream file(fileName_, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file.is_open()) return;
    std::string text = serialize();
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
}

bool Settings::set(const std::string& section, const std::string& key, const std::string& value) {
    if (section.empty() || key.empty()) return false;
    auto it = sections_.try_emplace(section, section).first;
    return it->second.set(key, value);
}

Settings::Section* Settings::getSection(const std::string& name) {
    if (name.empty()) return nullptr;
    auto it = sections_.find(name);
    return it == sections_.end() ? nullptr : &it->second;
}

const Settings::Section* Settings::getSection(const std::string& name) const {
    return const_cast<Settings*>(this)->getSection(name);
}

std::string Settings::get(const std::string& section, const std::string& key) const {
    const Section* found = getSection(section);
    return found == nullptr ? std::string() : found->get(key);
}

}  // namespace NORRIK
