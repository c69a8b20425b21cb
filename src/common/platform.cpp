// Platform-specific pieces: the calendar clock and UTC conversion on the Windows C runtime's 64-bit functions or on
// time() and gmtime_r, the terminal test on _isatty or isatty, the host name, and signal handlers.
#include "common/platform.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#include <io.h>

#include "common/windowsApi.h"
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

// The first interrupting signal; a lock-free atomic, which a signal handler may store to.
std::atomic<int> receivedSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

// Records the first signal; ends the process on any later one, by the signal's own default action.
extern "C" void onInterrupt(int signal) {
    int expected = 0;
    if (!receivedSignal.compare_exchange_strong(expected, signal)) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
#if defined(_WIN32)
    // The C runtime restores the default action before calling a handler; the next signal must still find this one.
    std::signal(signal, onInterrupt);
#endif
}

}  // namespace

std::string programNameOf(const char* argv0, const char* fallback) {
    std::string name = argv0 != nullptr ? argv0 : "";
    const std::size_t folder = name.find_last_of("/\\");
    if (folder != std::string::npos) {
        name.erase(0, folder + 1);
    }
#if defined(_WIN32)
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) {
        name.erase(name.size() - 4);
    }
#endif
    return name.empty() ? std::string(fallback) : name;
}

int interruptSignal() {
    return receivedSignal.load();
}

const char* signalName(int signal, char* text, int capacity) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
#if defined(SIGBREAK)
        case SIGBREAK:
            return "SIGBREAK";
#endif
        default:
            break;
    }
    std::snprintf(text, static_cast<std::size_t>(capacity), "signal %d", signal);
    return text;
}

#if defined(_WIN32)

void installInterruptHandlers() {
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGBREAK, onInterrupt);
}

void ignoreBrokenPipes() {}

std::int64_t readCalendarClock() {
    return _time64(nullptr);
}

double calendarSecondsBetween(std::int64_t start, std::int64_t end) {
    return _difftime64(static_cast<__time64_t>(end), static_cast<__time64_t>(start));
}

bool standardErrorIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

namespace {

bool toUtc(std::int64_t seconds, std::tm* utc) {
    const auto time = static_cast<__time64_t>(seconds);
    return _gmtime64_s(utc, &time) == 0;
}

}  // namespace

bool readHostName(char* name, int capacity) {
    auto size = static_cast<DWORD>(capacity);
    return capacity > 0 && GetComputerNameA(name, &size) != 0;
}

#else

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // Restarted calls, so that a signal never turns into a failed read or write elsewhere in the program.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

std::int64_t readCalendarClock() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

double calendarSecondsBetween(std::int64_t start, std::int64_t end) {
    return std::difftime(static_cast<std::time_t>(end), static_cast<std::time_t>(start));
}

bool standardErrorIsTerminal() {
    return isatty(fileno(stderr)) != 0;
}

namespace {

bool toUtc(std::int64_t seconds, std::tm* utc) {
    const auto time = static_cast<std::time_t>(seconds);
    return gmtime_r(&time, utc) != nullptr;
}

}  // namespace

bool readHostName(char* name, int capacity) {
    if (capacity <= 0 || gethostname(name, static_cast<std::size_t>(capacity)) != 0) {
        return false;
    }
    // A name that fills the buffer may come without its terminating null.
    name[capacity - 1] = '\0';
    return true;
}

#endif

bool formatUtcTime(std::int64_t seconds, char* text, int capacity) {
    std::tm utc{};
    return toUtc(seconds, &utc) &&
           std::strftime(text, static_cast<std::size_t>(capacity), "%Y-%m-%dT%H:%M:%SZ", &utc) > 0;
}
