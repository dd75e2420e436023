#include "platform/chords.h"

namespace vm::platform::chords {

namespace {

bool post(Events& events, int type, uint16_t vk, int hid, bool down, uint64_t flags, bool hidSystem) {
    KeyEvent e;
    e.type = type;
    e.vk = vk;
    e.hid = hid;
    e.down = down;
    e.flags = flags;
    e.hidSystemSource = hidSystem;
    return events.postKey(e);
}

}  // namespace

bool typeText(Events& events, const std::u16string& text) {
    // A key that went down must come up, or the desktop holds it (and repeats it)
    // until the next key: a key-up that cannot be made is tried again.
    constexpr int kUpAttempts = 3;
    KeyEvent e;
    e.vk = 0;
    e.text = text;
    e.type = ev::kKeyDown;
    if (!events.postKey(e)) return false;
    e.type = ev::kKeyUp;
    e.down = false;
    for (int attempt = 0; attempt < kUpAttempts; ++attempt)
        if (events.postKey(e)) return true;
    return false;
}

bool paste(Events& events) {
    const bool down = post(events, ev::kKeyDown, kVkV, kHidV, true, ev::kFlagCommand, true);
    return post(events, ev::kKeyUp, kVkV, kHidV, false, ev::kFlagCommand, true) && down;
}

bool switchWorkspace(Events& events, bool right) {
    const uint16_t arrow = right ? kVkRightArrow : kVkLeftArrow;
    const int arrowHid = right ? kHidRightArrow : kHidLeftArrow;
    const uint64_t arrowFlags = ev::kFlagControl | ev::kFlagNumericPad | ev::kFlagSecondaryFn;
    // Every step is tried, so a Control that went down always gets its release.
    bool ok = post(events, ev::kFlagsChanged, kVkControl, kHidControl, true, ev::kFlagControl, true);
    ok = post(events, ev::kKeyDown, arrow, arrowHid, true, arrowFlags, true) && ok;
    ok = post(events, ev::kKeyUp, arrow, arrowHid, false, arrowFlags, true) && ok;
    return post(events, ev::kFlagsChanged, kVkControl, kHidControl, false, 0, true) && ok;
}

bool appSwitcher(Events& events, SwitcherStep step, uint64_t flags) {
    const uint64_t held = (flags & ~(ev::kFlagOption | ev::kFlagCommand)) | ev::kFlagCommand;
    switch (step) {
        case SwitcherStep::hold:
            if (flags & ev::kFlagCommand) return true;  // the phone already holds Command
            return post(events, ev::kFlagsChanged, kVkCommand, kHidCommand, true, held, false);
        case SwitcherStep::tabDown:
            return post(events, ev::kKeyDown, kVkTab, kHidTab, true, held, false);
        case SwitcherStep::tabUp:
            return post(events, ev::kKeyUp, kVkTab, kHidTab, false, held, false);
        case SwitcherStep::release:
            return post(events, ev::kFlagsChanged, kVkCommand, kHidCommand, false, flags, false);
    }
    return false;
}

}  // namespace vm::platform::chords
