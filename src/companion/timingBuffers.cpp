// Allocation and release of the timing buffers, failing as a value when the memory is not there.
#include "companion/timingBuffers.h"

#include <cstddef>
#include <new>

namespace {

// Allocates count doubles into *buffer; false, with *buffer null, when the memory is not there.
bool allocateSeconds(int count, double** buffer) {
    *buffer = new (std::nothrow) double[static_cast<std::size_t>(count)];
    return *buffer != nullptr;
}

}  // namespace

StageResult allocateTimingBuffers(int iterations, bool phases, TimingBuffers* buffers) {
    constexpr const char* kAllocationError = "!!!! host memory allocation error (timings)\n";
    buffers->iterations = iterations;
    if (!allocateSeconds(iterations, &buffers->iterationSeconds)) {
        return stageFailed(kAllocationError);
    }
    if (phases &&
        !(allocateSeconds(iterations, &buffers->uploadSeconds) && allocateSeconds(iterations, &buffers->sgemmSeconds) &&
          allocateSeconds(iterations, &buffers->downloadSeconds))) {
        return stageFailed(kAllocationError);
    }
    return stageSucceeded();
}

void releaseTimingBuffers(TimingBuffers* buffers) {
    delete[] buffers->iterationSeconds;
    delete[] buffers->uploadSeconds;
    delete[] buffers->sgemmSeconds;
    delete[] buffers->downloadSeconds;
    *buffers = TimingBuffers{};
}
