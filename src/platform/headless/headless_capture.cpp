#include "platform/headless/headless_capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <stdexcept>

#include "base/dispatch.h"
#include "platform/headless/headless_desktop.h"
#include "platform/headless/headless_framebuffer.h"
#include "platform/capture_worker.h"

namespace vm::platform::headless {

using SteadyClock = std::chrono::steady_clock;

static int64_t monotonicMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(SteadyClock::now().time_since_epoch()).count();
}

// Largest output edge a stream accepts; beyond it the request is refused rather
// than allocating gigabytes per frame.
static constexpr int kMaxOutputEdge = 16384;

struct StreamState final : CaptureWorker {
    HeadlessDesktop* desk = nullptr;
    const std::atomic<bool>* animating = nullptr;
    std::atomic<int64_t>* dropped = nullptr;
    DisplayID id = 0;
    CaptureConfig config;
    std::shared_ptr<SerialQueue> queue;

    std::mutex mu;
    std::condition_variable cv;
    bool look = false;  // the layout changed: check the display now

    void run();
    void deliver(CaptureSample sample);
    // Wakes the producer at once, to look at its display or to see it must end.
    void wakeUp() override {
        { std::lock_guard<std::mutex> lk(mu); }
        cv.notify_all();
    }
};

// What a picture depends on: when none of it moved, the capturer has nothing new.
struct PictureKey {
    uint32_t width = 0, height = 0, pixelWidth = 0, pixelHeight = 0;
    bool hasPointer = false;
    double px = 0, py = 0;
    uint64_t phase = 0;
    bool operator==(const PictureKey&) const = default;
};

void StreamState::deliver(CaptureSample sample) {
    if (!deliverSample(out, *queue, config.queueDepth, std::move(sample))) ++*dropped;
}

void StreamState::run() {
    double interval = config.minFrameIntervalTimescale > 0
                          ? double(config.minFrameIntervalValue) / config.minFrameIntervalTimescale
                          : 0;
    interval = std::max(interval, 1.0 / HeadlessCapture::kMaxRate);
    const auto step = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(interval));
    const auto origin = SteadyClock::now();
    auto next = origin;
    Framebuffer fb;
    std::optional<PictureKey> last;
    uint64_t phase = 0;
    while (true) {
        {
            std::unique_lock<std::mutex> lk(mu);
            cv.wait_until(lk, next, [&] { return quitting() || look; });
            if (quitting()) break;
            look = false;
        }
        auto snap = desk->snapshot(id);
        if (!snap) {
            finish("The display " + std::to_string(id) + " being captured is no longer available");
            break;
        }
        auto now = SteadyClock::now();
        if (now < next) continue;  // only woken to look at the display
        next += step;
        if (next <= now) next = now + step;  // after a stall, no burst of catch-up frames

        if (animating->load())
            phase = static_cast<uint64_t>(std::chrono::duration<double>(now - origin).count() *
                                          HeadlessCapture::kAnimationRate);
        PictureKey key{snap->width, snap->height, snap->pixelWidth, snap->pixelHeight, false, 0, 0, phase};
        if (config.showsCursor && snap->pointer) {
            key.hasPointer = true;
            key.px = snap->pointer->x;
            key.py = snap->pointer->y;
        }
        CaptureSample sample;
        sample.ptsMicros = monotonicMicros();
        if (last && *last == key) {
            sample.status = static_cast<int>(FrameStatus::idle);
        } else {
            FrameContent content;
            content.tint = snap->id;
            content.pointsWide = snap->width;
            content.pointsHigh = snap->height;
            content.pixelsPerPoint = double(snap->pixelWidth) / snap->width;
            content.phase = phase;
            if (key.hasPointer) content.pointer = Point{key.px, key.py};
            content.scalesToFit = config.scalesToFit;
            sample.status = static_cast<int>(FrameStatus::complete);
            sample.image = fb.render(config.width, config.height, content);
            last = key;
        }
        deliver(std::move(sample));
    }
    running.store(false);
}

HeadlessCapture::HeadlessCapture(HeadlessDesktop& desk) : desk_(desk) {}

HeadlessCapture::~HeadlessCapture() { stopAll(); }

std::optional<std::vector<DisplayID>> HeadlessCapture::shareableDisplays(std::string* error) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!shareableError_.empty()) {
            if (error) *error = shareableError_;
            return std::nullopt;
        }
    }
    return desk_.activeDisplays(64);
}

std::unique_ptr<CaptureStream> HeadlessCapture::startStream(DisplayID id, const CaptureConfig& config,
                                                            std::shared_ptr<SerialQueue> queue,
                                                            std::function<void(const CaptureSample&)> onSample,
                                                            std::function<void(const std::string& error)> onStop) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!startError_.empty()) throw std::runtime_error(startError_);
    }
    if (!queue) throw std::runtime_error("no queue for the capture stream");
    if (!desk_.snapshot(id)) throw std::runtime_error("display " + std::to_string(id) + " cannot be captured");
    if (config.width < 2 || config.height < 2 || config.width > kMaxOutputEdge || config.height > kMaxOutputEdge)
        throw std::runtime_error("invalid output size " + std::to_string(config.width) + "x" +
                                 std::to_string(config.height));
    auto st = std::make_shared<StreamState>();
    st->desk = &desk_;
    st->animating = &animating_;
    st->dropped = &dropped_;
    st->id = id;
    st->config = config;
    st->config.queueDepth = std::clamp(config.queueDepth, 1, 8);
    st->queue = std::move(queue);
    st->out->onSample = std::move(onSample);
    st->out->onStop = std::move(onStop);
    // The producer keeps the state alive until it ends, even if the stream is dropped from its stop handler.
    st->launch([st] { st->run(); });
    workers_.add(st);
    return std::make_unique<WorkerStream>(st);
}

void HeadlessCapture::setShareableError(std::string error) {
    std::lock_guard<std::mutex> lk(mu_);
    shareableError_ = std::move(error);
}

void HeadlessCapture::setStartError(std::string error) {
    std::lock_guard<std::mutex> lk(mu_);
    startError_ = std::move(error);
}

int HeadlessCapture::liveStreams() const { return workers_.running(); }

void HeadlessCapture::displaysChanged() {
    for (auto& w : workers_.live()) {
        auto& s = static_cast<StreamState&>(*w);
        {
            std::lock_guard<std::mutex> lk(s.mu);
            s.look = true;
        }
        s.cv.notify_all();
    }
}

void HeadlessCapture::stopAll() { workers_.stopAll(); }

}  // namespace vm::platform::headless
