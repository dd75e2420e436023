#pragma once
// The display policy: when the virtual display exists, which display is main,
// whether the physical displays are switched off meanwhile, and the phone's
// resolution changes of a physical main display. It reaches the virtual
// display only through the vdisp hooks and recognises it among the active
// displays by its vendor number.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/try_lock.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "platform/displays.h"

namespace vm {

struct DisplayPolicyDeps {
    const Clock& clock;
    Logger& log;
    platform::Displays& displays;
    const HookTables& hooks;
    PhoneState& phone;
    // Shared with the dispatcher's resize and release; always taken with a try.
    TryLock& vdispLock;
    MainQueue* mainQueue = nullptr;       // absent in tests: main-queue work runs in place
    DispatchQueue* globalQueue = nullptr; // absent in tests: gathering runs in place, at once
    // Window gathering (pid, wake) -> windows moved; empty = no gathering.
    std::function<int(std::optional<int32_t>, bool)> gatherWindows;
    // The physical-off state file (<supportDir>/physical-off).
    std::string physicalOffPath;
    // Whether the screen is of no use to the phone now: locked, or another user's
    // session on the console. Empty: never blocked.
    std::function<bool()> screenBlocked;
};

// The virtual display and a physical one among the active displays.
struct DisplayPair {
    uint32_t virt = 0;
    uint32_t phys = 0;
};

class DisplayPolicy {
public:
    // The quiet-phone limits and the pause between attempts to switch displays off.
    static constexpr double kMainBackAfter = 30.0;
    static constexpr double kQuietLimitWithMonitor = 30.0;
    static constexpr double kQuietLimitAlone = 300.0;
    static constexpr double kOffRetryAfter = 10.0;

    // Creates the folder of the state file (failures ignored).
    explicit DisplayPolicy(DisplayPolicyDeps deps);
    DisplayPolicy(const DisplayPolicy&) = delete;
    DisplayPolicy& operator=(const DisplayPolicy&) = delete;

    // Active display identifiers in the window server's order.
    std::vector<uint32_t> activeDisplays();
    // The first active virtual and the first active physical display; none with
    // fewer than two active displays or when either kind is missing.
    std::optional<DisplayPair> twoDisplays();
    // Whether the virtual display is main: with a pair, main is its virtual one;
    // without, the main display carries the virtual vendor number.
    bool mainIsVirtual();

    // Input thread: queues the creation of the virtual display when the phone
    // wants the screen, the screen is not blocked and none is alive.
    void ensureVDisp();
    // The rules for each accepted piece of phone traffic: make sure the display
    // exists, make it main, switch the physical displays off; none of it while
    // the screen is blocked.
    void phoneTraffic();
    // Every pass of the input loop: a fresh connection's grace that ran out
    // without HELLO releases the virtual display.
    void sweepVDispGrace();
    void setVDispGraceUntil(double until) { vdispGraceUntil_.store(until); }
    double vdispGraceUntil() const { return vdispGraceUntil_.load(); }
    // The phone-silence rules: main back to physical after 30 s, the virtual
    // display removed after 30 s (a monitor was there at creation) or 300 s.
    void quietPhone(double silence);

    // Makes the virtual (or the physical) display of the pair main; callable from any thread.
    void setMain(bool toVirtual, bool gather);
    bool physicalDisplaysOff();
    void physicalDisplaysOn();

    // Main display size in points; (0, 0) when there is no main display.
    std::pair<uint32_t, uint32_t> currentDisplaySize();
    // Switches a physical main display to the best mode of this point size;
    // answers currentDisplaySize() afterwards.
    std::pair<uint32_t, uint32_t> setDisplayMode(uint32_t width, uint32_t height);

    // State, for the menu and tests.
    bool hadPhysicalAtCreate() const { return hadPhysicalAtCreate_.load(); }
    std::vector<uint32_t> physicalOff();
    const std::string& physicalOffPath() const { return d_.physicalOffPath; }

private:
    bool hooksSet() const { return d_.hooks.vdispHooks.has_value(); }
    bool screenBlocked() const { return d_.screenBlocked && d_.screenBlocked(); }
    bool vdispAlive() const;
    void vdispCreate() const;
    void vdispDestroy() const;
    bool isVirtual(uint32_t id);
    // The creation procedure (main thread).
    void createVDisp();
    // Gathering windows `delay` seconds from now on the global queue.
    void gatherLater(double delay);
    std::vector<uint32_t> readStateFile() const;
    void writeStateFile(const std::vector<uint32_t>& ids) const;
    void log(const std::string& line) { d_.log.logLine(line + "\n"); }

    DisplayPolicyDeps d_;
    std::atomic<double> vdispGraceUntil_{0};
    std::atomic<bool> hadPhysicalAtCreate_{false};

    std::mutex physicalLock_;  // guards the two below and the state file
    std::vector<uint32_t> physicalOff_;
    double physicalOffTriedAt_ = 0;
};

// Parses the state file's text: decimal 32-bit identifiers separated by blanks;
// anything else is skipped.
std::vector<uint32_t> parsePhysicalOffIds(const std::string& text);

}  // namespace vm
