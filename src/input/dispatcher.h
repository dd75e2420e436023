#pragma once
// The command dispatcher: one text line from the phone (or a local tool) turned
// into pointer, keyboard, text, workspace, display and agent effects.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/try_lock.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "platform/platform.h"

namespace vm {

class Pointer;
class Keyboard;
class TextEntry;
class InputSourceSwitcher;
class AgentMode;

// What the dispatcher calls in rooms built later (windows, display policy, screen
// lock); an empty slot does nothing.
struct DispatcherRooms {
    std::function<void(std::optional<int32_t> pid, bool wake)> gatherWindows;
    std::function<std::optional<std::string>()> screenBlockedReason;
    std::function<bool()> screenLocked;
    std::function<std::string()> loginName;
    std::function<void()> ensureVDisp;
    std::function<void(bool toVirtual, bool gather)> setMain;
    std::function<void()> physicalDisplaysOn;
    std::function<void()> physicalDisplaysOff;
    std::function<void(double until)> setVDispGraceUntil;
};

struct DispatcherDeps {
    const Clock& clock;
    Logger& log;
    platform::Events& events;
    PhoneState& phone;
    CtlSender& sender;
    const HookTables& hooks;
    Pointer& pointer;
    Keyboard& keyboard;
    TextEntry& text;
    InputSourceSwitcher& inputSources;
    AgentMode& agent;
    MainQueue* mainQueue;        // absent in tests: main-queue work runs in place
    DispatchQueue* globalQueue;  // absent in tests: delayed gathering runs in place
    TryLock& vdispLock;       // taken with a non-waiting try by display work
};

class Dispatcher {
public:
    Dispatcher(DispatcherDeps deps, DispatcherRooms rooms);
    void handle(const std::string& line);

private:
    void moveTo(platform::Point target);
    void button(const std::string& name, bool press);
    void text(const std::vector<std::string>& words);
    void vdSize(uint32_t width, uint32_t height);
    // Locked, or another user's session on the console.
    bool screenBlocked();
    void hello();
    void bye();

    DispatcherDeps d_;
    DispatcherRooms r_;
};

}  // namespace vm
