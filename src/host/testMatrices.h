// The fixed pseudo-random data of the test matrices.
#pragma once

#include "common/matrix.h"

// Fills the order x order matrices of the shape, column by column and down each column (so by linear index when
// ld equals the order): at each element three draws in turn give hostA, hostB and hostC (draw / 32767.0f), and
// hostRef gets hostC's bits. Padding rows past the order are not touched. The generator starts from its fixed
// initial state on every call, so every fill of one shape is identical.
void fillTestData(MatrixShape shape, float* hostA, float* hostB, float* hostC, float* hostRef);
