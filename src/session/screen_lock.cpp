#include "session/screen_lock.h"

#include "base/base64.h"

namespace vm {

ScreenLock::ScreenLock(ScreenLockDeps deps) : d_(std::move(deps)) {}

ScreenLock::~ScreenLock() {
    if (gateTimer_) gateTimer_->cancel();
}

std::optional<std::string> ScreenLock::screenBlockedReason() {
    const auto onConsole = d_.session.onConsole();
    if (onConsole && !*onConsole) return std::string(kOtherUserReason);
    return std::nullopt;
}

bool ScreenLock::screenLocked() { return d_.session.locked().value_or(false); }

bool ScreenLock::videoShouldFlow() { return d_.session.onConsole().value_or(true); }

std::string ScreenLock::lockedLine() { return "LOCKED 1 " + base64Encode(d_.workspace.loginName()); }

void ScreenLock::watchScreenLock() {
    d_.session.watchLock([this](bool locked) {
        vm::onMain(d_.mainQueue, [this, locked] {
            if (locked) screenDidLock();
            else screenDidUnlock();
        });
    });
}

void ScreenLock::watchVideoGate() {
    if (!d_.mainQueue || gateTimer_) return;
    gateTimer_ = std::make_unique<RepeatingTimer>(*d_.mainQueue, kGateInterval, kGateInterval, [this] { gateTick(); });
}

void ScreenLock::gateTick() {
    const bool flow = videoShouldFlow();
    if (flow == d_.videoAllowed.load()) return;
    d_.videoAllowed.store(flow);
    d_.log.logLine(flow ? "영상 열림 — 쓸 수 있는 상태다\n" : "영상 닫힘 — 잠겼거나 다른 사용자가 화면을 쥐었다\n");
}

void ScreenLock::screenDidLock() {
    d_.videoAllowed.store(false);
    d_.log.logLine("맥이 잠겼다\n");
    d_.agent.stopForLock();
    const auto& vd = d_.hooks.vdispHooks;
    if (vd && vd->alive && vd->alive()) {
        // Display work in progress elsewhere wins: the virtual display then stays.
        std::unique_lock<TryLock> lk(d_.vdispLock, std::try_to_lock);
        if (lk.owns_lock()) {
            if (d_.physicalDisplaysOn) d_.physicalDisplaysOn();
            if (vd->destroy) vd->destroy();
        }
    }
    if (d_.phone.phoneConn()) d_.sender.phoneSend(lockedLine());
}

void ScreenLock::screenDidUnlock() {
    d_.videoAllowed.store(videoShouldFlow());
    d_.log.logLine("맥이 풀렸다\n");
    if (d_.phone.phoneConn()) d_.sender.phoneSend("LOCKED 0");
    if (d_.phone.phoneWantsScreen.load()) {
        vm::onMain(d_.mainQueue, [this] {
            if (!d_.phone.phoneWantsScreen.load()) return;
            const auto& vd = d_.hooks.vdispHooks;
            if (!vd || !vd->alive || vd->alive()) return;
            if (d_.ensureVDispCreate) d_.ensureVDispCreate();
        });
    }
}

}  // namespace vm
