#pragma once
// A capture stream that produces on a thread of its own, and the two ways it ends:
// by itself (`finish`, when what it captures is gone) or by its owner (`stop`, after
// which no callback runs). Either may happen on any thread, the stream's own included,
// and a sample callback may stop or drop the very stream that called it.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/capture.h"
#include "platform/sample_delivery.h"

namespace vm::platform {

class CaptureWorker {
public:
    virtual ~CaptureWorker() = default;

    std::shared_ptr<SampleDelivery> out = std::make_shared<SampleDelivery>();
    // False once the producer ended, by itself or when stopped.
    std::atomic<bool> running{true};

    // Runs `body` on the stream's thread. The body should hold the worker (a
    // shared_ptr) so the worker lives until the body returns.
    void launch(std::function<void()> body);
    // Set once the owner asked the producer to end.
    bool quitting() const { return quit_.load(); }
    // From the producer, when it ends by itself: the stop handler runs once, unless
    // the owner is stopping the stream at the same time.
    void finish(const std::string& error);
    // Ends delivery and the producer; joins the thread unless called from it.
    void stop();
    // `stop`, and lets the thread end by itself when called from it.
    void release();

protected:
    // Wakes a producer waiting for its next tick so it sees `quitting()`.
    virtual void wakeUp() {}

private:
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

// The owner's handle on a worker: dropping it stops the worker.
class WorkerStream final : public CaptureStream {
public:
    explicit WorkerStream(std::shared_ptr<CaptureWorker> worker) : worker_(std::move(worker)) {}
    ~WorkerStream() override { worker_->release(); }
    bool stop(std::string*) override {
        worker_->stop();
        return true;
    }

private:
    std::shared_ptr<CaptureWorker> worker_;
};

// The workers a capturer started, so it can reach the live ones and stop them all.
class CaptureWorkers {
public:
    // Keeps `worker`, forgetting those that ended.
    void add(const std::shared_ptr<CaptureWorker>& worker);
    std::vector<std::shared_ptr<CaptureWorker>> live() const;
    int running() const;
    // Stops every worker still kept (no callback after it returns) and forgets them.
    void stopAll();

private:
    mutable std::mutex mu_;
    std::vector<std::weak_ptr<CaptureWorker>> list_;
};

}  // namespace vm::platform
