// The Windows C runtime's linear congruential rand(), reproduced so every platform draws the same data.
#include "host/testRandom.h"

int nextTestRandom(std::uint32_t* state) {
    // Unsigned arithmetic wraps modulo 2^32, as the C runtime's 32-bit state does.
    *state = *state * 214013u + 2531011u;
    return static_cast<int>((*state >> 16) & static_cast<std::uint32_t>(kRandMax));
}
