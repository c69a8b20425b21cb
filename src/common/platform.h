// What differs between Windows and other platforms, kept in one place: the calendar clock, the terminal test, the
// host's name, and the signals that interrupt a run or a write.
#pragma once

#include <cstdint>
#include <string>

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

// Catches SIGINT and SIGTERM (on Windows also Ctrl-Break's SIGBREAK): the first one to arrive is recorded for
// interruptSignal, and any signal after it ends the process at once, as it would have without the handler.
void installInterruptHandlers();

// The signal that interrupted the run since installInterruptHandlers, 0 while none has.
int interruptSignal();

// The signal's name, "SIGINT" or "SIGTERM" (or "SIGBREAK"); "signal N" for any other, written into text.
const char* signalName(int signal, char* text, int capacity);

// The program's name as its command line gives it: argv0 without its folder (and, on Windows, without ".exe");
// fallback when argv0 is null or names nothing.
std::string programNameOf(const char* argv0, const char* fallback);

// Makes a write to a pipe whose reader has gone fail with an error, which the writer reports, instead of ending the
// process with SIGPIPE; Windows has no such signal.
void ignoreBrokenPipes();
