// The verdict and exit status of a completed kavrel-bench run.
#include "companion/benchReport.h"

bool checkPasses(const RelativeError& error) {
    return !error.referenceNormIsZero && relativeErrorPasses(error.ratio);
}

int completedRunStatus(const BenchReport& report) {
    return checkPasses(report.error) ? kExitPassed : kExitCheckFailed;
}
