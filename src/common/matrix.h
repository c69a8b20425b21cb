// The shape of the benchmark's matrices, the length of its timed loop, and the groups of buffers a run holds.
#pragma once

#include <cstddef>

// kavrel-test's matrices are kMatrixOrder x kMatrixOrder single-precision floats, column-major:
// element (row i, column j) sits at linear index j * kMatrixOrder + i, leading dimension kMatrixOrder.
constexpr int kMatrixOrder = 1000;
constexpr int kMatrixElements = kMatrixOrder * kMatrixOrder;
constexpr std::size_t kMatrixBytes = static_cast<std::size_t>(kMatrixElements) * sizeof(float);

// Round trips in kavrel-test's timed loop.
constexpr int kDeviceIterations = 10000;

// A square column-major matrix as stored: element (row i, column j) at j * ld + i.
struct MatrixShape {
    int order;  // rows and columns, at least 1
    int ld;     // leading dimension, at least order
};

// The shape of every matrix kavrel-test multiplies.
constexpr MatrixShape kTestMatrixShape{kMatrixOrder, kMatrixOrder};

// Floats and bytes one matrix of the shape occupies, padding between columns included.
constexpr std::size_t storedElements(MatrixShape shape) {
    return static_cast<std::size_t>(shape.ld) * static_cast<std::size_t>(shape.order);
}
constexpr std::size_t storedBytes(MatrixShape shape) {
    return storedElements(shape) * sizeof(float);
}

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
