// The command dispatcher: parsing, pointer moves and buttons, scrolls, keys,
// text, workspaces, the human input gate, the display words and hostile lines.
#include <cctype>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "base/base64.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "support/recording_events.h"
#include "input/text_entry.h"
#include "session/agent_mode.h"
#include "support/fake_peer.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace vm;
using vm::testing::RecordingPeer;
namespace ev = vm::platform::ev;

namespace {

using DispatchTestEvents = vm::testing::RecordingEvents;

class DispatchTestPasteboard final : public platform::Pasteboard {
public:
    std::optional<std::string> string(const std::string& type) override {
        auto it = items.find(type);
        if (it == items.end()) return std::nullopt;
        return it->second;
    }
    void clear() override {
        items.clear();
        ++count;
    }
    void setString(const std::string& type, const std::string& value) override {
        items[type] = value;
        ++count;
    }
    int64_t changeCount() override { return count; }
    std::map<std::string, std::string> items;
    int64_t count = 0;
};

class DispatchTestSources final : public platform::InputSources {
public:
    std::vector<platform::InputSourceInfo> enabled() override { return {{"com.apple.keylayout.US"}}; }
    std::optional<std::string> current() override { return "com.apple.keylayout.US"; }
    int select(const std::string&) override { return 0; }
    void watch(std::function<void()>) override {}
    std::string language(const std::string& id) override {
        // Like a desktop that names its Korean sources so: "korean" in any case, or "Hangul".
        std::string lower = id;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower.find("korean") != std::string::npos || id.find("Hangul") != std::string::npos ? "ko" : "en";
    }
};

// A queue that keeps what it is given until the test runs it.
class HeldQueue final : public DispatchQueue {
public:
    void async(Task task) override { items.push_back({0, std::move(task)}); }
    void asyncAfter(double seconds, Task task) override { items.push_back({seconds, std::move(task)}); }
    const std::string& label() const override { return label_; }
    void runAll() {
        auto now = std::move(items);
        items.clear();
        for (auto& [delay, task] : now) task();
    }
    std::vector<std::pair<double, Task>> items;

private:
    std::string label_ = "held";
};

struct DispatcherFixture : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("vm-disp-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    FakeClock clock;
    Logger log{(dir / "logs").string(), clock};
    DispatchTestEvents events;
    DispatchTestPasteboard pasteboard;
    DispatchTestSources sources;
    MainQueue mainQueue;
    HeldQueue restoreQueue;
    HeldQueue global;
    PhoneState phone{clock.now()};
    CtlSender sender{phone, nullptr};
    std::shared_ptr<RecordingPeer> peer = std::make_shared<RecordingPeer>(clock.now());
    HookTables hooks;
    Keyboard keyboard{clock, log, events, [] {}};
    Pointer pointer{clock, log, events, keyboard};
    TextEntry text{clock, log, events, pasteboard, restoreQueue};
    InputSourceSwitcher inputSources{clock,     log, sources, events, mainQueue, [](const std::string&) {},
                                     [this] { return keyboard.phoneHoldsControl(); }};
    AgentMode agent{clock, log, sender,
                    AgentModePaths{(dir / "agent").string(), (dir / "agent.stop").string(),
                                   (dir / "no-such-pkill").string()}};
    TryLock vdispLock;

    // What the rooms were asked to do, in order.
    std::vector<std::string> calls;
    std::optional<std::string> blockedReason;
    bool locked = false;
    bool vdAlive = true;
    int32_t setSizeResult = 1;
    DispatcherRooms rooms;
    MainQueue* mq = nullptr;
    std::unique_ptr<Dispatcher> disp;

    void SetUp() override {
        fs::create_directories(dir);
        events.frames = {{0, 0, 1920, 1080}};
        events.location = {500, 500};
        phone.setPhoneConn(peer);
        rooms.gatherWindows = [this](std::optional<int32_t> pid, bool wake) {
            calls.push_back(std::string("gather ") + (pid ? std::to_string(*pid) : "none") + (wake ? " wake" : ""));
        };
        rooms.screenBlockedReason = [this] { return blockedReason; };
        rooms.screenLocked = [this] { return locked; };
        rooms.loginName = [] { return std::string("minji"); };
        rooms.ensureVDisp = [this] { calls.push_back("ensureVDisp"); };
        rooms.setMain = [this](bool toVirtual, bool gather) {
            calls.push_back(std::string("setMain ") + (toVirtual ? "virtual" : "physical") + (gather ? " gather" : ""));
        };
        rooms.physicalDisplaysOn = [this] { calls.push_back("physicalOn"); };
        rooms.physicalDisplaysOff = [this] { calls.push_back("physicalOff"); };
        rooms.setVDispGraceUntil = [this](double until) { calls.push_back("grace " + std::to_string(until)); };
        build();
    }
    void build() {
        disp = std::make_unique<Dispatcher>(DispatcherDeps{clock, log, events, phone, sender, hooks, pointer, keyboard,
                                                           text, inputSources, agent, mq, &global, vdispLock},
                                            rooms);
    }
    void installVDispHooks() {
        hooks.vdispHooks = VDispHooks{
            [this] { return vdAlive; },
            [this] { calls.push_back("create"); },
            [this] { calls.push_back("destroy"); },
            [this](uint32_t w, uint32_t h) {
                calls.push_back("setSize " + std::to_string(w) + "x" + std::to_string(h));
                return setSizeResult;
            },
        };
    }
    void TearDown() override {
        inputSources.spaceQueue().sync([] {});
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void handle(const std::string& line) { disp->handle(line); }
    std::string logText() {
        std::ifstream in(dir / "logs" / "inputd.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static size_t count(const std::string& hay, const std::string& needle) {
        size_t n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    }
    std::vector<int> mouseTypes() {
        std::vector<int> v;
        for (const auto& e : events.mouse) v.push_back(e.type);
        return v;
    }
    // The text typed through key events with attached strings.
    std::u16string typed() {
        std::u16string s;
        for (const auto& k : events.keyList())
            if (k.type == ev::kKeyDown) s += k.text;
        return s;
    }
    size_t keyDowns(uint16_t vk) {
        size_t n = 0;
        for (const auto& k : events.keyList())
            if (k.type == ev::kKeyDown && k.vk == vk) ++n;
        return n;
    }
};

// ---- parsing ----

TEST_F(DispatcherFixture, StopAndGoWorkAsSingleWords) {
    handle("STOP");
    EXPECT_TRUE(agent.agentStop.load());
    EXPECT_TRUE(fs::exists(dir / "agent.stop"));
    std::string t = logText();
    EXPECT_EQ(count(t, "에이전트 중단 — 폰"), 1u);
    EXPECT_EQ(count(t, "눌린 것 전부 해제"), 1u);  // a stop lets go of the phone's input

    handle("GO");
    EXPECT_FALSE(agent.agentStop.load());
    EXPECT_EQ(count(logText(), "에이전트 정지 해제"), 1u);

    handle("STOP now");
    EXPECT_TRUE(agent.agentStop.load());
    EXPECT_EQ(count(logText(), "에이전트 중단 — 폰"), 2u);
}

TEST_F(DispatcherFixture, OtherCommandsNeedAnArgumentWord) {
    handle("R");
    EXPECT_EQ(count(logText(), "눌린 것 전부 해제"), 0u);
    handle("HELLO");
    EXPECT_FALSE(phone.phoneWantsScreen.load());
    EXPECT_TRUE(calls.empty());

    handle("R 0");
    EXPECT_EQ(count(logText(), "눌린 것 전부 해제"), 1u);
    handle("HELLO 0");
    EXPECT_TRUE(phone.phoneWantsScreen.load());
    handle("BYE");
    EXPECT_TRUE(phone.phoneWantsScreen.load());
    handle("BYE 0");
    EXPECT_FALSE(phone.phoneWantsScreen.load());
}

TEST_F(DispatcherFixture, WordsAreSplitAtBlanksOnlyAndCompareExactly) {
    handle("  M   10    0  ");
    ASSERT_EQ(events.mouse.size(), 1u);
    EXPECT_DOUBLE_EQ(events.mouse[0].point.x, 510);

    handle("M\t10 0");    // the tab belongs to the command word
    handle("M 10\t 0");   // "10\t" is no number
    handle("m 10 0");     // case matters
    handle("MOVE 10 0");  // unknown word
    handle("");
    handle("    ");
    EXPECT_EQ(events.mouse.size(), 1u);
    EXPECT_TRUE(events.scrolls.empty());
}

TEST_F(DispatcherFixture, ScrollsRoundHalvesAwayFromZero) {
    handle("S 0 -120");
    handle("S 1.5 -2.5");
    handle("S -1.5 2.4");
    handle("S 1e300 -1e300");
    ASSERT_EQ(events.scrolls.size(), 4u);
    EXPECT_EQ(events.scrolls[0].wheel1, -120);
    EXPECT_EQ(events.scrolls[0].wheel2, 0);
    EXPECT_EQ(events.scrolls[0].wheel3, 0);
    EXPECT_EQ(events.scrolls[1].wheel2, 2);
    EXPECT_EQ(events.scrolls[1].wheel1, -3);
    EXPECT_EQ(events.scrolls[2].wheel2, -2);
    EXPECT_EQ(events.scrolls[2].wheel1, 2);
    EXPECT_EQ(events.scrolls[3].wheel2, 1'000'000'000);
    EXPECT_EQ(events.scrolls[3].wheel1, -1'000'000'000);
    EXPECT_TRUE(events.mouse.empty());  // scrolls bypass the pointer
    EXPECT_EQ(pointer.clickRun, 0);
}

TEST_F(DispatcherFixture, MalformedScrollsAreIgnored) {
    for (const char* line : {"S 1 2 3", "S inf 1", "S 1 -inf", "S nan 0", "S 1e400 0", "S x 1", "S 1", "S 1 2x"})
        handle(line);
    EXPECT_TRUE(events.scrolls.empty());
}

TEST_F(DispatcherFixture, SpaceMovesCountOnlyTheSign) {
    handle("W 3");
    handle("W 1");
    handle("W -7");
    handle("W 0");
    handle("W x");
    handle("W 1.5");
    handle("W");
    inputSources.spaceQueue().sync([] {});
    EXPECT_EQ(keyDowns(124), 2u);  // right arrow
    EXPECT_EQ(keyDowns(123), 1u);  // left arrow
    std::string t = logText();
    EXPECT_EQ(count(t, "공간 오른쪽"), 2u);
    EXPECT_EQ(count(t, "공간 왼쪽"), 1u);
}

TEST_F(DispatcherFixture, KeysNeedAnIntegerUsageAndExactlyThreeWords) {
    handle("K 4 1");
    handle("K 4 0");
    handle("K +4 1");
    for (const char* line : {"K four 1", "K 4", "K 4 1 x", "K 99999999999999999999 1", "K 4.0 1", "K  1"})
        handle(line);
    auto keys = events.keyList();
    ASSERT_EQ(keys.size(), 3u);
    EXPECT_EQ(keys[0].type, ev::kKeyDown);
    EXPECT_EQ(keys[0].vk, 0);
    EXPECT_EQ(keys[1].type, ev::kKeyUp);
    EXPECT_EQ(keys[2].type, ev::kKeyDown);
}

// ---- moves ----

TEST_F(DispatcherFixture, RelativeAndAbsoluteMovesAreClamped) {
    handle("M 10 -3");
    handle("M 5000 0 77");  // a sequence number may follow
    handle("A 100 200");
    handle("A -50 99999");
    ASSERT_EQ(events.mouse.size(), 4u);
    EXPECT_EQ(mouseTypes(), (std::vector<int>(4, ev::kMouseMoved)));
    EXPECT_DOUBLE_EQ(events.mouse[0].point.x, 510);
    EXPECT_DOUBLE_EQ(events.mouse[0].point.y, 497);
    EXPECT_DOUBLE_EQ(events.mouse[1].point.x, 1919);
    EXPECT_DOUBLE_EQ(events.mouse[1].point.y, 500);
    EXPECT_DOUBLE_EQ(events.mouse[2].point.x, 100);
    EXPECT_DOUBLE_EQ(events.mouse[2].point.y, 200);
    EXPECT_DOUBLE_EQ(events.mouse[3].point.x, 0);
    EXPECT_DOUBLE_EQ(events.mouse[3].point.y, 1079);
    for (const auto& e : events.mouse) EXPECT_EQ(e.clickState, 0);
}

TEST_F(DispatcherFixture, MovesDragWhatIsHeld) {
    handle("B L 1");
    handle("M 10 0");
    EXPECT_EQ(events.mouse.back().type, ev::kLeftMouseDragged);
    EXPECT_EQ(events.mouse.back().button, 0);
    handle("B L 0");

    handle("B R 1");
    handle("A 10 10");
    EXPECT_EQ(events.mouse.back().type, ev::kRightMouseDragged);
    EXPECT_EQ(events.mouse.back().button, 1);
    handle("B R 0");

    handle("B M 1");
    handle("M 10 0");
    EXPECT_EQ(events.mouse.back().type, ev::kMouseMoved);
    EXPECT_EQ(events.mouse.back().button, 0);
}

TEST_F(DispatcherFixture, NonFiniteCoordinatesAreIgnoredAndHugeOnesClamped) {
    for (const char* line : {"M nan 0", "M 0 NaN", "M inf 0", "M -inf 0", "A 0 -inf", "A 1e400 0", "A nan nan"})
        handle(line);
    EXPECT_TRUE(events.mouse.empty());

    handle("M 1e308 1e308");
    handle("A -1e308 1e308");
    handle("M -1.7976931348623157e308 0");
    ASSERT_EQ(events.mouse.size(), 3u);
    EXPECT_DOUBLE_EQ(events.mouse[0].point.x, 1919);
    EXPECT_DOUBLE_EQ(events.mouse[0].point.y, 1079);
    EXPECT_DOUBLE_EQ(events.mouse[1].point.x, 0);
    EXPECT_DOUBLE_EQ(events.mouse[1].point.y, 1079);
    EXPECT_DOUBLE_EQ(events.mouse[2].point.x, 0);
    EXPECT_DOUBLE_EQ(events.mouse[2].point.y, 500);
}

// ---- buttons ----

TEST_F(DispatcherFixture, PressLogsTruncatedPositionAndModifiers) {
    events.location = {100.7, 200.9};
    events.sessionFlags = ev::kFlagShift;
    handle("B L 1");
    EXPECT_EQ(count(logText(), "버튼 L 누름 @100,200 (수정자 ⇧"), 1u);
    ASSERT_EQ(events.mouse.size(), 1u);
    EXPECT_EQ(events.mouse[0].type, ev::kLeftMouseDown);
    EXPECT_EQ(events.mouse[0].clickState, 1);

    events.location = {-3.7, -5.5};  // left of and above the main display
    events.sessionFlags = 0;
    handle("B M 1");
    EXPECT_EQ(count(logText(), "버튼 M 누름 @-3,-5\n"), 1u);
    EXPECT_EQ(events.mouse.back().type, ev::kOtherMouseDown);
    EXPECT_EQ(events.mouse.back().button, 2);
}

TEST_F(DispatcherFixture, PressReleasesAStaleOtherButtonFirst) {
    handle("B R 1");
    handle("B L 1");
    EXPECT_EQ(mouseTypes(), (std::vector<int>{ev::kRightMouseDown, ev::kRightMouseUp, ev::kLeftMouseDown}));
    EXPECT_EQ(events.mouse[1].button, 1);
    EXPECT_EQ(pointer.buttonsDown, (std::set<std::string>{"L"}));
    std::string t = logText();
    EXPECT_EQ(count(t, "버튼 R 이 눌린 채 남아 있었다 — 놓는다"), 1u);
    EXPECT_LT(t.find("버튼 L 누름"), t.find("버튼 R 이 눌린 채"));
}

TEST_F(DispatcherFixture, PressLeavesAHeldButtonAlone) {
    handle("H R 1");
    handle("B L 1");
    EXPECT_EQ(mouseTypes(), (std::vector<int>{ev::kRightMouseDown, ev::kLeftMouseDown}));
    EXPECT_EQ(pointer.buttonsDown, (std::set<std::string>{"L", "R"}));
    EXPECT_EQ(count(logText(), "남아 있었다"), 0u);
}

TEST_F(DispatcherFixture, TapWhileHeldReleasesFirst) {
    handle("B L 1");
    clock.advance(0.1);
    handle("B L 1");
    EXPECT_EQ(mouseTypes(), (std::vector<int>{ev::kLeftMouseDown, ev::kLeftMouseUp, ev::kLeftMouseDown}));
    EXPECT_EQ(events.mouse[2].clickState, 2);  // still a double click for the system
    EXPECT_EQ(count(logText(), "버튼 L 이 눌린 채로 탭이 왔다 — 먼저 놓는다"), 1u);
    EXPECT_EQ(pointer.buttonsDown, (std::set<std::string>{"L"}));
}

TEST_F(DispatcherFixture, LongPressIsLoggedOnlyAboveFourTenths) {
    handle("B L 1");
    clock.advance(0.3);
    handle("B L 0");
    EXPECT_EQ(count(logText(), "버튼 L 뗌"), 0u);

    handle("B L 1");
    clock.advance(0.5);
    handle("B L 0");
    EXPECT_EQ(count(logText(), "버튼 L 뗌 — 500ms 눌렸다 (길다)\n"), 1u);

    handle("B R 1");
    clock.advance(0.1);
    handle("B R 0");
    EXPECT_EQ(count(logText(), "버튼 R 뗌\n"), 1u);
    EXPECT_TRUE(pointer.buttonsDown.empty());
    EXPECT_TRUE(pointer.buttonPressedAt.empty());

    handle("B L 0");  // a release with no press is still posted
    EXPECT_EQ(events.mouse.back().type, ev::kLeftMouseUp);
    EXPECT_EQ(count(logText(), "버튼 L 뗌"), 1u);
}

TEST_F(DispatcherFixture, NonLeftPressesAreSweptWhenTheReleaseIsLost) {
    handle("B L 1");
    handle("B R 0");
    handle("B R 1");  // releases the stale L
    EXPECT_FALSE(pointer.clickDownAt.count("L"));
    EXPECT_DOUBLE_EQ(pointer.clickDownAt.at("R"), clock.now());
    clock.advance(0.6);
    pointer.sweepHolds();
    EXPECT_TRUE(pointer.buttonsDown.empty());
    EXPECT_EQ(events.mouse.back().type, ev::kRightMouseUp);
    EXPECT_EQ(count(logText(), "버튼 R 뗌이 안 왔다"), 1u);
}

TEST_F(DispatcherFixture, ButtonsAndHoldsNeedExactlyThreeWords) {
    for (const char* line : {"B L", "B L 1 2", "H R", "H R 1 x"}) handle(line);
    EXPECT_TRUE(events.mouse.empty());
    handle("H X 1");  // any other name is the left button
    ASSERT_EQ(events.mouse.size(), 1u);
    EXPECT_EQ(events.mouse[0].type, ev::kLeftMouseDown);
    handle("H X 0");
    EXPECT_EQ(events.mouse.back().type, ev::kLeftMouseUp);
}

TEST_F(DispatcherFixture, AFloodOfPressesEndsWithNothingDown) {
    for (int i = 0; i < 10'000; ++i) handle("B L 1");
    handle("R 0");
    EXPECT_TRUE(pointer.buttonsDown.empty());
    size_t downs = 0, ups = 0;
    for (const auto& e : events.mouse) {
        downs += e.type == ev::kLeftMouseDown;
        ups += e.type == ev::kLeftMouseUp;
    }
    EXPECT_EQ(downs, 10'000u);
    EXPECT_EQ(ups, 10'000u);
    ASSERT_GE(events.mouse.size(), 3u);
    size_t n = events.mouse.size();
    EXPECT_EQ(events.mouse[n - 3].type, ev::kLeftMouseUp);
    EXPECT_EQ(events.mouse[n - 2].type, ev::kLeftMouseDown);
    EXPECT_EQ(events.mouse[n - 1].type, ev::kLeftMouseUp);
}

TEST_F(DispatcherFixture, LongButtonNamesAreTheLeftButtonAndGrowNoTableOrLog) {
    const std::string name(14'000, 'x');
    for (int i = 0; i < 800; ++i) {
        handle("B " + name + std::to_string(i) + " 1");
        handle("H " + name + std::to_string(i) + " 1");
    }
    EXPECT_EQ(pointer.buttonsDown, (std::set<std::string>{"L"}));
    EXPECT_EQ(pointer.buttonPressedAt.size(), 1u);
    EXPECT_EQ(pointer.holdLease.size(), 1u);
    EXPECT_EQ(events.mouse.back().type, ev::kLeftMouseDown);
    const std::string t = logText();
    EXPECT_EQ(t.find("xxxx"), std::string::npos);
    EXPECT_LT(t.size(), 800u * 200u);  // a short line per press, not the name
    handle("R 0");
    EXPECT_TRUE(pointer.buttonsDown.empty());
    EXPECT_TRUE(pointer.buttonPressedAt.empty());
    EXPECT_TRUE(pointer.clickDownAt.empty());
}

// ---- text ----

TEST_F(DispatcherFixture, ResentTextIsEnteredOnce) {
    std::string line = "T 7 " + base64Encode(std::string_view("안녕 hi"));
    handle(line);
    handle(line);
    EXPECT_EQ(typed(), u"안녕 hi");
    EXPECT_EQ(logText().find("안녕"), std::string::npos);  // the text never reaches the log
}

TEST_F(DispatcherFixture, UndecodableTextLogsAndTypesNothing) {
    for (const std::string& line : {std::string("T x aGk="), std::string("T 7 !!!!"), std::string("T 8 /w=="),
                                    std::string("T 9"), std::string("T 10 aGk"), std::string("T 1.0 aGk="),
                                    "T 11 " + base64Encode(std::string_view("\xed\xa0\x80"))})
        handle(line);
    EXPECT_EQ(count(logText(), "텍스트 해석 실패"), 7u);
    EXPECT_TRUE(typed().empty());

    handle("T 7 " + base64Encode(std::string_view("ok")));  // the failed 7 did not use up its number
    EXPECT_EQ(typed(), u"ok");
}

// ---- the human input gate ----

TEST_F(DispatcherFixture, PersonTakingOverSoonAfterTheAgentStopsIt) {
    char sleepProg[] = "/bin/sleep";
    char secs[] = "30";
    char* argv[] = {sleepProg, secs, nullptr};
    pid_t child = -1;
    ASSERT_EQ(::posix_spawn(&child, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
    agent.setChild(child);
    agent.setLastAct(clock.now());
    clock.advance(14);

    handle("K 4 1");
    EXPECT_TRUE(agent.agentStop.load());
    auto lines = peer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "SAY " + base64Encode(std::string_view("⚠︎ 섰다 — 직접 조작")) + "\n");
    EXPECT_EQ(keyDowns(0), 1u);  // the key still goes through
    EXPECT_EQ(count(logText(), "에이전트 중단 — 사람이 직접 조작했다 (K)"), 1u);

    bool gone = false;
    for (int i = 0; i < 500 && !gone; ++i) {
        gone = ::kill(child, 0) != 0;
        if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(gone);
    if (!gone) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    handle("B L 1");  // already stopped: no second notice
    EXPECT_EQ(peer->lines().size(), 1u);
}

TEST_F(DispatcherFixture, GateStaysQuietAfterFifteenSeconds) {
    agent.setLastAct(clock.now());
    clock.advance(16);
    handle("S 0 1");
    EXPECT_FALSE(agent.agentStop.load());
    EXPECT_TRUE(peer->lines().empty());
    EXPECT_EQ(events.scrolls.size(), 1u);
}

TEST_F(DispatcherFixture, GateWatchesOnlyHumanInputWords) {
    agent.setLastAct(clock.now());
    handle("M 1 1");
    handle("W 1");
    handle("G 0");
    EXPECT_FALSE(agent.agentStop.load());
    handle("T");  // the gate runs before the word count is checked
    EXPECT_TRUE(agent.agentStop.load());
    EXPECT_EQ(peer->lines().size(), 1u);
}

// ---- display and session words ----

TEST_F(DispatcherFixture, DisplaySizeFollowsTheHookResult) {
    installVDispHooks();
    setSizeResult = 0;
    handle("VD 1170 2532");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 1170x2532"}));
    EXPECT_TRUE(global.items.empty());

    calls.clear();
    setSizeResult = 1;
    handle("VD 1170 2532");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 1170x2532", "setMain virtual gather", "physicalOff"}));
    EXPECT_EQ(count(logText(), "맥 화면 모드를 1170×2532 로 바꿨다 (같은 화면)"), 1u);
    ASSERT_EQ(global.items.size(), 1u);
    EXPECT_DOUBLE_EQ(global.items[0].first, 1.0);
    calls.clear();
    global.runAll();
    EXPECT_EQ(calls, (std::vector<std::string>{"gather none wake"}));

    calls.clear();
    setSizeResult = -3;
    handle("VD 800 600");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 800x600", "physicalOn", "destroy", "create",
                                               "setMain virtual gather", "physicalOff"}));
    EXPECT_EQ(count(logText(), "맥 화면 크기를 800×600 로 다시 만든다"), 1u);

    calls.clear();
    vdAlive = false;
    handle("VD 800 600");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 800x600", "create", "setMain virtual gather", "physicalOff"}));
    EXPECT_TRUE(vdispLock.try_lock());  // released again
    vdispLock.unlock();
}

TEST_F(DispatcherFixture, DisplaySizeWhileTheScreenIsBlockedOnlyKeepsTheSize) {
    installVDispHooks();
    vdAlive = false;
    setSizeResult = 2;
    locked = true;
    handle("VD 1170 2532");
    blockedReason = "⚠︎ 맥에서 다른 사용자가 화면을 쓰고 있습니다.";
    locked = false;
    handle("VD 800 600");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 1170x2532", "setSize 800x600"}));
    EXPECT_EQ(logText().find("맥 화면"), std::string::npos);
    EXPECT_TRUE(global.items.empty());

    blockedReason.reset();
    calls.clear();
    handle("VD 800 600");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 800x600", "create", "setMain virtual gather", "physicalOff"}));
}

TEST_F(DispatcherFixture, DisplaySizeNeedsTwoUnsignedWords) {
    installVDispHooks();
    for (const char* line : {"VD -1 5", "VD 1 2 3", "VD x 5", "VD 4294967296 1", "VD 5", "VD 1.5 2", "VD 0x10 2"})
        handle(line);
    EXPECT_TRUE(calls.empty());
    setSizeResult = 0;
    handle("VD 4294967295 0");
    EXPECT_EQ(calls, (std::vector<std::string>{"setSize 4294967295x0"}));
}

TEST_F(DispatcherFixture, DisplaySizeIsDroppedWhileTheLockIsBusy) {
    installVDispHooks();
    std::promise<void> held, done;
    std::thread holder([&] {
        std::lock_guard<TryLock> lk(vdispLock);
        held.set_value();
        done.get_future().wait();
    });
    held.get_future().wait();
    handle("VD 100 200");
    done.set_value();
    holder.join();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(logText().find("맥 화면"), std::string::npos);

    handle("VD 100 200");  // free again: the next request goes through
    EXPECT_EQ(calls.front(), "setSize 100x200");
}

TEST_F(DispatcherFixture, DisplayWorkWaitsForTheMainQueue) {
    installVDispHooks();
    mq = &mainQueue;
    build();
    mainQueue.adoptCurrentThread();
    handle("VD 100 200");
    EXPECT_TRUE(calls.empty());
    mainQueue.spinRunLoop(0.05);
    EXPECT_EQ(calls.front(), "setSize 100x200");
}

TEST_F(DispatcherFixture, DisplayWordsWithoutHooksDoNothing) {
    handle("VD 100 200");
    handle("BYE 0");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(logText().find("가상 화면"), std::string::npos);
    EXPECT_EQ(logText().find("맥 화면"), std::string::npos);
}

TEST_F(DispatcherFixture, HelloMakesTheDisplayWhenTheScreenIsFree) {
    handle("HELLO 0");
    EXPECT_TRUE(phone.phoneWantsScreen.load());
    EXPECT_EQ(calls, (std::vector<std::string>{"grace 0.000000", "ensureVDisp"}));
    EXPECT_TRUE(peer->lines().empty());
}

TEST_F(DispatcherFixture, HelloWithABlockedScreenTellsThePhone) {
    const std::string reason = "⚠︎ 맥에서 다른 사용자가 화면을 쓰고 있습니다.";
    blockedReason = reason;
    locked = true;
    handle("HELLO 0");
    EXPECT_TRUE(phone.phoneWantsScreen.load());
    EXPECT_EQ(calls, (std::vector<std::string>{"grace 0.000000"}));
    EXPECT_EQ(count(logText(), "화면을 쓸 수 없다 — " + reason + "\n"), 1u);
    EXPECT_EQ(peer->lines(), (std::vector<std::string>{"SAY " + base64Encode(reason) + "\n",
                                                       "LOCKED 1 " + base64Encode(std::string_view("minji")) + "\n"}));

    locked = false;
    handle("HELLO 0");
    EXPECT_EQ(peer->lines().size(), 3u);
    EXPECT_EQ(peer->lines().back(), "SAY " + base64Encode(reason) + "\n");
}

TEST_F(DispatcherFixture, ByeLetsGoAndReleasesTheVirtualDisplay) {
    installVDispHooks();
    phone.phoneWantsScreen = true;
    handle("B L 1");
    handle("BYE 0");
    EXPECT_FALSE(phone.phoneWantsScreen.load());
    EXPECT_TRUE(pointer.buttonsDown.empty());
    EXPECT_EQ(events.mouse.back().type, ev::kLeftMouseUp);
    EXPECT_EQ(calls, (std::vector<std::string>{"physicalOn", "destroy"}));
    std::string t = logText();
    EXPECT_EQ(count(t, "눌린 것 전부 해제"), 1u);
    EXPECT_EQ(count(t, "폰이 그만 쓴다고 했다 — 가상 화면을 놓는다"), 1u);

    calls.clear();
    vdAlive = false;
    handle("BYE 0");
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(count(logText(), "폰이 그만 쓴다고 했다"), 1u);
}

TEST_F(DispatcherFixture, ByeLeavesTheDisplayWhileTheLockIsBusy) {
    installVDispHooks();
    std::promise<void> held, done;
    std::thread holder([&] {
        std::lock_guard<TryLock> lk(vdispLock);
        held.set_value();
        done.get_future().wait();
    });
    held.get_future().wait();
    handle("BYE 0");
    done.set_value();
    holder.join();
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(count(logText(), "폰이 그만 쓴다고 했다"), 1u);  // the intent is still logged
}

TEST_F(DispatcherFixture, GatherAndReservedWords) {
    handle("G 0");
    EXPECT_EQ(calls, (std::vector<std::string>{"gather none"}));
    calls.clear();
    for (const char* line : {"AI x", "ASKTEST 1", "AXDO press", "AXS 0", "ALLOW 3", "NOPE -4", "ALLOW x"})
        handle(line);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(events.mouse.empty());
    EXPECT_TRUE(events.keyList().empty());
    EXPECT_TRUE(peer->lines().empty());
}

TEST_F(DispatcherFixture, AnswersWaitForTheQuestionLock) {
    std::unique_lock<std::mutex> lk(agent.askLock);
    // An answer whose id does not parse never touches the lock.
    auto bad = std::async(std::launch::async, [this] { handle("NOPE x"); });
    EXPECT_EQ(bad.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    auto good = std::async(std::launch::async, [this] { handle("ALLOW 12"); });
    EXPECT_EQ(good.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    lk.unlock();
    EXPECT_EQ(good.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(agent.askLock.try_lock());  // released again
    agent.askLock.unlock();
}

// ---- hostile lines ----

TEST_F(DispatcherFixture, BadInputCorpusNeverCrashes) {
    installVDispHooks();
    setSizeResult = 2;
    const std::vector<std::string> cmds = {"M",    "A",     "S",     "B",     "H",  "K",  "T",       "G",
                                           "R",    "W",     "VD",    "HELLO", "BYE", "ALLOW", "NOPE", "AI",
                                           "ASKTEST", "AXDO", "AXS", "STOP",  "GO", "L",  "1"};
    const std::vector<std::string> args = {"",
                                           "x",
                                           "1",
                                           "0",
                                           "-1",
                                           "-0",
                                           "nan",
                                           "-NaN",
                                           "nan(123)",
                                           "inf",
                                           "-infinity",
                                           "1e308",
                                           "-1e308",
                                           "1e400",
                                           "1.7976931348623157e308",
                                           "4.9e-324",
                                           "99999999999999999999",
                                           "-9223372036854775809",
                                           "9223372036854775807",
                                           "4294967296",
                                           "0x1p4",
                                           "+5",
                                           "-",
                                           "+",
                                           "1,5",
                                           "\t1",
                                           "1\t",
                                           "€",
                                           "\xff\xfe",
                                           std::string("1\0", 2),
                                           std::string(5000, '9'),
                                           "aGk=",
                                           "/w==",
                                           "L",
                                           "R"};
    const std::vector<std::string> few = {"1", "0", "-1", "nan", "inf", "1e308", "x", "aGk=", "\xff"};

    size_t lines = 0;
    for (const auto& c : cmds) {
        handle(c);
        ++lines;
        for (const auto& a : args) {
            handle(c + " " + a);
            for (const auto& b : few) {
                handle(c + " " + a + " " + b);
                handle(c + " " + b + " " + a);
                handle(c + " " + a + " " + b + " " + a);
                lines += 3;
            }
            ++lines;
        }
    }
    handle("R 0");
    inputSources.spaceQueue().sync([] {});
    global.runAll();

    EXPECT_GT(lines, 5000u);
    EXPECT_TRUE(pointer.buttonsDown.empty());
    for (const auto& e : events.mouse) {
        ASSERT_TRUE(std::isfinite(e.point.x) && std::isfinite(e.point.y));
        EXPECT_GE(e.point.x, 0);
        EXPECT_LT(e.point.x, 1920);
        EXPECT_GE(e.point.y, 0);
        EXPECT_LT(e.point.y, 1080);
    }
    for (const auto& s : events.scrolls) {
        EXPECT_LE(std::abs(static_cast<int64_t>(s.wheel1)), 1'000'000'000);
        EXPECT_LE(std::abs(static_cast<int64_t>(s.wheel2)), 1'000'000'000);
    }
    EXPECT_FALSE(events.mouse.empty());
    EXPECT_FALSE(events.scrolls.empty());
}

}  // namespace
