#pragma once
// Keys as Linux desktops number them, shared by the backends that post keys:
// HID usages to Linux input-event codes, and characters to keysyms.
#include <cstdint>
#include <string>

namespace vm::platform {

// The Linux input-event code (KEY_*) of a HID keyboard-page usage; 0 when none.
uint16_t hidToEvdev(int hid);

// The keysym an X client should see for code point `cp` when a key is bound to it:
// control characters as their function keys (Return, Tab, BackSpace, Escape, Delete),
// Latin-1 as itself, everything else as a Unicode keysym. 0 for what cannot be typed.
uint32_t keysymForCodePoint(char32_t cp);

// The language an input source types, from its "xkb:LAYOUT(VARIANT)" id, as a
// lower-case ISO 639-1 code; "" when the layout's language is not plain.
std::string layoutLanguage(const std::string& id);

}  // namespace vm::platform
