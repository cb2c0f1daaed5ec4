#include "http/metrics_text.hpp"

#include <charconv>
#include <cmath>

namespace NORRIK::Server {

namespace {

// Backslash and line feed always; the double quote only inside label values.
void appendEscaped(std::string& out, std::string_view text, bool quote) {
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quote) {
            out += "\\\"";
        } else {
            out += c;
        }
    }
}

}  // namespace

void MetricsText::family(std::string_view name, Type type, std::string_view help) {
    family_ = name;
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    appendEscaped(text_, help, false);
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += type == Type::kCounter ? " counter\n" : " gauge\n";
}

void MetricsText::sampleStart(std::initializer_list<Label> labels) {
    text_ += family_;
    if (labels.size() != 0) {
        text_ += '{';
        bool first = true;
        for (const Label& label : labels) {
            if (!first) text_ += ',';
            first = false;
            text_ += label.name;
            text_ += "=\"";
            appendEscaped(text_, label.value, true);
            text_ += '"';
        }
        text_ += '}';
    }
    text_ += ' ';
}

void MetricsText::sample(std::initializer_list<Label> labels, uint64_t value) {
    sampleStart(labels);
    text_ += std::to_string(value);
    text_ += '\n';
}

void MetricsText::sample(std::initializer_list<Label> labels, double value) {
    sampleStart(labels);
    if (std::isnan(value)) {
        text_ += "NaN";
    } else if (std::isinf(value)) {
        text_ += value > 0 ? "+Inf" : "-Inf";
    } else {
        char buffer[32];
        const std::to_chars_result end = std::to_chars(buffer, buffer + sizeof buffer, value);
        text_.append(buffer, end.ptr);
    }
    text_ += '\n';
}

}  // namespace NORRIK::Server
