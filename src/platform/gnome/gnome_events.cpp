#include "platform/gnome/gnome_events.h"

#include <glib.h>

#include <chrono>
#include <thread>

#include "base/log.h"
#include "platform/gnome/gnome_remote_desktop.h"
#include "platform/gnome/gnome_shell_extension.h"
#include "platform/linux_keys.h"

namespace vm::platform::gnome {

namespace {

constexpr auto kRepickTime = std::chrono::milliseconds(20);
constexpr int kBtnLeft = 0x110, kBtnRight = 0x111, kBtnMiddle = 0x112;
// Clutter's modifier bits.
constexpr uint32_t kClutterShift = 1u << 0, kClutterControl = 1u << 2, kClutterMod1 = 1u << 3, kClutterSuper = 1u << 26,
                   kClutterMod4 = 1u << 6;

std::string utf8Of(const std::u16string& text) {
    gchar* s = g_utf16_to_utf8(reinterpret_cast<const gunichar2*>(text.data()), glong(text.size()), nullptr, nullptr, nullptr);
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

}  // namespace

GnomeEvents::GnomeEvents(Logger& log, RemoteDesktop& rd, ShellExtension& shell, Displays& displays, bool commandIsSuper)
    : log_(log),
      rd_(rd),
      shell_(shell),
      displays_(displays),
      commandIsSuper_(commandIsSuper),
      keys_([this](int code, bool down) { rd_.keycode(code, down); }, [](int hid) { return int(hidToEvdev(hid)); }) {}

GnomeEvents::~GnomeEvents() {
    std::lock_guard<std::mutex> lk(mu_);
    keys_.releaseAll();
    for (int b : buttons_) rd_.button(b, false);
    buttons_.clear();
}

// ---- pointer ----------------------------------------------------------------

bool GnomeEvents::postMouse(const MouseEvent& e) {
    std::lock_guard<std::mutex> lk(mu_);
    int button = 0;
    bool down = false;
    switch (e.type) {
        case ev::kMouseMoved:
        case ev::kLeftMouseDragged:
        case ev::kRightMouseDragged:
            last_ = e.point;
            return rd_.moveTo(e.point);
        case ev::kLeftMouseDown: button = kBtnLeft, down = true; break;
        case ev::kLeftMouseUp: button = kBtnLeft; break;
        case ev::kRightMouseDown: button = kBtnRight, down = true; break;
        case ev::kRightMouseUp: button = kBtnRight; break;
        case ev::kOtherMouseDown: button = kBtnMiddle, down = true; break;
        case ev::kOtherMouseUp: button = kBtnMiddle; break;
        default: return false;
    }
    const Point at = clicks_.place(e, down);
    const bool moved = at.x != last_.x || at.y != last_.y;
    last_ = at;
    if (!rd_.moveTo(at)) return false;
    // mutter gives the surface under the pointer its focus on the next frame; a press
    // sent at once after a move would still go to the surface the pointer left.
    if (moved && down) std::this_thread::sleep_for(kRepickTime);
    if (down && buttons_.insert(button).second) return rd_.button(button, true);
    if (!down && buttons_.erase(button)) return rd_.button(button, false);
    return true;
}

bool GnomeEvents::postScroll(const ScrollEvent& e) {
    std::lock_guard<std::mutex> lk(mu_);
    if (e.wheel1 == 0 && e.wheel2 == 0) return true;
    // Positive wheel values scroll up / left; smooth-scroll deltas grow downwards / rightwards.
    return rd_.axis(-double(e.wheel2), -double(e.wheel1));
}

Point GnomeEvents::mouseLocation() {
    if (auto p = shell_.pointer()) return p->at;
    std::lock_guard<std::mutex> lk(mu_);
    return last_;
}

std::vector<Rect> GnomeEvents::screenFrames() {
    std::vector<Rect> out;
    for (DisplayID id : displays_.activeDisplays()) out.push_back(displays_.bounds(id));
    return out;
}

// ---- keys -------------------------------------------------------------------

bool GnomeEvents::postKey(const KeyEvent& e) {
    if (!e.text.empty()) return e.type == ev::kKeyDown ? typeText(e.text) : true;
    std::lock_guard<std::mutex> lk(mu_);
    const int k = hidToEvdev(shortcutHid(e.hid, commandIsSuper_));
    if (!k) return false;
    return keys_.postKey(e, k, commandIsSuper_);
}

bool GnomeEvents::typeText(const std::u16string& text) {
    const std::string utf8 = utf8Of(text);
    if (utf8.empty()) return !text.empty() ? false : true;
    // Line breaks and tabs are keys to the client (Return submits, Tab moves on).
    const bool plain = utf8.find_first_of("\n\r\t\b\x1b\x7f") == std::string::npos;
    if (plain && shell_.commitText(utf8)) return true;
    std::lock_guard<std::mutex> lk(mu_);
    bool all = true;
    for (const gchar* p = utf8.c_str(); *p; p = g_utf8_next_char(p)) {
        const uint32_t sym = keysymForCodePoint(g_utf8_get_char(p));
        if (!sym) continue;
        // Held modifiers would turn the character into a shortcut.
        keys_.withModifiers({}, [&] {
            all = rd_.keysym(sym, true) && all;
            rd_.keysym(sym, false);
        });
    }
    if (!all && !warnedKeysym_) {
        warnedKeysym_ = true;
        log_.logLine("⚠︎ 글자 입력 — 글자 입력란에 초점이 없어 키로 보냈다 (자판에 없는 글자는 빠진다)\n");
    }
    return all;
}

bool GnomeEvents::paste() {
    std::lock_guard<std::mutex> lk(mu_);
    const int v = hidToEvdev(kHidV);
    keys_.withModifiers({HeldKeys::Mod::control}, [&] {
        rd_.keycode(v, true);
        rd_.keycode(v, false);
    });
    return true;
}

bool GnomeEvents::switchWorkspace(bool right) {
    auto ws = shell_.workspaces();
    if (!ws || ws->second <= 0) return false;
    int target = ws->first + (right ? 1 : -1);
    target = std::max(0, std::min(target, ws->second - 1));
    return shell_.switchWorkspace(target);
}

bool GnomeEvents::appSwitcher(SwitcherStep step, uint64_t flags) {
    std::lock_guard<std::mutex> lk(mu_);
    const int alt = hidToEvdev(kHidAltL), tab = hidToEvdev(kHidTab);
    keys_.switcherStep(step, flags, alt, tab);
    return true;
}

uint64_t GnomeEvents::sessionModifierFlags() {
    auto p = shell_.pointer();
    if (!p) return 0;
    uint64_t f = 0;
    if (p->modifiers & kClutterShift) f |= ev::kFlagShift;
    if (p->modifiers & kClutterControl) f |= ev::kFlagControl;
    if (p->modifiers & kClutterMod1) f |= ev::kFlagOption;
    if (commandIsSuper_ && (p->modifiers & (kClutterSuper | kClutterMod4))) f |= ev::kFlagCommand;
    return f;
}

bool GnomeEvents::isTrusted(bool) { return rd_.ensure(); }

}  // namespace vm::platform::gnome
