// What differs between Windows and other platforms, kept in one place: the calendar clock, the terminal test, the
// host's name, the signals that interrupt a run or a write, shared libraries loaded at run time, and replacing a file
// atomically.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Loading shared libraries at run time, and where they are: a library is a .so opened with dlopen on Linux and a DLL
// opened with LoadLibraryA on Windows, held as an opaque handle.

// The type a symbol's address is handed back as; the caller casts it to the function's real pointer type.
using SharedLibraryFunction = void (*)();

// Opens the shared library at path (a bare file name is searched for as the platform's loader searches), resolving
// every symbol now; null when it cannot, with *error set to one line naming the path and the loader's reason, such as
// "libnvidia-ml.so.1: cannot open shared object file: No such file or directory".
void* openSharedLibrary(const char* path, std::string* error);

// The exported function of that name in a library openSharedLibrary opened; null when the library has none.
SharedLibraryFunction sharedLibraryFunction(void* library, const char* name);

// Closes a library openSharedLibrary opened; nothing for null.
void closeSharedLibrary(void* library);

// The folder of the running executable ending in the platform's separator, so that a file name can be appended;
// empty when it cannot be read.
std::string executableFolder();

// The environment variable's value, or false when it is not set (on Windows an empty value is not set).
bool readEnvironmentVariable(const char* name, std::string* value);

// Where the NVIDIA driver puts NVML, in the order to try: libnvidia-ml.so.1 (found on the loader's search path) on
// Linux; nvml.dll (found on the DLL search path), then %ProgramW6432%\NVIDIA Corporation\NVSMI\nvml.dll, then
// nvml.dll in the System32 folder on Windows.
std::vector<std::string> nvmlDriverLibraryPaths();

// The temporary file replaceFileAtomically writes before renaming it over path: in path's folder, "." and path's file
// name, then ".tmp." and the process id ("/var/lib/node/.kavrel.prom.tmp.4242"), so that no reader that takes only
// "*.prom" files (node_exporter's textfile collector) ever reads it.
std::string temporaryFileFor(const std::string& path, unsigned long processId);

// Replaces the file at path with text so that a reader sees the old file or the new one whole, never a part of one:
// writes text to temporaryFileFor(path, this process's id), flushes it to storage, then renames it over path
// (MoveFileExW with MOVEFILE_REPLACE_EXISTING on Windows). True when path now holds text; otherwise false, with *error
// set to the step that failed and the system's reason ("cannot create /x/.kavrel.prom.tmp.4242: No such file or
// directory"), and no temporary file left behind.
bool replaceFileAtomically(const std::string& path, const std::string& text, std::string* error);
