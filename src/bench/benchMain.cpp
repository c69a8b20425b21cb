// kavrel-bench's entry point: one run, whose outcome is the exit status.
#include <cstdio>
#include <cstdlib>

#include "bench/runBench.h"
#include "common/platform.h"

int main(int argc, char** argv) {
    installInterruptHandlers();
    ignoreBrokenPipes();
    const bench::BenchRun run = bench::runBench(argc, argv);
    if (run.leftThreadsBehind) {
        // A device thread is stuck in a driver call. Returning would run the libraries' exit-time teardown under
        // it, which can wait for that very call for ever; ending the process now lets the operating system and the
        // driver reclaim the device's memory, contexts and host buffers, as they do for any process that ends.
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(run.status);
    }
    return run.status;
}
