// What differs between Windows and other platforms, kept in one place: the calendar clock and the terminal test.
#pragma once

#include <cstdint>

// Seconds since the epoch, read from the C runtime's 64-bit calendar clock.
std::int64_t readCalendarClock();

// end - start in seconds, as the C runtime computes the difference of two calendar times.
double calendarSecondsBetween(std::int64_t start, std::int64_t end);

// Whether standard error is attached to a terminal (a console on Windows).
bool standardErrorIsTerminal();
