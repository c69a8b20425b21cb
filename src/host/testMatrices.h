// The four page-locked test matrices of a run and their fixed pseudo-random data.
#pragma once

#include "common/matrix.h"
#include "common/status.h"

// Allocates hostA, hostB, hostC and hostRef, in that order, as page-locked memory of
// kMatrixBytes each, and fills them: for each linear index, three draws in turn give
// hostA, hostB and hostC (draw / 32767.0f), and hostRef gets hostC's bits. The generator
// starts from its fixed initial state on every call, so every fill is identical.
// A failed allocation ends the stage before anything is filled; buffers allocated before it
// stay allocated and set in host.
StageResult fillTestMatrices(HostMatrices* host);

// The fill alone, over buffers of kMatrixElements floats that already exist.
void fillTestData(float* hostA, float* hostB, float* hostC, float* hostRef);
