#include "input/pointer.h"

#include <cmath>
#include <limits>
#include <vector>

#include "input/keyboard.h"

namespace vm {

namespace {

// A multi-click run continues while presses come this fast and this close.
constexpr double kClickInterval = 0.5;
constexpr double kClickDistance = 12.0;
// A non-left press whose release is this late gets released for the phone.
constexpr double kPressOverdue = 0.5;
// The phone renews a hold at least this often.
constexpr double kHoldLease = 3.0;

bool isPress(int type) {
    return type == platform::ev::kLeftMouseDown || type == platform::ev::kRightMouseDown ||
           type == platform::ev::kOtherMouseDown;
}

bool isRelease(int type) {
    return type == platform::ev::kLeftMouseUp || type == platform::ev::kRightMouseUp ||
           type == platform::ev::kOtherMouseUp;
}

// One coordinate clamped into [lo, hi]; a NaN lands on the low edge so that a
// broken input never yields a broken point.
double clampCoord(double v, double lo, double hi) {
    if (std::isnan(v)) return lo;
    return std::min(std::max(v, lo), hi);
}

}  // namespace

ButtonInfo buttonInfo(const std::string& name) {
    using namespace platform::ev;
    if (name == "R") return {1, kRightMouseDown, kRightMouseUp, kRightMouseDragged};
    if (name == "M") return {2, kOtherMouseDown, kOtherMouseUp, 0};
    return {0, kLeftMouseDown, kLeftMouseUp, kLeftMouseDragged};
}

const std::string& buttonName(const std::string& word) {
    static const std::string kLeft = "L", kRight = "R", kMiddle = "M";
    if (word == kRight) return kRight;
    if (word == kMiddle) return kMiddle;
    return kLeft;
}

Pointer::Pointer(const Clock& clock, Logger& log, platform::Events& events, Keyboard& keyboard)
    : clock_(clock), log_(log), events_(events), keyboard_(keyboard) {}

void Pointer::post(int type, platform::Point point, int button) {
    platform::MouseEvent e;
    e.type = type;
    e.point = point;
    e.button = button;
    if (isPress(type)) {
        double now = clock_.now();
        double dist = std::hypot(point.x - lastDownPos.x, point.y - lastDownPos.y);
        double dt = now - lastDownAt;
        if (dt < kClickInterval && dist < kClickDistance) {
            // Measured against where the run began, so a slow drift does not extend it.
            clickRun = std::min(clickRun + 1, 3);
            lastDownAt = now;
        } else {
            clickRun = 1;
            lastDownAt = now;
            lastDownPos = point;
        }
        e.clickState = clickRun >= 2 ? clickRun : 1;
    } else if (isRelease(type)) {
        e.clickState = clickRun >= 2 ? clickRun : 1;
    }
    events_.postMouse(e);  // an event that cannot be made is skipped
}

platform::Point Pointer::currentCursor() { return events_.mouseLocation(); }

platform::Point Pointer::clampToScreens(platform::Point p) {
    const std::vector<platform::Rect> screens = events_.screenFrames();
    if (screens.empty()) return p;

    for (const auto& s : screens) {
        if (p.x >= s.x && p.x < s.maxX() && p.y >= s.y && p.y < s.maxY()) return p;
    }

    // The nearest screen's edge point; the first screen wins ties, and its candidate
    // is also the fallback when distances do not compare (NaN coordinates).
    platform::Point best{};
    double bestD = std::numeric_limits<double>::infinity();
    bool have = false;
    for (const auto& s : screens) {
        platform::Point c{clampCoord(p.x, s.x, s.maxX() - 1), clampCoord(p.y, s.y, s.maxY() - 1)};
        // hypot orders like the squared distance but does not overflow for far points.
        double d = std::hypot(c.x - p.x, c.y - p.y);
        if (!have || d < bestD) {
            best = c;
            bestD = std::isnan(d) ? std::numeric_limits<double>::infinity() : d;
            have = true;
        }
    }
    return best;
}

void Pointer::setHold(const std::string& name, bool down) {
    ButtonInfo b = buttonInfo(name);
    if (down) {
        holdLease[name] = clock_.now();
        if (!buttonsDown.count(name)) {
            buttonsDown.insert(name);
            post(b.downType, currentCursor(), b.number);
            log_.logLine("버튼 " + name + " 유지 시작\n");
        }
    } else {
        holdLease.erase(name);
        if (buttonsDown.count(name)) {
            buttonsDown.erase(name);
            post(b.upType, currentCursor(), b.number);
            log_.logLine("버튼 " + name + " 유지 끝\n");
        }
    }
}

void Pointer::sweepHolds() {
    double now = clock_.now();

    for (auto it = clickDownAt.begin(); it != clickDownAt.end();) {
        if (now - it->second > kPressOverdue) {
            std::string name = it->first;
            it = clickDownAt.erase(it);
            if (buttonsDown.count(name) && !holdLease.count(name)) {
                buttonsDown.erase(name);
                ButtonInfo b = buttonInfo(name);
                post(b.upType, currentCursor(), b.number);
                log_.logLine("버튼 " + name + " 뗌이 안 왔다 — 스스로 놓는다\n");
            }
        } else {
            ++it;
        }
    }

    std::vector<std::string> expired;
    for (const auto& [name, t] : holdLease) {
        if (now - t > kHoldLease) expired.push_back(name);
    }
    for (const auto& name : expired) {
        log_.logLine("버튼 " + name + " 임대 만료 — 놓는다\n");
        setHold(name, false);
    }

    keyboard_.sweepMods(now);
}

void Pointer::releaseAll() {
    keyboard_.releaseMods();
    platform::Point p = currentCursor();
    for (const auto& name : buttonsDown) {
        ButtonInfo b = buttonInfo(name);
        post(b.upType, p, b.number);
    }
    buttonsDown.clear();
    holdLease.clear();
    buttonPressedAt.clear();
    clickDownAt.clear();
    log_.logLine("눌린 것 전부 해제\n");
}

}  // namespace vm
