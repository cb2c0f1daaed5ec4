#pragma once
// Log lines: plain text lines on standard output (progress) and standard
// error (failures), no levels, no time stamps. Every line is written whole
// with write(2) on descriptor 1 or 2, so it goes wherever those descriptors
// point (the console, or a daemon's log file) and lines from several threads
// never tear.
//
// A worker that handles one request opens a RequestScope: the stdout lines
// written on that thread while the scope lives, by the worker and by the store
// it calls, are gathered and written with one write when the scope ends (or on
// flush()), whole and in order. Outside a scope each line is written at once.
//
// Per-request lines go through request(): an operator can switch them off
// (setRequestLogging(false)); start-up, maintenance and failure lines use
// info()/error() and always appear. All functions may be called from any
// thread.

#include <string>
#include <string_view>

namespace NORRIK::Log {

// One line on standard output (a newline is added).
void info(std::string_view line);

// One per-request line on standard output; dropped when request logging is off.
void request(std::string_view line);

// One line on standard error, written at once even inside a scope.
void error(std::string_view line);

// Bytes on standard output without a line end (used for "starting daemon..").
void raw(std::string_view text);

void setRequestLogging(bool enabled);
bool requestLogging();

class RequestScope {
public:
    RequestScope();
    ~RequestScope();
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    // Writes what was gathered so far in one write and empties the buffer.
    void flush();

private:
    std::string buffer_;
    RequestScope* outer_;
};

}  // namespace NORRIK::Log
