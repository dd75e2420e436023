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
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "latency_probe.h"
#include "platform/gnome/gnome_desktop.h"

namespace fs = std::filesystem;
using namespace vm;

namespace {

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

int videoLatency(platform::Platform& desktop, const fs::path& tmp, double seconds) {
    auto vd = bench::benchVirtualDisplay(desktop);
    if (!vd) return 1;
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
    const int status =
        bench::measureVideoLatency(desktop, tmp, seconds, area, "virtual monitor", "pointer moving every 10 ms");
    running = false;
    mover.join();
    return status;
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
    const platform::Locations where = bench::benchLocations(tmp);
    SystemClock clock;
    Logger log(where.logDir, clock);
    int status = 1;
    try {
        platform::gnome::GnomeDesktop desktop(where, log);
        status = videoLatency(desktop, tmp, seconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gnome_latency_bench: %s\n", e.what());
    }
    run(scripts + "/stop-gnome.sh " + (dir / "shell").string());
    return status;
}
