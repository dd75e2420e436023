// A capture stream's thread and its two ways out, apart from any capturer: the
// stop handler may drop the stream's last handle on the stream's own thread, and
// an owner's stop beats a producer finishing at the same moment.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>

#include "base/dispatch.h"
#include "platform/capture_worker.h"

using namespace vm;
using namespace vm::platform;
using namespace std::chrono_literals;

namespace {

// Delivers idle samples until asked to end, or finishes by itself when told to.
struct TickWorker final : CaptureWorker {
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("capture");
    std::mutex mu;
    std::condition_variable cv;
    bool goAway = false;  // finish by itself at the next tick

    void run() {
        while (!quitting()) {
            {
                std::unique_lock<std::mutex> lk(mu);
                cv.wait_for(lk, 2ms, [&] { return quitting() || goAway; });
                if (quitting()) break;
                if (goAway) {
                    lk.unlock();
                    finish("gone");
                    break;
                }
            }
            CaptureSample s;
            s.status = static_cast<int>(FrameStatus::idle);
            deliverSample(out, *queue, 2, std::move(s));
        }
        running.store(false);
    }
    void endByItself() {
        {
            std::lock_guard<std::mutex> lk(mu);
            goAway = true;
        }
        cv.notify_all();
    }
    void wakeUp() override {
        { std::lock_guard<std::mutex> lk(mu); }
        cv.notify_all();
    }
};

std::shared_ptr<TickWorker> started(std::function<void(const CaptureSample&)> onSample,
                                    std::function<void(const std::string&)> onStop) {
    auto w = std::make_shared<TickWorker>();
    w->out->onSample = std::move(onSample);
    w->out->onStop = std::move(onStop);
    w->launch([w] { w->run(); });
    return w;
}

}  // namespace

TEST(CaptureWorker, TheStopHandlerMayDropTheLastHandleOnTheWorkersOwnThread) {
    std::unique_ptr<CaptureStream> handle;
    std::mutex handleMu;
    std::promise<std::string> stoppedWith;
    std::weak_ptr<TickWorker> alive;
    {
        std::lock_guard<std::mutex> lk(handleMu);
        auto w = started([](const CaptureSample&) {},
                         [&](const std::string& why) {
                             std::lock_guard<std::mutex> l2(handleMu);
                             handle.reset();  // joins nothing: this is the worker's thread
                             stoppedWith.set_value(why);
                         });
        alive = w;
        handle = std::make_unique<WorkerStream>(w);
        w->endByItself();
    }
    auto f = stoppedWith.get_future();
    ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(f.get(), "gone");
    // The thread ends by itself and takes the worker with it.
    auto until = std::chrono::steady_clock::now() + 20s;
    while (!alive.expired() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(alive.expired());
}

TEST(CaptureWorker, AfterStopReturnsNeitherSamplesNorTheStopHandlerArrive) {
    // Many rounds, since the owner's stop and the producer's finish race.
    for (int round = 0; round < 50; ++round) {
        std::atomic<bool> stopped{false};
        std::atomic<int> late{0};
        auto w = started([&](const CaptureSample&) { late += stopped.load() ? 1 : 0; },
                         [&](const std::string&) { late += stopped.load() ? 1 : 0; });
        WorkerStream handle(w);
        std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 7)));
        w->endByItself();
        EXPECT_TRUE(handle.stop(nullptr));
        stopped.store(true);
        EXPECT_FALSE(w->running.load());
        w->queue->sync([] {});
        ASSERT_EQ(late.load(), 0) << "round " << round;
    }
}
