// The timed loop of device round trips and its elapsed-time line.
#include "gpu/deviceLoop.h"

#include <cstdint>
#include <cstdio>

#include "common/platform.h"
#include "gpu/deviceRoundTrip.h"

StageResult runDeviceLoop(cublasHandle_t context, const float* alpha, const float* beta, const HostMatrices& host,
                          DeviceMatrices* device) {
    const StageResult allocation = allocateDeviceMatrices(device);
    if (!allocation.succeeded) {
        return allocation;
    }

    const std::int64_t start = readCalendarClock();
    for (int iteration = 0; iteration < kDeviceIterations; ++iteration) {
        const StageResult roundTrip = runRoundTrip(context, alpha, beta, host, *device);
        if (!roundTrip.succeeded) {
            return roundTrip;
        }
    }
    const std::int64_t end = readCalendarClock();

    std::printf("GPU: %lf\n", calendarSecondsBetween(start, end));
    return stageSucceeded();
}
