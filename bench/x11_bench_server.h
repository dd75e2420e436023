#pragma once
// What the X11 benchmarks share: a private Xorg started with tests/x11/start-x.sh
// and stopped again, and a second X client that changes part of a rectangle every
// 10 ms (the same program started again with --paint), so a capture of it never idles.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "platform/geometry.h"

extern char** environ;

namespace vm::bench {

// Xorg (dummy driver) + openbox on a free display; DISPLAY and XAUTHORITY are set
// for this process and its children once start() succeeds.
struct XServer {
    std::filesystem::path dir;
    std::string display;
    pid_t xorg = 0;
    int exitCode = -1;  // of start-x.sh; 3 = no Xorg here

    explicit XServer(const std::string& name)
        : dir(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {}
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    bool start() {
        std::string auth, out;
        std::FILE* p = ::popen(("'" VELLOMARK_X11_SCRIPTS "/start-x.sh' '" + dir.string() + "' 2>&1").c_str(), "r");
        if (!p) return false;
        for (char line[512]; std::fgets(line, sizeof line, p);) {
            std::string l(line);
            if (!l.empty() && l.back() == '\n') l.pop_back();
            if (l.rfind("DISPLAY=", 0) == 0) display = l.substr(8);
            else if (l.rfind("XAUTHORITY=", 0) == 0) auth = l.substr(11);
            else out += l + "\n";
        }
        const int st = ::pclose(p);
        exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        if (exitCode != 0 || display.empty()) {
            std::fputs(out.c_str(), stderr);
            return false;
        }
        std::ifstream(dir / "xorg.pid") >> xorg;
        ::setenv("DISPLAY", display.c_str(), 1);
        ::setenv("XAUTHORITY", auth.c_str(), 1);
        return true;
    }
    ~XServer() {
        if (std::filesystem::exists(dir / "xorg.pid")) {
            const int rc = std::system(("'" VELLOMARK_X11_SCRIPTS "/stop-x.sh' '" + dir.string() + "'").c_str());
            (void)rc;
        }
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

inline volatile sig_atomic_t g_stopPainting = 0;

// The painter's own program: an override-redirect window over x,y,w,h with still
// colour bars, and every 10 ms a box of a new colour and a block one step further
// along, until SIGTERM. A desktop-like change: every frame differs, most of it not.
inline int runPainter(int x, int y, int w, int h) {
    ::signal(SIGTERM, [](int) { g_stopPainting = 1; });
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c) || w < 64 || h < 64) return 1;
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t win = xcb_generate_id(c);
    const uint32_t values[] = {s->black_pixel, 1};  // override-redirect: the window manager leaves it be
    xcb_create_window(c, XCB_COPY_FROM_PARENT, win, s->root, int16_t(x), int16_t(y), uint16_t(w), uint16_t(h), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, win);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, win, 0, nullptr);
    auto fill = [&](uint32_t colour, int rx, int ry, int rw, int rh) {
        const xcb_rectangle_t r{int16_t(rx), int16_t(ry), uint16_t(rw), uint16_t(rh)};
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_poly_fill_rectangle(c, win, gc, 1, &r);
    };
    for (int i = 0; i < 8; ++i)
        fill((i & 1 ? 0xC0u : 0x30u) << 16 | (i & 2 ? 0xC0u : 0x30u) << 8 | (i & 4 ? 0xC0u : 0x30u), i * w / 8, 0,
             w / 8 + 1, h);
    const int boxW = w / 4, boxH = h / 8, blockW = w / 16, band = h - h / 4;
    auto next = Steady::now();
    for (uint32_t n = 0; !g_stopPainting && !xcb_connection_has_error(c); ++n) {
        fill(((n * 5) & 0xFF) << 16 | ((n * 3) & 0xFF) << 8 | ((n * 7) & 0xFF), (w - boxW) / 2, (h - boxH) / 2, boxW,
             boxH);
        const int at = int(n * 8 % uint32_t(w - blockW));
        fill(0x202020, 0, band, w, blockW);  // the block's lane, cleared
        fill(0xFFFFFF, at, band, blockW, blockW);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // painted before the next tick
        std::this_thread::sleep_until(next += std::chrono::milliseconds(10));
    }
    xcb_disconnect(c);
    return 0;
}

// For main(): runs the painter when this process was started as one.
inline bool isPainter(int argc, char** argv, int& status) {
    if (argc != 6 || std::string(argv[1]) != "--paint") return false;
    status = runPainter(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    return true;
}

// The painter over `r`, in a process of its own (its work is not ours), ended with this object.
struct Painter {
    pid_t pid = 0;
    explicit Painter(const platform::Rect& r) {
        std::vector<std::string> a = {"x11-bench-painter", "--paint", std::to_string(int(r.x)), std::to_string(int(r.y)),
                                      std::to_string(int(r.width)), std::to_string(int(r.height))};
        std::vector<char*> argv;
        for (auto& s : a) argv.push_back(s.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) pid = 0;
    }
    ~Painter() {
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) ::waitpid(pid, nullptr, 0);
    }
    Painter(const Painter&) = delete;
    Painter& operator=(const Painter&) = delete;
};

}  // namespace vm::bench
