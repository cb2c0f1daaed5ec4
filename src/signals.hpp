#pragma once
// The signals that stop norrik or make it reopen its log, taken on the main
// thread only and without signal handlers.
//
// block() is called first thing in main, while the main thread is the only
// thread: it blocks SIGTERM, SIGINT and SIGHUP, and every thread started
// later (tracker, HTTP, store) inherits that mask, so none of them ever takes
// one of these signals and no handler code runs anywhere. The main thread
// collects them with wait(). They stay blocked until the process ends, so a
// second SIGTERM during the shutdown waits, pending, instead of ending the
// process half-way. SIGPIPE is ignored: a peer that went away shows up as a
// failed write.

#include <string>

namespace NORRIK::Signals {

void block();

enum class Event {
    kStop,    // SIGTERM, SIGINT, or the console (a character or the end of input)
    kHangup,  // SIGHUP
};

struct Wake {
    Event event;
    int signal;  // 0 when the console ended the wait
};

// Waits for SIGTERM, SIGINT or SIGHUP. With console >= 0 it also returns
// once one character has been read from that descriptor or its input has
// ended (or it cannot be read); with console < 0 nothing but a signal ends
// the wait. Only the main thread, after block(), calls it.
Wake wait(int console);

// "SIGTERM", "SIGINT", "SIGHUP", or "signal <n>".
std::string name(int signal);

}  // namespace NORRIK::Signals
