#pragma once
// The classic desktop's shortcuts for the actions the seam names (paste, typed
// text, workspace moves, the app switcher), posted as plain key events through
// Events::postKey. A desktop whose own way is these chords (the in-memory one,
// test doubles) performs the actions with them.
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace vm::platform::chords {

inline constexpr uint16_t kVkLeftArrow = 123, kVkRightArrow = 124, kVkControl = 59, kVkCommand = 55;
inline constexpr uint16_t kVkTab = 48, kVkV = 9;
inline constexpr int kHidLeftArrow = 80, kHidRightArrow = 79, kHidControl = 224, kHidCommand = 227;
inline constexpr int kHidTab = 43, kHidV = 25;

// A key-down and key-up carrying `text`.
bool typeText(Events& events, const std::u16string& text);
// Command+V from the HID-system state.
bool paste(Events& events);
// Control+Arrow from the HID-system state.
bool switchWorkspace(Events& events, bool right);
// A Command held while Tab steps; letting it go picks the app.
bool appSwitcher(Events& events, SwitcherStep step, uint64_t flags);

}  // namespace vm::platform::chords
