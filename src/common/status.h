// How the GPU libraries report success, and how a stage hands its outcome to the driver.
#pragma once

// Every GPU library call returns an integer status, 0 on success. Nothing ever tells one
// failure code from another, so callers only ask this question.
template <typename Status>
constexpr bool librarySucceeded(Status status) {
    return static_cast<int>(status) == 0;
}

// A stage either succeeds or fails with one fixed message for standard error. The message
// is a string literal (static storage), written out unchanged by the driver.
struct StageResult {
    bool succeeded;
    const char* failureMessage;  // null when succeeded
};

constexpr StageResult stageSucceeded() {
    return StageResult{true, nullptr};
}

constexpr StageResult stageFailed(const char* message) {
    return StageResult{false, message};
}
