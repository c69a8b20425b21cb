// Everything one kavrel-bench run reports, gathered for the table and the JSON document.
#pragma once

#include "companion/benchFigures.h"
#include "companion/benchOptions.h"
#include "gpu/deviceInfo.h"
#include "host/resultCheck.h"

struct BenchReport {
    BenchOptions options;
    DeviceDescription device;
    int libraryVersion;  // as cublasGetVersion_v2 reports it
    TimingFigures timing;
    RelativeError error;  // of the last downloaded product against the host reference
    bool passed;          // the check passed: the reference norm is not zero and the ratio is below the threshold
};
