// How the GPU libraries report success, and how a stage hands its outcome, and the cause of a failure, to its caller.
#pragma once

// Every GPU library call returns an integer status, 0 on success. kavrel-test never tells one failure code from
// another, so its callers only ask this question.
template <typename Status>
constexpr bool librarySucceeded(Status status) {
    return static_cast<int>(status) == 0;
}

// The library whose status a failed call returned, so that the status can be named in that library's terms.
enum class GpuLibrary {
    none,         // no library call failed: the stage failed on a check of its own
    cudaRuntime,  // a cudaError_t
    cublas,       // a cublasStatus_t
};

// A stage either succeeds or fails with one fixed message for standard error. The message is a string literal
// (static storage), written out unchanged by kavrel-test. Beside it the failure keeps its cause: the library call
// that failed and the status it returned, which kavrel-bench reports and kavrel-test never prints.
struct StageResult {
    bool succeeded;
    const char* failureMessage;  // null when succeeded
    const char* failedCall;      // the failing call's name as the library spells it; null when no call failed
    GpuLibrary library;          // whose status libraryStatus is
    int libraryStatus;           // the failing call's status; 0 when no call failed
};

constexpr StageResult stageSucceeded() {
    return StageResult{true, nullptr, nullptr, GpuLibrary::none, 0};
}

// A failure found by the stage itself, not returned by a library call.
constexpr StageResult stageFailed(const char* message) {
    return StageResult{false, message, nullptr, GpuLibrary::none, 0};
}

// A failure of the named library call, which returned status.
constexpr StageResult callFailed(const char* message, const char* call, GpuLibrary library, int status) {
    return StageResult{false, message, call, library, status};
}
