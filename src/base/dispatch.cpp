#include "base/dispatch.h"

#include <future>

namespace vm {

void TaskList::post(Task task, double delaySeconds) {
    auto due = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(delaySeconds > 0 ? delaySeconds : 0));
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (closed_) return;
        items_.push(Item{due, seq_++, std::move(task)});
    }
    cv_.notify_all();
}

std::optional<Task> TaskList::next(TimePoint deadline) {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
        if (closed_) return std::nullopt;
        auto now = std::chrono::steady_clock::now();
        if (!items_.empty() && items_.top().due <= now) {
            Task t = std::move(items_.top().task);
            items_.pop();
            return t;
        }
        if (now >= deadline) return std::nullopt;
        auto wakeAt = deadline;
        if (!items_.empty() && items_.top().due < wakeAt) wakeAt = items_.top().due;
        cv_.wait_until(lk, wakeAt);
    }
}

void TaskList::close() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        closed_ = true;
        while (!items_.empty()) items_.pop();
    }
    cv_.notify_all();
}

std::optional<Task> TaskList::takeDueBy(TimePoint t) {
    std::lock_guard<std::mutex> lk(mu_);
    if (closed_ || items_.empty() || items_.top().due > t) return std::nullopt;
    Task task = std::move(items_.top().task);
    items_.pop();
    return task;
}

std::optional<TaskList::TimePoint> TaskList::firstDue() const {
    std::lock_guard<std::mutex> lk(mu_);
    if (closed_ || items_.empty()) return std::nullopt;
    return items_.top().due;
}

bool TaskList::closed() const {
    std::lock_guard<std::mutex> lk(mu_);
    return closed_;
}

static void drain(TaskList& tasks) {
    for (;;) {
        auto t = tasks.next(TaskList::TimePoint::max());
        if (!t) return;
        (*t)();
    }
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { drain(tasks_); });
}

SerialQueue::~SerialQueue() {
    tasks_.close();
    if (thread_.joinable()) {
        if (isCurrent()) thread_.detach();
        else thread_.join();
    }
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto f = done.get_future();
    async([&] {
        task();
        done.set_value();
    });
    f.wait();
}

ConcurrentQueue::ConcurrentQueue(std::string label, unsigned threads) : label_(std::move(label)) {
    if (threads == 0) threads = 1;
    for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { drain(tasks_); });
}

ConcurrentQueue::~ConcurrentQueue() {
    tasks_.close();
    for (auto& t : threads_)
        if (t.joinable()) t.join();
}

void MainQueue::run() {
    adoptCurrentThread();
    if (auto* d = driver_.load()) return d->run();
    drain(tasks_);
}

void MainQueue::spinRunLoop(double seconds) {
    adoptCurrentThread();
    if (auto* d = driver_.load()) return d->spin(seconds);
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(seconds > 0 ? seconds : 0));
    while (auto t = tasks_.next(deadline)) (*t)();
}

void MainQueue::stop() {
    if (auto* d = driver_.load()) return d->stop();
    tasks_.close();
}

void MainQueue::runDue() {
    // Only what is due at entry: a task that posts again cannot keep the loop here.
    const auto now = std::chrono::steady_clock::now();
    while (auto t = tasks_.takeDueBy(now)) (*t)();
}

double MainQueue::secondsUntilDue() const {
    const auto due = tasks_.firstDue();
    if (!due) return -1;
    const auto left = std::chrono::duration<double>(*due - std::chrono::steady_clock::now()).count();
    return left > 0 ? left : 0;
}

ConcurrentQueue& globalQueue() {
    // Lives as long as the process; never destroyed, so late tasks at exit are harmless.
    static ConcurrentQueue* q = new ConcurrentQueue("global", 4);
    return *q;
}

RepeatingTimer::RepeatingTimer(DispatchQueue& queue, double first, double interval, Task fn)
    : state_(std::make_shared<State>()) {
    state_->fn = std::move(fn);
    schedule(queue, state_, first, interval);
}

void RepeatingTimer::schedule(DispatchQueue& queue, std::shared_ptr<State> st, double delay, double interval) {
    queue.asyncAfter(delay, [&queue, st, interval] {
        {
            std::lock_guard<std::mutex> lk(st->runMu);
            if (st->cancelled.load()) return;
            st->runner.store(std::this_thread::get_id());
            st->fn();
            st->runner.store(std::thread::id{});
        }
        if (!st->cancelled.load()) schedule(queue, st, interval, interval);
    });
}

void RepeatingTimer::cancel() {
    if (!state_) return;
    state_->cancelled.store(true);
    // Wait out a firing in progress, unless we are that firing.
    if (state_->runner.load() == std::this_thread::get_id()) return;
    std::lock_guard<std::mutex> lk(state_->runMu);
}

}  // namespace vm
