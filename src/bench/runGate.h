// The meeting point of kavrel-bench's device threads and its main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace bench {

// A gate that opens once every one of a known number of devices has arrived and the main thread lets them through.
// A device that fails before the gate still arrives, so that nobody waits for it; the main thread arrives on behalf
// of one it has given up on. Each device counts once, however often it arrives.
class RunGate {
public:
    explicit RunGate(int devices) : arrived_(static_cast<std::size_t>(devices), false), missing_(devices) {}

    // Device slot (0 to devices - 1) has arrived.
    void arrive(int slot) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!arrived_[static_cast<std::size_t>(slot)]) {
                arrived_[static_cast<std::size_t>(slot)] = true;
                --missing_;
            }
        }
        changed_.notify_all();
    }

    // Blocks until every device has arrived or timeout has passed; true when every device has arrived.
    bool waitForAll(std::chrono::steady_clock::duration timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return missing_ == 0; });
    }

    // Lets the devices through, telling them whether to go on; records when it opened.
    void open(bool goOn) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            opened_ = true;
            goOn_ = goOn;
            openedAt_ = std::chrono::steady_clock::now();
        }
        changed_.notify_all();
    }

    // Blocks until the gate opens; true when the devices are to go on. openedAt gets the moment it opened.
    bool waitOpen(std::chrono::steady_clock::time_point* openedAt) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return opened_; });
        *openedAt = openedAt_;
        return goOn_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> arrived_;
    int missing_;
    bool opened_ = false;
    bool goOn_ = false;
    std::chrono::steady_clock::time_point openedAt_{};
};

}  // namespace bench
