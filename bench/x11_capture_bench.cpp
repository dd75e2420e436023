// What the X11 capture costs per frame — MIT-SHM read of the display's rectangle,
// the XFixes cursor drawn in, BGRA→NV12 with libswscale — next to
// `ffmpeg -f x11grab` reading the same rectangle into NV12, at 1280×720 and at a
// phone-shaped 1170×2532. The program starts its own Xorg (dummy driver), gives
// the agent's virtual display each size, and covers it with a window of a second
// process that repaints part of it every 10 ms, so every capture tick has a changed picture.
//
// Ours is driven through X11Capture's ScreenCapture interface at its 60 fps cap:
// wall = capture moment (the sample's pts) to the sample on the stream's queue,
// i.e. read + cursor + conversion + the queue hop; CPU = this process per frame.
// ffmpeg runs as fast as it can (-framerate 1000); its start-up is taken out by
// also running a 30-frame job and counting only the difference. It runs twice:
// with its default bicubic scaler, and with -sws_flags neighbor, which samples
// chroma the way ours does at the same size (SWS_POINT). The X server's
// CPU per frame (the SHM copy happens there) is shown for both, less what the
// painter alone costs it.
//
// Usage: x11_capture_bench   (about 40 s; prints a line and exits 0 without Xorg)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_displays.h"
#include "x11_bench_server.h"

namespace fs = std::filesystem;
using namespace vm;
using namespace vm::bench;

namespace {

constexpr int kWarmFrames = 30;
constexpr int kFrames = 300;

double cpuSelf() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// CPU seconds a process has used so far, from /proc; 0 when it cannot be read.
double cpuOf(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = s.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    std::string cur;
    for (size_t i = close + 2; i < s.size(); ++i) {
        if (s[i] == ' ') fields.push_back(std::move(cur)), cur.clear();
        else cur += s[i];
    }
    if (fields.size() < 13) return 0;  // utime and stime are fields 14 and 15 of the whole line
    return double(std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str())) / double(::sysconf(_SC_CLK_TCK));
}

void warpPointer(int x, int y) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (c && !xcb_connection_has_error(c)) {
        xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        xcb_warp_pointer(c, XCB_NONE, s->root, 0, 0, 0, 0, int16_t(x), int16_t(y));
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    }
    if (c) xcb_disconnect(c);
}

// ---- measurements ----

struct Figures {
    bool ok = false;
    int frames = 0, idle = 0;
    double wallMs = 0, wallP99 = 0, cpuMs = 0, serverMs = 0, fps = 0;
};

// The X server's CPU rate (seconds per second) with only the painter running.
double serverBaseline(pid_t xorg) {
    const double c0 = cpuOf(xorg);
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return (cpuOf(xorg) - c0) / secondsSince(t0);
}

Figures measureOurs(platform::ScreenCapture& capture, platform::DisplayID id, int w, int h, pid_t xorg,
                    double baseline) {
    struct State {
        std::mutex mu;
        std::condition_variable cv;
        int seen = 0, idle = 0;
        bool done = false;
        std::vector<double> ms;
        double cpu0 = 0, cpu1 = 0, srv0 = 0, srv1 = 0;
        Steady::time_point t0, t1;
    } st;
    auto queue = std::make_shared<SerialQueue>("capture");
    platform::CaptureConfig config;
    config.width = w;
    config.height = h;
    config.minFrameIntervalValue = 1;
    config.minFrameIntervalTimescale = 60;
    auto onSample = [&st, xorg](const platform::CaptureSample& s) {
        const int64_t at = monotonicMicros();
        std::lock_guard<std::mutex> lk(st.mu);
        if (st.done) return;
        if (!s.image) {
            if (st.seen >= kWarmFrames) ++st.idle;
            return;
        }
        const int k = ++st.seen;
        if (k == kWarmFrames) {
            st.t0 = Steady::now();
            st.cpu0 = cpuSelf();
            st.srv0 = cpuOf(xorg);
        } else if (k > kWarmFrames) {
            st.ms.push_back(double(at - s.ptsMicros) / 1000.0);
            if (k == kWarmFrames + kFrames) {
                st.t1 = Steady::now();
                st.cpu1 = cpuSelf();
                st.srv1 = cpuOf(xorg);
                st.done = true;
                st.cv.notify_all();
            }
        }
    };
    Figures f;
    std::unique_ptr<platform::CaptureStream> stream;
    try {
        stream = capture.startStream(id, config, queue, onSample, [](const std::string& e) {
            std::fprintf(stderr, "capture stream stopped: %s\n", e.c_str());
        });
    } catch (const std::exception& e) {
        std::fprintf(stderr, "capture did not start: %s\n", e.what());
        return f;
    }
    std::unique_lock<std::mutex> lk(st.mu);
    const bool done = st.cv.wait_for(lk, std::chrono::seconds(30), [&st] { return st.done; });
    lk.unlock();
    stream->stop(nullptr);
    stream.reset();
    if (!done) {
        std::fprintf(stderr, "only %d frames in 30 s\n", st.seen);
        return f;
    }
    const double wall = std::chrono::duration<double>(st.t1 - st.t0).count();
    f.ok = true;
    f.frames = kFrames;
    f.idle = st.idle;
    f.wallMs = percentile(st.ms, 0.5);
    f.wallP99 = percentile(st.ms, 0.99);
    f.cpuMs = (st.cpu1 - st.cpu0) * 1000.0 / kFrames;
    f.serverMs = (st.srv1 - st.srv0 - baseline * wall) * 1000.0 / kFrames;
    f.fps = kFrames / wall;
    return f;
}

struct Job {
    bool ok = false;
    double wall = 0, cpu = 0, server = 0;
};

// `point`: the scaler samples chroma as ours does at the same size, instead of ffmpeg's default bicubic.
Job runFfmpeg(const std::string& display, const platform::Rect& r, int frames, bool point, pid_t xorg,
              double baseline) {
    const std::string size = std::to_string(int(r.width)) + "x" + std::to_string(int(r.height));
    const std::string input = display + "+" + std::to_string(int(r.x)) + "," + std::to_string(int(r.y));
    const std::string count = std::to_string(frames);
    std::vector<std::string> a = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "x11grab",
                                  "-framerate", "1000", "-draw_mouse", "1", "-video_size", size, "-i", input,
                                  "-frames:v", count, "-fps_mode", "passthrough", "-pix_fmt", "nv12",
                                  "-sws_flags", point ? "neighbor" : "bicubic", "-f", "rawvideo", "-y", "/dev/null"};
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    Job j;
    const double srv0 = cpuOf(xorg);
    const auto t0 = Steady::now();
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return j;
    int status = 0;
    rusage ru{};
    if (::wait4(pid, &status, 0, &ru) != pid) return j;
    j.wall = secondsSince(t0);
    j.server = cpuOf(xorg) - srv0 - baseline * j.wall;
    j.cpu = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    j.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return j;
}

// ffmpeg's cost per frame without its start-up: a long and a short job, the difference.
Figures measureFfmpeg(const std::string& display, const platform::Rect& r, bool point, pid_t xorg, double baseline) {
    Figures f;
    const Job shortJob = runFfmpeg(display, r, kWarmFrames, point, xorg, baseline);
    const Job longJob = runFfmpeg(display, r, kWarmFrames + kFrames, point, xorg, baseline);
    if (!shortJob.ok || !longJob.ok) return f;
    f.ok = true;
    f.frames = kFrames;
    f.wallMs = (longJob.wall - shortJob.wall) * 1000.0 / kFrames;
    f.cpuMs = (longJob.cpu - shortJob.cpu) * 1000.0 / kFrames;
    f.serverMs = (longJob.server - shortJob.server) * 1000.0 / kFrames;
    f.fps = kFrames / (longJob.wall - shortJob.wall);
    return f;
}

int run(XServer& x, const fs::path& tmp) {
    SystemClock clock;
    Logger log((tmp / "log").string(), clock);
    platform::x11::X11Displays displays(log, "");
    platform::x11::X11Capture capture(log, "", displays);
    platform::VirtualDisplayDescriptor desc;
    desc.name = "bench";
    desc.maxPixelsWide = desc.maxPixelsHigh = 4096;
    auto vd = displays.createVirtualDisplay(desc);
    if (!vd) {
        std::fprintf(stderr, "no virtual display\n");
        return 1;
    }
    const bool ffmpegHere = std::system("command -v ffmpeg >/dev/null 2>&1") == 0;

    struct Row {
        int w, h;
        Figures ours, theirs, theirsPoint;
    };
    std::vector<Row> rows = {{1280, 720, {}, {}, {}}, {1170, 2532, {}, {}, {}}};
    for (Row& row : rows) {
        platform::VirtualDisplaySettings settings;
        settings.hiDPI = false;
        settings.modes.push_back(platform::VirtualDisplayModeRequest{uint32_t(row.w), uint32_t(row.h), 60});
        if (!vd->applySettings(settings)) {
            std::fprintf(stderr, "the virtual display did not take %dx%d\n", row.w, row.h);
            return 1;
        }
        const platform::DisplayID id = vd->displayID();
        platform::Rect r = displays.bounds(id);
        for (int i = 0; i < 50 && (int(r.width) != row.w || int(r.height) != row.h); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            r = displays.bounds(id);
        }
        if (int(r.width) != row.w || int(r.height) != row.h) {
            std::fprintf(stderr, "display %u is %.0fx%.0f, not %dx%d\n", id, r.width, r.height, row.w, row.h);
            return 1;
        }
        Painter painter(r);
        warpPointer(int(r.x + r.width / 2), int(r.y + r.height / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const double baseline = serverBaseline(x.xorg);
        row.ours = measureOurs(capture, id, row.w, row.h, x.xorg, baseline);
        if (ffmpegHere) {
            row.theirs = measureFfmpeg(x.display, r, false, x.xorg, baseline);
            row.theirsPoint = measureFfmpeg(x.display, r, true, x.xorg, baseline);
        }
        std::printf("%dx%d at +%.0f+%.0f: ours %s (%d frames, %.1f fps, %d idle samples), ffmpeg %s\n", row.w, row.h,
                    r.x, r.y, row.ours.ok ? "ok" : "FAILED", row.ours.frames, row.ours.fps, row.ours.idle,
                    !ffmpegHere ? "not installed" : row.theirs.ok && row.theirsPoint.ok ? "ok" : "FAILED");
        std::fflush(stdout);
    }

    std::printf("\nms per frame, BGRA -> NV12 with the cursor, MIT-SHM. Ours: wall = pts -> sample on the queue "
                "(median, p99), CPU = this process. ffmpeg: flat out, start-up taken out. X server: its CPU less the "
                "painter's.\n");
    std::printf("%-10s %-28s %8s %8s %8s %8s | %-15s\n", "size", "", "wall", "p99", "CPU", "X srv",
                "ours/this wall, CPU");
    for (const Row& row : rows) {
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", row.w, row.h);
        const Figures& o = row.ours;
        std::printf("%-10s %-28s %8.2f %8.2f %8.2f %8.2f |\n", size, "ours (X11Capture)", o.wallMs, o.wallP99, o.cpuMs,
                    o.serverMs);
        const std::pair<const char*, const Figures*> others[] = {{"ffmpeg x11grab", &row.theirs},
                                                                 {"ffmpeg, -sws_flags neighbor", &row.theirsPoint}};
        for (const auto& [name, t] : others)
            if (t->ok)
                std::printf("%-10s %-28s %8.2f %8s %8.2f %8.2f | %6.2f %6.2f\n", size, name, t->wallMs, "", t->cpuMs,
                            t->serverMs, o.wallMs / t->wallMs, o.cpuMs / t->cpuMs);
    }
    bool ok = true;
    for (const Row& row : rows) ok = ok && row.ours.ok && (!ffmpegHere || (row.theirs.ok && row.theirsPoint.ok));
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = 0; isPainter(argc, argv, status)) return status;
    XServer x("vm-x11-capture-bench");
    if (!x.start()) {
        if (x.exitCode == 3) {
            std::printf("x11_capture_bench: Xorg is not installed here — nothing measured\n");
            return 0;
        }
        std::fprintf(stderr, "x11_capture_bench: the X server did not start (start-x.sh exit %d)\n", x.exitCode);
        return 1;
    }
    const fs::path tmp = x.dir / "agent";
    fs::create_directories(tmp / "log");
    return run(x, tmp);
}
