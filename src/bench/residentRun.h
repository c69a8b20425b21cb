// One device's resident workload: operands uploaded once, SGEMMs back to back with no host synchronisation between
// them, every product compared on the device with the first that passed the host reference check, and the rate
// over time in intervals.
#pragma once

#include "bench/deviceRun.h"
#include "common/matrix.h"
#include "run/runState.h"

namespace bench {

// Device matrices the resident workload holds besides its product buffers: A, B, the yardstick and the difference.
constexpr int kResidentFixedMatrices = 4;

// Product buffers written between two reads of the sums: as many as fit in 512 MiB, from 2 to kMaxResidentBatch, so
// that a batch at any order keeps the device busy for long enough that the read between batches costs nothing
// measurable (at order 4096 on a 50 TFLOP/s GPU, eight products of 2.7 ms each).
int residentBatch(MatrixShape shape);

// Runs the resident workload on the device from its prepared context in state: test data, device buffers, the
// warm-up products, the gate at shared->started (arriving at it even when it fails first), the timed loop and the
// release, into outcome. A product whose device comparison shows a difference is downloaded and counted on the host,
// and the run goes on; a failed call ends the device's run with its failure, releasing nothing.
void runResidentStages(SharedRun* shared, DeviceTask* task, RunState* state, DeviceOutcome* outcome);

}  // namespace bench
