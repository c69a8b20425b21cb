// The exit statuses of kavrel-bench, each what one kind of run's end gives.
#pragma once

namespace bench {

constexpr int kExitPassed = 0;        // every device completed and passed (an outlier alone leaves it at 0)
constexpr int kExitCheckFailed = 1;   // every device completed, and some product was wrong (or, with
                                      // --fail-on-outlier, some device is an outlier)
constexpr int kExitUsage = 2;         // a bad option or value; nothing was run
constexpr int kExitRunFailed = 3;     // a library call failed or hung on some device, host memory ran out, or the
                                      // node has fewer devices than --expect-devices
constexpr int kExitOutputFailed = 4;  // the report could not be written to standard output, or the --prometheus file
                                      // could not be written by a run that otherwise passed
constexpr int kExitInterrupted = 5;   // SIGINT or SIGTERM ended the run early, and nothing above 0 came first

// The message kavrel-bench writes to standard error when its report could not be written.
constexpr const char* kOutputWriteError = "!!!! output write error\n";

}  // namespace bench
