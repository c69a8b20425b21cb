// Runs a program as a child process and captures what it writes and how it exits.
#pragma once

#include <string>
#include <vector>

struct ChildRun {
    std::string standardOutput;  // with mergeStreams, both streams in the order written
    std::string standardError;   // empty with mergeStreams
    int exitStatus = -1;         // -1 when the child did not exit normally
    double wallSeconds = 0.0;
};

struct ChildOptions {
    std::vector<std::string> arguments;  // after the program name
    // Value of KAVREL_EMULATED_FAULTS for the child; unset when empty.
    std::string emulatedFaults;
    // Written to the child's standard input, which is then closed.
    std::string standardInput;
    // Both streams into one pipe, as with "2>&1 | tee log".
    bool mergeStreams = false;
};

ChildRun runChild(const std::string& executable, const ChildOptions& options);
