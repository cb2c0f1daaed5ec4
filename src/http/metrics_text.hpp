#pragma once
// NORRIK::Server::MetricsText: builds a page of metrics in the plain text
// exposition format (version 0.0.4) that Prometheus servers scrape.
//
// Each metric family starts with family(): a "# HELP <name> <text>" line and
// a "# TYPE <name> counter|gauge" line. sample() then adds lines
// "<name>{<label>="<value>",...} <number>" for the family started last, so a
// sample can never come before its TYPE line. HELP texts and label values
// are escaped (backslash, double quote, line feed) so that no text can break
// a line or a label; names are the caller's constants and must already be
// valid metric and label names.
//
// Numbers: integers exactly, other values in the shortest text that reads
// back as the same double, NaN and infinities as "NaN", "+Inf", "-Inf".

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace NORRIK::Server {

class MetricsText {
public:
    enum class Type { kCounter, kGauge };

    struct Label {
        std::string_view name;
        std::string_view value;
    };

    void family(std::string_view name, Type type, std::string_view help);

    void sample(uint64_t value) { sample({}, value); }
    void sample(std::initializer_list<Label> labels, uint64_t value);
    void sample(std::initializer_list<Label> labels, double value);

    const std::string& text() const { return text_; }

private:
    void sampleStart(std::initializer_list<Label> labels);

    std::string text_;
    std::string family_;
};

}  // namespace NORRIK::Server
