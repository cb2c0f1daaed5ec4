#include "signals.hpp"

#include <cerrno>
#include <csignal>
#include <ctime>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace NORRIK::Signals {

namespace {

// How long a wait for signals lasts before the console is looked at again.
// It bounds how late a key press is seen; a signal ends the wait at once.
constexpr long kConsoleStepNanoseconds = 100L * 1000 * 1000;

sigset_t waitedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

Wake wakeFor(int signal) { return {signal == SIGHUP ? Event::kHangup : Event::kStop, signal}; }

// True once the console has a character for us, or can no longer be read.
bool consoleEnded(int console) {
    pollfd ready{console, POLLIN, 0};
    int result = ::poll(&ready, 1, 0);
    if (result == 0) return false;
    if (result < 0) return errno != EINTR;
    char key;
    (void)!::read(console, &key, 1);  // one character, or the end of input
    return true;
}

}  // namespace

void block() {
    const sigset_t set = waitedSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

Wake wait(int console) {
    const sigset_t set = waitedSignals();
    for (;;) {
        if (console < 0) {
            int signal = ::sigwaitinfo(&set, nullptr);
            if (signal > 0) return wakeFor(signal);
            continue;  // EINTR (the process was stopped and continued)
        }
        timespec step{0, kConsoleStepNanoseconds};
        int signal = ::sigtimedwait(&set, nullptr, &step);
        if (signal > 0) return wakeFor(signal);
        if (consoleEnded(console)) return {Event::kStop, 0};
    }
}

std::string name(int signal) {
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(signal);
    }
}

}  // namespace NORRIK::Signals
