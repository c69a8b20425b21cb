// The timed loop of device round trips on the calendar clock.
#include "gpu/deviceLoop.h"

#include <cstdint>

#include "common/platform.h"
#include "gpu/deviceRoundTrip.h"

StageResult runDeviceLoop(cublasHandle_t context, const float* alpha, const float* beta, MatrixShape shape,
                          const HostMatrices& host, DeviceMatrices* device, int iterations, double* elapsedSeconds) {
    const StageResult allocation = allocateDeviceMatrices(shape, device);
    if (!allocation.succeeded) {
        return allocation;
    }

    // The clock is read after the allocation and before the first upload: the span is the round trips alone.
    const std::int64_t start = readCalendarClock();
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const StageResult roundTrip = runRoundTrip(context, alpha, beta, shape, host, *device);
        if (!roundTrip.succeeded) {
            return roundTrip;
        }
    }
    const std::int64_t end = readCalendarClock();

    *elapsedSeconds = calendarSecondsBetween(start, end);
    return stageSucceeded();
}
