#include "platform/x11/x11_keymap.h"

#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstring>

namespace vm::platform::x11 {

namespace {

// XKB names of the evdev key codes that other key-code sets (xfree86) number
// differently. Below 97 both agree.
const char* evdevKeyName(unsigned x) {
    static const std::map<unsigned, const char*> names = {
        {97, "AB11"},  {98, "KATA"},  {99, "HIRA"},  {100, "HENK"}, {101, "HKTG"}, {102, "MUHE"},
        {103, "JPCM"}, {104, "KPEN"}, {105, "RCTL"}, {106, "KPDV"}, {107, "PRSC"}, {108, "RALT"},
        {110, "HOME"}, {111, "UP"},   {112, "PGUP"}, {113, "LEFT"}, {114, "RGHT"}, {115, "END"},
        {116, "DOWN"}, {117, "PGDN"}, {118, "INS"},  {119, "DELE"}, {121, "MUTE"}, {122, "VOL-"},
        {123, "VOL+"}, {124, "POWR"}, {125, "KPEQ"}, {127, "PAUS"}, {130, "HNGL"}, {131, "HJCV"},
        {132, "AE13"}, {133, "LWIN"}, {134, "RWIN"}, {135, "COMP"}, {136, "STOP"}, {137, "AGAI"},
        {138, "PROP"}, {139, "UNDO"}, {140, "FRNT"}, {141, "COPY"}, {142, "OPEN"}, {143, "PAST"},
        {144, "FIND"}, {145, "CUT"},  {146, "HELP"}, {191, "FK13"}, {192, "FK14"}, {193, "FK15"},
        {194, "FK16"}, {195, "FK17"}, {196, "FK18"}, {197, "FK19"}, {198, "FK20"}, {199, "FK21"},
        {200, "FK22"}, {201, "FK23"}, {202, "FK24"},
    };
    auto it = names.find(x);
    return it == names.end() ? nullptr : it->second;
}

}  // namespace

Keymap::Keymap() : ctx_(xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES))) {}

Keymap::~Keymap() {
    if (probe_) xkb_state_unref(probe_);
    if (keymap_) xkb_keymap_unref(keymap_);
    if (ctx_) xkb_context_unref(ctx_);
}

bool Keymap::attach(xcb_connection_t* c) {
    if (!ctx_) return false;
    uint8_t base = 0, errBase = 0;
    if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &base, &errBase))
        return false;
    const int32_t dev = xkb_x11_get_core_keyboard_device_id(c);
    if (dev < 0) return false;
    device_ = dev;
    eventBase_ = base;
    return reload(c);
}

bool Keymap::reload(xcb_connection_t* c) {
    if (device_ < 0) return false;
    xkb_keymap* km = xkb_x11_keymap_new_from_device(ctx_, c, device_, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!km) return false;
    xkb_state* st = xkb_state_new(km);
    if (!st) {
        xkb_keymap_unref(km);
        return false;
    }
    if (probe_) xkb_state_unref(probe_);
    if (keymap_) xkb_keymap_unref(keymap_);
    keymap_ = km;
    probe_ = st;
    indexed_.reset();
    return true;
}

xcb_keycode_t Keymap::keycodeForEvdev(uint16_t evdev) const {
    if (evdev == 0) return 0;
    const unsigned x = evdev + 8u;
    if (x > 255) return 0;
    if (keymap_) {
        if (const char* name = evdevKeyName(x)) {
            xkb_keycode_t k = xkb_keymap_key_by_name(keymap_, name);
            if (k == XKB_KEYCODE_INVALID && std::strcmp(name, "COMP") == 0) k = xkb_keymap_key_by_name(keymap_, "MENU");
            if (k != XKB_KEYCODE_INVALID && k <= 255) return static_cast<xcb_keycode_t>(k);
        }
    }
    return static_cast<xcb_keycode_t>(x);
}

void Keymap::index(uint32_t group) {
    bySym_.clear();
    byChar_.clear();
    indexed_ = group;
    if (!keymap_) return;
    const xkb_keycode_t lo = xkb_keymap_min_keycode(keymap_), hi = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap_), 255);
    for (xkb_keycode_t k = lo; k <= hi; ++k) {
        if (xkb_keymap_num_layouts_for_key(keymap_, k) == 0) continue;
        const xkb_level_index_t levels = std::min<xkb_level_index_t>(xkb_keymap_num_levels_for_key(keymap_, k, group), 2);
        for (xkb_level_index_t level = 0; level < levels; ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int n = xkb_keymap_key_get_syms_by_level(keymap_, k, group, level, &syms);
            if (n != 1) continue;
            bySym_.emplace(syms[0], static_cast<xcb_keycode_t>(k));
            if (const uint32_t ch = xkb_keysym_to_utf32(syms[0]); ch >= 0x20) byChar_.emplace(ch, static_cast<xcb_keycode_t>(k));
        }
    }
}

std::optional<Keymap::Key> Keymap::keyFor(uint32_t sym, char32_t cp, uint32_t group, uint16_t lockedMods) {
    if (!keymap_ || !probe_) return std::nullopt;
    if (indexed_ != group) index(group);
    // Ask the keymap itself what each candidate gives, so Caps Lock and Num Lock count.
    auto gives = [&](xcb_keycode_t k, bool shift) {
        xkb_state_update_mask(probe_, shift ? kModShift : 0, 0, lockedMods, 0, 0, group);
        if (xkb_state_key_get_one_sym(probe_, k) == sym) return true;
        return cp >= 0x20 && xkb_state_key_get_utf32(probe_, k) == static_cast<uint32_t>(cp);
    };
    for (const auto* table : {&bySym_, &byChar_}) {
        auto [from, to] = table->equal_range(table == &bySym_ ? sym : static_cast<uint32_t>(cp));
        for (auto it = from; it != to; ++it) {
            for (bool shift : {false, true}) {
                if (gives(it->second, shift)) return Key{it->second, shift};
            }
        }
    }
    return std::nullopt;
}

std::vector<xcb_keycode_t> Keymap::spareKeycodes(size_t max) const {
    std::vector<xcb_keycode_t> out;
    if (!keymap_) return out;
    const xkb_keycode_t lo = std::max<xkb_keycode_t>(xkb_keymap_min_keycode(keymap_), 8);
    const xkb_keycode_t hi = std::min<xkb_keycode_t>(xkb_keymap_max_keycode(keymap_), 255);
    for (xkb_keycode_t k = hi; k >= lo && out.size() < max; --k) {
        bool empty = true;
        const xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap_, k);
        for (xkb_layout_index_t g = 0; g < layouts && empty; ++g) {
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap_, k, g);
            for (xkb_level_index_t level = 0; level < levels && empty; ++level) {
                const xkb_keysym_t* syms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(keymap_, k, g, level, &syms) > 0) empty = false;
            }
        }
        if (empty) out.push_back(static_cast<xcb_keycode_t>(k));
    }
    return out;
}

}  // namespace vm::platform::x11
