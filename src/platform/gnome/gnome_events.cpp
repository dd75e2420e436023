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

constexpr int kHidV = 25, kHidTab = 43;
constexpr int kHidControlL = 224, kHidShiftL = 225, kHidAltL = 226, kHidSuperL = 227;
constexpr int kHidControlR = 228, kHidShiftR = 229, kHidAltR = 230, kHidSuperR = 231;
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
    : log_(log), rd_(rd), shell_(shell), displays_(displays), commandIsSuper_(commandIsSuper) {}

GnomeEvents::~GnomeEvents() {
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto& [k, holders] : held_) rd_.keycode(k, false);
    held_.clear();
    for (int b : buttons_) rd_.button(b, false);
    buttons_.clear();
}

void GnomeEvents::key(int code, bool down) { rd_.keycode(code, down); }

int GnomeEvents::codeForHid(int hid) const {
    if (!commandIsSuper_ && hid == kHidSuperL) hid = kHidControlL;
    if (!commandIsSuper_ && hid == kHidSuperR) hid = kHidControlR;
    return hidToEvdev(hid);
}

void GnomeEvents::hold(int code, int holder) {
    auto& holders = held_[code];
    if (holders.empty()) key(code, true);
    holders.insert(holder);
}

void GnomeEvents::letGo(int code, int holder) {
    auto it = held_.find(code);
    if (it == held_.end() || !it->second.erase(holder)) return;
    if (!it->second.empty()) return;
    key(code, false);
    held_.erase(it);
}

void GnomeEvents::dropHolder(int holder) {
    std::vector<int> keys;
    for (const auto& [k, holders] : held_)
        if (holders.count(holder)) keys.push_back(k);
    for (int k : keys) letGo(k, holder);
}

std::vector<int> GnomeEvents::heldOf(Mod m) const {
    int left = 0, right = 0;
    switch (m) {
        case Mod::shift: left = kHidShiftL, right = kHidShiftR; break;
        case Mod::control: left = kHidControlL, right = kHidControlR; break;
        case Mod::alt: left = kHidAltL, right = kHidAltR; break;
        case Mod::super: left = kHidSuperL, right = kHidSuperR; break;
    }
    std::vector<int> out;
    for (int hid : {left, right}) {
        const int k = hidToEvdev(hid);
        if (k && held_.count(k)) out.push_back(k);
    }
    return out;
}

void GnomeEvents::withModifiers(const std::set<Mod>& want, const std::function<void()>& action) {
    std::vector<int> released, pressed;
    const std::pair<Mod, int> leftKeys[] = {{Mod::shift, kHidShiftL}, {Mod::control, kHidControlL}, {Mod::alt, kHidAltL},
                                            {Mod::super, kHidSuperL}};
    for (const auto& [m, hid] : leftKeys) {
        const std::vector<int> have = heldOf(m);
        if (!want.count(m)) {
            for (int k : have) {
                key(k, false);
                released.push_back(k);
            }
        } else if (have.empty()) {
            const int k = hidToEvdev(hid);
            key(k, true);
            pressed.push_back(k);
        }
    }
    action();
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) key(*it, false);
    for (int k : released) key(k, true);
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
    // Toolkits count a double click only when the presses land close together.
    Point at = e.point;
    if (e.clickState >= 2 && haveRunFirstPress_) {
        at = runFirstPress_;
    } else if (down) {
        runFirstPress_ = e.point;
        haveRunFirstPress_ = e.clickState == 1;
    }
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
    const int k = codeForHid(e.hid);
    if (!k) return false;
    switch (e.type) {
        case ev::kFlagsChanged:
            if (e.down) hold(k, e.hid);
            else letGo(k, e.hid);
            return true;
        case ev::kKeyDown: {
            std::set<Mod> want;
            if (e.flags & ev::kFlagShift) want.insert(Mod::shift);
            if (e.flags & ev::kFlagControl) want.insert(Mod::control);
            if (e.flags & ev::kFlagOption) want.insert(Mod::alt);
            if (e.flags & ev::kFlagCommand) want.insert(commandIsSuper_ ? Mod::super : Mod::control);
            bool same = true;
            for (Mod m : {Mod::shift, Mod::control, Mod::alt, Mod::super})
                if ((want.count(m) > 0) != !heldOf(m).empty()) same = false;
            if (same) hold(k, e.hid);
            else withModifiers(want, [&] { hold(k, e.hid); });
            return true;
        }
        case ev::kKeyUp:
            letGo(k, e.hid);
            return true;
        default:
            return false;
    }
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
        withModifiers({}, [&] {
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
    withModifiers({Mod::control}, [&] {
        key(v, true);
        key(v, false);
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
    switch (step) {
        case SwitcherStep::hold:
            dropHolder(kHidSuperL);
            dropHolder(kHidSuperR);
            hold(alt, kSwitcherHolder);
            break;
        case SwitcherStep::tabDown: hold(tab, kHidTab); break;
        case SwitcherStep::tabUp: letGo(tab, kHidTab); break;
        case SwitcherStep::release:
            letGo(alt, kSwitcherHolder);
            if (!(flags & ev::kFlagOption)) {
                dropHolder(kHidAltL);
                dropHolder(kHidAltR);
            }
            if (!(flags & ev::kFlagCommand)) {
                dropHolder(kHidSuperL);
                dropHolder(kHidSuperR);
            }
            break;
    }
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
