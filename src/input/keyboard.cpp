#include "input/keyboard.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vm {

namespace {

std::map<int, uint16_t> buildHidToVk() {
    std::map<int, uint16_t> m;
    auto run = [&m](int firstUsage, std::initializer_list<uint16_t> codes) {
        int usage = firstUsage;
        for (uint16_t vk : codes) m.emplace(usage++, vk);
    };
    // letters a–z
    run(4, {0, 11, 8, 2, 14, 3, 5, 4, 34, 38, 40, 37, 46, 45, 31, 35, 12, 15, 1, 17, 32, 9, 13, 7, 16, 6});
    // digits 1–9, 0
    run(30, {18, 19, 20, 21, 23, 22, 26, 28, 25, 29});
    // Return, Escape, Backspace, Tab, Space, - = [ ] backslash
    run(40, {36, 53, 51, 48, 49, 27, 24, 33, 30, 42});
    // ; ' ` , . / Caps Lock (50, non-US hash, has no key here)
    run(51, {41, 39, 50, 43, 47, 44, 57});
    // F1–F12
    run(58, {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111});
    // Home, Page Up, Forward Delete, End, Page Down, arrows (70–73 have no key here)
    run(74, {115, 116, 117, 119, 121, 124, 123, 125, 126});
    // left Control, Shift, Option, Command; right Control, Shift, Option, Command
    run(224, {59, 56, 58, 55, 62, 60, 61, 54});
    return m;
}

constexpr int kSpace = 44;
constexpr int kTab = 43;
constexpr size_t kUnmappedSeenMax = 1024;

bool isOption(int hid) { return hid == 226 || hid == 230; }
bool isCommand(int hid) { return hid == 227 || hid == 231; }
bool holdsCommand(const std::set<int>& mods) { return mods.count(227) || mods.count(231); }
bool holdsControl(const std::set<int>& mods) { return mods.count(224) || mods.count(228); }
bool holdsOption(const std::set<int>& mods) { return mods.count(226) || mods.count(230); }
bool isArrow(int hid) { return hid >= 79 && hid <= 82; }

std::string hexUsage(int hid) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(hid));
    return buf;
}

}  // namespace

const std::map<int, uint16_t> HID_TO_VK = buildHidToVk();

const std::map<int, uint64_t> HID_MODIFIER_FLAG = {
    {224, platform::ev::kFlagControl}, {228, platform::ev::kFlagControl},
    {225, platform::ev::kFlagShift},   {229, platform::ev::kFlagShift},
    {226, platform::ev::kFlagOption},  {230, platform::ev::kFlagOption},
    {227, platform::ev::kFlagCommand}, {231, platform::ev::kFlagCommand},
};

Keyboard::Keyboard(const Clock& clock, Logger& log, platform::Events& events, std::function<void()> switchInputSource)
    : clock_(clock),
      log_(log),
      events_(events),
      switchInputSource_(std::move(switchInputSource)),
      lastKeyAt_(clock.now()) {}

std::set<int> Keyboard::modsDown() const {
    std::lock_guard<std::mutex> lk(modsMu_);
    return modsDown_;
}

uint64_t Keyboard::currentFlags() const {
    std::lock_guard<std::mutex> lk(modsMu_);
    uint64_t flags = 0;
    for (int hid : modsDown_) {
        auto it = HID_MODIFIER_FLAG.find(hid);
        if (it != HID_MODIFIER_FLAG.end()) flags |= it->second;
    }
    return flags;
}

std::optional<std::pair<int, uint64_t>> Keyboard::substitute(int hid, uint64_t /*flags*/) const {
    if (hid != kSpace) return std::nullopt;
    std::lock_guard<std::mutex> lk(modsMu_);
    if (holdsOption(modsDown_)) return std::make_pair(kSpace, platform::ev::kFlagCommand);
    return std::nullopt;
}

void Keyboard::post(int type, int hid, bool down, uint64_t flags) {
    platform::KeyEvent e;
    e.type = type;
    e.vk = HID_TO_VK.at(hid);
    e.hid = hid;
    e.down = down;
    e.flags = flags;
    events_.postKey(e);  // an event that cannot be made is simply skipped
}

// Keeps the cross-thread Control flag in step with the set; call with modsMu_ held.
void Keyboard::noteMods() { holdsControl_.store(holdsControl(modsDown_)); }

void Keyboard::handleKey(int hid, bool down) {
    namespace ev = platform::ev;

    // Language keys switch the input source and post nothing.
    if (hid == 144 || hid == 145) {
        if (down && switchInputSource_) switchInputSource_();
        return;
    }

    bool controlHeld;
    bool optionHeld;
    bool commandHeld;
    {
        std::lock_guard<std::mutex> lk(modsMu_);
        controlHeld = holdsControl(modsDown_);
        optionHeld = holdsOption(modsDown_);
        commandHeld = holdsCommand(modsDown_);
    }

    // Control+Space is the input-source toggle. A Space whose press did go out as a
    // key (Control came later) still gets its release, or the key would stay down.
    if (hid == kSpace && controlHeld) {
        if (down) {
            if (switchInputSource_) switchInputSource_();
            return;
        }
        if (!spaceDownPosted_) return;
    }

    if (auto mf = HID_MODIFIER_FLAG.find(hid); mf != HID_MODIFIER_FLAG.end()) {
        lastKeyAt_ = clock_.now();
        {
            std::lock_guard<std::mutex> lk(modsMu_);
            if (down) modsDown_.insert(hid);
            else modsDown_.erase(hid);
            noteMods();
        }
        if (!down && switcherActive_ && (isOption(hid) || isCommand(hid))) {
            // End of the app-switcher gesture: the desktop lets go of what it held for it.
            switcherActive_ = false;
            events_.appSwitcher(platform::SwitcherStep::release, currentFlags());
            return;
        }
        post(ev::kFlagsChanged, hid, down, currentFlags());
        return;
    }

    if (HID_TO_VK.count(hid)) {
        lastKeyAt_ = clock_.now();
        uint64_t flags = currentFlags();

        if (hid == kTab && (optionHeld || commandHeld || switcherActive_)) {
            // Option+Tab (and Command+Tab) is the app switcher: the desktop holds it open
            // until that modifier goes up, and each Tab steps through the apps.
            if (down && !switcherActive_) {
                switcherActive_ = true;
                events_.appSwitcher(platform::SwitcherStep::hold, flags);
            }
            events_.appSwitcher(down ? platform::SwitcherStep::tabDown : platform::SwitcherStep::tabUp, flags);
            return;
        }
        if (isArrow(hid)) flags |= ev::kFlagNumericPad | ev::kFlagSecondaryFn;
        if (auto sub = substitute(hid, flags); sub && sub->first == hid) {
            flags = (flags & ~ev::kFlagOption) | sub->second;
        }
        if (hid == kSpace) spaceDownPosted_ = down;
        {
            std::lock_guard<std::mutex> lk(modsMu_);
            if (down) keysDown_.insert(hid);
            else keysDown_.erase(hid);
        }
        post(down ? ev::kKeyDown : ev::kKeyUp, hid, down, flags);
        return;
    }

    if (!down) return;
    // Logged once per usage; the record is bounded so a flood of odd usages cannot grow it without end.
    if (unmappedSeen_.count(hid) || unmappedSeen_.size() >= kUnmappedSeenMax) return;
    unmappedSeen_.insert(hid);
    char buf[128];
    std::snprintf(buf, sizeof buf, "매핑 없는 키 HID 0x%02X (%d) — 버림\n", static_cast<unsigned>(hid), hid);
    log_.logLine(buf);
}

void Keyboard::sweepMods(double now) {
    std::vector<int> held;
    {
        std::lock_guard<std::mutex> lk(modsMu_);
        if (modsDown_.empty()) return;
        held.assign(modsDown_.begin(), modsDown_.end());
    }
    if (now - lastKeyAt_ <= 5.0) return;

    std::string list;
    for (int hid : held) {
        if (!list.empty()) list += ' ';
        list += hexUsage(hid);
    }
    log_.logLine("모디파이어 임대 만료 (" + list + ") — 놓는다. 키업을 잃은 것으로 본다\n");
    // Walk a copy: each release takes its usage out of the set.
    for (int hid : held) handleKey(hid, false);
    {
        std::lock_guard<std::mutex> lk(modsMu_);
        modsDown_.clear();
        noteMods();
    }
    lastKeyAt_ = now;
}

std::set<int> Keyboard::keysDown() const {
    std::lock_guard<std::mutex> lk(modsMu_);
    return keysDown_;
}

void Keyboard::releaseKeys() {
    std::set<int> held;
    {
        std::lock_guard<std::mutex> lk(modsMu_);
        held.swap(keysDown_);
    }
    // Posted directly: handleKey could turn a Tab release into an app-switcher step.
    for (int hid : held) {
        uint64_t flags = currentFlags();
        if (isArrow(hid)) flags |= platform::ev::kFlagNumericPad | platform::ev::kFlagSecondaryFn;
        if (hid == kSpace) spaceDownPosted_ = false;
        post(platform::ev::kKeyUp, hid, false, flags);
    }
}

void Keyboard::releaseMods() {
    releaseKeys();
    std::vector<int> held;
    {
        std::lock_guard<std::mutex> lk(modsMu_);
        held.assign(modsDown_.begin(), modsDown_.end());
    }
    for (int hid : held) handleKey(hid, false);
    std::lock_guard<std::mutex> lk(modsMu_);
    modsDown_.clear();
    noteMods();
}

std::string Keyboard::modifierNote() {
    namespace ev = platform::ev;
    uint64_t f = events_.sessionModifierFlags();
    std::string s;
    if (f & ev::kFlagControl) s += "⌃";
    if (f & ev::kFlagOption) s += "⌥";
    if (f & ev::kFlagShift) s += "⇧";
    if (f & ev::kFlagCommand) s += "⌘";

    std::vector<std::string> held;
    {
        std::lock_guard<std::mutex> lk(modsMu_);
        for (int hid : modsDown_) held.push_back(hexUsage(hid));
    }
    if (!held.empty()) {
        std::sort(held.begin(), held.end());
        s += " 폰이 누른 것 ";
        for (size_t i = 0; i < held.size(); ++i) {
            if (i) s += ',';
            s += held[i];
        }
    }
    if (s.empty()) return "";
    return " (수정자 " + s + ")";
}

}  // namespace vm
