#pragma once
// Input posted to the X server with XTEST: pointer, wheel, keys, typed text and the
// desktop's own gestures (paste, workspaces, app switcher). Keys are tracked by the
// key code we hold, so nothing is pressed twice or released when not ours, and what
// is still held goes up when the object goes away.
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posted_input.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_keymap.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {

class X11Windows;  // asked whether the focused window is a terminal (for its paste chord)

class X11Events final : public Events, public Accessibility {
public:
    X11Events(Logger& log, const std::string& display, Displays& displays, X11Windows& windows, bool commandIsSuper);
    ~X11Events() override;

    bool postMouse(const MouseEvent& e) override;
    bool postKey(const KeyEvent& e) override;
    bool postScroll(const ScrollEvent& e) override;
    bool typeText(const std::u16string& text) override;
    bool paste() override;
    bool switchWorkspace(bool right) override;
    bool appSwitcher(SwitcherStep step, uint64_t flags) override;
    Point mouseLocation() override;
    std::vector<Rect> screenFrames() override;
    uint64_t sessionModifierFlags() override;

    bool isTrusted(bool prompt) override;

private:
    // All below: call with the connection's mutex held.
    void drainEvents();
    void fake(uint8_t type, uint8_t detail, int16_t x = 0, int16_t y = 0);
    void flush();
    void sync();
    bool typeLocked(const std::u16string& text);
    void restoreSpares();
    void moveTo(Point p);

    Logger& log_;
    Connection conn_;
    Displays& displays_;
    X11Windows& windows_;
    const bool commandIsSuper_;
    Keymap keymap_;
    bool keymapStale_ = false;
    bool xtest_ = false;

    HeldKeys keys_;                                 // by X key code
    std::set<uint8_t> buttons_;                     // mouse buttons we hold
    ClickRun clicks_;
    int32_t scrollCarry_[2] = {0, 0};               // pixels not yet turned into wheel clicks

    std::vector<xcb_keycode_t> spares_;             // key codes with no symbols, for characters no key types
    std::map<xcb_keycode_t, uint32_t> bound_;       // spare key code → keysym bound to it now
    size_t nextSpare_ = 0;
    bool warnedNoSpare_ = false;
};

}  // namespace vm::platform::x11
