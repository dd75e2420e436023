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
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/cursor_main.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/settings.h"
#include "control/dtls_server.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_entry.h"
#include "pairing/pairing.h"
#include "phone/dtls_client.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "platform/x11/x11_desktop.h"
#include "session/agent_mode.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"
#include "x11_bench_server.h"

namespace fs = std::filesystem;
using namespace vm;
using namespace vm::bench;

namespace {

constexpr double kWarmUp = 1.0;
constexpr int kInputSamples = 1000;

// ---- 1. capture -> decoded ----

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

int videoLatency(platform::x11::X11Desktop& desktop, const fs::path& tmp, double seconds) {
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
    for (int i = 0; i < 50 && desktop.displays().bounds(vd->displayID()).width != 1280; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const platform::Rect area = desktop.displays().bounds(vd->displayID());
    Painter painter(area);
    // The phone side: its video socket on loopback.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int buf = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    {
        std::perror("bind");
        ::close(fd);
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
        ::close(fd);
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
    const double start = clock.monotonic(), measuredFrom = start + kWarmUp, end = start + seconds;
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
    const int64_t encCount = stats.encCount.load() - encCount0, sendCount = stats.sendCount.load() - sendCount0;
    const double encMs = encCount > 0 ? (stats.encMS.load() - encMS0) / double(encCount) : 0.0;
    const double sendMs = sendCount > 0 ? (stats.sendMS.load() - sendMS0) / double(sendCount) : 0.0;
    running.store(false);
    idrTimer.join();
    ::close(fd);

    std::printf("1. capture -> decoded, %.0fx%.0f virtual display at +%.0f+%.0f, changing every 10 ms, %.1f s measured, "
                "encoder %s\n",
                area.width, area.height, area.x, area.y, measured, encoder.backendName().c_str());
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
    fs::create_directories(tmp / "log");
    fs::create_directories(tmp / "support");
    SystemClock clock;
    Logger log((tmp / "log").string(), clock);
    platform::Locations where;
    where.home = tmp.string();
    where.logDir = (tmp / "log").string();
    where.supportDir = (tmp / "support").string();
    where.runtimeDir = (tmp / "run").string();
    try {
        platform::x11::X11Desktop desktop(where, log, "");
        const int video = videoLatency(desktop, tmp, kWarmUp + seconds);
        const int input = inputLatency(desktop, tmp);
        return video || input ? 1 : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "x11_latency_bench: %s\n", e.what());
        return 1;
    }
}
