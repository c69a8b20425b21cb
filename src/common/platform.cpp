// Platform-specific pieces: the calendar clock on the Windows C runtime's 64-bit functions or on time(), and the
// terminal test on _isatty or isatty.
#include "common/platform.h"

#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#include <io.h>
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

#endif
