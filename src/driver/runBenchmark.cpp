// The run sequence: banner, library context, test matrices, host reference, timed device loop,
// check, release and exit prompt.
#include "driver/runBenchmark.h"

#include <cstdio>

#include "run/runStages.h"

namespace {

// Queries the library version into version and prints it before looking at the status, so
// a failed query still shows the value it left. A failure is reported and the run goes on.
void queryLibraryVersion(cublasHandle_t context, int* version) {
    const StageResult result = readLibraryVersion(context, version);
    std::printf("Cublas Version Number: %i\n", *version);
    if (!result.succeeded) {
        reportFailure(result.failureMessage);
    }
}

// Ends the run on a failed stage: its message goes to standard error, the status is 1, and
// nothing is released (process exit reclaims it).
int endWithFailure(const StageResult& result) {
    reportFailure(result.failureMessage);
    return 1;
}

}  // namespace

int runBenchmark(int argc, char** argv) {
    // Only the presence of an argument matters; the customary words "-noprompt" and
    // "-qatest" are accepted like any other and have no effect of their own.
    (void)argv;
    RunState state;

    std::printf("Kavrel test running..\n");
    queryLibraryVersion(state.context, &state.version);
    StageResult result = createLibraryContext(&state.context);
    if (!result.succeeded) {
        return endWithFailure(result);
    }
    queryLibraryVersion(state.context, &state.version);

    result = fillTestMatrices(state.shape, &state.host);
    if (!result.succeeded) {
        return endWithFailure(result);
    }

    referenceSgemm(kMatrixOrder, state.alpha, state.host.hostA, state.host.hostB, state.beta, state.host.hostRef);

    double elapsedSeconds = 0.0;
    result = runDeviceLoop(state.context, &state.alpha, &state.beta, state.shape, state.host, &state.device,
                           kDeviceIterations, &elapsedSeconds);
    if (!result.succeeded) {
        return endWithFailure(result);
    }
    std::printf("GPU: %lf\n", elapsedSeconds);

    Verdict verdict = Verdict::failed;
    result = checkResult(state.shape, state.host.hostC, state.host.hostRef, &verdict);
    if (!result.succeeded) {
        return endWithFailure(result);
    }
    std::printf("%s\n", verdictText(verdict));

    result = releaseResources(&state);
    if (!result.succeeded) {
        return endWithFailure(result);
    }

    if (argc <= 1) {
        std::printf("\nPress ENTER to exit...\n");
        std::fflush(stdout);
        std::getchar();
    }
    return 0;
}
