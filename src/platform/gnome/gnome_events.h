#pragma once
// Input posted through mutter's remote-desktop session: pointer, buttons, smooth
// scrolling in pixels, keys by Linux key code. Typed text goes to the focused text
// field through our shell extension's input-method commit (any character, any
// layout); with no text field focused it falls back to keysyms, which reach only
// the characters the current layout has. Keys are tracked by who holds them, so
// nothing is pressed twice or released when not ours.
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

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
    enum class Mod { shift, control, alt, super };
    static constexpr int kSwitcherHolder = -1;

    // All below: call with mu_ held.
    void key(int code, bool down);
    void hold(int code, int holder);
    void letGo(int code, int holder);
    void dropHolder(int holder);
    std::vector<int> heldOf(Mod m) const;
    void withModifiers(const std::set<Mod>& want, const std::function<void()>& action);
    int codeForHid(int hid) const;

    Logger& log_;
    RemoteDesktop& rd_;
    ShellExtension& shell_;
    Displays& displays_;
    const bool commandIsSuper_;
    std::mutex mu_;
    std::map<int, std::set<int>> held_;  // evdev key code → who holds it
    std::set<int> buttons_;
    Point last_;
    Point runFirstPress_;
    bool haveRunFirstPress_ = false;
    bool warnedKeysym_ = false;
};

}  // namespace vm::platform::gnome
