// The run sequence of kavrel-bench, from the command line to the exit status.
#pragma once

// Exit statuses of kavrel-bench.
constexpr int kExitPassed = 0;       // the run completed and the check passed
constexpr int kExitCheckFailed = 1;  // the run completed and the check failed (wrong product, NaN, zero norm)
constexpr int kExitUsage = 2;        // a bad option or value; nothing was run
constexpr int kExitRunFailed = 3;    // a GPU library call (or the timings' host memory) failed; nothing reported

// Parses the options, selects and describes the device, creates the context, fills the test matrices, computes
// the host reference, runs the warm-up and the timed loop, checks the last product, releases everything and
// writes the report (table or JSON) to standard output. A failure writes its one message to standard error,
// after flushing standard output, and ends the run with nothing released and no report.
int runCompanion(int argc, char** argv);
