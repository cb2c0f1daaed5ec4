#include "util/log.hpp"

#include <atomic>
#include <cerrno>
#include <unistd.h>

namespace NORRIK::Log {

namespace {

std::atomic<bool> gRequestLogging{true};
thread_local RequestScope* tCurrentScope = nullptr;
thread_local std::string* tCurrentBuffer = nullptr;

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere to report a failing log stream
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void writeLine(int fd, std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line);
    text.push_back('\n');
    writeAll(fd, text.data(), text.size());
}

void outLine(std::string_view line) {
    if (tCurrentBuffer != nullptr) {
        tCurrentBuffer->append(line);
        tCurrentBuffer->push_back('\n');
        return;
    }
    writeLine(STDOUT_FILENO, line);
}

}  // namespace

void info(std::string_view line) { outLine(line); }

void request(std::string_view line) {
    if (gRequestLogging.load(std::memory_order_relaxed)) outLine(line);
}

void error(std::string_view line) { writeLine(STDERR_FILENO, line); }

void raw(std::string_view text) { writeAll(STDOUT_FILENO, text.data(), text.size()); }

void setRequestLogging(bool enabled) { gRequestLogging.store(enabled, std::memory_order_relaxed); }

bool requestLogging() { return gRequestLogging.load(std::memory_order_relaxed); }

RequestScope::RequestScope() : outer_(tCurrentScope) {
    // A nested scope flushes into the outer one's order by writing its own
    // lines first; in practice scopes are not nested.
    tCurrentScope = this;
    tCurrentBuffer = &buffer_;
}

RequestScope::~RequestScope() {
    flush();
    tCurrentScope = outer_;
    tCurrentBuffer = outer_ != nullptr ? &outer_->buffer_ : nullptr;
}

void RequestScope::flush() {
    if (buffer_.empty()) return;
    writeAll(STDOUT_FILENO, buffer_.data(), buffer_.size());
    buffer_.clear();
}

}  // namespace NORRIK::Log
