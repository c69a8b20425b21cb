// The test-matrix stage of a run: the four page-locked host matrices, allocated and filled.
#pragma once

#include "common/matrix.h"
#include "common/status.h"

// Allocates hostA, hostB, hostC and hostRef, in that order, as page-locked memory of storedBytes(shape) each,
// then fills them with the test data (fillTestData). A failed allocation ends the stage with
// "!!!! host memory allocation error (A)\n", "(B)", "(C)" or "(reference)" before anything is filled; the buffers
// allocated before it stay allocated and set in host.
StageResult fillTestMatrices(MatrixShape shape, HostMatrices* host);
