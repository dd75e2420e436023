#pragma once
// Screen capture of the in-memory desktop: one producer thread per stream draws
// the display's framebuffer at the stream's output size and delivers samples on
// the stream's queue, like a real capturer (idle samples when nothing changed,
// frames dropped beyond the queue depth).
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/capture_worker.h"

namespace vm::platform::headless {

class HeadlessDesktop;

class HeadlessCapture final : public ScreenCapture {
public:
    static constexpr double kMaxRate = 60;  // ticks per second, whatever the stream asks
    static constexpr double kAnimationRate = 30;  // bar steps per second

    explicit HeadlessCapture(HeadlessDesktop& desk);
    // Stops every stream still running (no callback after it returns).
    ~HeadlessCapture() override;

    std::optional<std::vector<DisplayID>> shareableDisplays(std::string* error) override;
    std::unique_ptr<CaptureStream> startStream(DisplayID id, const CaptureConfig& config,
                                               std::shared_ptr<SerialQueue> queue,
                                               std::function<void(const CaptureSample&)> onSample,
                                               std::function<void(const std::string& error)> onStop) override;

    // Test knobs. Without animation a picture changes only when the pointer moves
    // or the display changes, so the capturer sends idle samples.
    void setAnimating(bool on) { animating_.store(on); }
    bool animating() const { return animating_.load(); }
    // Non-empty: listing shareable displays fails with this text.
    void setShareableError(std::string error);
    // Non-empty: starting a stream throws this text.
    void setStartError(std::string error);
    // Streams still delivering (not stopped, display still there).
    int liveStreams() const;
    // Samples dropped so far because a stream's queue already held its depth.
    int64_t droppedSamples() const { return dropped_.load(); }
    // Called by the desktop after a layout change: streams look at their display at once.
    void displaysChanged();
    void stopAll();

private:
    HeadlessDesktop& desk_;
    std::atomic<bool> animating_{true};
    std::atomic<int64_t> dropped_{0};
    mutable std::mutex mu_;
    std::string shareableError_;
    std::string startError_;
    CaptureWorkers workers_;
};

}  // namespace vm::platform::headless
