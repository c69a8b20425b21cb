// The watchdog's rule: how long a device may stay inside one GPU library call before it counts as stuck.
#pragma once

#include <optional>
#include <string>

namespace bench {

// Without --stall-timeout a device may stay in one call kStallMultiple times as long as its fastest round trip so
// far took (warm-up included), but at least kStallFloorSeconds and at most kStallCeilingSeconds; before its first
// round trip has completed (while it creates its context, allocates and makes its first copies and product, which can
// take a real driver seconds), the ceiling. The fastest round trip rather than the first, as the first carries the
// one-time costs (the library loading its kernels) that make it the slowest.
constexpr double kStallMultiple = 50.0;
constexpr double kStallFloorSeconds = 10.0;
constexpr double kStallCeilingSeconds = 120.0;

// Once the run is interrupted, no device is waited for longer than this inside one call: the report must come
// before whatever sent the signal gives up on the process.
constexpr double kInterruptedStallSeconds = 5.0;

// The seconds a device may stay inside one library call: timeoutSeconds when given (0: for ever, returned as 0),
// otherwise the default rule above from fastestRoundTripSeconds (0 or less: none completed yet). After an interruption
// the limit is at most kInterruptedStallSeconds, even when it was 0.
double stallLimitSeconds(const std::optional<double>& timeoutSeconds, double fastestRoundTripSeconds, bool interrupted);

// Whether a device inside a call for insideSeconds is stuck under the limit (0: never).
bool isStalled(double insideSeconds, double limitSeconds);

// The message of a stuck device: "no progress for 30 s in cudaDeviceSynchronize".
std::string stallMessage(const char* call, double insideSeconds);

}  // namespace bench
