#include "platform/x11/x11_events.h"

#include <xcb/xtest.h>
// xcb/xkb.h names a struct member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "base/log.h"
#include "platform/x11/x11_windows.h"

namespace vm::platform::x11 {

namespace {

constexpr int32_t kPixelsPerWheelClick = 40;
constexpr int64_t kMaxClicksPerScroll = 200;  // a wild value must not flood the server
constexpr size_t kSpareKeycodes = 8;
// How long clients get to read a key bound to a spare key code before the binding goes.
constexpr auto kBindingReadTime = std::chrono::milliseconds(40);

int16_t toCoord(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<int16_t>(std::clamp<long>(std::lround(v), -32768, 32767));
}

}  // namespace

X11Events::X11Events(Logger& log, const std::string& display, Displays& displays, X11Windows& windows,
                     bool commandIsSuper)
    : log_(log),
      conn_(display),
      displays_(displays),
      windows_(windows),
      commandIsSuper_(commandIsSuper),
      keys_([this](int code, bool down) { fake(down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, uint8_t(code)); },
            [this](int hid) { return int(keymap_.keycodeForHid(hid)); }) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    xcb_connection_t* c = conn_.get();
    xcb_test_get_version_reply_t* v = xcb_test_get_version_reply(c, xcb_test_get_version(c, 2, 2), nullptr);
    xtest_ = v != nullptr;
    std::free(v);
    if (!xtest_) log_.logLine("⚠︎ X 서버가 XTEST 에 답하지 않는다 — 입력을 보낼 수 없다\n");

    if (keymap_.attach(c)) {
        // Keymap changes (our own bindings of spare keys too) are read again before the next lookup.
        const uint16_t which = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        const uint16_t parts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP;
        xcb_xkb_select_events_aux(c, static_cast<xcb_xkb_device_spec_t>(keymap_.device()), which, 0, which, parts,
                                  parts, nullptr);
        xcb_flush(c);
        spares_ = keymap_.spareKeycodes(kSpareKeycodes);
        if (spares_.empty()) log_.logLine("⚠︎ 빈 키코드가 없다 — 자판에 없는 글자는 입력하지 못한다\n");
    } else {
        log_.logLine("⚠︎ X 서버의 XKB 키맵을 읽지 못했다 — 키는 evdev 번호로 보내고 글자 입력은 못 한다\n");
    }
}

X11Events::~X11Events() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    keys_.releaseAll();
    for (uint8_t b : buttons_) fake(XCB_BUTTON_RELEASE, b);
    buttons_.clear();
    for (auto& [k, sym] : bound_) {
        const xcb_keysym_t none[2] = {0, 0};
        xcb_change_keyboard_mapping(conn_.get(), 1, k, 2, none);
    }
    bound_.clear();
    sync();
}

// ---- plumbing -------------------------------------------------------------

void X11Events::fake(uint8_t type, uint8_t detail, int16_t x, int16_t y) {
    xcb_test_fake_input(conn_.get(), type, detail, XCB_CURRENT_TIME,
                        type == XCB_MOTION_NOTIFY ? conn_.root() : XCB_NONE, x, y, 0);
}

void X11Events::flush() { xcb_flush(conn_.get()); }

void X11Events::sync() {
    xcb_get_input_focus_reply_t* r = xcb_get_input_focus_reply(conn_.get(), xcb_get_input_focus(conn_.get()), nullptr);
    std::free(r);
}

void X11Events::drainEvents() {
    while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_.get())) {
        const uint8_t type = ev->response_type & 0x7f;
        if (type == XCB_MAPPING_NOTIFY) keymapStale_ = true;
        if (keymap_.attached() && type == keymap_.xkbEventBase()) {
            const uint8_t xkbType = reinterpret_cast<xcb_xkb_map_notify_event_t*>(ev)->xkbType;
            if (xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkbType == XCB_XKB_MAP_NOTIFY) keymapStale_ = true;
        }
        std::free(ev);
    }
    // Never while our own bindings stand: the spare list must see the keys empty.
    if (keymapStale_ && bound_.empty() && keymap_.attached()) {
        keymapStale_ = false;
        if (keymap_.reload(conn_.get())) spares_ = keymap_.spareKeycodes(kSpareKeycodes);
    }
}

void X11Events::moveTo(Point p) { fake(XCB_MOTION_NOTIFY, 0, toCoord(p.x), toCoord(p.y)); }

// ---- pointer --------------------------------------------------------------

bool X11Events::postMouse(const MouseEvent& e) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xtest_) return false;
    uint8_t button = 0;
    bool down = false;
    switch (e.type) {
        case ev::kMouseMoved:
        case ev::kLeftMouseDragged:
        case ev::kRightMouseDragged:
            moveTo(e.point);
            flush();
            return true;
        case ev::kLeftMouseDown: button = 1, down = true; break;
        case ev::kLeftMouseUp: button = 1; break;
        case ev::kRightMouseDown: button = 3, down = true; break;
        case ev::kRightMouseUp: button = 3; break;
        case ev::kOtherMouseDown: button = 2, down = true; break;
        case ev::kOtherMouseUp: button = 2; break;
        default: return false;
    }
    moveTo(clicks_.place(e, down));
    if (down && buttons_.insert(button).second) fake(XCB_BUTTON_PRESS, button);
    if (!down && buttons_.erase(button)) fake(XCB_BUTTON_RELEASE, button);
    flush();
    return true;
}

bool X11Events::postScroll(const ScrollEvent& e) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xtest_) return false;
    const int32_t amounts[2] = {e.wheel1, e.wheel2};
    const uint8_t positive[2] = {4, 6}, negative[2] = {5, 7};  // up, left / down, right
    for (int axis = 0; axis < 2; ++axis) {
        const int32_t v = amounts[axis];
        if (v == 0) continue;
        int32_t& carry = scrollCarry_[axis];
        if (carry != 0 && (carry > 0) != (v > 0)) carry = 0;  // a turn of direction starts afresh
        const int64_t total = int64_t{carry} + v;
        const int64_t clicks = total / kPixelsPerWheelClick;
        carry = static_cast<int32_t>(total - clicks * kPixelsPerWheelClick);
        const uint8_t button = clicks > 0 ? positive[axis] : negative[axis];
        for (int64_t i = 0; i < std::min<int64_t>(std::llabs(clicks), kMaxClicksPerScroll); ++i) {
            fake(XCB_BUTTON_PRESS, button);
            fake(XCB_BUTTON_RELEASE, button);
        }
    }
    flush();
    return true;
}

Point X11Events::mouseLocation() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    xcb_query_pointer_reply_t* r = xcb_query_pointer_reply(conn_.get(), xcb_query_pointer(conn_.get(), conn_.root()), nullptr);
    Point p;
    if (r) p = Point{double(r->root_x), double(r->root_y)};
    std::free(r);
    return p;
}

std::vector<Rect> X11Events::screenFrames() {
    std::vector<Rect> out;
    for (DisplayID id : displays_.activeDisplays()) out.push_back(displays_.bounds(id));
    return out;
}

// ---- keys -----------------------------------------------------------------

bool X11Events::postKey(const KeyEvent& e) {
    if (!e.text.empty()) return e.type == ev::kKeyDown ? typeText(e.text) : true;
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xtest_) return false;
    drainEvents();
    const xcb_keycode_t k = keymap_.keycodeForHid(shortcutHid(e.hid, commandIsSuper_));
    if (!k || !keys_.postKey(e, k, commandIsSuper_)) return false;
    flush();
    return true;
}

bool X11Events::typeText(const std::u16string& text) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    return typeLocked(text);
}

bool X11Events::typeLocked(const std::u16string& text) {
    if (!xtest_) return false;
    drainEvents();
    xcb_connection_t* c = conn_.get();
    uint32_t group = 0;
    uint16_t locked = 0;
    if (keymap_.attached()) {
        xcb_xkb_get_state_reply_t* st = xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr);
        if (st) group = st->group, locked = st->lockedMods;
        std::free(st);
    }

    std::set<xcb_keycode_t> boundThisRound;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xd800 && cp <= 0xdbff && i + 1 < text.size() && text[i + 1] >= 0xdc00 && text[i + 1] <= 0xdfff) {
            cp = 0x10000 + ((cp - 0xd800) << 10) + (text[i + 1] - 0xdc00);
            ++i;
        }
        const uint32_t sym = keysymForCodePoint(cp);
        if (!sym) continue;
        auto tap = [this](xcb_keycode_t k) {
            fake(XCB_KEY_PRESS, k);
            fake(XCB_KEY_RELEASE, k);
        };
        if (auto key = keymap_.keyFor(sym, cp, group, locked)) {
            std::set<HeldKeys::Mod> want;
            if (key->shift) want.insert(HeldKeys::Mod::shift);
            keys_.withModifiers(want, [&] { tap(key->code); });
            continue;
        }
        if (spares_.empty()) {
            if (!warnedNoSpare_) log_.logLine("⚠︎ 자판에 없는 글자인데 빈 키코드가 없다 — 그 글자는 건너뛴다\n");
            warnedNoSpare_ = true;
            continue;
        }
        xcb_keycode_t k = 0;
        for (const auto& [code, bsym] : bound_)
            if (bsym == sym) k = code;
        if (!k) {
            k = spares_[nextSpare_++ % spares_.size()];
            if (boundThisRound.count(k)) {
                // Every spare is in use: clients must read the earlier keys before one is bound anew.
                sync();
                std::this_thread::sleep_for(kBindingReadTime);
                boundThisRound.clear();
            }
            const xcb_keysym_t syms[2] = {sym, sym};
            xcb_change_keyboard_mapping(c, 1, k, 2, syms);
            bound_[k] = sym;
            boundThisRound.insert(k);
        }
        std::set<HeldKeys::Mod> want;
        if (keys_.holds(HeldKeys::Mod::shift)) want.insert(HeldKeys::Mod::shift);  // both levels give the character
        keys_.withModifiers(want, [&] { tap(k); });
    }
    restoreSpares();
    flush();
    return true;
}

void X11Events::restoreSpares() {
    if (bound_.empty()) return;
    // The keys are out; give clients time to look the bindings up before they go.
    sync();
    std::this_thread::sleep_for(kBindingReadTime);
    const xcb_keysym_t none[2] = {0, 0};
    for (const auto& [k, sym] : bound_) xcb_change_keyboard_mapping(conn_.get(), 1, k, 2, none);
    bound_.clear();
    sync();  // done by the time the caller goes on
}

// ---- gestures -------------------------------------------------------------

bool X11Events::paste() {
    const bool terminal = windows_.focusedIsTerminal();  // asked before taking our lock
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xtest_) return false;
    drainEvents();
    const xcb_keycode_t v = keymap_.keycodeForHid(kHidV);
    if (!v) return false;
    std::set<HeldKeys::Mod> want{HeldKeys::Mod::control};
    if (terminal) want.insert(HeldKeys::Mod::shift);
    keys_.withModifiers(want, [&] {
        fake(XCB_KEY_PRESS, v);
        fake(XCB_KEY_RELEASE, v);
    });
    flush();
    return true;
}

bool X11Events::switchWorkspace(bool right) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    xcb_connection_t* c = conn_.get();
    const xcb_atom_t number = conn_.atom("_NET_NUMBER_OF_DESKTOPS"), current = conn_.atom("_NET_CURRENT_DESKTOP");
    auto cardinal = [&](xcb_atom_t a) -> std::optional<uint32_t> {
        if (a == XCB_ATOM_NONE) return std::nullopt;
        xcb_get_property_reply_t* r =
            xcb_get_property_reply(c, xcb_get_property(c, 0, conn_.root(), a, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        std::optional<uint32_t> v;
        if (r && r->format == 32 && xcb_get_property_value_length(r) >= 4)
            v = *static_cast<uint32_t*>(xcb_get_property_value(r));
        std::free(r);
        return v;
    };
    const auto n = cardinal(number), cur = cardinal(current);
    if (!n || !cur || *n == 0) return false;
    uint32_t target = *cur;
    if (right && target + 1 < *n) ++target;
    if (!right && target > 0) --target;
    if (target >= *n) target = *n - 1;

    xcb_client_message_event_t msg{};
    msg.response_type = XCB_CLIENT_MESSAGE;
    msg.format = 32;
    msg.window = conn_.root();
    msg.type = current;
    msg.data.data32[0] = target;
    msg.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(c, 0, conn_.root(), XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&msg));
    flush();
    return true;
}

bool X11Events::appSwitcher(SwitcherStep step, uint64_t flags) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xtest_) return false;
    drainEvents();
    const xcb_keycode_t alt = keymap_.keycodeForHid(kHidAltL), tab = keymap_.keycodeForHid(kHidTab);
    if (!alt || !tab) return false;
    keys_.switcherStep(step, flags, alt, tab);
    flush();
    return true;
}

uint64_t X11Events::sessionModifierFlags() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    xcb_connection_t* c = conn_.get();
    uint16_t mods = 0;
    if (keymap_.attached()) {
        xcb_xkb_get_state_reply_t* st = xcb_xkb_get_state_reply(c, xcb_xkb_get_state(c, XCB_XKB_ID_USE_CORE_KBD), nullptr);
        if (st) mods = st->mods;
        std::free(st);
    } else {
        xcb_query_pointer_reply_t* r = xcb_query_pointer_reply(c, xcb_query_pointer(c, conn_.root()), nullptr);
        if (r) mods = r->mask & 0xff;
        std::free(r);
    }
    uint64_t f = 0;
    if (mods & kModShift) f |= ev::kFlagShift;
    if (mods & kModControl) f |= ev::kFlagControl;
    if (mods & kModMod1) f |= ev::kFlagOption;
    if (commandIsSuper_ && (mods & kModMod4)) f |= ev::kFlagCommand;
    return f;
}

bool X11Events::isTrusted(bool /*prompt*/) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    xcb_test_get_version_reply_t* v =
        xcb_test_get_version_reply(conn_.get(), xcb_test_get_version(conn_.get(), 2, 2), nullptr);
    xtest_ = v != nullptr;
    std::free(v);
    return xtest_;
}

}  // namespace vm::platform::x11
