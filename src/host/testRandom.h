// The pseudo-random generator behind the test matrices: the Windows C runtime's rand(), reproduced.
#pragma once

#include <cstdint>

// Largest value a draw can take, and the divisor that maps draws onto [0, 1].
constexpr int kRandMax = 0x7FFF;
constexpr float kRandDivisor = 32767.0f;

// The state of the Windows C runtime's rand() before it is seeded.
constexpr std::uint32_t kTestRandomInitialState = 1;

// Advances state and returns the next draw in [0, kRandMax], exactly as the Windows C
// runtime's rand() does, so the test data is bit-identical on every platform.
int nextTestRandom(std::uint32_t* state);
