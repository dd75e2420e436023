#pragma once
// What every fuzz target shares: a private scratch folder, a fake clock, the logs,
// the headless desktop, peers and sockets that swallow what the agent sends, and the
// input rooms (keyboard, pointer, text, input sources, agent mode, dispatcher) built
// as the agent builds them. Targets build the expensive pieces once per process and
// the cheap, stateful ones once per input, so one input behaves the same on every run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/base64.h"
#include "base/bytes.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "base/try_lock.h"
#include "control/ctl_peer.h"
#include "control/ctl_send.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_entry.h"
#include "pairing/pairing_crypto.h"
#include "platform/headless/headless_desktop.h"
#include "session/agent_mode.h"

namespace vm::fuzz {

namespace fs = std::filesystem;

// The wall time every input starts at.
inline constexpr double kStart = 1'800'000'000.0;

// A folder of this process under /dev/shm (or the temporary folder), removed at exit.
inline const std::string& scratchDir() {
    // Never destroyed: the exit handler below still needs it after static destructors ran.
    static const std::string& dir = *new std::string([] {
        std::error_code ec;
        fs::path base = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = base / ("vellomark-fuzz-" + std::to_string(::getpid()));
        fs::remove_all(d, ec);
        fs::create_directories(d, ec);
        std::atexit([] {
            std::error_code e;
            fs::remove_all(scratchDir(), e);
        });
        return d.string();
    }());
    return dir;
}
inline std::string scratch(const std::string& sub) { return scratchDir() + "/" + sub; }
// Empties `dir` (and makes it when missing).
inline void clearFolder(const std::string& dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
}

inline std::string_view asText(const uint8_t* data, size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

// Pieces of the input cut at 0xFF, a byte that never occurs in UTF-8, so each piece
// (one datagram, one file, one message) may still be text.
inline std::vector<std::string> pieces(const uint8_t* data, size_t size) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFF) out.emplace_back();
        else out.back().push_back(static_cast<char>(data[i]));
    }
    return out;
}

// Replaces every `from` in `s` with `to`.
inline void replaceAll(std::string& s, std::string_view from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// The phone side of pairing as a hostile phone knows it: a fixed P-256 public key,
// and a 65-byte string that is no point of the curve. The placeholders in fuzz input
// stand for their base64 forms and commitments, which the fuzzer could never guess.
inline const Bytes& phonePub() {
    static const Bytes pub = {
        0x04, 0x4a, 0x08, 0xd0, 0xe2, 0xdc, 0x12, 0x7c, 0x7c, 0x60, 0x15, 0x38, 0x9e, 0xeb, 0x50, 0x40, 0x37,
        0x01, 0xf6, 0x08, 0xc7, 0xa5, 0x3b, 0xe0, 0x1e, 0x55, 0x55, 0x05, 0x23, 0xca, 0x8a, 0x28, 0x1b, 0xdb,
        0x34, 0x1c, 0xf1, 0x2a, 0x87, 0xde, 0x76, 0x52, 0xa6, 0xb3, 0xff, 0xe6, 0x76, 0xf8, 0xb6, 0xb0, 0x45,
        0xef, 0x75, 0x97, 0x68, 0xa7, 0x69, 0x34, 0x6e, 0xda, 0x62, 0xb0, 0x4d, 0x0c, 0xec};
    return pub;
}
inline const Bytes& notAPoint() {
    static const Bytes bad = [] {
        Bytes b(65, 0x11);
        b[0] = 0x04;
        return b;
    }();
    return bad;
}
inline void expandPairingPlaceholders(std::string& s) {
    if (s.find('@') == std::string::npos) return;
    static const std::string pub = base64Encode(phonePub()), commit = base64Encode(pairCommit(phonePub()));
    static const std::string bad = base64Encode(notAPoint()), badCommit = base64Encode(pairCommit(notAPoint()));
    replaceAll(s, "@COMMIT@", commit);
    replaceAll(s, "@BADCOMMIT@", badCommit);
    replaceAll(s, "@PUB@", pub);
    replaceAll(s, "@BADPUB@", bad);
}

// A control connection that keeps nothing of what it is sent.
class SilentPeer final : public CtlPeer {
public:
    explicit SilentPeer(double born, std::optional<uint32_t> ip = htonl(0x0A000014)) : CtlPeer(born), ip_(ip) {}
    void send(const Bytes& m) override { sent += m.size(); }
    void sendThenCancel(const Bytes& m) override {
        send(m);
        cancelled = true;
    }
    void cancel() override { cancelled = true; }
    std::string endpoint() const override { return "10.0.0.20:50000"; }
    std::optional<uint32_t> ipv4() const override { return ip_; }
    size_t sent = 0;
    bool cancelled = false;

private:
    std::optional<uint32_t> ip_;
};

// The plain socket as far as replies go: counted, never sent.
class SilentPlain final : public PlainSender {
public:
    void sendTo(const sockaddr_storage&, socklen_t, const Bytes& data) override { sent += data.size(); }
    size_t sent = 0;
};

// A plain datagram source 10.0.0.host:40000.
inline void setSource(sockaddr_storage& ss, socklen_t& len, uint8_t host) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(40000);
    a.sin_addr.s_addr = htonl((10u << 24) | host);
    std::memset(&ss, 0, sizeof ss);
    std::memcpy(&ss, &a, sizeof a);
    len = sizeof a;
}

// A queue that runs what it is given when told to (delayed work included), on the
// fuzzing thread: no timing, no threads.
class HeldQueue final : public DispatchQueue {
public:
    void async(Task task) override { items_.push_back(std::move(task)); }
    void asyncAfter(double, Task task) override { items_.push_back(std::move(task)); }
    const std::string& label() const override { return label_; }
    void runAll() {
        // Work may post more work; a few rounds, then the rest is dropped.
        for (int round = 0; round < 4 && !items_.empty(); ++round) {
            auto now = std::move(items_);
            items_.clear();
            for (auto& t : now) t();
        }
        items_.clear();
    }

private:
    std::vector<Task> items_;
    std::string label_ = "fuzz";
};

// Built once per process: the clock, the logs and the headless desktop.
struct World {
    FakeClock clock{kStart};  // monotonic time starts at 1000 s (kMonotonicStart)
    Logger log{scratch("logs"), clock};
    platform::headless::HeadlessDesktop desktop{locations(), platform::headless::Scene{}};
    MainQueue mainQueue;  // the fuzzing thread is its main thread; drained after each input
    HeldQueue held;

    World() { mainQueue.adoptCurrentThread(); }

    static platform::Locations locations() {
        platform::Locations l;
        l.home = scratch("home");
        l.logDir = scratch("logs");
        l.supportDir = scratch("support");
        l.groupDir = scratch("group");
        l.receivedDir = scratch("received");
        l.runtimeDir = scratch("run");
        return l;
    }
    static World& get() {
        static World w;
        return w;
    }
    // Every input starts at the same time, on both time lines (the monotonic one would
    // otherwise keep growing from input to input).
    void resetClock() {
        clock.advance(kMonotonicStart - clock.monotonic());
        clock.set(kStart);
    }
    static constexpr double kMonotonicStart = 1000.0;
};

// The input rooms and the dispatcher, as the agent wires them, over the headless
// desktop. Built per input (cheap); the input-source switcher, which owns a thread,
// once per process. Agent mode runs no pkill on a stop: a process per stop would
// cost more than the rest of the input.
struct InputRooms {
    World& w = World::get();
    PhoneState phone{w.clock.now()};
    SilentPlain plain;
    CtlSender sender{phone, &plain};
    HookTables hooks = makeHooks();
    Keyboard keyboard{w.clock, w.log, w.desktop, [this] { sources().switchInputSource(); }};
    Pointer pointer{w.clock, w.log, w.desktop, keyboard};
    TextEntry text{w.clock, w.log, w.desktop, w.desktop, w.held};
    AgentMode agent{w.clock, w.log, sender,
                    AgentModePaths{scratch("logs/agent"), scratch("agent.stop"), ""}};
    TryLock vdispLock;
    bool vdAlive = false;
    size_t videoLines = 0;
    Dispatcher dispatcher{DispatcherDeps{w.clock, w.log, w.desktop, phone, sender, hooks, pointer, keyboard, text,
                                         sources(), agent, nullptr, &w.held, vdispLock},
                          rooms()};

    InputRooms() = default;
    ~InputRooms() {
        pointer.releaseAll();
        w.held.runAll();
        // What is due on the main queue (space switches were waited for line by line).
        w.mainQueue.spinRunLoop(0);
        // The desktop's record of posted events would otherwise grow from input to
        // input, and every input that leaves memory behind costs a leak check.
        w.desktop.clearRecord();
    }

    // One line to the dispatcher. A space switch ("W n") runs on the switcher's own
    // queue and moves the clock on from there: a line that may have asked for one is
    // waited for before anything else happens, so the switch always lands at the same
    // point of the input and the next input starts from a quiet desktop. Lines without
    // a "W" cannot ask for one and skip the round trip to that thread.
    void handle(const std::string& line) {
        dispatcher.handle(line);
        if (line.find('W') != std::string::npos) sources().spaceQueue().sync([] {});
    }

    // One switcher per process: it owns the Space queue's thread.
    InputSourceSwitcher& sources() {
        static InputSourceSwitcher s{w.clock,     w.log, w.desktop, w.desktop, w.mainQueue, [](const std::string&) {},
                                     [] { return false; }};
        return s;
    }

private:
    HookTables makeHooks() {
        HookTables h;
        h.vdispHooks = VDispHooks{[this] { return vdAlive; }, [this] { vdAlive = true; }, [this] { vdAlive = false; },
                                  [](uint32_t wd, uint32_t ht) { return wd > 8192 || ht > 8192 ? -1 : 0; }};
        // The video side has its own target; here its lines only have to arrive.
        VideoHooks v;
        v.control = [this](const std::string& line, uint32_t) { videoLines += line.size(); };
        v.key = [] { return std::make_pair(uint8_t{1}, Bytes(32, 0x42)); };
        v.thumb = [] { return std::optional<std::vector<Bytes>>(std::vector<Bytes>{toBytes("TH")}); };
        v.rotateKey = [] {};
        h.videoHooks = std::move(v);
        h.pairPrompt = PairPromptHook([](int, const std::string&, const std::string&) {});
        h.pairPromptDone = PairPromptDoneHook([](int) {});
        return h;
    }
    DispatcherRooms rooms() {
        DispatcherRooms r;
        r.gatherWindows = [](std::optional<int32_t>, bool) {};
        r.screenBlockedReason = [] { return std::optional<std::string>(); };
        r.screenLocked = [] { return false; };
        r.loginName = [] { return std::string("minji"); };
        r.ensureVDisp = [this] { vdAlive = true; };
        r.setMain = [](bool, bool) {};
        r.physicalDisplaysOn = [] {};
        r.physicalDisplaysOff = [] {};
        r.setVDispGraceUntil = [](double) {};
        return r;
    }
};

}  // namespace vm::fuzz
