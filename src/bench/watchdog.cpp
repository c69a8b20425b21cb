// The stall limit of a device and the message that names the call it is stuck in.
#include "bench/watchdog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace bench {

double stallLimitSeconds(const std::optional<double>& timeoutSeconds, double fastestRoundTripSeconds,
                         bool interrupted) {
    double limit = 0.0;
    if (timeoutSeconds) {
        limit = *timeoutSeconds;
    } else if (fastestRoundTripSeconds > 0.0) {
        limit = std::clamp(kStallMultiple * fastestRoundTripSeconds, kStallFloorSeconds, kStallCeilingSeconds);
    } else {
        limit = kStallCeilingSeconds;
    }
    if (interrupted && (limit == 0.0 || limit > kInterruptedStallSeconds)) {
        limit = kInterruptedStallSeconds;
    }
    return limit;
}

bool isStalled(double insideSeconds, double limitSeconds) {
    return limitSeconds > 0.0 && insideSeconds >= limitSeconds;
}

std::string stallMessage(const char* call, double insideSeconds) {
    char text[160];
    // Whole seconds, but never "0 s" for a short limit.
    const double shown = insideSeconds < 10.0 ? std::round(insideSeconds * 10.0) / 10.0 : std::round(insideSeconds);
    std::snprintf(text, sizeof text, "no progress for %g s in %s", shown, call != nullptr ? call : "a library call");
    return text;
}

}  // namespace bench
