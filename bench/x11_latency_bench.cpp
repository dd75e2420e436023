// Latency of the X11 backend end to end, on a private Xorg (dummy driver) that the
// program starts itself:
//  1. Capture to decoded picture at 1280×720: the agent's virtual display of that
//     size, covered by a window of a second process that repaints part of it every 10 ms,
//     captured by X11Capture and run through the real capture, encoder and sender;
//     a phone-side receiver and decoder read the datagrams on loopback, as
//     video_latency_bench does for the in-memory desktop. The clock starts at the
//     capture moment (the sample's pts); the encode-call stamp the datagrams carry
//     is shown beside it.
//  2. Phone line to X event: the phone's DTLS client sends "M ±1 0" and "K 4 1/0"
//     lines one at a time to the agent's input loop and dispatcher, posting through
//     X11Events; each sample ends when another X client (our own window, with the
//     focus and the pointer) receives the MotionNotify / KeyPress / KeyRelease.
//     The part from the X11Events call to the event is shown beside it.
//
// Usage: x11_latency_bench [seconds of video measured]   (default 10, after 1 s of
// warm-up; prints a line and exits 0 without Xorg)
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/cursor_main.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "control/dtls_server.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_entry.h"
#include "pairing/pairing.h"
#include "phone/dtls_client.h"
#include "platform/x11/x11_desktop.h"
#include "session/agent_mode.h"
#include "latency_probe.h"
#include "x11_bench_server.h"

namespace fs = std::filesystem;
using namespace vm;
using namespace vm::bench;

namespace {

constexpr int kInputSamples = 1000;

// ---- 1. capture -> decoded ----

int videoLatency(platform::x11::X11Desktop& desktop, const fs::path& tmp, double seconds) {
    auto vd = benchVirtualDisplay(desktop);
    if (!vd) return 1;
    for (int i = 0; i < 50 && desktop.displays().bounds(vd->displayID()).width != 1280; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const platform::Rect area = desktop.displays().bounds(vd->displayID());
    Painter painter(area);
    return measureVideoLatency(desktop, tmp, seconds, area, "virtual display", "changing every 10 ms");
}

// ---- 2. phone line -> X event ----

// Stamps each X11Events call, so the X part of a sample can be told from the rest.
class TimedEvents final : public platform::Events {
public:
    explicit TimedEvents(platform::Events& inner) : inner_(inner) {}
    bool postMouse(const platform::MouseEvent& e) override { return calledAt = nowNanos(), inner_.postMouse(e); }
    bool postKey(const platform::KeyEvent& e) override { return calledAt = nowNanos(), inner_.postKey(e); }
    bool postScroll(const platform::ScrollEvent& e) override { return inner_.postScroll(e); }
    bool typeText(const std::u16string& t) override { return inner_.typeText(t); }
    bool paste() override { return inner_.paste(); }
    bool switchWorkspace(bool right) override { return inner_.switchWorkspace(right); }
    bool appSwitcher(platform::SwitcherStep s, uint64_t f) override { return inner_.appSwitcher(s, f); }
    platform::Point mouseLocation() override {
        const int64_t t0 = nowNanos();
        const platform::Point p = inner_.mouseLocation();
        return pointerNanos += nowNanos() - t0, p;
    }
    std::vector<platform::Rect> screenFrames() override {
        const int64_t t0 = nowNanos();
        auto frames = inner_.screenFrames();
        return screensNanos += nowNanos() - t0, frames;
    }
    uint64_t sessionModifierFlags() override { return inner_.sessionModifierFlags(); }
    std::atomic<int64_t> calledAt{0};
    // Spent asking where the pointer is and where the screens are.
    std::atomic<int64_t> pointerNanos{0}, screensNanos{0};

private:
    platform::Events& inner_;
};

// Another X client: a window over the main display holding the focus, counting
// and stamping the pointer and key events it receives.
class Recorder {
public:
    explicit Recorder(const platform::Rect& r) : c_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(c_)) return;
        xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        win_ = xcb_generate_id(c_);
        const uint32_t values[] = {1, XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_KEY_PRESS |
                                          XCB_EVENT_MASK_KEY_RELEASE};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, win_, s->root, int16_t(r.x), int16_t(r.y), uint16_t(r.width),
                          uint16_t(r.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, s->root_visual,
                          XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
        xcb_map_window(c_, win_);  // override-redirect: viewable at once, no window manager in between
        xcb_set_input_focus(c_, XCB_INPUT_FOCUS_POINTER_ROOT, win_, XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
        thread_ = std::thread([this] { loop(); });
    }
    ~Recorder() {
        if (thread_.joinable()) {
            // A message to our own window wakes the loop so it can end.
            xcb_client_message_event_t m{};
            m.response_type = XCB_CLIENT_MESSAGE;
            m.format = 32;
            m.window = win_;
            xcb_send_event(c_, 0, win_, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&m));
            xcb_flush(c_);
            thread_.join();
        }
        xcb_disconnect(c_);
    }
    std::atomic<long long> motions{0}, presses{0}, releases{0};
    std::atomic<int64_t> lastAt{0};

private:
    void loop() {
        while (xcb_generic_event_t* ev = xcb_wait_for_event(c_)) {
            const uint8_t type = ev->response_type & 0x7F;
            std::free(ev);
            const int64_t at = nowNanos();
            if (type == XCB_CLIENT_MESSAGE) return;
            std::atomic<long long>* n = type == XCB_MOTION_NOTIFY ? &motions
                                        : type == XCB_KEY_PRESS   ? &presses
                                        : type == XCB_KEY_RELEASE ? &releases
                                                                  : nullptr;
            if (n) lastAt.store(at), n->fetch_add(1, std::memory_order_release);
        }
    }
    xcb_connection_t* c_;
    xcb_window_t win_ = 0;
    std::thread thread_;
};

// The agent's input side as main.cpp wires it: DTLS server, input loop, rooms.
struct InputAgent {
    fs::path dir;
    SystemClock clock;
    Logger log{(dir / "logs").string(), clock};
    HookTables hooks;
    CtlInbox inbox;
    PhoneState phone{clock.now()};
    CtlSender sender{phone, nullptr};
    PairStore store{PairStore::pathIn((dir / "support").string()), log};
    Pairing pairing{PairingDeps{clock, log, store, sender, hooks, [] {}}};
    SerialQueue ctlQueue{"local.umo.inputd.ctl"};
    DtlsServer server{clock, log, inbox, phone, ctlQueue, 0};
    MainQueue mainQueue;  // never run: the switcher only queues to it on input-source changes
    InputSourceSwitcher* sourcesPtr = nullptr;
    Keyboard keyboard;
    InputSourceSwitcher inputSources;
    Pointer pointer;
    TextEntry textEntry;
    AgentMode agent;
    TryLock vdispLock;
    Dispatcher dispatcher;
    std::unique_ptr<CursorMain> loop;
    std::atomic<bool> stop{false};
    std::thread thread;
    const Bytes key = randomBytes(32);
    const std::string identity = "bench." + pskTag(key);

    InputAgent(fs::path where, platform::Platform& desktop, platform::Events& events)
        : dir(std::move(where)),
          keyboard(clock, log, events, [this] { if (sourcesPtr) sourcesPtr->switchInputSource(); }),
          inputSources(clock, log, desktop.inputSources(), events, mainQueue, [](const std::string&) {},
                       [this] { return keyboard.phoneHoldsControl(); }),
          pointer(clock, log, events, keyboard),
          textEntry(clock, log, events, desktop.pasteboard(), globalQueue()),
          agent(clock, log, sender, AgentModePaths{(dir / "logs" / "agent").string()}),
          dispatcher(DispatcherDeps{clock, log, events, phone, sender, hooks, pointer, keyboard, textEntry,
                                    inputSources, agent, nullptr, nullptr, vdispLock},
                     DispatcherRooms{}) {
        sourcesPtr = &inputSources;
        store.insert(identity, PairRecord{"bench", key, clock.now()});
        CursorRooms cr;
        cr.handle = [this](const std::string& line) { dispatcher.handle(line); };
        cr.sweepHolds = [this] { pointer.sweepHolds(); };
        cr.releaseAll = [this] { pointer.releaseAll(); };
        CursorDeps deps{clock, log, desktop, hooks, inbox, phone, sender, store, pairing};
        deps.dtls = &server;
        loop = std::make_unique<CursorMain>(deps, std::move(cr));
        loop->ctlStartListener();
        thread = std::thread([this] {
            while (!stop.load()) loop->pass(0.05);
        });
    }
    ~InputAgent() {
        stop = true;
        thread.join();
        loop.reset();
    }
};

struct Samples {
    // µs: phone send -> X event, X11Events call -> X event, pointer and screen reads before the call
    std::vector<double> total, x, pointer, screens;
    int failed = 0;
};

// Sends `line` and waits until `counter` moves; adds the sample unless it is warm-up.
void oneLine(phone::DtlsClient& client, const std::string& line, std::atomic<long long>& counter, Recorder& rec,
             TimedEvents& events, Samples* into, int& failed) {
    const long long before = counter.load(std::memory_order_acquire);
    events.pointerNanos = events.screensNanos = 0;
    const int64_t sentAt = nowNanos();
    const auto t0 = Steady::now();
    bool ok = client.send(line);
    while (ok && counter.load(std::memory_order_acquire) == before) {
        if (secondsSince(t0) > 1.0) ok = false;
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));  // the loop goes back to its inbox
    if (!into) return;
    if (!ok) return void(++failed);
    into->total.push_back(double(rec.lastAt.load() - sentAt) / 1000.0);
    into->x.push_back(double(rec.lastAt.load() - events.calledAt.load()) / 1000.0);
    into->pointer.push_back(double(events.pointerNanos.load()) / 1000.0);
    into->screens.push_back(double(events.screensNanos.load()) / 1000.0);
}

void printSamples(const char* what, const Samples& s) {
    std::printf("   %-14s %7.1f / %7.1f | %6.1f / %7.1f | %6.1f / %7.1f | %6.1f / %7.1f | %zu, failed %d\n", what,
                percentile(s.total, 0.5), percentile(s.total, 0.99), percentile(s.x, 0.5), percentile(s.x, 0.99),
                percentile(s.pointer, 0.5), percentile(s.pointer, 0.99), percentile(s.screens, 0.5),
                percentile(s.screens, 0.99), s.total.size(), s.failed);
}

int inputLatency(platform::x11::X11Desktop& desktop, const fs::path& tmp) {
    const platform::Rect main = desktop.displays().bounds(desktop.displays().mainDisplay());
    Recorder rec(main);
    TimedEvents events(desktop.events());
    InputAgent agent(tmp / "input", desktop, events);
    std::string err;
    auto client =
        phone::DtlsClient::connect("127.0.0.1", agent.server.boundPort(), agent.identity, agent.key, 5.0, &err);
    if (!client) {
        std::fprintf(stderr, "connect failed: %s\n", err.c_str());
        return 1;
    }
    client->send("ID bench");
    int ignored = 0;
    const std::string centre = "A " + std::to_string(int(main.x + main.width / 2)) + " " +
                               std::to_string(int(main.y + main.height / 2));
    oneLine(*client, centre, rec.motions, rec, events, nullptr, ignored);

    Samples moves, presses, releases;
    const auto t0 = Steady::now();
    for (int i = -100; i < kInputSamples; ++i)  // the first hundred are warm-up
        oneLine(*client, i % 2 ? "M 1 0" : "M -1 0", rec.motions, rec, events, i < 0 ? nullptr : &moves, moves.failed);
    for (int i = -100; i < kInputSamples; ++i) {
        oneLine(*client, "K 4 1", rec.presses, rec, events, i < 0 ? nullptr : &presses, presses.failed);
        oneLine(*client, "K 4 0", rec.releases, rec, events, i < 0 ? nullptr : &releases, releases.failed);
    }
    const double wall = secondsSince(t0);
    client->close();
    std::printf("2. phone line -> X event at another client, DTLS on loopback, one line at a time (%.1f s)\n", wall);
    std::printf("   µs, p50 / p99:   phone send -> event | X11Events call -> event | mouseLocation() "
                "| screenFrames() | samples\n");
    printSamples("M +-1 0", moves);
    printSamples("K 4 1 press", presses);
    printSamples("K 4 0 release", releases);
    return moves.total.empty() || presses.total.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = 0; isPainter(argc, argv, status)) return status;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: %s [seconds of video measured]\n", argv[0]);
        return 2;
    }
    XServer x("vm-x11-latency-bench");
    if (!x.start()) {
        if (x.exitCode == 3) {
            std::printf("x11_latency_bench: Xorg is not installed here — nothing measured\n");
            return 0;
        }
        std::fprintf(stderr, "x11_latency_bench: the X server did not start (exit %d)\n", x.exitCode);
        return 1;
    }
    const fs::path tmp = x.dir / "agent";
    platform::Locations where = benchLocations(tmp);
    where.runtimeDir = (tmp / "run").string();
    SystemClock clock;
    Logger log(where.logDir, clock);
    try {
        platform::x11::X11Desktop desktop(where, log, "");
        const int video = videoLatency(desktop, tmp, seconds);
        const int input = inputLatency(desktop, tmp);
        return video || input ? 1 : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "x11_latency_bench: %s\n", e.what());
        return 1;
    }
}
