#pragma once
// Screen capture for the video side: picks the display to capture (the virtual
// display when there is one), runs one capture stream of it, keeps the newest
// picture for the encoder and hands pictures to the encoder while a phone is
// registered and the sender is idle. Restarts the stream when the capturer stops
// it, when the display layout changes, and when asked by the frame watchdog.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture.h"
#include "platform/displays.h"

namespace vm {
class Clock;
class Logger;
class DispatchQueue;
class SerialQueue;
}  // namespace vm

namespace vm::video {

class Encoder;
class Sink;
struct VideoStats;

struct CaptureDeps {
    const Clock& clock;
    Logger& log;  // streamLog
    platform::Displays& displays;
    platform::ScreenCapture& screenCapture;
    Encoder& encoder;
    Sink& sink;
    VideoStats& stats;
    // The main queue, for the debounced reaction to display changes. None: the
    // check runs at once on the caller's thread (no debounce).
    DispatchQueue* mainQueue = nullptr;
    // Where asynchronous restarts run (the agent passes the global queue). None:
    // they run in place on the caller's thread.
    DispatchQueue* taskQueue = nullptr;
};

class Capture {
public:
    static constexpr int kMaxWidth = 2560;
    static constexpr int kMaxHeight = 2048;
    static constexpr int kFrameRateCap = 120;
    // Attempts without the virtual display before settling for another one.
    static constexpr int kVirtualWaitAttempts = 15;
    static constexpr double kReconfigureDelay = 1.0;

    struct PixelSize {
        int w = 0;
        int h = 0;
        double scale = 1.0;
    };

    explicit Capture(CaptureDeps deps);
    // Stops the running stream and makes a start that is still waiting for a display give up.
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Finds a display (waiting for one, a second between looks, as long as it takes),
    // configures and starts a stream of it. Blocking: callers run it on a thread of
    // their own. Throws std::runtime_error when the stream cannot be set up or started.
    // Does not stop a running stream; replacing one is restart()'s job.
    void start(bool recreateEncoder);
    // Stops the current stream (a failure to stop is ignored), then start(false).
    void restart();
    // restart() as an asynchronous task whose failure is ignored. Requests made while
    // one is still queued, or while a start still looks for its display, are covered by it.
    void restartAsync();

    // The per-frame callback (runs on the "capture" queue).
    void onSample(const platform::CaptureSample& sample);
    // The capturer stopped the stream by itself: log, then restart asynchronously.
    void onStop(const std::string& error);

    // The fall-back choice among capturable displays: the virtual display, else the
    // main display, else the first; none for an empty list.
    std::optional<platform::DisplayID> pickDisplay(const std::vector<platform::DisplayID>& displays);
    // Pixel size and backing scale of a display; never fails (degrades to 1x).
    PixelSize pixelSize(platform::DisplayID id);
    // The display that should be captured now: the virtual display among the active
    // ones, else the main display; 0 when no display is active.
    platform::DisplayID preferredDisplay();
    // The stream size for a display of the given pixel size: at most 2560 x 2048, even.
    static std::pair<int, int> outputSize(int pixelW, int pixelH);

    // The display-reconfiguration callback (any thread): only the last of a burst
    // acts, kReconfigureDelay seconds after it, on the main queue.
    void displayReconfigured();
    // The debounced work: restart when the display to capture or its size changed.
    void reconfigureCheck();

    // Wall time (seconds since 1970) of the last sample; the creation time at first.
    double lastSampleAt() const { return lastSampleAt_.load(); }
    void setLastSampleAt(double t) { lastSampleAt_.store(t); }
    platform::DisplayID capturing() const;
    std::pair<int, int> capturingSize() const;
    bool running() const;

private:
    void startLocked(bool recreateEncoder);

    CaptureDeps d_;
    std::mutex startMu_;  // serialises start and restart: never two streams at once
    std::unique_ptr<platform::CaptureStream> stream_;  // under startMu_
    std::shared_ptr<SerialQueue> queue_;               // "capture", under startMu_
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> streamGen_{0};  // which stream's stop reports still count
    std::atomic<bool> closing_{false};
    std::atomic<bool> restartQueued_{false};  // a restart is queued or a start is still looking

    mutable std::mutex stateMu_;
    platform::DisplayID capturing_ = 0;  // under stateMu_
    int capW_ = 0, capH_ = 0;            // under stateMu_

    std::atomic<double> lastSampleAt_;
    std::atomic<double> lastCapAt_{0};
    std::atomic<bool> haveLastCap_{false};

    std::atomic<uint64_t> reconfigGen_{0};
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);  // delayed work checks it
};

}  // namespace vm::video
