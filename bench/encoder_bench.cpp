// Encoder throughput: N NV12 frames of moving content through our Encoder (one
// frame in flight, as in the agent) against the ffmpeg command line encoding the
// same raw frames with libx265 ultrafast/zerolatency, at 1280×720 and 1170×2048,
// on a synthetic desktop picture.
//
// Then the rate control: for every quality level, 4 s of a moving, detailed picture
// (ffmpeg's mandelbrot and testsrc2 sources, 1280×720) delivered at the level's
// frame-rate cap on a fake clock, the measured bit rate against the level's target and
// the key frames against the rate control's buffer; the same at level 0 with pictures
// coming at only 40 fps (the budget must follow the clock, not a frame count); and one
// session that changes level live (0 → 3 → 5 → 0), per segment.
//
//   encoder_bench [frames]      (default 120)
//
// Nothing is asserted: the numbers depend on the machine and on what else runs on it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <algorithm>

#include "loopback_socket.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "platform/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"

namespace {

using vm::platform::Nv12Image;
using Seconds = std::chrono::duration<double>;

constexpr int kDistinct = 30;  // pictures generated, then cycled

// A desktop-like picture: a soft gradient, text-like stripes and a window that moves.
std::shared_ptr<Nv12Image> makePicture(int w, int h, int t) {
    auto im = Nv12Image::make(w, h);
    int boxX = (t * 23) % (w / 2);
    int boxY = (t * 17) % (h / 2);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = im->luma.data() + static_cast<size_t>(y) * static_cast<size_t>(im->lumaStride);
        for (int x = 0; x < w; ++x) {
            int v = 40 + (x * 120) / w + (y * 60) / h;
            if (y % 24 < 12 && ((x / 7 + y / 24 + t) % 5) < 3) v = 20 + ((x * 31 + y * 7) % 40);  // "text"
            if (x >= boxX && x < boxX + w / 3 && y >= boxY && y < boxY + h / 4) v = 200 + ((x ^ y ^ t) & 31);
            row[x] = static_cast<uint8_t>(v);
        }
    }
    for (int y = 0; y < h / 2; ++y) {
        uint8_t* row = im->chroma.data() + static_cast<size_t>(y) * static_cast<size_t>(im->chromaStride);
        for (int x = 0; x < w / 2; ++x) {
            row[2 * x] = static_cast<uint8_t>(110 + (x + t) % 30);
            row[2 * x + 1] = static_cast<uint8_t>(140 - (y % 25));
        }
    }
    return im;
}

struct Result {
    double fps = 0;
    int64_t frames = 0;
    int64_t bytes = 0;
    std::string backend;
};

Result runOurs(const std::vector<std::shared_ptr<Nv12Image>>& pictures, int frames, const std::string& dir) {
    // The fake clock moves 1/60 s per frame, so pacing lets every frame through and
    // key frames come at the agent's rhythm; throughput is timed on the steady clock.
    vm::FakeClock clock;
    vm::Logger log(dir + "/logs", clock);
    vm::Settings settings(dir + "/settings.json");
    vm::video::VideoKey key(log);
    vm::video::VideoStats stats;
    std::atomic<bool> allowed{false};  // the sender's own work is not measured here
    vm::video::Sink sink(vm::video::SinkDeps{clock, log, settings, key, stats, allowed,
                                             [](double) { return std::optional<vm::Bytes>{}; }},
                         0);
    vm::video::Encoder enc(vm::video::EncoderDeps{clock, log, sink, stats, [](int status) {
                                                      std::fprintf(stderr, "encoder could not start (%d)\n", status);
                                                      std::exit(1);
                                                  }});
    const int w = pictures[0]->width;
    const int h = pictures[0]->height;
    enc.start(w, h);
    auto settled = [&] { return stats.encDone.load() + stats.encCallErrN.load() + stats.encCbErrN.load(); };
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        clock.advance(1.0 / 60);
        enc.encode(pictures[static_cast<size_t>(i % kDistinct)], i);
        // Poll gently: a spinning waiter would take a core from the codec's threads.
        while (settled() < stats.encSubmit.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    // The last frame's hand-off to the sender is part of the work.
    std::atomic<bool> drained{false};
    enc.onSendQueue([&] { drained = true; });
    while (!drained.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    double elapsed = Seconds(std::chrono::steady_clock::now() - t0).count();
    Result r;
    r.frames = stats.encDone.load();
    r.fps = r.frames / elapsed;
    r.bytes = enc.byteCount();
    r.backend = enc.backendName();
    if (stats.encCallErrN.load() + stats.encCbErrN.load() > 0)
        std::fprintf(stderr, "warning: %lld encoder errors\n",
                     static_cast<long long>(stats.encCallErrN.load() + stats.encCbErrN.load()));
    return r;
}

double runFfmpeg(const std::string& rawPath, int w, int h, int frames) {
    std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -f rawvideo -pix_fmt nv12 -s " +
                      std::to_string(w) + "x" + std::to_string(h) + " -i '" + rawPath +
                      "' -c:v libx265 -preset ultrafast -tune zerolatency -x265-params log-level=error -f null -";
    auto t0 = std::chrono::steady_clock::now();
    int rc = std::system(cmd.c_str());
    double elapsed = Seconds(std::chrono::steady_clock::now() - t0).count();
    if (rc != 0) {
        std::fprintf(stderr, "ffmpeg failed (%d): %s\n", rc, cmd.c_str());
        return 0;
    }
    return frames / elapsed;
}

// Raw NV12 frames of an ffmpeg test source; empty when ffmpeg cannot make them.
std::vector<std::shared_ptr<Nv12Image>> sourceFrames(const std::string& source, int w, int h, int count,
                                                     const std::string& dir) {
    const std::string path = dir + "/" + source + ".nv12";
    const std::string cmd = "ffmpeg -hide_banner -loglevel error -nostdin -f lavfi -i " + source + "=size=" +
                            std::to_string(w) + "x" + std::to_string(h) + ":rate=60 -frames:v " +
                            std::to_string(count) + " -pix_fmt nv12 -f rawvideo -y '" + path + "'";
    std::vector<std::shared_ptr<Nv12Image>> out;
    if (std::system(cmd.c_str()) != 0) return out;
    std::ifstream in(path, std::ios::binary);
    for (int i = 0; i < count; ++i) {
        auto im = Nv12Image::make(w, h);
        for (int y = 0; y < h; ++y)
            in.read(reinterpret_cast<char*>(im->luma.data()) + static_cast<std::ptrdiff_t>(y) * im->lumaStride, w);
        for (int y = 0; y < h / 2; ++y)
            in.read(reinterpret_cast<char*>(im->chroma.data()) + static_cast<std::ptrdiff_t>(y) * im->chromaStride, w);
        if (!in) break;
        out.push_back(std::move(im));
    }
    std::filesystem::remove(path);
    return out;
}

// One encoder fed on a fake clock; its frames go to a phone-side receiver on the
// loopback, which tells each frame's size and whether it is a key frame.
class RateRun {
public:
    explicit RateRun(const std::string& dir)
        : log_(dir + "/logs", clock_),
          settings_(dir + "/settings.json"),
          key_(log_),
          sink_(vm::video::SinkDeps{clock_, log_, settings_, key_, stats_, allowed_,
                                    [](double) { return std::optional<vm::Bytes>{}; }},
                0),
          enc_(vm::video::EncoderDeps{clock_, log_, sink_, stats_, [](int status) {
                                          std::fprintf(stderr, "encoder could not start (%d)\n", status);
                                          std::exit(1);
                                      }}) {
        sink_.setPacing(false);
        auto pair = key_.current();
        receiver_.setKey(pair->id, pair->key);
    }

    struct Segment {
        double seconds = 0;
        int64_t bytes = 0;
        int frames = 0;
        std::vector<int64_t> keyBytes;
    };

    // Feeds `seconds` of pictures at `fps` at the wanted level; the first `settle` seconds are not counted.
    Segment feed(const std::vector<std::shared_ptr<Nv12Image>>& pictures, int level, double fps, double seconds,
                 double settle) {
        if (!started_) {
            enc_.start(pictures[0]->width, pictures[0]->height);
            started_ = true;
        }
        sink_.requestedLevel = level;
        Segment seg;
        const int n = static_cast<int>(seconds * fps + 0.5);
        for (int i = 0; i < n; ++i) {
            clock_.advance(1.0 / fps);
            // Ping-pong through the pictures so that the motion never jumps.
            const size_t m = pictures.size();
            const size_t k = static_cast<size_t>(next_++) % (2 * m - 2);
            sink_.control("H " + std::to_string(sock_.port()), htonl(INADDR_LOOPBACK));
            const int64_t submitted = stats_.encSubmit.load();
            enc_.encode(pictures[k < m ? k : 2 * m - 2 - k], 0);
            if (stats_.encSubmit.load() == submitted) continue;  // paced out
            while (stats_.encDone.load() + stats_.encCallErrN.load() < stats_.encSubmit.load())
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::atomic<bool> drained{false};
            enc_.onSendQueue([&] { drained = true; });
            while (!drained.load()) std::this_thread::sleep_for(std::chrono::microseconds(50));
            sock_.drain(0, [&](const uint8_t* p, size_t n) { receiver_.feed(p, n, clock_.monotonic()); });
            for (const auto& f : receiver_.takeFrames(clock_.monotonic())) {
                if (i < static_cast<int>(settle * fps)) continue;
                seg.bytes += static_cast<int64_t>(f.data.size());
                ++seg.frames;
                if (vm::phone::VideoDecoder::hasKeyFrame(f.data)) seg.keyBytes.push_back(static_cast<int64_t>(f.data.size()));
            }
        }
        seg.seconds = seconds - settle;
        return seg;
    }

private:
    vm::FakeClock clock_;
    vm::Logger log_;
    vm::Settings settings_;
    vm::video::VideoKey key_;
    vm::video::VideoStats stats_;
    std::atomic<bool> allowed_{true};
    vm::video::Sink sink_;
    vm::video::Encoder enc_;
    bool started_ = false;
    int next_ = 0;
    vm::bench::LoopbackSocket sock_;
    vm::phone::VideoReceiver receiver_;
};

void printSegment(const char* what, int level, double fps, const RateRun::Segment& seg) {
    const auto& row = vm::video::Encoder::LEVELS[static_cast<size_t>(level)];
    const double mbps = seg.seconds > 0 ? seg.bytes * 8.0 / seg.seconds / 1e6 : 0;
    const double target = row.second / 1e6;
    const double buffer = std::min(6.0e6, row.second * 0.5) / 8.0;  // bytes, as the encoder sets it
    int64_t maxKey = 0;
    for (int64_t k : seg.keyBytes) maxKey = std::max(maxKey, k);
    std::printf("%-22s L%d %5.1f fps  target %5.2f  measured %5.2f Mbit/s  (%+5.1f %%)  key frames %zu, "
                "largest %6.1f KB = %3.0f %% of the %6.1f KB buffer, %3lld chunks\n",
                what, level, fps, target, mbps, target > 0 ? (mbps / target - 1) * 100 : 0.0, seg.keyBytes.size(),
                maxKey / 1024.0, buffer > 0 ? maxKey * 100.0 / buffer : 0.0, buffer / 1024.0,
                static_cast<long long>((maxKey + 1160) / 1161));
    std::fflush(stdout);
}

void rateSection(const std::string& dir) {
    for (const char* source : {"mandelbrot", "testsrc2"}) {
        auto pictures = sourceFrames(source, 1280, 720, 90, dir);
        if (pictures.size() < 2) {
            std::printf("%s: ffmpeg could not make the frames; rate section skipped\n", source);
            continue;
        }
        std::printf("\nrate control, %s 1280x720 (4 s per row, the first 1 s not counted)\n", source);
        for (int level = 0; level < 6; ++level) {
            RateRun run(dir);
            const double fps = vm::video::Encoder::LEVELS[static_cast<size_t>(level)].first;
            printSegment(source, level, fps, run.feed(pictures, level, fps, 4.0, 1.0));
        }
        {
            RateRun run(dir);
            printSegment("  pictures at 40 fps", 0, 40, run.feed(pictures, 0, 40, 4.0, 1.0));
        }
        {
            RateRun run(dir);
            std::printf("  one session, live level changes (2.5 s each, the first 0.5 s after a change not counted):\n");
            for (int level : {0, 3, 5, 0}) {
                const double fps = vm::video::Encoder::LEVELS[static_cast<size_t>(level)].first;
                printSegment("    live", level, fps, run.feed(pictures, level, fps, 2.5, 0.5));
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    int frames = argc > 1 ? std::atoi(argv[1]) : 120;
    if (frames <= 0) {
        std::fprintf(stderr, "usage: %s [frames]\n", argv[0]);
        return 2;
    }
    std::string tmpl = (std::filesystem::temp_directory_path() / "vm-encoder-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = tmpl;

    std::printf("%-10s %7s  %-9s %9s %9s  %9s %7s\n", "size", "frames", "backend", "ours fps", "kbit/s",
                "ffmpeg fps", "ratio");
    for (auto [w, h] : {std::pair{1280, 720}, std::pair{1170, 2048}}) {
        std::vector<std::shared_ptr<Nv12Image>> pictures;
        for (int t = 0; t < kDistinct; ++t) pictures.push_back(makePicture(w, h, t));

        // The same sequence for ffmpeg, as raw NV12 without padding.
        const std::string rawPath = dir + "/frames-" + std::to_string(w) + "x" + std::to_string(h) + ".nv12";
        {
            std::ofstream out(rawPath, std::ios::binary);
            for (int i = 0; i < frames; ++i) {
                const Nv12Image& im = *pictures[static_cast<size_t>(i % kDistinct)];
                for (int y = 0; y < h; ++y)
                    out.write(reinterpret_cast<const char*>(im.luma.data()) + static_cast<std::ptrdiff_t>(y) * im.lumaStride, w);
                for (int y = 0; y < h / 2; ++y)
                    out.write(reinterpret_cast<const char*>(im.chroma.data()) + static_cast<std::ptrdiff_t>(y) * im.chromaStride,
                              w);
            }
            if (!out) {
                std::fprintf(stderr, "could not write %s\n", rawPath.c_str());
                std::filesystem::remove_all(dir);
                return 1;
            }
        }

        Result ours = runOurs(pictures, frames, dir);
        double theirs = runFfmpeg(rawPath, w, h, frames);
        std::filesystem::remove(rawPath);
        double kbps = ours.frames > 0 ? ours.bytes * 8.0 / (ours.frames / 60.0) / 1000.0 : 0;
        std::printf("%4dx%-5d %7d  %-9s %9.1f %9.0f  %9.1f %7.2f\n", w, h, frames, ours.backend.c_str(), ours.fps,
                    kbps, theirs, theirs > 0 ? ours.fps / theirs : 0.0);
        std::fflush(stdout);
    }
    rateSection(dir);
    std::filesystem::remove_all(dir);
    return 0;
}
