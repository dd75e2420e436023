#pragma once
// What the desktops that post input key by key share (X11 through XTEST, GNOME
// through mutter's remote desktop): which keys are held and by whom, so nothing is
// pressed twice or released when not ours; chords that need exactly some modifiers
// down; the phone's key events and the app-switcher gesture on top of that; and where
// a run of clicks lands. The backend says how a key goes down or up and what key code
// a HID usage has; it calls everything here with its own lock held.
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "platform/platform.h"

namespace vm::platform {

inline constexpr int kHidV = 25, kHidTab = 43;
inline constexpr int kHidControlL = 224, kHidShiftL = 225, kHidAltL = 226, kHidSuperL = 227;
inline constexpr int kHidControlR = 228, kHidShiftR = 229, kHidAltR = 230, kHidSuperR = 231;

// The HID usage a phone key stands for here: its Command is the desktop's shortcut
// modifier, Control unless Super was chosen.
int shortcutHid(int hid, bool commandIsSuper);

class HeldKeys {
public:
    // Which modifier a held key stands for.
    enum class Mod { shift, control, alt, super };
    // Who holds a key: the phone's HID usage, or one of our own gestures.
    static constexpr int kSwitcherHolder = -1;

    // `post(code, down)` sends one key; `codeForHid(hid)` is the backend's key code of a
    // HID usage, 0 when it has none.
    HeldKeys(std::function<void(int code, bool down)> post, std::function<int(int hid)> codeForHid);

    void hold(int code, int holder);
    void letGo(int code, int holder);
    void dropHolder(int holder);
    bool holds(Mod m) const;
    // Runs `action` with exactly the modifiers in `want` down, restoring the held ones after.
    void withModifiers(const std::set<Mod>& want, const std::function<void()>& action);
    // The phone's key event (one without text) on the key `code`, which it holds under its
    // HID usage; a key-down brings the modifiers to what its flags say. False for an
    // event type that is no key.
    bool postKey(const KeyEvent& e, int code, bool commandIsSuper);
    // The app switcher as Alt+Tab on the keys `alt` and `tab`.
    void switcherStep(SwitcherStep step, uint64_t flags, int alt, int tab);
    // Lets go of every key still held (the backend going away).
    void releaseAll();

private:
    std::vector<int> heldOf(Mod m) const;

    std::function<void(int, bool)> post_;
    std::function<int(int)> codeForHid_;
    std::map<int, std::set<int>> held_;  // key code → who holds it
};

// Toolkits count a double click only when the presses land close together: the
// presses after the first of a run go where the first one went.
class ClickRun {
public:
    // Where the button event `e` (going down when `down`) should land.
    Point place(const MouseEvent& e, bool down);

private:
    Point firstPress_;
    bool haveFirstPress_ = false;
};

}  // namespace vm::platform
