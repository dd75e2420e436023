// Pointer events: click counting, the flip from window-system coordinates,
// clamping to the screens, holds with leases, and the sweeps that release what
// the phone forgot.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "input/keyboard.h"
#include "input/pointer.h"
#include "support/recording_events.h"

namespace fs = std::filesystem;
using namespace vm;
namespace ev = vm::platform::ev;

namespace {

using PointerTestEvents = vm::testing::RecordingEvents;

struct PointerFixture : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("vm-pointer-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    FakeClock clock;
    Logger log{dir.string(), clock};
    PointerTestEvents events;
    Keyboard keyboard{clock, log, events, [] {}};
    Pointer pointer{clock, log, events, keyboard};

    void SetUp() override {
        // One 1920×1080 main display.
        events.frames = {{0, 0, 1920, 1080}};
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string logText() {
        std::ifstream in(dir / "inputd.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static size_t count(const std::string& hay, const std::string& needle) {
        size_t n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    }
    std::vector<int64_t> clickStates() {
        std::vector<int64_t> v;
        for (const auto& e : events.mouse) v.push_back(e.clickState);
        return v;
    }
};

// ---- click counting ----

TEST_F(PointerFixture, PressesCloseInTimeAndSpaceCountUpToThree) {
    pointer.post(ev::kLeftMouseDown, {100, 100}, 0);
    clock.advance(0.3);
    pointer.post(ev::kLeftMouseDown, {103, 104}, 0);  // 5 points away
    clock.advance(0.3);
    pointer.post(ev::kLeftMouseDown, {100, 100}, 0);
    clock.advance(0.3);
    pointer.post(ev::kLeftMouseDown, {100, 100}, 0);
    EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 2, 3, 3}));
    EXPECT_EQ(pointer.clickRun, 3);
}

TEST_F(PointerFixture, SlowOrDistantPressesStartNewRuns) {
    pointer.post(ev::kLeftMouseDown, {100, 100}, 0);
    clock.advance(0.6);
    pointer.post(ev::kLeftMouseDown, {100, 100}, 0);
    clock.advance(0.1);
    pointer.post(ev::kLeftMouseDown, {112, 100}, 0);  // exactly 12 points: too far
    clock.advance(0.1);
    pointer.post(ev::kLeftMouseDown, {112, 111.9}, 0);  // 11.9 from the new run's start
    EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 1, 1, 2}));
    EXPECT_DOUBLE_EQ(pointer.lastDownPos.x, 112);
    EXPECT_DOUBLE_EQ(pointer.lastDownPos.y, 100);
}

TEST_F(PointerFixture, RunIsMeasuredFromItsFirstPress) {
    pointer.post(ev::kLeftMouseDown, {100, 100}, 0);
    clock.advance(0.2);
    pointer.post(ev::kLeftMouseDown, {108, 100}, 0);  // 8 away: second click
    clock.advance(0.2);
    pointer.post(ev::kLeftMouseDown, {113, 100}, 0);  // 5 from the last, 13 from the first
    EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 2, 1}));
}

TEST_F(PointerFixture, ReleasesCarryTheRunAndOtherEventsCarryNone) {
    pointer.post(ev::kLeftMouseDown, {50, 50}, 0);
    pointer.post(ev::kLeftMouseUp, {50, 50}, 0);
    clock.advance(0.2);
    pointer.post(ev::kLeftMouseDown, {50, 50}, 0);
    pointer.post(ev::kLeftMouseUp, {50, 50}, 0);
    pointer.post(ev::kMouseMoved, {60, 60}, 0);
    pointer.post(ev::kLeftMouseDragged, {60, 60}, 0);
    EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 1, 2, 2, 0, 0}));
    EXPECT_EQ(pointer.clickRun, 2);  // releases do not change the run
}

TEST_F(PointerFixture, TheRunIsSharedByAllButtons) {
    pointer.post(ev::kLeftMouseDown, {50, 50}, 0);
    clock.advance(0.1);
    pointer.post(ev::kRightMouseDown, {50, 50}, 1);
    clock.advance(0.1);
    pointer.post(ev::kOtherMouseUp, {50, 50}, 2);
    EXPECT_EQ(clickStates(), (std::vector<int64_t>{1, 2, 2}));
    EXPECT_EQ(events.mouse[1].button, 1);
    EXPECT_EQ(events.mouse[2].button, 2);
}

// ---- coordinates ----

TEST_F(PointerFixture, AMonitorAboveTheMainOneIsReachedAndKept) {
    // A second display above the main one (negative y, as RandR places it).
    events.frames = {{0, 0, 1920, 1080}, {0, -800, 1280, 800}};
    events.location = {100, -700};
    auto c = pointer.currentCursor();
    EXPECT_DOUBLE_EQ(c.x, 100);
    EXPECT_DOUBLE_EQ(c.y, -700);
    // A point on the upper monitor stays; one above it lands on its top row.
    auto p = pointer.clampToScreens({640, -400});
    EXPECT_DOUBLE_EQ(p.y, -400);
    p = pointer.clampToScreens({640, -5000});
    EXPECT_DOUBLE_EQ(p.x, 640);
    EXPECT_DOUBLE_EQ(p.y, -800);
    // Right of the upper monitor but above the main one: the nearer of the two.
    p = pointer.clampToScreens({1500, -10});
    EXPECT_DOUBLE_EQ(p.x, 1500);
    EXPECT_DOUBLE_EQ(p.y, 0);
}

TEST_F(PointerFixture, PointBeyondTheRightmostScreenLandsOnItsLastColumn) {
    // A shorter screen to the right, top edges aligned: it spans y 0..1024.
    events.frames = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}};
    auto p = pointer.clampToScreens({1920 + 1280 + 200, 500});
    EXPECT_DOUBLE_EQ(p.x, 3199);
    EXPECT_DOUBLE_EQ(p.y, 500);

    p = pointer.clampToScreens({1920 + 1280 + 200, 1060});  // below the right screen's bottom
    EXPECT_DOUBLE_EQ(p.x, 3199);
    EXPECT_DOUBLE_EQ(p.y, 1023);

    p = pointer.clampToScreens({-50, 5000});  // far lower left: the main screen's corner
    EXPECT_DOUBLE_EQ(p.x, 0);
    EXPECT_DOUBLE_EQ(p.y, 1079);
}

TEST_F(PointerFixture, ClampKeepsPointsOnScreensAndPrefersTheFirstOnTies) {
    events.frames = {{0, 0, 100, 100}, {200, 0, 100, 100}};
    auto p = pointer.clampToScreens({50, 50});
    EXPECT_DOUBLE_EQ(p.x, 50);
    EXPECT_DOUBLE_EQ(p.y, 50);
    p = pointer.clampToScreens({100, 20});  // the far edge belongs to no screen
    EXPECT_DOUBLE_EQ(p.x, 99);
    // Halfway between: 50.5 from both candidates 99 and 200.
    p = pointer.clampToScreens({149.5, 20});
    EXPECT_DOUBLE_EQ(p.x, 99);
    p = pointer.clampToScreens({150.5, 20});
    EXPECT_DOUBLE_EQ(p.x, 200);
}

TEST_F(PointerFixture, ClampWithoutScreensLeavesThePoint) {
    events.frames.clear();
    auto p = pointer.clampToScreens({-7000, 12345});
    EXPECT_DOUBLE_EQ(p.x, -7000);
    EXPECT_DOUBLE_EQ(p.y, 12345);
}

TEST_F(PointerFixture, FarAndBrokenPointsStillLandOnAScreen) {
    events.frames = {{0, 0, 1920, 1080}, {1920, 0, 1280, 1080}};
    // Squared distances would overflow here; the point still ends on a screen corner.
    auto p = pointer.clampToScreens({1e308, 1e308});
    EXPECT_TRUE(p.x == 1919 || p.x == 3199) << p.x;
    EXPECT_DOUBLE_EQ(p.y, 1079);
    p = pointer.clampToScreens({5000, 1e9});  // far but comparable: the right screen
    EXPECT_DOUBLE_EQ(p.x, 3199);
    EXPECT_DOUBLE_EQ(p.y, 1079);
    p = pointer.clampToScreens({NAN, 40});
    EXPECT_TRUE(std::isfinite(p.x));
    EXPECT_DOUBLE_EQ(p.y, 40);
    p = pointer.clampToScreens({-INFINITY, INFINITY});
    EXPECT_DOUBLE_EQ(p.x, 0);
    EXPECT_DOUBLE_EQ(p.y, 1079);
}

// ---- holds and sweeps ----

TEST_F(PointerFixture, HoldPressesOnceAndRenewsItsLease) {
    events.location = {10, 10};
    pointer.setHold("R", true);
    ASSERT_EQ(events.mouse.size(), 1u);
    EXPECT_EQ(events.mouse[0].type, ev::kRightMouseDown);
    EXPECT_EQ(events.mouse[0].button, 1);
    EXPECT_DOUBLE_EQ(events.mouse[0].point.y, 10);
    clock.advance(1);
    pointer.setHold("R", true);
    EXPECT_EQ(events.mouse.size(), 1u);  // a repeated down only renews
    EXPECT_DOUBLE_EQ(pointer.holdLease["R"], clock.now());
    EXPECT_EQ(count(logText(), "버튼 R 유지 시작"), 1u);

    pointer.setHold("R", false);
    ASSERT_EQ(events.mouse.size(), 2u);
    EXPECT_EQ(events.mouse[1].type, ev::kRightMouseUp);
    EXPECT_TRUE(pointer.buttonsDown.empty());
    EXPECT_TRUE(pointer.holdLease.empty());
    EXPECT_EQ(count(logText(), "버튼 R 유지 끝"), 1u);

    pointer.setHold("R", false);  // nothing down: nothing posted
    EXPECT_EQ(events.mouse.size(), 2u);
}

TEST_F(PointerFixture, LeaseRenewedEveryTwoSecondsStaysDown) {
    pointer.setHold("L", true);
    for (int i = 0; i < 5; ++i) {
        clock.advance(2.0);
        pointer.sweepHolds();
        pointer.setHold("L", true);
    }
    EXPECT_TRUE(pointer.buttonsDown.count("L"));
    EXPECT_EQ(events.mouse.size(), 1u);
    EXPECT_EQ(count(logText(), "임대 만료"), 0u);
}

TEST_F(PointerFixture, LeaseNotRenewedForMoreThanThreeSecondsExpires) {
    pointer.setHold("M", true);
    clock.advance(3.0);
    pointer.sweepHolds();  // exactly 3 s is not yet over
    EXPECT_TRUE(pointer.buttonsDown.count("M"));
    clock.advance(0.1);
    pointer.sweepHolds();
    EXPECT_FALSE(pointer.buttonsDown.count("M"));
    EXPECT_TRUE(pointer.holdLease.empty());
    ASSERT_EQ(events.mouse.size(), 2u);
    EXPECT_EQ(events.mouse[1].type, ev::kOtherMouseUp);
    EXPECT_EQ(events.mouse[1].button, 2);
    std::string text = logText();
    EXPECT_EQ(count(text, "버튼 M 임대 만료 — 놓는다"), 1u);
    EXPECT_LT(text.find("임대 만료"), text.find("버튼 M 유지 끝"));
}

TEST_F(PointerFixture, OverdueRightPressIsReleasedUnlessHeld) {
    // What the dispatcher leaves after "B R 1".
    pointer.buttonsDown.insert("R");
    pointer.clickDownAt["R"] = clock.now();
    clock.advance(0.4);
    pointer.sweepHolds();
    EXPECT_TRUE(pointer.buttonsDown.count("R"));
    EXPECT_TRUE(events.mouse.empty());
    clock.advance(0.2);
    pointer.sweepHolds();
    EXPECT_FALSE(pointer.buttonsDown.count("R"));
    EXPECT_TRUE(pointer.clickDownAt.empty());
    ASSERT_EQ(events.mouse.size(), 1u);
    EXPECT_EQ(events.mouse[0].type, ev::kRightMouseUp);
    EXPECT_EQ(count(logText(), "버튼 R 뗌이 안 왔다 — 스스로 놓는다"), 1u);

    // Under a fresh lease the same overdue press stays down; only its entry goes.
    pointer.setHold("R", true);
    pointer.clickDownAt["R"] = clock.now();
    clock.advance(0.6);
    pointer.sweepHolds();
    EXPECT_TRUE(pointer.buttonsDown.count("R"));
    EXPECT_TRUE(pointer.clickDownAt.empty());
}

TEST_F(PointerFixture, LeftPressIsNeverReleasedByTheOverdueSweep) {
    pointer.buttonsDown.insert("L");  // a drag in progress
    clock.advance(10);
    pointer.sweepHolds();
    EXPECT_TRUE(pointer.buttonsDown.count("L"));
    EXPECT_TRUE(events.mouse.empty());
}

TEST_F(PointerFixture, SweepAlsoReleasesStaleModifiers) {
    keyboard.handleKey(225, true);  // left Shift
    clock.advance(5.5);
    pointer.sweepHolds();
    EXPECT_TRUE(keyboard.modsDown().empty());
    EXPECT_EQ(count(logText(), "모디파이어 임대 만료"), 1u);
}

TEST_F(PointerFixture, ReleaseAllLetsGoOfEverything) {
    events.location = {300, 500};
    keyboard.handleKey(227, true);  // left Command
    pointer.setHold("R", true);
    pointer.buttonsDown.insert("L");
    size_t keysBefore = events.keys.size();
    events.mouse.clear();

    pointer.releaseAll();
    EXPECT_TRUE(keyboard.modsDown().empty());
    ASSERT_GT(events.keys.size(), keysBefore);
    EXPECT_EQ(events.keys.back().type, ev::kFlagsChanged);
    EXPECT_EQ(events.keys.back().flags, 0u);
    ASSERT_EQ(events.mouse.size(), 2u);
    std::set<int> types{events.mouse[0].type, events.mouse[1].type};
    EXPECT_EQ(types, (std::set<int>{ev::kLeftMouseUp, ev::kRightMouseUp}));
    for (const auto& e : events.mouse) {
        EXPECT_DOUBLE_EQ(e.point.x, 300);
        EXPECT_DOUBLE_EQ(e.point.y, 500);
    }
    EXPECT_TRUE(pointer.buttonsDown.empty());
    EXPECT_TRUE(pointer.holdLease.empty());
    EXPECT_EQ(count(logText(), "눌린 것 전부 해제"), 1u);
}

TEST_F(PointerFixture, ReleaseAllWithNothingHeldStillLogs) {
    pointer.releaseAll();
    EXPECT_TRUE(events.mouse.empty());
    EXPECT_TRUE(events.keys.empty());
    EXPECT_EQ(count(logText(), "눌린 것 전부 해제"), 1u);
}

TEST(PointerButtons, NamesMapToButtonsAndEventTypes) {
    auto r = buttonInfo("R");
    EXPECT_EQ(r.number, 1);
    EXPECT_EQ(r.downType, ev::kRightMouseDown);
    EXPECT_EQ(r.upType, ev::kRightMouseUp);
    EXPECT_EQ(r.dragType, ev::kRightMouseDragged);
    auto m = buttonInfo("M");
    EXPECT_EQ(m.number, 2);
    EXPECT_EQ(m.downType, ev::kOtherMouseDown);
    EXPECT_EQ(m.dragType, 0);
    for (const char* name : {"L", "X", "", "r"}) {
        auto b = buttonInfo(name);
        EXPECT_EQ(b.number, 0) << name;
        EXPECT_EQ(b.downType, ev::kLeftMouseDown) << name;
        EXPECT_EQ(b.upType, ev::kLeftMouseUp) << name;
    }
}

}  // namespace
