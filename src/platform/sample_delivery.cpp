#include "platform/sample_delivery.h"

#include "base/dispatch.h"

namespace vm::platform {

bool deliverSample(const std::shared_ptr<SampleDelivery>& out, SerialQueue& queue, int depth, CaptureSample sample) {
    if (out->pending.load() >= depth) return false;
    ++out->pending;
    queue.async([out, sample = std::move(sample)]() {
        std::lock_guard<std::recursive_mutex> lk(out->cbMu);
        struct Done {
            std::atomic<int>& n;
            ~Done() { --n; }
        } done{out->pending};
        if (!out->stopped && out->onSample) out->onSample(sample);
    });
    return true;
}

}  // namespace vm::platform
