// Runs a program as a child process and captures what it writes and how it exits, on Windows and POSIX alike.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ChildRun {
    // On Windows the line ends that text-mode streams write, "\r\n", are given back as "\n".
    std::string standardOutput;  // with mergeStreams, both streams in the order written
    std::string standardError;   // empty with mergeStreams
    // -1 when the child did not exit normally (a signal on POSIX, an exception status such as 0xC0000005 on
    // Windows) or, on Windows, could not be started; on POSIX a program that cannot be executed gives 127.
    int exitStatus = -1;
    double wallSeconds = 0.0;
    double secondsAfterSignal = 0.0;  // from sending terminateAfterSeconds's signal to the child's end
};

struct ChildOptions {
    std::vector<std::string> arguments;  // after the program name
    // Value of KAVREL_EMULATED_FAULTS for the child; unset when empty.
    std::string emulatedFaults;
    // More variables for the child, each replacing any variable of the same name this process has.
    std::vector<std::pair<std::string, std::string>> environment;
    // Written to the child's standard input, which is then closed.
    std::string standardInput;
    // Both streams into one pipe, as with "2>&1 | tee log".
    bool mergeStreams = false;
    // POSIX only: SIGTERM is sent to the child this long after it started (0: never).
    double terminateAfterSeconds = 0.0;
};

// Starts executable (a path, not searched for) with the arguments, writes the standard input and closes it, captures
// both output streams until the child closes them, and waits for it to end. The child inherits this process's
// environment except KAVREL_EMULATED_FAULTS, which it has only when options.emulatedFaults is not empty, and with
// options.environment's variables set. On Windows
// each argument reaches the child's argv unchanged, spaces, quotes and backslashes included.
ChildRun runChild(const std::string& executable, const ChildOptions& options);
