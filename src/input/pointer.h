#pragma once
// Pointer events for the phone: moves and drags, presses and releases with
// multi-click counting, holds kept alive by a lease, and the sweeps that release
// what the phone forgot to release.
#include <map>
#include <set>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "platform/platform.h"

namespace vm {

class Keyboard;

// The button number and event types behind a button name ("L", "R", "M"; any other is left).
struct ButtonInfo {
    int number;
    int downType;
    int upType;
    int dragType;  // 0: moves stay plain moves
};
ButtonInfo buttonInfo(const std::string& name);
// The name a button word from the phone stands for: "R", "M", or "L" for any other,
// so that no word from the network becomes a key of the button tables or a log line.
const std::string& buttonName(const std::string& word);

class Pointer {
public:
    Pointer(const Clock& clock, Logger& log, platform::Events& events, Keyboard& keyboard);

    // Posts a mouse event, with click counting for presses and releases.
    void post(int type, platform::Point point, int button);
    // Pointer position in global display points (y downwards).
    platform::Point currentCursor();
    // The nearest point on an online screen.
    platform::Point clampToScreens(platform::Point p);
    void setHold(const std::string& name, bool down);
    void sweepHolds();
    void releaseAll();

    // Pointer state, touched only from the input thread (the dispatcher writes some of it).
    // Keyed by the names of buttonName(), so each holds at most three entries.
    std::set<std::string> buttonsDown;
    std::map<std::string, double> buttonPressedAt;
    std::map<std::string, double> clickDownAt;
    std::map<std::string, double> holdLease;
    int clickRun = 0;
    platform::Point lastDownPos{-9999, -9999};
    double lastDownAt = 0;

private:
    const Clock& clock_;
    Logger& log_;
    platform::Events& events_;
    Keyboard& keyboard_;
};

}  // namespace vm
