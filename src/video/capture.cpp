#include "video/capture.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_stats.h"

namespace vm::video {

namespace {

// A scale factor as the log has always shown it: shortest form, at least one decimal ("2.0", "1.5").
std::string decimal(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    std::string s(buf, r.ptr);
    if (s.find_first_of(".eninf") == std::string::npos) s += ".0";
    return s;
}

std::string refreshText(const std::optional<platform::DisplayMode>& mode) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.0f", mode ? mode->refresh : -1.0);
    return buf;
}

}  // namespace

Capture::Capture(CaptureDeps deps) : d_(deps), lastSampleAt_(deps.clock.now()) {}

Capture::~Capture() {
    closing_.store(true);
    std::lock_guard<std::mutex> g(startMu_);
    if (stream_) {
        std::string err;
        stream_->stop(&err);
        stream_.reset();
    }
    running_.store(false);
}

platform::DisplayID Capture::capturing() const {
    std::lock_guard<std::mutex> g(stateMu_);
    return capturing_;
}

std::pair<int, int> Capture::capturingSize() const {
    std::lock_guard<std::mutex> g(stateMu_);
    return {capW_, capH_};
}

bool Capture::running() const { return running_.load(); }

std::pair<int, int> Capture::outputSize(int pixelW, int pixelH) {
    int w = std::clamp(pixelW, 0, kMaxWidth);
    int h = std::clamp(pixelH, 0, kMaxHeight);
    return {w - (w % 2), h - (h % 2)};
}

std::optional<platform::DisplayID> Capture::pickDisplay(const std::vector<platform::DisplayID>& displays) {
    if (displays.empty()) return std::nullopt;
    for (auto id : displays)
        if (d_.displays.isAgentVirtual(id)) return id;
    const platform::DisplayID mainID = d_.displays.mainDisplay();
    for (auto id : displays)
        if (id == mainID) return id;
    return displays.front();
}

Capture::PixelSize Capture::pixelSize(platform::DisplayID id) {
    const platform::Rect b = d_.displays.bounds(id);
    if (auto mode = d_.displays.currentMode(id); mode && mode->pixelWidth >= 1 && mode->pixelHeight >= 1) {
        const double scale = b.width > 0 ? mode->pixelWidth / b.width : 1.0;
        return {static_cast<int>(mode->pixelWidth), static_cast<int>(mode->pixelHeight), scale};
    }
    // Without a mode the windowing layer's screen list may still be catching up
    // with a display that just appeared; give it a moment.
    constexpr int kLooks = 10;
    for (int look = 1; look <= kLooks; ++look) {
        for (const auto& s : d_.displays.screens()) {
            if (s.number == id && s.backingScale > 0)
                return {static_cast<int>(s.backingScale * b.width), static_cast<int>(s.backingScale * b.height),
                        s.backingScale};
        }
        if (look < kLooks) d_.clock.sleep(0.1);
    }
    d_.log.streamLog("⚠︎ 픽셀 크기를 못 읽었다 — 1배로 진행한다 (화질이 떨어진다)\n");
    return {static_cast<int>(b.width), static_cast<int>(b.height), 1.0};
}

platform::DisplayID Capture::preferredDisplay() {
    const auto active = d_.displays.activeDisplays();
    if (active.empty()) return 0;
    for (auto id : active)
        if (d_.displays.isAgentVirtual(id)) return id;
    return d_.displays.mainDisplay();
}

void Capture::start(bool recreateEncoder) {
    std::lock_guard<std::mutex> g(startMu_);
    startLocked(recreateEncoder);
}

void Capture::restart() {
    std::lock_guard<std::mutex> g(startMu_);
    if (stream_) {
        std::string err;
        stream_->stop(&err);  // a failed stop changes nothing: the stream is dropped all the same
        stream_.reset();
    }
    running_.store(false);
    startLocked(false);
}

void Capture::restartAsync() {
    // A restart that is queued, or still looking for its display, sees the newest
    // layout anyway: a second one would only wait for the display all over again.
    if (restartQueued_.exchange(true)) return;
    auto job = [this, alive = std::weak_ptr<int>(alive_)] {
        if (alive.expired()) return;
        try {
            restart();
        } catch (...) {
            // Dropped: the watchdog or the next display change tries again.
        }
    };
    if (d_.taskQueue) d_.taskQueue->async(std::move(job));
    else job();
}

void Capture::startLocked(bool recreateEncoder) {
    // While it looks for its display, this start covers every restart request: it
    // reads the layout afresh at each look.
    struct Looking {
        std::atomic<bool>& covers;
        bool on = false;
        void set(bool v) {
            on = v;
            covers.store(v);
        }
        ~Looking() {
            if (on) covers.store(false);
        }
    } looking{restartQueued_};
    platform::DisplayID chosen = 0;
    int outW = 0, outH = 0;
    PixelSize px;
    platform::Rect bounds;
    for (int n = 1;; ++n) {
        looking.set(true);
        if (closing_.load()) throw std::runtime_error("캡처를 닫는 중");
        if (n > 1) d_.clock.sleep(1.0);
        std::string err;
        auto list = d_.screenCapture.shareableDisplays(&err);
        if (!list || list->empty()) {
            if (n == 1 || n % 20 == 0)
                d_.log.streamLog("디스플레이 없음 — 대기 중 (" + std::to_string(n) + "회째)\n");
            continue;
        }
        std::optional<platform::DisplayID> pick;
        for (auto id : *list) {
            if (d_.displays.isAgentVirtual(id)) {
                pick = id;
                break;
            }
        }
        if (!pick) {
            // A virtual display that is being created gets about 15 seconds to show up.
            if (n < kVirtualWaitAttempts) continue;
            d_.log.streamLog("가상 화면이 " + std::to_string(n) + "초째 안 보인다 — 있는 화면으로 간다\n");
            pick = pickDisplay(*list);
        }
        chosen = *pick;
        // The choice is made: a change from now on needs a restart of its own.
        looking.set(false);
        bounds = d_.displays.bounds(chosen);
        px = pixelSize(chosen);
        std::tie(outW, outH) = outputSize(px.w, px.h);
        {
            std::lock_guard<std::mutex> g(stateMu_);
            capturing_ = chosen;
            capW_ = outW;
            capH_ = outH;
        }
        // A display that vanished between the listing and the size read has no size;
        // a stream (and an encoder) of nothing is useless, so look again.
        if (outW >= 2 && outH >= 2) break;
    }

    platform::CaptureConfig config;
    config.width = outW;
    config.height = outH;
    config.scalesToFit = true;
    config.minFrameIntervalValue = 1;
    config.minFrameIntervalTimescale = kFrameRateCap;
    config.queueDepth = 3;
    config.showsCursor = true;

    if (recreateEncoder || d_.encoder.startedW() != outW || d_.encoder.startedH() != outH)
        d_.encoder.start(outW, outH);

    if (!queue_) queue_ = std::make_shared<SerialQueue>("capture");
    const uint64_t gen = streamGen_.fetch_add(1) + 1;
    std::weak_ptr<int> alive = alive_;
    auto stream = d_.screenCapture.startStream(
        chosen, config, queue_,
        [this, alive](const platform::CaptureSample& s) {
            if (!alive.expired()) onSample(s);
        },
        [this, alive, gen](const std::string& error) {
            // Stop reports of a stream we already replaced are stale.
            if (!alive.expired() && streamGen_.load() == gen) onStop(error);
        });
    if (!stream) throw std::runtime_error("캡처 스트림을 만들지 못했다");
    stream_ = std::move(stream);
    running_.store(true);

    const auto mode = d_.displays.currentMode(chosen);
    d_.log.streamLog("캡처 시작 " + std::to_string(outW) + "×" + std::to_string(outH) + " (논리 " +
                     std::to_string(static_cast<int64_t>(bounds.width)) + "×" +
                     std::to_string(static_cast<int64_t>(bounds.height)) + " @" + decimal(px.scale) +
                     "x) 콜백 상한 " + std::to_string(kFrameRateCap) + "fps · 화면 " + refreshText(mode) + "Hz\n");
}

void Capture::onSample(const platform::CaptureSample& sample) {
    const double t0 = d_.clock.monotonic();
    if (haveLastCap_.load()) {
        VideoStats::add(d_.stats.capGapMS, (t0 - lastCapAt_.load()) * 1000.0);
        d_.stats.capGapCount.fetch_add(1, std::memory_order_relaxed);
    }
    lastCapAt_.store(t0);
    haveLastCap_.store(true);
    lastSampleAt_.store(d_.clock.now());
    d_.stats.capCB.fetch_add(1, std::memory_order_relaxed);

    if (sample.status) d_.stats.countStatus(*sample.status);

    if (sample.screenOutput && sample.image) {
        d_.stats.capPix.fetch_add(1, std::memory_order_relaxed);
        {
            // Held even while nobody watches, so a key frame or thumbnail can be made on demand.
            std::lock_guard<std::mutex> g(d_.encoder.lock);
            d_.encoder.lastPixelBuffer = sample.image;
            d_.encoder.lastPTS = sample.ptsMicros;
        }
        if (!d_.sink.targets().empty()) {
            // A frame that arrives while the previous one is still going out is dropped, not queued.
            if (d_.sink.sending()) d_.stats.skippedFrames.fetch_add(1, std::memory_order_relaxed);
            else d_.encoder.encode(sample.image, sample.ptsMicros);
        }
    }

    VideoStats::add(d_.stats.capHandlerMS, (d_.clock.monotonic() - t0) * 1000.0);
}

void Capture::onStop(const std::string& error) {
    d_.log.streamLog("⚠︎ 캡처 스트림 정지: " + error + " — 재시작한다\n");
    running_.store(false);
    restartAsync();
}

void Capture::displayReconfigured() {
    const uint64_t gen = reconfigGen_.fetch_add(1) + 1;
    if (!d_.mainQueue) {
        reconfigureCheck();
        return;
    }
    // Our queues cannot cancel work, so the pending check is superseded by number instead.
    d_.mainQueue->asyncAfter(kReconfigureDelay, [this, gen, alive = std::weak_ptr<int>(alive_)] {
        if (alive.expired() || reconfigGen_.load() != gen) return;
        reconfigureCheck();
    });
}

void Capture::reconfigureCheck() {
    const platform::DisplayID id = preferredDisplay();
    if (id == 0) return;
    const PixelSize px = pixelSize(id);
    const auto [w, h] = outputSize(px.w, px.h);
    platform::DisplayID oldID;
    int oldW, oldH;
    {
        std::lock_guard<std::mutex> g(stateMu_);
        oldID = capturing_;
        oldW = capW_;
        oldH = capH_;
    }
    if (id == oldID && w == oldW && h == oldH) return;
    d_.log.streamLog("화면이 바뀌었다 — " + std::to_string(oldID) + "@" + std::to_string(oldW) + "×" +
                     std::to_string(oldH) + " → " + std::to_string(id) + "@" + std::to_string(w) + "×" +
                     std::to_string(h) + " 로 옮겨 탄다\n");
    restartAsync();
}

}  // namespace vm::video
