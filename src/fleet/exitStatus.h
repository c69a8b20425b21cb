// The exit statuses of kavrel-fleet.
#pragma once

namespace fleet {

constexpr int kExitHealthy = 0;       // every GPU passed, none is an outlier, and no node has a problem
constexpr int kExitUnhealthy = 1;     // some GPU failed, is in error or is an outlier, or some node has a problem
constexpr int kExitBadInput = 2;      // bad usage, or an input that cannot be used; nothing on standard output
constexpr int kExitOutputFailed = 4;  // the report could not be written to standard output, as for kavrel-bench

}  // namespace fleet
