#pragma once
// Window gathering: while the phone uses the virtual display as the main display,
// windows left on a physical display are invisible to it. This room moves them
// onto the main display through the accessibility elements (out of full screen,
// shrunk to fit, cascaded), wakes apps whose windows the window server lists but
// accessibility does not (another workspace), and watches for new windows that
// open off the main display.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/displays.h"
#include "platform/workspace.h"

namespace vm {

class WindowGather {
public:
    struct DisplayPair {
        platform::DisplayID virt = 0;
        platform::DisplayID phys = 0;
    };

    // `globalQueue` runs the delayed front-app restore; without one (tests) the
    // restore runs in place, after clock.sleep(3.0), once the gathering is done.
    WindowGather(const Clock& clock, Logger& log, platform::Displays& displays, platform::Workspace& workspace,
                 platform::WindowServer& windowServer, platform::WindowElements& elements,
                 DispatchQueue* globalQueue = nullptr);
    ~WindowGather();
    WindowGather(const WindowGather&) = delete;
    WindowGather& operator=(const WindowGather&) = delete;

    // The first online virtual display and the first online physical one; none
    // when fewer than two displays are online or either kind is missing.
    std::optional<DisplayPair> twoDisplays();

    // Gathers the windows of one app (pid) or of every ordinary app onto the main
    // display, waking apps whose windows cannot be seen when `wake`. Returns how many
    // windows were moved. Blocks while apps react (sleeps through the clock).
    int gatherWindows(std::optional<int32_t> pid, bool wake);

    // The watcher loop: logs its start, then runs passes until stopWatching().
    // The agent never stops it.
    void watchNewWindows();
    // One watcher pass, starting with its 1.0 s sleep.
    void pass();
    void stopWatching() { watchStop_.store(true); }

    // Serialises whole gathering runs and the delayed front-app restore.
    std::mutex gatherLock;

    static constexpr double kFullScreenExitWait = 0.9;
    static constexpr double kWakeWait = 0.7;
    static constexpr double kWakeAgain = 30.0;        // no second wake of one app within this
    static constexpr double kWakeFailedRetry = 300.0;  // no wake after a failed one within this
    static constexpr double kBurstGap = 5.0;           // wakes closer than this form one burst
    static constexpr double kRestoreDelay = 3.0;
    static constexpr double kWatchInterval = 1.0;
    static constexpr double kNewWindowAge = 6.0;
    static constexpr int kAliveEvery = 15;

private:
    struct Counts {
        int candidates = 0, moved = 0, unFullScreened = 0, failed = 0, woken = 0, unseen = 0;
        int cascade = 0;
    };
    // Lets a queued restore find out that its owner is gone.
    struct RestoreLink {
        std::mutex mu;
        WindowGather* owner = nullptr;
    };

    // Caller holds gatherLock.
    void handleWindows(const std::vector<platform::ElementRef>& windows, const platform::Rect& main, Counts& c);
    void wakeApp(int32_t pid, const std::optional<platform::RunningApp>& app,
                 const std::optional<int32_t>& frontAtStart, const platform::Rect& main, Counts& c,
                 bool& wakeAttempted);
    void restoreFront(double rememberedWakeAt);
    void scheduleRestore(double rememberedWakeAt);

    const Clock& clock_;
    Logger& log_;
    platform::Displays& displays_;
    platform::Workspace& workspace_;
    platform::WindowServer& windowServer_;
    platform::WindowElements& elements_;
    DispatchQueue* globalQueue_;
    std::shared_ptr<RestoreLink> restoreLink_;

    // Guarded by gatherLock.
    std::map<int32_t, double> lastWake;
    std::map<int32_t, double> wakeFailed;
    double lastWakeAt = 0;
    std::optional<int32_t> wakeBurstFront;  // pid of the app in front when the burst began

    // The watcher's own state (its thread only).
    std::map<uint32_t, double> firstSeen_;
    uint64_t passes_ = 0;
    std::atomic<bool> watchStop_{false};
};

}  // namespace vm
