// Latency of the GNOME backend end to end, on a headless GNOME Shell that the
// program starts itself (tests/gnome/start-gnome.sh): capture to decoded picture at
// 1280×720. The agent's virtual display of that size is a screen-cast virtual
// monitor; the pointer circles on it every 10 ms (mutter draws it into the stream,
// so every move is a new frame); GnomeCapture's frames run through the real
// capture, encoder and sender, and a phone-side receiver and decoder read the
// datagrams on loopback, as x11_latency_bench does for X11. The clock starts at the
// capture moment (the sample's pts, taken when PipeWire hands the frame over).
//
// Usage: gnome_latency_bench [seconds measured]   (default 10, after 1 s of warm-up;
// prints a line and exits 0 without gnome-shell)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "platform/gnome/gnome_desktop.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"

namespace fs = std::filesystem;
using namespace vm;

namespace {

constexpr double kWarmUp = 1.0;

int64_t monotonicMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * double(v.size() - 1) + 0.5))];
}

std::string run(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// Passes the real capture through and notes, for each picture handed on, the wall
// time just before the agent's handler ran and the picture's pts.
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

int videoLatency(platform::Platform& desktop, const fs::path& tmp, double seconds) {
    SystemClock clock;
    Logger log((tmp / "log").string(), clock);
    Settings settings((tmp / "support" / "settings.json").string());

    platform::VirtualDisplayDescriptor desc;
    desc.name = "bench";
    desc.maxPixelsWide = desc.maxPixelsHigh = 4096;
    auto vd = desktop.displays().createVirtualDisplay(desc);
    platform::VirtualDisplaySettings vs;
    vs.hiDPI = false;
    vs.modes.push_back({1280, 720, 60});
    if (!vd || !vd->applySettings(vs)) {
        std::fprintf(stderr, "no 1280x720 virtual display\n");
        return 1;
    }
    const platform::Rect area = desktop.displays().bounds(vd->displayID());
    std::atomic<bool> running{true};
    // Something must change on it: the pointer, drawn into the stream.
    std::thread mover([&] {
        for (int i = 0; running.load(); ++i) {
            const double a = i * 0.05;
            desktop.events().postMouse({platform::ev::kMouseMoved,
                                        {area.x + area.width / 2 + 200 * std::cos(a), area.y + area.height / 2 + 200 * std::sin(a)},
                                        0, 0});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int buf = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("bind");
        running = false;
        mover.join();
        return 1;
    }
    const uint32_t ip = htonl(INADDR_LOOPBACK);
    const std::string hello = "H " + std::to_string(ntohs(a.sin_port));
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
        running = false;
        mover.join();
        ::close(fd);
        return 1;
    }
    std::thread idrTimer([&] {
        while (running.load()) encoder.idrTick(), std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });

    phone::VideoReceiver receiver;
    phone::VideoDecoder decoder;
    receiver.setKey(videoKey.current()->id, videoKey.current()->key);
    std::vector<double> fromPts, fromStamp;
    int64_t capPix0 = 0, skipped = 0;
    double lastRegister = -100, lastKeyAsk = -100;
    const double start = clock.monotonic(), measuredFrom = start + kWarmUp, end = start + seconds;
    bool warm = false;
    while (clock.monotonic() < end) {
        double now = clock.monotonic();
        if (!warm && now >= measuredFrom) warm = true, capPix0 = stats.capPix.load();
        if (now - lastRegister >= 2.0) lastRegister = now, sink.control(hello, ip);
        auto askKeyFrame = [&](double t) {
            if (t - lastKeyAsk >= 0.5) lastKeyAsk = t, sink.control("I", ip);
        };
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2) > 0)
            for (uint8_t d[2048];;) {
                const ssize_t n = ::recv(fd, d, sizeof d, 0);
                if (n < 0) break;
                receiver.feed(d, size_t(n), clock.monotonic());
            }
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
    running.store(false);
    idrTimer.join();
    mover.join();
    ::close(fd);

    std::printf("1. capture -> decoded, %.0fx%.0f virtual monitor at +%.0f+%.0f, pointer moving every 10 ms, %.1f s "
                "measured, encoder %s\n",
                area.width, area.height, area.x, area.y, measured, encoder.backendName().c_str());
    std::printf("   from the capture pts   p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms  (%zu frames, %.1f fps)\n",
                percentile(fromPts, 0.5), percentile(fromPts, 0.99), percentile(fromPts, 1.0), fromPts.size(),
                double(fromPts.size()) / measured);
    std::printf("   from the encode call   p50 %6.2f ms  p99 %6.2f ms\n", percentile(fromStamp, 0.5),
                percentile(fromStamp, 0.99));
    std::printf("   pictures captured %lld (%.1f fps); frames skipped by the decoder %lld\n",
                static_cast<long long>(captured), double(captured) / measured, static_cast<long long>(skipped));
    return fromPts.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: %s [seconds measured]\n", argv[0]);
        return 2;
    }
    char tmpl[] = "/tmp/vm-gnome-latency-bench-XXXXXX";
    if (!::mkdtemp(tmpl)) return 1;
    const fs::path dir = tmpl;
    const std::string scripts = VELLOMARK_GNOME_SCRIPTS;
    const std::string out = run(scripts + "/start-gnome.sh " + (dir / "shell").string() + " " +
                                VELLOMARK_GNOME_EXTENSION + " 2>&1; echo status=$?");
    std::istringstream lines(out);
    std::string runtime;
    bool started = false;
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos || line.find(' ') != std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "status") started = value == "0";
        else if (key == "XDG_RUNTIME_DIR") runtime = value;
        else ::setenv(key.c_str(), value.c_str(), 1);
    }
    if (!started) {
        run(scripts + "/stop-gnome.sh " + (dir / "shell").string());
        if (out.find("is not installed") != std::string::npos) {
            std::printf("gnome_latency_bench: gnome-shell is not installed here — nothing measured\n");
            return 0;
        }
        std::fprintf(stderr, "gnome_latency_bench: GNOME Shell did not start: %s\n", out.c_str());
        return 1;
    }
    ::setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
    const fs::path tmp = dir / "agent";
    fs::create_directories(tmp / "log");
    fs::create_directories(tmp / "support");
    SystemClock clock;
    Logger log((tmp / "log").string(), clock);
    platform::Locations where;
    where.home = tmp.string();
    where.logDir = (tmp / "log").string();
    where.supportDir = (tmp / "support").string();
    int status = 1;
    try {
        platform::gnome::GnomeDesktop desktop(where, log);
        status = videoLatency(desktop, tmp, kWarmUp + seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gnome_latency_bench: %s\n", e.what());
    }
    run(scripts + "/stop-gnome.sh " + (dir / "shell").string());
    return status;
}
