// The meeting point of kavrel-bench's device threads and its main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A gate that opens once every one of a known number of threads has arrived and the main thread lets them
// through. A thread that fails before the gate still arrives, so that nobody waits for it.
class RunGate {
public:
    explicit RunGate(int threads) : expected_(threads) {}

    // One thread has arrived.
    void arrive() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ++arrived_;
        }
        changed_.notify_all();
    }

    // Blocks until every thread has arrived.
    void waitForAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return arrived_ >= expected_; });
    }

    // Lets the threads through, telling them whether to go on; records when it opened.
    void open(bool goOn) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            opened_ = true;
            goOn_ = goOn;
            openedAt_ = std::chrono::steady_clock::now();
        }
        changed_.notify_all();
    }

    // Blocks until the gate opens; true when the threads are to go on. openedAt gets the moment it opened.
    bool waitOpen(std::chrono::steady_clock::time_point* openedAt) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return opened_; });
        *openedAt = openedAt_;
        return goOn_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int expected_;
    int arrived_ = 0;
    bool opened_ = false;
    bool goOn_ = false;
    std::chrono::steady_clock::time_point openedAt_{};
};
