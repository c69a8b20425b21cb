// What differs between Windows and other platforms, kept in one place: the calendar clock, the terminal test and
// the host's name.
#pragma once

#include <cstdint>

// Seconds since the epoch, read from the C runtime's 64-bit calendar clock.
std::int64_t readCalendarClock();

// end - start in seconds, as the C runtime computes the difference of two calendar times.
double calendarSecondsBetween(std::int64_t start, std::int64_t end);

// Whether standard error is attached to a terminal (a console on Windows).
bool standardErrorIsTerminal();

// Writes the calendar time seconds (since the epoch) as UTC in ISO 8601, "2026-12-08T11:31:16Z", into text (at
// least 21 bytes); false when the time cannot be converted.
bool formatUtcTime(std::int64_t seconds, char* text, int capacity);

// Writes the host's name, null-terminated, into name (capacity bytes); false when it cannot be read.
bool readHostName(char* name, int capacity);
