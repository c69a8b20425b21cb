// The program's entry point: one benchmark run, whose result is the exit status.
#include "driver/runBenchmark.h"

int main(int argc, char** argv) {
    return runBenchmark(argc, argv);
}
