// Remote pointer input, measured where it hurts:
//  1. Phone to posted event: the phone's DTLS client sends "M <dx> 0 <seq>" lines
//     one at a time over loopback; each sample is the time from the client's send
//     to the headless desktop taking the mouse-moved event, through the real
//     server, inbox, input loop, dispatcher and pointer. The next line goes out
//     only after the previous event was posted, so no sample waits behind another.
//  2. What the dispatcher itself costs per "M" line, in a tight loop on the
//     headless desktop (trace file off).
// The pointer goes back and forth (dx +1, -1) so moves never end at a screen
// edge. A plain program rather than a Google Benchmark fixture: phase 1 reports
// percentiles, which do not fit the per-iteration model.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/chords.h"
#include "app/cursor_main.h"
#include "base/crypto.h"
#include "control/dtls_server.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_entry.h"
#include "pairing/pairing.h"
#include "phone/dtls_client.h"
#include "platform/headless/headless_desktop.h"
#include "session/agent_mode.h"

namespace fs = std::filesystem;
using namespace vm;
using Steady = std::chrono::steady_clock;

namespace {

int64_t nowNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

double secondsSince(Steady::time_point t0) { return std::chrono::duration<double>(Steady::now() - t0).count(); }

platform::headless::Scene oneDisplay() {
    platform::headless::Scene scene;
    platform::headless::HeadlessDisplay d;
    d.id = 1;
    d.width = 1920;
    d.height = 1080;
    scene.displays.push_back(d);
    return scene;
}

// Passes everything through and stamps each posted mouse-moved event, so the
// sending thread learns when (and that) its line became an event.
class TimedEvents final : public platform::Events {
public:
    explicit TimedEvents(platform::Events& inner) : inner_(inner) {}

    bool postMouse(const platform::MouseEvent& e) override {
        const bool ok = inner_.postMouse(e);
        if (ok && e.type == platform::ev::kMouseMoved) {
            lastMoveAt.store(nowNanos(), std::memory_order_relaxed);
            moves.fetch_add(1, std::memory_order_release);
        }
        return ok;
    }
    bool postKey(const platform::KeyEvent& e) override { return inner_.postKey(e); }
    bool postScroll(const platform::ScrollEvent& e) override { return inner_.postScroll(e); }
    bool typeText(const std::u16string& text) override { return platform::chords::typeText(*this, text); }
    bool paste() override { return platform::chords::paste(*this); }
    bool switchWorkspace(bool right) override { return platform::chords::switchWorkspace(*this, right); }
    bool appSwitcher(platform::SwitcherStep step, uint64_t flags) override {
        return platform::chords::appSwitcher(*this, step, flags);
    }
    platform::Point mouseLocation() override { return inner_.mouseLocation(); }
    std::vector<platform::Rect> screenFrames() override { return inner_.screenFrames(); }
    uint64_t sessionModifierFlags() override { return inner_.sessionModifierFlags(); }

    std::atomic<int64_t> lastMoveAt{0};  // steady clock, ns
    std::atomic<long long> moves{0};

private:
    platform::Events& inner_;
};

// The input rooms as the agent wires them, posting through `events`.
struct InputRooms {
    MainQueue mainQueue;  // never run: the switcher only queues to it on input-source changes
    InputSourceSwitcher* sourcesPtr = nullptr;
    Keyboard keyboard;
    InputSourceSwitcher inputSources;
    Pointer pointer;
    TextEntry textEntry;
    AgentMode agent;
    TryLock vdispLock;
    Dispatcher dispatcher;

    InputRooms(const Clock& clock, Logger& log, platform::headless::HeadlessDesktop& desktop,
               platform::Events& events, PhoneState& phone, CtlSender& sender, const HookTables& hooks,
               const std::string& agentLogDir)
        : keyboard(clock, log, events,
                   [this] {
                       if (sourcesPtr) sourcesPtr->switchInputSource();
                   }),
          inputSources(
              clock, log, desktop.inputSources(), events, mainQueue, [](const std::string&) {},
              [this] { return keyboard.phoneHoldsControl(); }),
          pointer(clock, log, events, keyboard),
          textEntry(clock, log, events, desktop.pasteboard(), globalQueue()),
          agent(clock, log, sender, AgentModePaths{agentLogDir}),
          // No main or global queue: their work runs in place, on the calling thread.
          dispatcher(DispatcherDeps{clock, log, events, phone, sender, hooks, pointer, keyboard, textEntry,
                                    inputSources, agent, nullptr, nullptr, vdispLock},
                     DispatcherRooms{}) {
        sourcesPtr = &inputSources;
    }
};

// The agent's input side: DTLS server, input loop on its own thread, and the rooms.
struct Agent {
    fs::path dir = fs::temp_directory_path() / ("vm-bench-input-" + std::to_string(::getpid()));
    SystemClock clock;
    Logger log{(dir / "logs").string(), clock};
    platform::headless::HeadlessDesktop desktop{platform::Locations{}, oneDisplay()};
    TimedEvents events{desktop};
    HookTables hooks;
    CtlInbox inbox;
    PhoneState phone{clock.now()};
    CtlSender sender{phone, nullptr};
    PairStore store{PairStore::pathIn((dir / "support").string()), log};
    Pairing pairing{PairingDeps{clock, log, store, sender, hooks, [] {}}};
    SerialQueue ctlQueue{"local.umo.inputd.ctl"};
    DtlsServer server{clock, log, inbox, phone, ctlQueue, 0};
    InputRooms rooms{clock, log, desktop, events, phone, sender, hooks, (dir / "logs" / "agent").string()};
    std::unique_ptr<CursorMain> loop;

    std::atomic<bool> stop{false};
    std::thread thread;

    const Bytes key = randomBytes(32);
    const std::string identity = "bench." + pskTag(key);

    Agent() {
        store.insert(identity, PairRecord{"bench", key, clock.now()});
        CursorRooms cr;
        cr.handle = [this](const std::string& line) { rooms.dispatcher.handle(line); };
        cr.sweepHolds = [this] { rooms.pointer.sweepHolds(); };
        cr.releaseAll = [this] { rooms.pointer.releaseAll(); };
        CursorDeps deps{clock, log, desktop, hooks, inbox, phone, sender, store, pairing};
        deps.dtls = &server;
        loop = std::make_unique<CursorMain>(deps, std::move(cr));
        loop->ctlStartListener();
        thread = std::thread([this] {
            while (!stop.load(std::memory_order_relaxed)) loop->pass(0.05);
        });
    }
    ~Agent() {
        stop = true;
        thread.join();
        loop.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)];
}

// Sends one move and waits for its event; the latency in µs, or a negative value
// when the send failed or no event came within a second.
double oneMove(phone::DtlsClient& client, TimedEvents& events, long long seq) {
    const long long before = events.moves.load(std::memory_order_acquire);
    const std::string line = std::string(seq % 2 ? "M 1 0 " : "M -1 0 ") + std::to_string(seq);
    const int64_t sentAt = nowNanos();
    if (!client.send(line)) return -1;
    const auto t0 = Steady::now();
    while (events.moves.load(std::memory_order_acquire) == before) {
        if (secondsSince(t0) > 1.0) return -1;
        std::this_thread::yield();
    }
    return static_cast<double>(events.lastMoveAt.load(std::memory_order_relaxed) - sentAt) / 1000.0;
}

int phoneToEvent() {
    Agent agent;
    std::string err;
    auto client = phone::DtlsClient::connect("127.0.0.1", agent.server.boundPort(), agent.identity, agent.key, 5.0,
                                             &err);
    if (!client) {
        std::fprintf(stderr, "connect failed: %s\n", err.c_str());
        return 1;
    }
    client->send("ID bench");

    long long seq = 0;
    for (int i = 0; i < 500; ++i) oneMove(*client, agent.events, ++seq);  // warm-up, not counted

    constexpr int kSamples = 10'000;
    std::vector<double> us;
    us.reserve(kSamples);
    int failed = 0;
    const auto t0 = Steady::now();
    for (int i = 0; i < kSamples; ++i) {
        const double l = oneMove(*client, agent.events, ++seq);
        if (l < 0)
            ++failed;
        else
            us.push_back(l);
        // Pacing: the loop goes back to waiting on its inbox before the next line.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double wall = secondsSince(t0);
    client->close();

    std::sort(us.begin(), us.end());
    std::printf("phone send -> posted mouse-moved event, DTLS loopback, one line at a time:\n");
    std::printf("  samples %zu, failed %d, wall %.2f s\n", us.size(), failed, wall);
    std::printf("  median %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n", percentile(us, 0.5),
                percentile(us, 0.9), percentile(us, 0.99), us.empty() ? 0.0 : us.back());
    return 0;
}

void dispatcherCost() {
    const fs::path dir = fs::temp_directory_path() / ("vm-bench-dispatch-" + std::to_string(::getpid()));
    {
        SystemClock clock;
        Logger log{(dir / "logs").string(), clock};
        platform::headless::HeadlessDesktop desktop{platform::Locations{}, oneDisplay()};
        HookTables hooks;
        PhoneState phone{clock.now()};
        CtlSender sender{phone, nullptr};
        InputRooms rooms{clock, log, desktop, desktop, phone, sender, hooks, (dir / "logs" / "agent").string()};

        // The lines are built once: what is timed is the dispatcher, not string building.
        const std::string right = "M 1 0", left = "M -1 0";
        for (int i = 0; i < 20'000; ++i) rooms.dispatcher.handle(i % 2 ? left : right);  // warm-up

        constexpr int kLines = 200'000;
        std::vector<double> runs;
        for (int r = 0; r < 5; ++r) {
            const auto t0 = Steady::now();
            for (int i = 0; i < kLines; ++i) rooms.dispatcher.handle(i % 2 ? left : right);
            runs.push_back(std::chrono::duration<double, std::nano>(Steady::now() - t0).count() / kLines);
        }
        const auto rec = desktop.recorded();
        const platform::Point at = desktop.pointer();

        std::printf("Dispatcher::handle(\"M +-1 0\"), headless desktop, trace off, %d lines per run:\n", kLines);
        std::printf("  ns per line, 5 runs:");
        for (double v : runs) std::printf(" %.0f", v);
        std::sort(runs.begin(), runs.end());
        std::printf("\n  best %.0f ns, median %.0f ns; record holds %zu events, pointer at %.0f,%.0f\n", runs.front(),
                    runs[runs.size() / 2], rec.size(), at.x, at.y);
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace

int main() {
    // Every posted event would also be written to the trace file: not what is measured here.
    ::unsetenv("VELLOMARK_HEADLESS_TRACE");
    const auto started = Steady::now();
    if (int rc = phoneToEvent()) return rc;
    dispatcherCost();
    std::printf("total run time %.1f s\n", secondsSince(started));
    return 0;
}
