// The calling thread's watch and the notes that publish its calls.
#include "gpu/callWatch.h"

#include <chrono>

namespace {

thread_local CallWatch* threadWatch = nullptr;

}  // namespace

std::int64_t callWatchClockNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void watchCallsOnThisThread(CallWatch* watch) {
    threadWatch = watch;
}

void noteCallStarted(const char* call) {
    if (threadWatch == nullptr) {
        return;
    }
    // The time first, so that a watcher that sees the call also sees when it began.
    threadWatch->enteredNanoseconds.store(callWatchClockNanoseconds(), std::memory_order_relaxed);
    threadWatch->call.store(call, std::memory_order_release);
}

void noteCallReturned() {
    if (threadWatch == nullptr) {
        return;
    }
    threadWatch->call.store(nullptr, std::memory_order_release);
    threadWatch->returnedCalls.fetch_add(1, std::memory_order_relaxed);
}
