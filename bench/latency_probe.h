#pragma once
// What the backend latency benchmarks share: capture to decoded picture on a
// 1280×720 virtual display of a real desktop. The backend's capture runs through the
// real capture, encoder and sender; a phone-side receiver and decoder read the
// datagrams on loopback, answer resend requests and renew the registration as the
// phone does. The clock starts at the capture moment (the sample's pts); the
// encode-call stamp the datagrams carry is shown beside it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
#include "bench_clock.h"
#include "loopback_socket.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "platform/platform.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"

namespace vm::bench {

constexpr double kVideoWarmUp = 1.0;  // seconds not counted: session start, first key frame

// Passes the real capture through and notes, for each picture handed on, the wall
// time just before the agent's handler ran (the encoder stamps its frame inside it)
// and the picture's pts.
class TimedCapture final : public platform::ScreenCapture {
public:
    TimedCapture(platform::ScreenCapture& inner, const Clock& clock) : inner_(inner), clock_(clock) {}
    std::optional<std::vector<platform::DisplayID>> shareableDisplays(std::string* error) override {
        return inner_.shareableDisplays(error);
    }
    std::unique_ptr<platform::CaptureStream> startStream(platform::DisplayID id, const platform::CaptureConfig& config,
                                                         std::shared_ptr<SerialQueue> queue,
                                                         std::function<void(const platform::CaptureSample&)> onSample,
                                                         std::function<void(const std::string&)> onStop) override {
        auto timed = [this, onSample](const platform::CaptureSample& s) {
            if (s.image) {
                std::lock_guard<std::mutex> lk(mu_);
                handed_[clock_.nowMicros()] = s.ptsMicros;
            }
            onSample(s);
        };
        return inner_.startStream(id, config, std::move(queue), timed, std::move(onStop));
    }
    // The pts of the picture the encoder stamped at wall time `t`: the last one handed on by then.
    std::optional<int64_t> ptsAt(uint64_t t) {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = handed_.upper_bound(t);
        if (it == handed_.begin()) return std::nullopt;
        return std::prev(it)->second;
    }

private:
    platform::ScreenCapture& inner_;
    const Clock& clock_;
    std::mutex mu_;
    std::map<uint64_t, int64_t> handed_;
};

// The agent's folders under `tmp` (made here): its home, logs and support files.
inline platform::Locations benchLocations(const std::filesystem::path& tmp) {
    std::filesystem::create_directories(tmp / "log");
    std::filesystem::create_directories(tmp / "support");
    platform::Locations where;
    where.home = tmp.string();
    where.logDir = (tmp / "log").string();
    where.supportDir = (tmp / "support").string();
    return where;
}

// The agent's virtual display at 1280×720 (1x), or null with a line on stderr.
inline std::unique_ptr<platform::VirtualDisplay> benchVirtualDisplay(platform::Platform& desktop) {
    platform::VirtualDisplayDescriptor desc;
    desc.name = "bench";
    desc.maxPixelsWide = desc.maxPixelsHigh = 4096;
    auto vd = desktop.displays().createVirtualDisplay(desc);
    platform::VirtualDisplaySettings vs;
    vs.hiDPI = false;
    vs.modes.push_back({1280, 720, 60});
    if (!vd || !vd->applySettings(vs)) {
        std::fprintf(stderr, "no 1280x720 virtual display\n");
        return nullptr;
    }
    return vd;
}

// Streams `desktop` to a phone-side receiver on loopback for kVideoWarmUp + `seconds`
// and prints the figures as "1. capture -> decoded, …"; `surface` and `change` say
// what `area` is and what keeps it changing. 0 when decoded frames were measured.
inline int measureVideoLatency(platform::Platform& desktop, const std::filesystem::path& tmp, double seconds,
                               const platform::Rect& area, const char* surface, const char* change) {
    SystemClock clock;
    Logger log((tmp / "log").string(), clock);
    Settings settings((tmp / "support" / "settings.json").string());

    // The phone side: its video socket on loopback.
    LoopbackSocket phoneSocket;
    const uint32_t ip = htonl(INADDR_LOOPBACK);
    const std::string hello = "H " + std::to_string(phoneSocket.port());
    TimedCapture timed(desktop.capture(), clock);

    video::VideoStats stats;
    video::VideoKey videoKey(log);
    std::atomic<bool> videoAllowed{true};
    video::Encoder* encoderPtr = nullptr;
    video::Sink sink(video::SinkDeps{clock, log, settings, videoKey, stats, videoAllowed,
                                     [&encoderPtr](double maxW) -> std::optional<Bytes> {
                                         return encoderPtr ? encoderPtr->thumbnailJPEG(maxW) : std::nullopt;
                                     }},
                     0);
    video::Encoder encoder(video::EncoderDeps{clock, log, sink, stats, [](int status) {
                                                  std::fprintf(stderr, "encoder session failed (%d)\n", status);
                                                  std::abort();
                                              }});
    encoderPtr = &encoder;
    video::Capture capture(
        video::CaptureDeps{clock, log, desktop.displays(), timed, encoder, sink, stats, nullptr, nullptr});
    try {
        capture.start(true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "capture did not start: %s\n", e.what());
        return 1;
    }
    std::atomic<bool> running{true};
    std::thread idrTimer([&] {
        while (running.load()) encoder.idrTick(), std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });

    phone::VideoReceiver receiver;
    phone::VideoDecoder decoder;
    receiver.setKey(videoKey.current()->id, videoKey.current()->key);

    std::vector<double> fromPts, fromStamp;
    int64_t capPix0 = 0, skipped = 0, encCount0 = 0, sendCount0 = 0;
    double encMS0 = 0, sendMS0 = 0;
    double lastRegister = -100, lastKeyAsk = -100;
    const double start = clock.monotonic(), measuredFrom = start + kVideoWarmUp, end = measuredFrom + seconds;
    bool warm = false;
    while (clock.monotonic() < end) {
        double now = clock.monotonic();
        if (!warm && now >= measuredFrom) {
            warm = true;
            capPix0 = stats.capPix.load();
            encMS0 = stats.encMS.load(), encCount0 = stats.encCount.load();
            sendMS0 = stats.sendMS.load(), sendCount0 = stats.sendCount.load();
        }
        if (now - lastRegister >= 2.0) lastRegister = now, sink.control(hello, ip);
        auto askKeyFrame = [&](double t) {
            if (t - lastKeyAsk >= 0.5) lastKeyAsk = t, sink.control("I", ip);
        };
        phoneSocket.drain(2, [&](const uint8_t* d, size_t n) { receiver.feed(d, n, clock.monotonic()); });
        now = clock.monotonic();
        if (auto params = receiver.takeParams()) decoder.setParams(*params);
        for (const auto& r : receiver.resendRequests(now)) {
            std::string line = "N " + std::to_string(r.seq);
            for (uint16_t i : r.indices) line += " " + std::to_string(i);
            sink.control(line, ip);
        }
        if (receiver.takeGaveUp()) decoder.waitForKeyFrame(), askKeyFrame(now);
        for (const auto& f : receiver.takeFrames(now)) {
            const phone::DecodeResult r = decoder.decode(f.data);
            if (r.skipped) {
                ++skipped, askKeyFrame(clock.monotonic());
                continue;
            }
            if (!r.decoded || !warm) continue;
            const int64_t mono = monotonicMicros();
            fromStamp.push_back(double(int64_t(clock.nowMicros() - f.timestamp)) / 1000.0);
            if (auto pts = timed.ptsAt(f.timestamp)) fromPts.push_back(double(mono - *pts) / 1000.0);
        }
    }
    const double measured = clock.monotonic() - measuredFrom;
    const int64_t captured = stats.capPix.load() - capPix0;
    const int64_t encCount = stats.encCount.load() - encCount0, sendCount = stats.sendCount.load() - sendCount0;
    const double encMs = encCount > 0 ? (stats.encMS.load() - encMS0) / double(encCount) : 0.0;
    const double sendMs = sendCount > 0 ? (stats.sendMS.load() - sendMS0) / double(sendCount) : 0.0;
    running.store(false);
    idrTimer.join();

    std::printf("1. capture -> decoded, %.0fx%.0f %s at +%.0f+%.0f, %s, %.1f s measured, encoder %s\n", area.width,
                area.height, surface, area.x, area.y, change, measured, encoder.backendName().c_str());
    std::printf("   from the capture pts   p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms  (%zu frames, %.1f fps)\n",
                percentile(fromPts, 0.5), percentile(fromPts, 0.99), percentile(fromPts, 1.0), fromPts.size(),
                double(fromPts.size()) / measured);
    std::printf("   from the encode call   p50 %6.2f ms  p99 %6.2f ms\n", percentile(fromStamp, 0.5),
                percentile(fromStamp, 0.99));
    std::printf("   pictures captured %lld (%.1f fps); encode %.2f ms/frame, send (paced) %.2f ms/frame; "
                "frames skipped by the decoder %lld\n",
                static_cast<long long>(captured), double(captured) / measured, encMs, sendMs,
                static_cast<long long>(skipped));
    return fromPts.empty() ? 1 : 0;
}

}  // namespace vm::bench
