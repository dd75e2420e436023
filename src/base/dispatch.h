#pragma once
// Dispatch: labelled serial queues on their own threads, the main queue drained
// by the main run loop (which can be spun, also nested, for a while), a global
// concurrent queue, delayed work and repeating timers. Delays are real time.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <vector>

namespace vm {

using Task = std::function<void()>;

// A thread-safe list of tasks ordered by due time, then by submission.
class TaskList {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    void post(Task task, double delaySeconds);
    // The next task due before `deadline`, waiting for it; nothing on time-out or close.
    std::optional<Task> next(TimePoint deadline);
    void close();
    bool closed() const;
    // The first task if it is due by `t`, without waiting.
    std::optional<Task> takeDueBy(TimePoint t);
    // When the first task is due; nothing when the list is empty.
    std::optional<TimePoint> firstDue() const;

private:
    struct Item {
        TimePoint due;
        uint64_t seq;
        mutable Task task;
        bool operator>(const Item& o) const { return due != o.due ? due > o.due : seq > o.seq; }
    };
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::priority_queue<Item, std::vector<Item>, std::greater<Item>> items_;
    uint64_t seq_ = 0;
    bool closed_ = false;
};

class DispatchQueue {
public:
    virtual ~DispatchQueue() = default;
    virtual void async(Task task) = 0;
    virtual void asyncAfter(double seconds, Task task) = 0;
    virtual const std::string& label() const = 0;
};

// Runs tasks one at a time, in order, on a thread of its own.
class SerialQueue final : public DispatchQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) override { tasks_.post(std::move(task), 0); }
    void asyncAfter(double seconds, Task task) override { tasks_.post(std::move(task), seconds); }
    const std::string& label() const override { return label_; }
    // Runs the task on the queue and waits for it; runs it in place when called from the queue.
    void sync(const Task& task);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    std::string label_;
    TaskList tasks_;
    std::thread thread_;
};

// A pool of threads taking tasks in any order.
class ConcurrentQueue final : public DispatchQueue {
public:
    ConcurrentQueue(std::string label, unsigned threads);
    ~ConcurrentQueue() override;
    void async(Task task) override { tasks_.post(std::move(task), 0); }
    void asyncAfter(double seconds, Task task) override { tasks_.post(std::move(task), seconds); }
    const std::string& label() const override { return label_; }

private:
    std::string label_;
    TaskList tasks_;
    std::vector<std::thread> threads_;
};

// Another event loop that runs the main queue in its place (a desktop toolkit's):
// told when work arrives, it runs, spins and stops for the main queue, and calls
// MainQueue::runDue() whenever MainQueue::secondsUntilDue() says work is due.
class MainLoopDriver {
public:
    virtual ~MainLoopDriver() = default;
    // Any thread: a task was posted; recompute when to run next.
    virtual void wake() = 0;
    virtual void run() = 0;
    // Iterates the loop for about `seconds`; may be nested inside a task.
    virtual void spin(double seconds) = 0;
    virtual void stop() = 0;
};

// The main queue: its tasks run only while the main thread runs or spins the run loop.
class MainQueue final : public DispatchQueue {
public:
    MainQueue() : label_("main") {}
    void async(Task task) override {
        tasks_.post(std::move(task), 0);
        wakeDriver();
    }
    void asyncAfter(double seconds, Task task) override {
        tasks_.post(std::move(task), seconds);
        wakeDriver();
    }
    const std::string& label() const override { return label_; }
    // Runs main-queue tasks until stop() (the application run loop).
    void run();
    // Runs main-queue tasks for about `seconds`, then returns. May be called from
    // inside a main-queue task (nested spin).
    void spinRunLoop(double seconds);
    void stop();
    // Whether the caller is the thread that runs (or last ran) the main run loop.
    bool isCurrent() const { return runner_.load() == std::this_thread::get_id(); }
    // Makes the calling thread the main thread without running the loop (start-up, tests).
    void adoptCurrentThread() { runner_.store(std::this_thread::get_id()); }

    // Hands run, spin and stop to `driver` (before run(), on the main thread); it
    // must outlive the queue's use.
    void setDriver(MainLoopDriver* driver) { driver_.store(driver); }
    // For a driver: runs the tasks due now (not those they post for later).
    void runDue();
    // For a driver: seconds until the first task is due, 0 when one is due now;
    // negative when there is none.
    double secondsUntilDue() const;

private:
    void wakeDriver() {
        if (auto* d = driver_.load()) d->wake();
    }
    std::string label_;
    TaskList tasks_;
    std::atomic<std::thread::id> runner_{};
    std::atomic<MainLoopDriver*> driver_{nullptr};
};

// Work for the main thread: posted to the main queue, or run in place when there
// is none (rooms built without a main queue, as in tests).
inline void onMain(MainQueue* mainQueue, Task work) {
    if (mainQueue) mainQueue->async(std::move(work));
    else work();
}

// The process-wide concurrent queue of default priority.
ConcurrentQueue& globalQueue();

// Fires `fn` on `queue` first after `first` seconds, then every `interval` seconds,
// until cancelled or destroyed.
class RepeatingTimer {
public:
    RepeatingTimer(DispatchQueue& queue, double first, double interval, Task fn);
    ~RepeatingTimer() { cancel(); }
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;
    void cancel();

private:
    struct State {
        std::atomic<bool> cancelled{false};
        std::mutex runMu;  // held while fn runs, so cancel() returns after a running fn
        std::atomic<std::thread::id> runner{};
        Task fn;
    };
    static void schedule(DispatchQueue& queue, std::shared_ptr<State> st, double delay, double interval);
    std::shared_ptr<State> state_;
};

}  // namespace vm
