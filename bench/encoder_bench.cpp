// Encoder throughput: N NV12 frames of moving content through our Encoder (one
// frame in flight, as in the agent) against the ffmpeg command line encoding the
// same raw frames with libx265 ultrafast/zerolatency, at 1280×720 and 1170×2048.
//
//   encoder_bench [frames]      (default 120)
//
// Prints frames per second for both and their ratio. Nothing is asserted: the
// numbers depend on the machine and on what else runs on it.
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

#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
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
    std::filesystem::remove_all(dir);
    return 0;
}
