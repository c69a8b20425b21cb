// Platform-specific pieces: the calendar clock and UTC conversion on the Windows C runtime's 64-bit functions or on
// time() and gmtime_r, the terminal test on _isatty or isatty, and the host name.
#include "common/platform.h"

#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#include <io.h>

#include "common/windowsApi.h"
#else
#include <unistd.h>
#endif

#if defined(_WIN32)

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
