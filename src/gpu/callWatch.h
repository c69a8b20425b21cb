// Which GPU library call a thread is inside and since when, published for a watchdog on another thread.
#pragma once

#include <atomic>
#include <cstdint>

// One thread's calls as a watcher sees them. The watched thread writes it; any thread may read it.
struct CallWatch {
    std::atomic<const char*> call{nullptr};           // the library call now running; null between calls
    std::atomic<std::int64_t> enteredNanoseconds{0};  // steady clock, in nanoseconds, when that call began
    std::atomic<std::uint64_t> returnedCalls{0};      // calls that have returned so far
};

// The steady clock in nanoseconds, the time base of CallWatch::enteredNanoseconds.
std::int64_t callWatchClockNanoseconds();

// Makes watch the calling thread's watch (null: none, the default), so that the calls it notes are published there.
void watchCallsOnThisThread(CallWatch* watch);

// Notes that the calling thread is entering the named library call (a string literal), or has returned from it.
// Without a watch on the thread both do nothing.
void noteCallStarted(const char* call);
void noteCallReturned();

// Runs call, one GPU library call that returns its status, with the named call noted around it.
template <typename Call>
auto watchedCall(const char* name, Call&& call) {
    noteCallStarted(name);
    const auto status = call();
    noteCallReturned();
    return status;
}
