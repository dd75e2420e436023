#pragma once
// Input posted through mutter's remote-desktop session: pointer, buttons, smooth
// scrolling in pixels, keys by Linux key code. Typed text goes to the focused text
// field through our shell extension's input-method commit (any character, any
// layout); with no text field focused it falls back to keysyms, which reach only
// the characters the current layout has. Keys are tracked by who holds them, so
// nothing is pressed twice or released when not ours.
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posted_input.h"

namespace vm {
class Logger;
}

namespace vm::platform::gnome {

class RemoteDesktop;
class ShellExtension;

class GnomeEvents final : public Events, public Accessibility {
public:
    GnomeEvents(Logger& log, RemoteDesktop& rd, ShellExtension& shell, Displays& displays, bool commandIsSuper);
    ~GnomeEvents() override;

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
    Logger& log_;
    RemoteDesktop& rd_;
    ShellExtension& shell_;
    Displays& displays_;
    const bool commandIsSuper_;
    std::mutex mu_;  // guards all below
    HeldKeys keys_;  // by evdev key code
    std::set<int> buttons_;
    Point last_;
    ClickRun clicks_;
    bool warnedKeysym_ = false;
};

}  // namespace vm::platform::gnome
