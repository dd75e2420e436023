#pragma once
// The video service main: starts the key-frame timer, the reaction to display
// changes, the first capture (retried until it works), the 2-second statistics
// lines with the capture watchdog, and the service advertisement.
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace vm {
class Clock;
class Logger;
class DispatchQueue;
class RepeatingTimer;
}  // namespace vm

namespace vm::platform {
class Displays;
class ServiceAdvertiser;
}  // namespace vm::platform

namespace vm::video {

class Capture;
class Encoder;
class Sink;
class VideoKey;
struct VideoStats;

struct StreamMainDeps {
    const Clock& clock;
    Logger& log;  // streamLog
    platform::Displays& displays;
    platform::ServiceAdvertiser& advertiser;
    Encoder& encoder;
    Sink& sink;
    Capture& capture;
    VideoStats& stats;
    VideoKey& key;
    DispatchQueue& mainQueue;  // both timers fire here
    // Where the first-capture task runs. None: a thread of its own.
    DispatchQueue* taskQueue = nullptr;
};

// One statistics interval's numbers, as read (and reset) from the counters.
struct StatNumbers {
    double interval = 0.001;  // seconds
    double capGapMS = 0;
    int64_t capGapCount = 0;
    double capHandlerMS = 0;
    int64_t capCB = 0;
    double encMS = 0;
    int64_t encCount = 0;
    double sendMS = 0;
    int64_t sendCount = 0;
    int64_t fragSum = 0;
    int64_t capPix = 0;
    std::map<int, int64_t> capStatus;
    int64_t dropRate = 0;
    int levelNow = 0;
    int64_t skipped = 0;
    int64_t encSubmit = 0;
    int64_t encDone = 0;
    int64_t encCallErrN = 0;
    int32_t encCallErrLast = 0;
    int64_t encCbErrN = 0;
    int32_t encCbErrLast = 0;
    int64_t emitNoData = 0;
    int64_t frames = 0;
    int64_t bytes = 0;
    bool hasClients = false;
};

class StreamMain {
public:
    static constexpr const char* kServiceType = "_vellomark._udp";
    static constexpr double kIdrInterval = 0.05;
    static constexpr double kStatInterval = 2.0;
    static constexpr double kCaptureRetryWait = 3.0;
    static constexpr double kWatchdogSilence = 5.0;

    explicit StreamMain(StreamMainDeps deps);
    // Cancels the timers and waits for the first-capture task (which stops retrying).
    ~StreamMain();
    StreamMain(const StreamMain&) = delete;
    StreamMain& operator=(const StreamMain&) = delete;

    // Starts everything and returns; call once, on the main thread.
    void start();
    // The body of the 2-second statistics timer.
    void statTick();
    // Whether the first capture has started.
    bool firstCaptureStarted() const { return firstCaptureDone_.load(); }

    // The three statistics lines for one interval's numbers.
    static std::array<std::string, 3> formatStatLines(const StatNumbers& n);
    // "complete 3 idle 1 상태7 2": capture statuses by value, named where known.
    static std::string statusSummary(const std::map<int, int64_t>& capStatus);

private:
    void firstCapture();

    StreamMainDeps d_;
    std::unique_ptr<RepeatingTimer> idrTimer_;
    std::unique_ptr<RepeatingTimer> statTimer_;
    std::optional<double> lastStatAt_;  // reference-date seconds; main thread only
    int64_t lastFrames_ = 0;
    int64_t lastBytes_ = 0;
    std::thread firstCaptureThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> firstCaptureDone_{false};
};

}  // namespace vm::video
