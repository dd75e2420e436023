#pragma once
// How a capture stream hands its samples to the stream's serial queue.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/capture.h"

namespace vm::platform {

// What a queued sample needs when it runs: kept apart from the stream so a task
// left on the queue never holds the stream itself.
struct SampleDelivery {
    std::function<void(const CaptureSample&)> onSample;
    std::function<void(const std::string&)> onStop;
    // Held while a callback runs; `stopped` set under it means no callback after.
    // Recursive so a callback may stop its own stream.
    std::recursive_mutex cbMu;
    bool stopped = false;
    std::atomic<int> pending{0};
};

// Queues `sample` for `out->onSample` on `queue`. Like a capturer with a fixed pool
// of surfaces: with `depth` samples already waiting the sample is lost (false).
bool deliverSample(const std::shared_ptr<SampleDelivery>& out, SerialQueue& queue, int depth, CaptureSample sample);

}  // namespace vm::platform
