#pragma once
// Whether the screen is usable for the phone: locked, or held by another user at
// the console. Keeps the video gate `videoAllowed`, reacts to lock and unlock
// (stops the agent, releases the virtual display, tells the phone), and gives
// the text the phone shows when another user holds the screen.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/try_lock.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "platform/workspace.h"
#include "session/agent_mode.h"

namespace vm {

struct ScreenLockDeps {
    Logger& log;
    platform::Session& session;
    platform::Workspace& workspace;  // the login name
    CtlSender& sender;
    PhoneState& phone;
    AgentMode& agent;
    const HookTables& hooks;
    TryLock& vdispLock;  // only ever tried, never waited for
    std::function<void()> physicalDisplaysOn;
    std::function<void()> ensureVDispCreate;  // the creation step of the display policy's ensureVDisp
    std::atomic<bool>& videoAllowed;          // the video gate, read by the video sender
    MainQueue* mainQueue = nullptr;           // absent in tests: handlers run in place, no timer
};

class ScreenLock {
public:
    static constexpr double kGateInterval = 0.5;
    static constexpr const char* kOtherUserReason =
        "⚠︎ 맥에서 다른 사용자가 화면을 쓰고 있습니다. 그 계정에서 로그아웃하거나 이 계정으로 전환하세요.";

    explicit ScreenLock(ScreenLockDeps deps);
    ~ScreenLock();
    ScreenLock(const ScreenLock&) = delete;
    ScreenLock& operator=(const ScreenLock&) = delete;

    // The warning when another user's session owns the console; none otherwise (also when unknown).
    std::optional<std::string> screenBlockedReason();
    // Whether the screen is locked; false when unknown.
    bool screenLocked();
    // Whether this user owns the console; true when unknown.
    bool videoShouldFlow();

    // Observes lock and unlock; the handlers run on the main queue. Call once.
    void watchScreenLock();
    // Polls the console every 0.5 s on the main queue. Call once.
    void watchVideoGate();
    // One poll of the gate.
    void gateTick();

    // The handlers, as the main queue runs them.
    void screenDidLock();
    void screenDidUnlock();

    // "LOCKED 1 " + base64 of the login name.
    std::string lockedLine();

private:
    ScreenLockDeps d_;
    std::unique_ptr<RepeatingTimer> gateTimer_;
};

}  // namespace vm
