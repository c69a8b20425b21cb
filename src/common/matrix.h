// The shape every matrix of the benchmark shares, and the groups of buffers that hold them.
#pragma once

#include <cstddef>

// Every matrix is kMatrixOrder x kMatrixOrder single-precision floats, column-major:
// element (row i, column j) sits at linear index j * kMatrixOrder + i, leading dimension kMatrixOrder.
constexpr int kMatrixOrder = 1000;
constexpr int kMatrixElements = kMatrixOrder * kMatrixOrder;
constexpr std::size_t kMatrixBytes = static_cast<std::size_t>(kMatrixElements) * sizeof(float);

// The four page-locked host matrices of a run; null until allocated.
struct HostMatrices {
    float* hostA = nullptr;
    float* hostB = nullptr;
    float* hostC = nullptr;
    float* hostRef = nullptr;  // starts as a copy of hostC, then holds the host reference product
};

// The three device matrices of a run; null until allocated.
struct DeviceMatrices {
    float* devA = nullptr;
    float* devB = nullptr;
    float* devC = nullptr;
};
