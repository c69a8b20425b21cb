// The run sequence: every stage of the benchmark in its fixed order, with all its reporting.
#pragma once

// Runs the benchmark once and returns the process exit status: 0 after a complete run
// (whatever the verdict), 1 after a failure, whose message has gone to standard error.
// Without arguments (argc <= 1) it ends with the exit prompt and reads one character from
// standard input; with any argument it returns without prompting.
int runBenchmark(int argc, char** argv);
