#pragma once
// Keys from the phone: HID keyboard usages turned into key events with the
// modifier flags the phone holds, Option+Tab (or Command+Tab) as the app switcher, Option+Space
// as Command+Space, language keys and Control+Space as the input-source switch,
// and modifiers whose key-up was lost released after 5 s.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/log.h"
#include "platform/platform.h"

namespace vm {

// HID usage (keyboard page) → virtual key code: the 82 mapped keys.
extern const std::map<int, uint16_t> HID_TO_VK;
// HID usage of a modifier key → its event flag mask.
extern const std::map<int, uint64_t> HID_MODIFIER_FLAG;

class Keyboard {
public:
    Keyboard(const Clock& clock, Logger& log, platform::Events& events, std::function<void()> switchInputSource);

    void handleKey(int hid, bool down);
    uint64_t currentFlags() const;
    std::optional<std::pair<int, uint64_t>> substitute(int hid, uint64_t flags) const;
    // " (수정자 ⌃⌥⇧⌘ 폰이 누른 것 0xE0,…)" or "".
    std::string modifierNote();
    void sweepMods(double now);
    // Releases everything the phone holds: the ordinary keys first (releaseKeys), then
    // every modifier (handleKey up for each), then forgets them.
    void releaseMods();
    // Posts the release of every ordinary key whose press went out without one, so
    // a phone that vanished mid-press leaves no key repeating on the desktop.
    void releaseKeys();
    // Ordinary (non-modifier) keys pressed and not yet released; safe from any thread.
    std::set<int> keysDown() const;

    // Whether the phone holds a Control key; safe from any thread.
    bool phoneHoldsControl() const { return holdsControl_.load(); }
    std::set<int> modsDown() const;

private:
    // A key event for usage `hid` (one of HID_TO_VK), going down or up.
    void post(int type, int hid, bool down, uint64_t flags);
    void noteMods();

    const Clock& clock_;
    Logger& log_;
    platform::Events& events_;
    std::function<void()> switchInputSource_;
    mutable std::mutex modsMu_;  // guards modsDown_ and keysDown_ for readers on other threads
    std::set<int> modsDown_;
    std::set<int> keysDown_;     // at most one entry per usage of HID_TO_VK
    double lastKeyAt_;
    std::set<int> unmappedSeen_;
    bool switcherActive_ = false;  // the app switcher is held open for the phone
    bool spaceDownPosted_ = false;  // the last Space press went out as a key event
    std::atomic<bool> holdsControl_{false};
};

}  // namespace vm
