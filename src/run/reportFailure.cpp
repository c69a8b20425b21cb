// Failure messages on standard error, in order with everything printed before them.
#include "run/reportFailure.h"

#include <cstdio>

void reportFailure(const char* message) {
    std::fflush(stdout);
    std::fputs(message, stderr);
    std::fflush(stderr);
}
