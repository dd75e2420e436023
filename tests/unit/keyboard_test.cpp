#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "platform/chords.h"
#include "input/keyboard.h"
#include "support/test_files.h"

using namespace vm;
namespace fs = std::filesystem;
namespace ev = vm::platform::ev;

using vm::testing::TempDir;
using vm::testing::readAll;
using vm::testing::countOf;

namespace {

struct Key {
    int type;
    uint16_t vk;
    uint64_t flags;
    bool operator==(const Key&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Key& k) {
    return os << "{type " << k.type << ", vk " << k.vk << ", flags 0x" << std::hex << k.flags << std::dec << "}";
}

// Records key events; everything else is unused here.
class RecordingEvents final : public platform::Events {
public:
    bool postMouse(const platform::MouseEvent&) override { return true; }
    bool postKey(const platform::KeyEvent& e) override {
        EXPECT_TRUE(e.text.empty());
        EXPECT_FALSE(e.hidSystemSource);
        keys.push_back({e.type, e.vk, e.flags});
        raw.push_back(e);
        return true;
    }
    bool postScroll(const platform::ScrollEvent&) override { return true; }
    bool typeText(const std::u16string& text) override { return platform::chords::typeText(*this, text); }
    bool paste() override { return platform::chords::paste(*this); }
    bool switchWorkspace(bool right) override { return platform::chords::switchWorkspace(*this, right); }
    bool appSwitcher(platform::SwitcherStep step, uint64_t flags) override {
        return platform::chords::appSwitcher(*this, step, flags);
    }
    platform::Point mouseLocation() override { return {}; }
    std::vector<platform::Rect> screenFrames() override { return {}; }
    uint64_t sessionModifierFlags() override { return sessionFlags; }

    std::vector<Key> keys;
    std::vector<platform::KeyEvent> raw;
    uint64_t sessionFlags = 0;
};

struct KeyboardTest : ::testing::Test {
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    RecordingEvents events;
    int switches = 0;
    Keyboard kb{clock, log, events, [this] { ++switches; }};

    std::string logText() { return readAll(log.cursorLogPath()); }
    void tap(int hid) {
        kb.handleKey(hid, true);
        kb.handleKey(hid, false);
    }
};

TEST(KeyTables, MapsExactlyTheListedKeys) {
    EXPECT_EQ(HID_TO_VK.size(), 82u);
    EXPECT_EQ(HID_MODIFIER_FLAG.size(), 8u);
    // Corners of each run.
    EXPECT_EQ(HID_TO_VK.at(4), 0);     // a
    EXPECT_EQ(HID_TO_VK.at(29), 6);    // z
    EXPECT_EQ(HID_TO_VK.at(39), 29);   // 0
    EXPECT_EQ(HID_TO_VK.at(44), 49);   // Space
    EXPECT_EQ(HID_TO_VK.at(57), 57);   // Caps Lock
    EXPECT_EQ(HID_TO_VK.at(69), 111);  // F12
    EXPECT_EQ(HID_TO_VK.at(82), 126);  // Up
    EXPECT_EQ(HID_TO_VK.at(231), 54);  // right Command
    for (int none : {50, 70, 71, 72, 73, 83, 100, 144, 145, 223, 232}) EXPECT_EQ(HID_TO_VK.count(none), 0u) << none;
    EXPECT_EQ(HID_MODIFIER_FLAG.at(228), ev::kFlagControl);
    EXPECT_EQ(HID_MODIFIER_FLAG.at(229), ev::kFlagShift);
    EXPECT_EQ(HID_MODIFIER_FLAG.at(230), ev::kFlagOption);
    EXPECT_EQ(HID_MODIFIER_FLAG.at(227), ev::kFlagCommand);
}

TEST_F(KeyboardTest, EveryKeyEventSaysItsUsageAndDirection) {
    // Both Shifts held, then the left one let go: the flags still say Shift, so only
    // the usage and direction tell a desktop which key to release.
    kb.handleKey(225, true);
    kb.handleKey(229, true);
    kb.handleKey(225, false);
    kb.handleKey(4, true);
    kb.handleKey(4, false);
    kb.handleKey(229, false);
    ASSERT_EQ(events.raw.size(), 6u);
    const int hids[] = {225, 229, 225, 4, 4, 229};
    const bool downs[] = {true, true, false, true, false, false};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(events.raw[i].hid, hids[i]) << i;
        EXPECT_EQ(events.raw[i].down, downs[i]) << i;
    }
    EXPECT_EQ(events.raw[2].flags, ev::kFlagShift);
    EXPECT_EQ(events.raw[5].flags, 0u);
}

TEST_F(KeyboardTest, CommandTabIsTheAppSwitcherToo) {
    kb.handleKey(227, true);  // Command
    tap(43);                  // Tab
    tap(43);
    kb.handleKey(227, false);
    // The phone's own Command already holds the switcher open: nothing extra is pressed,
    // each Tab steps, and letting Command go picks the app.
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kFlagsChanged, 55, 0x100000},
                                             {ev::kKeyDown, 48, 0x100000},
                                             {ev::kKeyUp, 48, 0x100000},
                                             {ev::kKeyDown, 48, 0x100000},
                                             {ev::kKeyUp, 48, 0x100000},
                                             {ev::kFlagsChanged, 55, 0}}));
    EXPECT_FALSE(events.raw.back().down);
    EXPECT_EQ(kb.currentFlags(), 0u);
}

TEST_F(KeyboardTest, PlainKeysAndModifierFlags) {
    tap(4);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kKeyDown, 0, 0}, {ev::kKeyUp, 0, 0}}));

    events.keys.clear();
    kb.handleKey(225, true);  // left Shift
    kb.handleKey(4, true);
    kb.handleKey(4, false);
    kb.handleKey(225, false);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kFlagsChanged, 56, 0x20000},
                                             {ev::kKeyDown, 0, 0x20000},
                                             {ev::kKeyUp, 0, 0x20000},
                                             {ev::kFlagsChanged, 56, 0}}));
    EXPECT_EQ(kb.currentFlags(), 0u);

    // Two modifiers combine; an arrow adds numeric-pad and secondary-function.
    events.keys.clear();
    kb.handleKey(227, true);
    kb.handleKey(229, true);
    kb.handleKey(79, true);
    EXPECT_EQ(kb.currentFlags(), 0x120000u);
    ASSERT_EQ(events.keys.size(), 3u);
    EXPECT_EQ(events.keys[1], (Key{ev::kFlagsChanged, 60, 0x120000}));
    EXPECT_EQ(events.keys[2], (Key{ev::kKeyDown, 124, 0x120000 | 0xA00000}));

    events.keys.clear();
    kb.handleKey(227, false);
    kb.handleKey(229, false);
    kb.handleKey(82, true);
    EXPECT_EQ(events.keys.back(), (Key{ev::kKeyDown, 126, 0xA00000}));
}

TEST_F(KeyboardTest, OptionTabHoldsCommandForTheAppSwitcher) {
    kb.handleKey(226, true);
    tap(43);
    tap(43);
    kb.handleKey(226, false);
    EXPECT_EQ(events.keys, (std::vector<Key>{
                               {ev::kFlagsChanged, 58, 0x80000},   // the Option press itself
                               {ev::kFlagsChanged, 55, 0x100000},  // synthetic Command
                               {ev::kKeyDown, 48, 0x100000},
                               {ev::kKeyUp, 48, 0x100000},
                               {ev::kKeyDown, 48, 0x100000},
                               {ev::kKeyUp, 48, 0x100000},
                               {ev::kFlagsChanged, 55, 0},  // synthetic Command release, no Option release
                           }));

    // The gesture is over: a later Tab is a plain Tab, and a new gesture starts afresh.
    events.keys.clear();
    tap(43);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kKeyDown, 48, 0}, {ev::kKeyUp, 48, 0}}));
    events.keys.clear();
    kb.handleKey(230, true);  // right Option
    kb.handleKey(43, true);
    kb.sweepMods(clock.now() + 6);  // Option's key-up lost: the sweep still ends the gesture
    EXPECT_EQ(events.keys.back(), (Key{ev::kFlagsChanged, 55, 0}));
    EXPECT_EQ(countOf(logText(), "모디파이어 임대 만료 (0xE6) — 놓는다. 키업을 잃은 것으로 본다\n"), 1);
}

TEST_F(KeyboardTest, SpaceWithOptionOrControl) {
    kb.handleKey(226, true);
    tap(44);
    kb.handleKey(226, false);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kFlagsChanged, 58, 0x80000},
                                             {ev::kKeyDown, 49, 0x100000},
                                             {ev::kKeyUp, 49, 0x100000},
                                             {ev::kFlagsChanged, 58, 0}}));
    EXPECT_EQ(switches, 0);
    EXPECT_FALSE(kb.substitute(44, 0).has_value());
    EXPECT_FALSE(kb.substitute(4, 0).has_value());

    events.keys.clear();
    kb.handleKey(224, true);
    tap(44);
    EXPECT_EQ(switches, 1);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kFlagsChanged, 59, 0x40000}}));  // only Control itself
    kb.handleKey(224, false);

    // Language keys switch on press only and post nothing.
    events.keys.clear();
    tap(144);
    tap(145);
    EXPECT_EQ(switches, 3);
    EXPECT_TRUE(events.keys.empty());
}

TEST_F(KeyboardTest, SpacePressedBeforeControlIsStillReleased) {
    kb.handleKey(44, true);
    kb.handleKey(224, true);
    kb.handleKey(44, false);
    kb.handleKey(224, false);
    EXPECT_EQ(switches, 0);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kKeyDown, 49, 0},
                                             {ev::kFlagsChanged, 59, 0x40000},
                                             {ev::kKeyUp, 49, 0x40000},
                                             {ev::kFlagsChanged, 59, 0}}));
}

TEST_F(KeyboardTest, UnmappedKeysAreLoggedOncePerUsage) {
    tap(70);
    tap(70);
    kb.handleKey(83, true);
    kb.handleKey(-3, true);  // nonsense from the wire: dropped like any other
    EXPECT_TRUE(events.keys.empty());
    std::string text = logText();
    EXPECT_EQ(countOf(text, "매핑 없는 키 HID 0x46 (70) — 버림\n"), 1);
    EXPECT_EQ(countOf(text, "매핑 없는 키 HID 0x53 (83) — 버림\n"), 1);
    EXPECT_EQ(countOf(text, "(-3) — 버림\n"), 1);
    EXPECT_EQ(countOf(text, "매핑 없는 키"), 3);

    // A flood of distinct odd usages stops being logged instead of growing the record forever.
    for (int hid = 1000; hid < 4000; ++hid) kb.handleKey(hid, true);
    int logged = countOf(logText(), "매핑 없는 키");
    EXPECT_LT(logged, 3003);
    EXPECT_GE(logged, 100);
}

TEST_F(KeyboardTest, LostModifierReleaseExpiresAfterFiveQuietSeconds) {
    kb.handleKey(225, true);
    kb.handleKey(224, true);
    EXPECT_TRUE(kb.phoneHoldsControl());
    events.keys.clear();

    kb.sweepMods(clock.now() + 5.0);  // exactly 5 s: not yet
    EXPECT_EQ(kb.modsDown().size(), 2u);
    EXPECT_TRUE(events.keys.empty());

    clock.advance(5.1);
    kb.sweepMods(clock.now());
    EXPECT_TRUE(kb.modsDown().empty());
    EXPECT_FALSE(kb.phoneHoldsControl());
    EXPECT_EQ(kb.currentFlags(), 0u);
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kFlagsChanged, 59, 0x20000}, {ev::kFlagsChanged, 56, 0}}));
    EXPECT_EQ(countOf(logText(), "모디파이어 임대 만료 (0xE0 0xE1) — 놓는다. 키업을 잃은 것으로 본다\n"), 1);

    // The sweep renewed the lease: nothing more to do right after.
    events.keys.clear();
    kb.sweepMods(clock.now() + 1);
    EXPECT_TRUE(events.keys.empty());
}

TEST_F(KeyboardTest, TypingKeepsAHeldModifier) {
    kb.handleKey(225, true);
    for (int i = 0; i < 12; ++i) {
        clock.advance(1.0);
        tap(4);
        kb.sweepMods(clock.now());
    }
    EXPECT_EQ(kb.modsDown(), (std::set<int>{225}));
    EXPECT_EQ(events.keys.back(), (Key{ev::kKeyUp, 0, 0x20000}));
    EXPECT_EQ(countOf(logText(), "모디파이어 임대 만료"), 0);
}

TEST_F(KeyboardTest, ReleaseModsLetsGoOfEverythingHeld) {
    kb.handleKey(228, true);
    kb.handleKey(231, true);
    EXPECT_TRUE(kb.phoneHoldsControl());
    events.keys.clear();
    kb.releaseMods();
    EXPECT_FALSE(kb.phoneHoldsControl());
    EXPECT_TRUE(kb.modsDown().empty());
    EXPECT_EQ(events.keys, (std::vector<Key>{{ev::kFlagsChanged, 62, 0x100000}, {ev::kFlagsChanged, 54, 0}}));
    EXPECT_EQ(countOf(logText(), "모디파이어"), 0);  // not a lease expiry

    events.keys.clear();
    kb.releaseMods();  // nothing held: nothing posted
    EXPECT_TRUE(events.keys.empty());
}

TEST_F(KeyboardTest, ModifierNoteShowsSessionFlagsAndPhoneKeys) {
    EXPECT_EQ(kb.modifierNote(), "");
    events.sessionFlags = ev::kFlagCommand | ev::kFlagControl | ev::kFlagShift;
    EXPECT_EQ(kb.modifierNote(), " (수정자 ⌃⇧⌘)");
    kb.handleKey(227, true);
    kb.handleKey(224, true);
    EXPECT_EQ(kb.modifierNote(), " (수정자 ⌃⇧⌘ 폰이 누른 것 0xE0,0xE3)");
    events.sessionFlags = ev::kFlagOption;
    EXPECT_EQ(kb.modifierNote(), " (수정자 ⌥ 폰이 누른 것 0xE0,0xE3)");
}

}  // namespace
