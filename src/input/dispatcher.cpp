#include "input/dispatcher.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "base/text.h"
#include "base/base64.h"
#include "base/bytes.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "control/ctl_msg.h"
#include "input/text_entry.h"
#include "session/agent_mode.h"

namespace vm {

namespace {

// The whole word as a double (decimal, exponent, hex, "inf", "nan" as the C
// library reads them); leading white space or trailing characters make it invalid.
std::optional<double> parseDecimal(const std::string& w) {
    if (w.empty() || std::isspace(static_cast<unsigned char>(w[0]))) return std::nullopt;
    const char* begin = w.c_str();
    char* end = nullptr;
    double v = std::strtod(begin, &end);
    if (end != begin + w.size()) return std::nullopt;  // also catches an embedded NUL
    return v;
}

// A coordinate or duration for a log line, truncated toward zero; values that
// have no integer (NaN, out of range) are written as their clamp so logging never traps.
std::string truncText(double v) {
    if (std::isnan(v)) return "0";
    constexpr double kLim = 9.0e18;
    if (v >= kLim) return std::to_string(static_cast<long long>(kLim));
    if (v <= -kLim) return std::to_string(static_cast<long long>(-kLim));
    return std::to_string(static_cast<long long>(v));
}

// Rounds halves away from zero and keeps the scroll within ±1e9.
int32_t scrollAmount(double v) {
    double r = std::round(v);
    r = std::min(std::max(r, -1e9), 1e9);
    return static_cast<int32_t>(r);
}

}  // namespace

Dispatcher::Dispatcher(DispatcherDeps deps, DispatcherRooms rooms) : d_(deps), r_(std::move(rooms)) {}

void Dispatcher::handle(const std::string& line) {
    // Words are separated by the blank alone; tabs and other white space belong to a word.
    std::vector<std::string> w = ctlWords(line);
    if (w.empty()) return;
    const std::string& cmd = w[0];
    const size_t n = w.size();

    if (cmd == "STOP") {
        d_.agent.stopByPhone([this] { d_.pointer.releaseAll(); });
        return;
    }
    if (cmd == "GO") {
        d_.agent.go();
        return;
    }

    // A person operating from the phone right after the agent acted stops the
    // agent; the input itself always goes through.
    if (cmd == "B" || cmd == "H" || cmd == "K" || cmd == "T" || cmd == "S") {
        bool recent = !d_.agent.agentStop.load() && d_.agent.recentlyActive();
        d_.agent.agentUserTookOver(cmd);
        if (recent) {
            d_.agent.agentKillChild();
            d_.agent.agentSay("⚠︎ 섰다 — 직접 조작");
        }
    }

    if (n < 2) return;

    if (cmd == "M") {
        if (n < 3) return;
        auto dx = parseDecimal(w[1]);
        auto dy = parseDecimal(w[2]);
        if (!dx || !dy) return;
        platform::Point c = d_.pointer.currentCursor();
        moveTo({c.x + *dx, c.y + *dy});
    } else if (cmd == "S") {
        if (n != 3) return;
        auto dx = parseDecimal(w[1]);
        auto dy = parseDecimal(w[2]);
        if (!dx || !dy || !std::isfinite(*dx) || !std::isfinite(*dy)) return;
        platform::ScrollEvent e;
        e.wheel1 = scrollAmount(*dy);
        e.wheel2 = scrollAmount(*dx);
        e.wheel3 = 0;
        d_.events.postScroll(e);
    } else if (cmd == "B") {
        if (n != 3) return;
        button(buttonName(w[1]), w[2] == "1");
    } else if (cmd == "AI" || cmd == "ASKTEST") {
        // Reserved for the agent: accepted and ignored.
    } else if (cmd == "ALLOW" || cmd == "NOPE") {
        if (!parseInt<int64_t>(w[1])) return;
        std::lock_guard<std::mutex> lk(d_.agent.askLock);
    } else if (cmd == "AXDO" || cmd == "AXS") {
        // Reserved for the agent: accepted and ignored.
    } else if (cmd == "H") {
        if (n != 3) return;
        d_.pointer.setHold(buttonName(w[1]), w[2] == "1");
    } else if (cmd == "K") {
        if (n != 3) return;
        auto hid = parseInt<int64_t>(w[1]);
        // No key lives outside int; such a usage could only be dropped later anyway.
        if (!hid || *hid < std::numeric_limits<int>::min() || *hid > std::numeric_limits<int>::max()) return;
        d_.keyboard.handleKey(static_cast<int>(*hid), w[2] == "1");
    } else if (cmd == "T") {
        text(w);
    } else if (cmd == "A") {
        if (n < 3) return;
        auto x = parseDecimal(w[1]);
        auto y = parseDecimal(w[2]);
        if (!x || !y) return;
        moveTo({*x, *y});
    } else if (cmd == "G") {
        if (r_.gatherWindows) r_.gatherWindows(std::nullopt, false);
    } else if (cmd == "R") {
        d_.pointer.releaseAll();
    } else if (cmd == "VD") {
        if (n != 3) return;
        auto width = parseInt<uint32_t>(w[1]);
        auto height = parseInt<uint32_t>(w[2]);
        if (!width || !height) return;
        vdSize(*width, *height);
    } else if (cmd == "HELLO") {
        hello();
    } else if (cmd == "BYE") {
        bye();
    } else if (cmd == "W") {
        auto v = parseInt<int64_t>(w[1]);
        if (!v || *v == 0) return;
        d_.inputSources.switchSpace(*v > 0 ? 1 : -1);
    }
}

void Dispatcher::moveTo(platform::Point target) {
    // A point that is not finite (inf, NaN, or an overflowing sum) has nowhere to
    // land: the line is treated as unparsable.
    if (!std::isfinite(target.x) || !std::isfinite(target.y)) return;
    platform::Point p = d_.pointer.clampToScreens(target);
    if (d_.pointer.buttonsDown.count("L")) {
        d_.pointer.post(platform::ev::kLeftMouseDragged, p, 0);
    } else if (d_.pointer.buttonsDown.count("R")) {
        d_.pointer.post(platform::ev::kRightMouseDragged, p, 1);
    } else {
        d_.pointer.post(platform::ev::kMouseMoved, p, 0);
    }
}

void Dispatcher::button(const std::string& name, bool press) {
    Pointer& ptr = d_.pointer;
    platform::Point p = ptr.currentCursor();
    ButtonInfo info = buttonInfo(name);
    double now = d_.clock.now();

    if (press) {
        d_.log.logLine("버튼 " + name + " 누름 @" + truncText(p.x) + "," + truncText(p.y) + d_.keyboard.modifierNote() +
                       "\n");
        ptr.buttonPressedAt[name] = now;

        // A press means the phone is done with any other button it left down
        // (unless that one is held under a lease).
        std::vector<std::string> stale;
        for (const auto& b : ptr.buttonsDown) {
            if (b != name && !ptr.holdLease.count(b)) stale.push_back(b);
        }
        for (const auto& b : stale) {
            ButtonInfo bi = buttonInfo(b);
            ptr.post(bi.upType, p, bi.number);
            ptr.buttonsDown.erase(b);
            d_.log.logLine("버튼 " + b + " 이 눌린 채 남아 있었다 — 놓는다\n");
        }

        if (ptr.buttonsDown.count(name)) {
            ptr.post(info.upType, p, info.number);
            ptr.buttonsDown.erase(name);
            ptr.holdLease.erase(name);
            d_.log.logLine("버튼 " + name + " 이 눌린 채로 탭이 왔다 — 먼저 놓는다\n");
        }

        ptr.buttonsDown.insert(name);
        ptr.post(info.downType, p, info.number);
        if (name != "L") ptr.clickDownAt[name] = now;
        return;
    }

    auto it = ptr.buttonPressedAt.find(name);
    bool had = it != ptr.buttonPressedAt.end();
    double held = had ? now - it->second : 0;
    if (had) ptr.buttonPressedAt.erase(it);
    if (had && held > 0.4) {
        d_.log.logLine("버튼 " + name + " 뗌 — " + truncText(held * 1000) + "ms 눌렸다 (길다)\n");
    } else if (name != "L") {
        d_.log.logLine("버튼 " + name + " 뗌\n");
    }
    ptr.buttonsDown.erase(name);
    ptr.clickDownAt.erase(name);
    ptr.post(info.upType, p, info.number);
}

void Dispatcher::text(const std::vector<std::string>& w) {
    auto fail = [this] { d_.log.logLine("텍스트 해석 실패\n"); };
    if (w.size() < 3) return fail();
    auto seq = parseInt<int64_t>(w[1]);
    if (!seq) return fail();
    auto bytes = base64Decode(w[2]);
    if (!bytes) return fail();
    std::string decoded = toString(*bytes);
    if (!isValidUtf8(decoded)) return fail();
    if (!d_.text.claimTypedSeq(*seq)) return;  // a resent line is entered once
    d_.text.typeText(decoded);
}

void Dispatcher::vdSize(uint32_t width, uint32_t height) {
    if (!d_.hooks.vdispHooks) return;
    vm::onMain(d_.mainQueue, [this, width, height] {
        std::unique_lock<TryLock> lk(d_.vdispLock, std::try_to_lock);
        if (!lk.owns_lock()) return;  // display work in progress: the request is dropped
        const VDispHooks& h = *d_.hooks.vdispHooks;
        if (!h.setSize) return;
        int32_t r = h.setSize(width, height);
        if (r == 0) return;
        // While the screen is blocked the size is only kept for later: no display is
        // made, promoted or left alone on a switched-off monitor.
        const bool blocked = screenBlocked();
        std::string size = std::to_string(width) + "×" + std::to_string(height);
        if (r == 1) {
            d_.log.logLine("맥 화면 모드를 " + size + " 로 바꿨다 (같은 화면)\n");
        } else if (blocked) {
            return;
        } else {
            d_.log.logLine("맥 화면 크기를 " + size + " 로 다시 만든다\n");
            if (h.alive && h.alive()) {
                if (r_.physicalDisplaysOn) r_.physicalDisplaysOn();
                if (h.destroy) h.destroy();
            }
            if (h.create) h.create();
        }
        if (blocked) return;
        if (r_.setMain) r_.setMain(true, true);
        if (r_.physicalDisplaysOff) r_.physicalDisplaysOff();
        auto gather = [this] {
            if (r_.gatherWindows) r_.gatherWindows(std::nullopt, true);
        };
        if (d_.globalQueue) {
            d_.globalQueue->asyncAfter(1.0, gather);
        } else {
            gather();
        }
    });
}

bool Dispatcher::screenBlocked() {
    return (r_.screenBlockedReason && r_.screenBlockedReason()) || (r_.screenLocked && r_.screenLocked());
}

void Dispatcher::hello() {
    if (r_.setVDispGraceUntil) r_.setVDispGraceUntil(0);
    d_.phone.phoneWantsScreen.store(true);
    std::optional<std::string> reason = r_.screenBlockedReason ? r_.screenBlockedReason() : std::nullopt;
    if (!reason) {
        if (r_.ensureVDisp) r_.ensureVDisp();
        return;
    }
    d_.log.logLine("화면을 쓸 수 없다 — " + *reason + "\n");
    d_.sender.phoneSend("SAY " + base64Encode(*reason));
    if (r_.screenLocked && r_.screenLocked()) {
        std::string login = r_.loginName ? r_.loginName() : std::string();
        d_.sender.phoneSend("LOCKED 1 " + base64Encode(login));
    }
}

void Dispatcher::bye() {
    d_.pointer.releaseAll();
    d_.phone.phoneWantsScreen.store(false);
    if (!d_.hooks.vdispHooks) return;
    const VDispHooks& h = *d_.hooks.vdispHooks;
    if (!h.alive || !h.alive()) return;
    d_.log.logLine("폰이 그만 쓴다고 했다 — 가상 화면을 놓는다\n");
    vm::onMain(d_.mainQueue, [this] {
        std::unique_lock<TryLock> lk(d_.vdispLock, std::try_to_lock);
        if (!lk.owns_lock()) return;
        const VDispHooks& hk = *d_.hooks.vdispHooks;
        if (hk.alive && hk.alive()) {
            if (r_.physicalDisplaysOn) r_.physicalDisplaysOn();
            if (hk.destroy) hk.destroy();
        }
    });
}

}  // namespace vm
