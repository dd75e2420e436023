#pragma once
// A lock that is taken with a non-waiting try. Unlike std::mutex it may be tried
// again by the thread that holds it (and then reports busy): the display work
// holds it while it spins the main run loop, and queued display work that runs
// inside that spin must find it taken.
#include <atomic>
#include <thread>

namespace vm {

class TryLock {
public:
    bool try_lock() {
        bool expected = false;
        return held_.compare_exchange_strong(expected, true, std::memory_order_acquire);
    }
    void unlock() { held_.store(false, std::memory_order_release); }
    // For tests and the rare caller that must wait.
    void lock() {
        while (!try_lock()) std::this_thread::yield();
    }

private:
    std::atomic<bool> held_{false};
};

}  // namespace vm
