#pragma once
// NORRIK::Settings: the configuration as named sections of text keys and
// text values, read from and written to the settings file.
//
// Contract: the start-up thread fills the store (load/set) and writes it
// (save) before any other thread exists; afterwards every thread only reads
// it, without a lock. Section pointers handed out by getSection stay valid
// as long as the Settings lives. Names and keys are case-sensitive and
// ordered by plain byte comparison; values are never interpreted here.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace NORRIK {

class Settings {
public:
    class Section {
    public:
        explicit Section(std::string name) : name_(std::move(name)) {}

        const std::string& getName() const { return name_; }

        // The key's value, or empty text when the key is missing.
        std::string get(const std::string& key) const;

        // Stores or replaces the value; always true.
        bool set(const std::string& key, const std::string& value);

        // Key and value pairs in ascending key order.
        const std::map<std::string, std::string>& getEntries() const { return entries_; }

    private:
        std::string name_;
        std::map<std::string, std::string> entries_;
    };

    explicit Settings(std::string fileName) : fileName_(std::move(fileName)) {}
    virtual ~Settings() = default;

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    const std::string& getFileName() const { return fileName_; }

    // Reads the file and adds what it defines. False, changing nothing, when
    // the file cannot be opened; true otherwise, whatever it holds.
    bool load();

    // Reads settings text (the file's bytes) into the store.
    void parse(const char* data, std::size_t size);

    // Writes every section to the file, creating or truncating it. Failures
    // to open the file are silent.
    void save() const;

    // The exact text save() writes.
    std::string serialize() const;

    // False, storing nothing, when the section name or the key is empty.
    bool set(const std::string& section, const std::string& key, const std::string& value);

    // The section, or nullptr when the name is empty or unknown.
    Section* getSection(const std::string& name);
    const Section* getSection(const std::string& name) const;

    // The value, or empty text when section or key is missing.
    std::string get(const std::string& section, const std::string& key) const;

    // Every section in ascending name order.
    const std::map<std::string, Section>& getSections() const { return sections_; }

private:
    std::string fileName_;
    std::map<std::string, Section> sections_;
};

}  // namespace NORRIK
