#include "platform/capture_worker.h"

#include <algorithm>
#include <chrono>

namespace vm::platform {

void CaptureWorker::launch(std::function<void()> body) { thread_ = std::thread(std::move(body)); }

void CaptureWorker::finish(const std::string& error) {
    running.store(false);  // counted as ended before its owner hears of it
    // A sample callback may be stopping this stream right now and waiting for
    // this thread to end: never block on it, give way once it asked to quit.
    while (true) {
        std::unique_lock<std::recursive_mutex> lk(out->cbMu, std::try_to_lock);
        if (lk.owns_lock()) {
            if (out->stopped) return;
            out->stopped = true;
            break;
        }
        if (quit_.load()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Outside the lock: the handler may stop (or drop) this very stream.
    if (out->onStop) out->onStop(error);
}

void CaptureWorker::stop() {
    quit_.store(true);
    wakeUp();
    {
        // Waits for a callback in progress on another thread.
        std::lock_guard<std::recursive_mutex> lk(out->cbMu);
        out->stopped = true;
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void CaptureWorker::release() {
    stop();
    // Dropped from inside its own stop handler: the thread ends by itself.
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) thread_.detach();
}

void CaptureWorkers::add(const std::shared_ptr<CaptureWorker>& worker) {
    std::lock_guard<std::mutex> lk(mu_);
    list_.erase(std::remove_if(list_.begin(), list_.end(),
                               [](const std::weak_ptr<CaptureWorker>& w) {
                                   auto s = w.lock();
                                   return !s || !s->running.load();
                               }),
                list_.end());
    list_.push_back(worker);
}

std::vector<std::shared_ptr<CaptureWorker>> CaptureWorkers::live() const {
    std::vector<std::shared_ptr<CaptureWorker>> out;
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto& w : list_)
        if (auto s = w.lock()) out.push_back(std::move(s));
    return out;
}

int CaptureWorkers::running() const {
    int n = 0;
    for (const auto& s : live())
        if (s->running.load()) ++n;
    return n;
}

void CaptureWorkers::stopAll() {
    std::vector<std::weak_ptr<CaptureWorker>> all;
    {
        std::lock_guard<std::mutex> lk(mu_);
        all.swap(list_);
    }
    for (const auto& w : all)
        if (auto s = w.lock()) s->stop();
}

}  // namespace vm::platform
