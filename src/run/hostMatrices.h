// The test-matrix stage of a run: the four page-locked host matrices, allocated and filled; and page-locked buffers.
#pragma once

#include "common/matrix.h"
#include "common/status.h"

// Allocates hostA, hostB, hostC and hostRef, in that order, as page-locked memory of storedBytes(shape) each,
// then fills them with the test data (fillTestData). A failed allocation ends the stage with
// "!!!! host memory allocation error (A)\n", "(B)", "(C)" or "(reference)" before anything is filled; the buffers
// allocated before it stay allocated and set in host.
StageResult fillTestMatrices(MatrixShape shape, HostMatrices* host);

// Allocates one page-locked buffer of storedBytes(shape) into buffer; a failed call, or a null pointer, fails with
// failureMessage and leaves buffer as it was.
StageResult allocatePageLockedMatrix(MatrixShape shape, const char* failureMessage, float** buffer);

// Frees a page-locked buffer (null frees nothing); the status is not examined.
void freePageLockedMatrix(float* buffer);
