#pragma once
// Keys as the X server knows them: HID usages to X key codes, and which key of the
// current layout types a character. The server's keyboard map (XKB) is read with
// libxkbcommon; callers serialise use with their connection's mutex.
#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/linux_keys.h"

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace vm::platform::x11 {

using platform::hidToEvdev;
using platform::keysymForCodePoint;

// X real modifier masks.
inline constexpr uint16_t kModShift = 1, kModLock = 2, kModControl = 4, kModMod1 = 8, kModMod4 = 64;

class Keymap {
public:
    Keymap();
    ~Keymap();
    Keymap(const Keymap&) = delete;
    Keymap& operator=(const Keymap&) = delete;

    // Sets up XKB on `c` and reads the core keyboard's map. False when the server has
    // no XKB (then keys fall back to evdev + 8 and nothing is looked up).
    bool attach(xcb_connection_t* c);
    bool attached() const { return device_ >= 0; }
    // Reads the map again (after a MappingNotify or a new keyboard).
    bool reload(xcb_connection_t* c);
    // First event code of the XKB extension (its events carry it as response_type).
    uint8_t xkbEventBase() const { return eventBase_; }
    int32_t device() const { return device_; }

    // The server's key code for Linux key `evdev`: evdev + 8 on servers that number
    // keys the evdev way; on others found through the key's XKB name. 0 when none.
    xcb_keycode_t keycodeForEvdev(uint16_t evdev) const;
    xcb_keycode_t keycodeForHid(int hid) const { return keycodeForEvdev(hidToEvdev(hid)); }

    struct Key {
        xcb_keycode_t code = 0;
        bool shift = false;  // needs Shift (on top of the locked modifiers)
    };
    // A key of layout `group` that gives keysym `sym` (or the character `cp`) with the
    // locked modifiers `lockedMods`, alone or with Shift.
    std::optional<Key> keyFor(uint32_t sym, char32_t cp, uint32_t group, uint16_t lockedMods);
    // Key codes with no symbols in any layout, highest first, at most `max`.
    std::vector<xcb_keycode_t> spareKeycodes(size_t max) const;

private:
    void index(uint32_t group);

    xkb_context* ctx_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    xkb_state* probe_ = nullptr;  // a scratch state to ask what a key gives under given modifiers
    int32_t device_ = -1;
    uint8_t eventBase_ = 0;
    // Candidate keys per keysym / per character of the indexed layout.
    std::multimap<uint32_t, xcb_keycode_t> bySym_, byChar_;
    std::optional<uint32_t> indexed_;
};

}  // namespace vm::platform::x11
