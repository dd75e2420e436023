#include <cctype>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/chords.h"
#include "input/input_sources.h"
#include "support/test_files.h"

using namespace vm;
namespace fs = std::filesystem;
namespace ev = vm::platform::ev;

using vm::testing::TempDir;
using vm::testing::readAll;
using vm::testing::countOf;

namespace {

const std::string kABC = "com.apple.keylayout.ABC";
const std::string kKorean = "com.apple.inputmethod.Korean.2SetKorean";

class FakeSources final : public platform::InputSources {
public:
    std::vector<platform::InputSourceInfo> enabled() override { return list; }
    std::optional<std::string> current() override { return cur; }
    int select(const std::string& id) override {
        selected.push_back(id);
        const bool changed = status == 0 && cur != id;
        if (status == 0) cur = id;
        // Like a desktop, which tells its watchers about every change, ours included.
        if (changed && notifyOnSelect && onChangeCb) onChangeCb();
        return status;
    }
    void watch(std::function<void()> onChange) override { onChangeCb = std::move(onChange); }
    std::string language(const std::string& id) override {
        // Like a desktop that names its Korean sources so: "korean" in any case, or "Hangul".
        std::string lower = id;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return lower.find("korean") != std::string::npos || id.find("Hangul") != std::string::npos ? "ko" : "en";
    }

    std::vector<platform::InputSourceInfo> list;
    std::optional<std::string> cur;
    int status = 0;
    std::vector<std::string> selected;
    std::function<void()> onChangeCb;
    bool notifyOnSelect = false;
};

struct Key {
    int type;
    uint16_t vk;
    uint64_t flags;
    double at;
    bool down;
};

// Records key events with the (fake) time they were posted; Control reads as
// pressed for the first `stuckReads` reads of the session flags.
class RecordingEvents final : public platform::Events {
public:
    explicit RecordingEvents(const Clock& c) : clock(c) {}
    bool postMouse(const platform::MouseEvent&) override { return true; }
    bool postKey(const platform::KeyEvent& e) override {
        std::lock_guard<std::mutex> lk(mu);
        if (!e.hidSystemSource) ++withoutSource;
        keys.push_back({e.type, e.vk, e.flags, clock.now(), e.down});
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
    uint64_t sessionModifierFlags() override {
        ++reads;
        if (stuckReads > 0) {
            --stuckReads;
            return ev::kFlagControl | ev::kFlagShift;
        }
        return ev::kFlagShift;
    }
    std::vector<Key> snapshot() {
        std::lock_guard<std::mutex> lk(mu);
        return keys;
    }

    const Clock& clock;
    std::mutex mu;
    std::vector<Key> keys;
    int withoutSource = 0;
    std::atomic<int> stuckReads{0};
    std::atomic<int> reads{0};
};

struct InputSourcesTest : ::testing::Test {
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    FakeSources sources;
    RecordingEvents events{clock};
    MainQueue mainQueue;
    std::vector<std::string> sent;  // touched only on the main thread
    std::atomic<bool> phoneControl{false};
    InputSourceSwitcher sw{clock, log, sources, events, mainQueue,
                           [this](const std::string& line) { sent.push_back(line); },
                           [this] { return phoneControl.load(); }};

    InputSourcesTest() { mainQueue.adoptCurrentThread(); }
    std::string logText() { return readAll(log.cursorLogPath()); }
    void settle() { mainQueue.spinRunLoop(0.15); }
    void waitForSpaceQueue() { sw.spaceQueue().sync([] {}); }
};

TEST_F(InputSourcesTest, EnglishAndKoreanAlternateAndPhonesHear) {
    sources.list = {{kABC, true, true}, {kKorean, true, true}};
    sources.cur = kABC;

    sw.switchInputSource();
    EXPECT_EQ(sources.cur, kKorean);
    EXPECT_TRUE(sent.empty());  // announced a moment later, not at once
    settle();
    EXPECT_EQ(sent, (std::vector<std::string>{"IS ko\n"}));

    sw.switchInputSource();
    settle();
    EXPECT_EQ(sources.cur, kABC);
    EXPECT_EQ(sent, (std::vector<std::string>{"IS ko\n", "IS en\n"}));
    std::string text = logText();
    EXPECT_EQ(countOf(text, "입력 소스 " + kABC + " → " + kKorean + " (status 0)\n"), 1);
    EXPECT_EQ(countOf(text, "입력 소스 " + kKorean + " → " + kABC + " (status 0)\n"), 1);
}

TEST_F(InputSourcesTest, OffTheMainThreadTheSwitchHopsToMain) {
    sources.list = {{kABC, true, true}, {kKorean, true, true}};
    sources.cur = kABC;
    std::thread([this] { sw.switchInputSource(); }).join();
    EXPECT_TRUE(sources.selected.empty());
    settle();
    EXPECT_EQ(sources.selected, (std::vector<std::string>{kKorean}));
    EXPECT_EQ(sent, (std::vector<std::string>{"IS ko\n"}));
}

TEST_F(InputSourcesTest, ThreeSourcesCycleAndWrapSkippingTheUnselectable) {
    sources.list = {{"a.Roman", true, true},
                    {"palette.Emoji", false, true},   // not a keyboard source
                    {"b.Hangul", true, true},
                    {"c.Locked", true, false},        // not select-capable
                    {"d.Dvorak", true, true}};
    sources.cur = "a.Roman";
    for (int i = 0; i < 4; ++i) sw.switchInputSource();
    EXPECT_EQ(sources.selected, (std::vector<std::string>{"b.Hangul", "d.Dvorak", "a.Roman", "b.Hangul"}));

    // A current source outside the list moves to the first.
    sources.cur = "x.Unknown";
    sw.switchInputSource();
    EXPECT_EQ(sources.selected.back(), "a.Roman");
    sources.cur.reset();
    sw.switchInputSource();
    EXPECT_EQ(sources.selected.back(), "a.Roman");
    settle();
}

TEST_F(InputSourcesTest, RefusedSelectionIsLoggedAndStillAnnounced) {
    sources.list = {{kABC, true, true}, {kKorean, true, true}};
    sources.cur = kABC;
    sources.status = -50;
    sw.switchInputSource();
    settle();
    EXPECT_EQ(countOf(logText(), "입력 소스 " + kABC + " → " + kKorean + " (status -50)\n"), 1);
    EXPECT_EQ(sent, (std::vector<std::string>{"IS en\n"}));
}

TEST_F(InputSourcesTest, SingleSourceSwitchesNothing) {
    sources.list = {{kABC, true, true}, {kKorean, true, false}};
    sources.cur = kABC;
    sw.switchInputSource();
    settle();
    EXPECT_TRUE(sources.selected.empty());
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(countOf(logText(), "입력 소스가 1개뿐 — 전환할 대상이 없다\n"), 1);
}

TEST_F(InputSourcesTest, TagsAndTheCacheForOtherThreads) {
    auto tagOf = [this](std::optional<std::string> id) {
        sources.cur = std::move(id);
        return sw.inputSourceTag();
    };
    EXPECT_EQ(tagOf("com.example.MyKorean"), "ko");
    EXPECT_EQ(tagOf("x.KOREAN.y"), "ko");
    EXPECT_EQ(tagOf("org.example.Hangul"), "ko");
    EXPECT_EQ(tagOf("org.example.hangul"), "en");  // "Hangul" counts only as written
    EXPECT_EQ(tagOf(kABC), "en");

    auto offMain = [this] {
        std::string t;
        std::thread([&] { t = sw.inputSourceTag(); }).join();
        return t;
    };
    EXPECT_EQ(offMain(), "en");
    EXPECT_EQ(tagOf(kKorean), "ko");
    sources.cur = kABC;  // not yet seen on the main thread
    EXPECT_EQ(offMain(), "ko");
    EXPECT_EQ(tagOf(std::nullopt), "en");  // no source: "en", cache untouched
    EXPECT_EQ(offMain(), "ko");
}

TEST_F(InputSourcesTest, WatchAnnouncesOnlyChangedTags) {
    sources.cur = kKorean;
    sw.startInputSourceWatch();
    ASSERT_TRUE(sources.onChangeCb);
    settle();
    EXPECT_TRUE(sent.empty());  // the first tag is remembered, not sent

    sources.onChangeCb();  // same tag: nothing to say
    settle();
    EXPECT_TRUE(sent.empty());

    sources.cur = kABC;
    std::thread([this] { sources.onChangeCb(); }).join();
    settle();
    EXPECT_EQ(sent, (std::vector<std::string>{"IS en\n"}));
    sources.onChangeCb();
    settle();
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(countOf(logText(), "입력 소스 바뀜 → en — 폰에 IS\n"), 1);
}

TEST_F(InputSourcesTest, OurOwnSwitchIsAnnouncedOnceAndNotTakenForAnOutsideChange) {
    sources.list = {{kABC, true, true}, {kKorean, true, true}};
    sources.cur = kABC;
    sources.notifyOnSelect = true;
    sw.startInputSourceWatch();
    settle();

    sw.switchInputSource();
    settle();
    EXPECT_EQ(sent, (std::vector<std::string>{"IS ko\n"}));
    sw.switchInputSource();
    settle();
    EXPECT_EQ(sent, (std::vector<std::string>{"IS ko\n", "IS en\n"}));
    EXPECT_EQ(countOf(logText(), "입력 소스 바뀜"), 0);

    // Later, the user switches at the Mac: that one is an outside change, said once.
    clock.advance(5);
    sources.cur = kKorean;
    sources.onChangeCb();
    settle();
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent.back(), "IS ko\n");
    EXPECT_EQ(countOf(logText(), "입력 소스 바뀜 → ko — 폰에 IS\n"), 1);
}

TEST_F(InputSourcesTest, SpaceMovePostsControlArrowInOrder) {
    double t0 = clock.now();
    sw.switchSpace(3);
    waitForSpaceQueue();
    auto keys = events.snapshot();
    ASSERT_EQ(keys.size(), 4u);
    const int types[] = {ev::kFlagsChanged, ev::kKeyDown, ev::kKeyUp, ev::kFlagsChanged};
    const uint16_t vks[] = {59, 124, 124, 59};
    const uint64_t flags[] = {0x40000, 0xA40000, 0xA40000, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(keys[i].type, types[i]) << i;
        EXPECT_EQ(keys[i].vk, vks[i]) << i;
        EXPECT_EQ(keys[i].flags, flags[i]) << i;
    }
    EXPECT_TRUE(keys[0].down);
    EXPECT_FALSE(keys[3].down) << "the closing flags-changed lets Control go";
    EXPECT_EQ(events.withoutSource, 0);
    EXPECT_EQ(events.reads.load(), 1);  // Control read as released: no repair
    EXPECT_NEAR(clock.now() - t0, 0.150, 1e-6);  // the wait before looking for a stuck Control
    EXPECT_EQ(countOf(logText(), "공간 오른쪽\n"), 1);

    sw.switchSpace(-1);
    waitForSpaceQueue();
    keys = events.snapshot();
    ASSERT_EQ(keys.size(), 8u);
    EXPECT_EQ(keys[5].vk, 123);
    EXPECT_EQ(keys[6].vk, 123);
    EXPECT_EQ(countOf(logText(), "공간 왼쪽\n"), 1);
    EXPECT_EQ(countOf(logText(), "⌃ 가 눌린 채"), 0);
}

TEST_F(InputSourcesTest, StuckControlIsReleasedAgainAtMostThreeTimes) {
    const std::string repair = "공간 이동 뒤 ⌃ 가 눌린 채 남았다 — 다시 뗀다 (";

    events.stuckReads = 2;  // reads pressed twice, then let go
    sw.pressSpaceKey(true);
    auto keys = events.snapshot();
    ASSERT_EQ(keys.size(), 6u);
    for (size_t i = 4; i < 6; ++i) {
        EXPECT_EQ(keys[i].type, ev::kFlagsChanged);
        EXPECT_EQ(keys[i].vk, 59);
        EXPECT_EQ(keys[i].flags, 0u);
    }
    EXPECT_NEAR(keys[5].at - keys[4].at, 0.150, 1e-6);
    std::string text = logText();
    EXPECT_EQ(countOf(text, repair + "1번째)\n"), 1);
    EXPECT_EQ(countOf(text, repair + "2번째)\n"), 1);
    EXPECT_EQ(countOf(text, repair), 2);

    // Never lets go: three more releases and it gives up.
    events.stuckReads = 1000;
    sw.pressSpaceKey(false);
    EXPECT_EQ(events.snapshot().size(), 6u + 4u + 3u);
    text = logText();
    EXPECT_EQ(countOf(text, repair + "3번째)\n"), 1);
    EXPECT_EQ(countOf(text, repair + "4번째)"), 0);

    // The phone itself holds Control: it is not ours to release.
    phoneControl = true;
    sw.pressSpaceKey(true);
    EXPECT_EQ(events.snapshot().size(), 6u + 7u + 4u);
    EXPECT_EQ(countOf(logText(), repair), 5);
}

}  // namespace
