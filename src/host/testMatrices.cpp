// The fill of the test matrices from the reproduced C runtime generator.
#include "host/testMatrices.h"

#include <cstdint>

#include "host/testRandom.h"

void fillTestData(MatrixShape shape, float* hostA, float* hostB, float* hostC, float* hostRef) {
    std::uint32_t state = kTestRandomInitialState;
    for (int j = 0; j < shape.order; ++j) {
        const std::size_t column = static_cast<std::size_t>(j) * static_cast<std::size_t>(shape.ld);
        for (int i = 0; i < shape.order; ++i) {
            const std::size_t index = column + static_cast<std::size_t>(i);
            hostA[index] = static_cast<float>(nextTestRandom(&state)) / kRandDivisor;
            hostB[index] = static_cast<float>(nextTestRandom(&state)) / kRandDivisor;
            hostC[index] = static_cast<float>(nextTestRandom(&state)) / kRandDivisor;
            hostRef[index] = hostC[index];
        }
    }
}
