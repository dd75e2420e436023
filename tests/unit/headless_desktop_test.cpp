// The in-memory desktop's input side: screens and coordinate flips, the
// pointer, session modifiers, the pasteboard, input sources, workspaces, and
// the record and trace of posted events.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/process_helper.h"
#include "platform/headless/headless_desktop.h"
#include "platform/headless/headless_trace.h"
#include "platform/platform.h"

using namespace vmtest;
using namespace vm::platform;
using namespace vm::platform::headless;

namespace {

// Sets one environment variable for a test and puts the old value back afterwards.
class ScopedVar {
public:
    ScopedVar(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value->c_str(), 1);
        else ::unsetenv(name);
    }
    ~ScopedVar() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A main display 1920x1080, an offline one, and a taller 1280x1440 one to the right.
const char* kTwoDisplays = R"({"displays":[
    {"width":1920,"height":1080},
    {"width":3000,"height":3000,"online":false},
    {"width":1280,"height":1440}]})";

std::unique_ptr<HeadlessDesktop> desktop(const std::string& sceneJson = kTwoDisplays) {
    ScopedVar noTrace("VELLOMARK_HEADLESS_TRACE", std::nullopt);
    return std::make_unique<HeadlessDesktop>(Locations{}, Scene::parse(sceneJson));
}

MouseEvent mouse(int type, double x, double y, int button = 0, int64_t clickState = 0) {
    MouseEvent e;
    e.type = type;
    e.point = Point{x, y};
    e.button = button;
    e.clickState = clickState;
    return e;
}

KeyEvent key(int type, uint16_t vk, uint64_t flags, std::u16string text = {}) {
    KeyEvent e;
    e.type = type;
    e.vk = vk;
    e.flags = flags;
    e.text = std::move(text);
    return e;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

// ---------------------------------------------------------------- screens

TEST(HeadlessScreens, OnlineDisplaysAreLaidOutLeftToRightTopsAligned) {
    auto desk = desktop();
    auto frames = desk->events().screenFrames();
    ASSERT_EQ(frames.size(), 2u);  // the offline display takes no place
    EXPECT_DOUBLE_EQ(frames[0].x, 0);
    EXPECT_DOUBLE_EQ(frames[0].y, 0);
    EXPECT_DOUBLE_EQ(frames[0].width, 1920);
    EXPECT_DOUBLE_EQ(frames[0].height, 1080);
    // Global points, y down: the taller display's top edge lines up with the main one's.
    EXPECT_DOUBLE_EQ(frames[1].x, 1920);
    EXPECT_DOUBLE_EQ(frames[1].y, 0);
    EXPECT_DOUBLE_EQ(frames[1].width, 1280);
    EXPECT_DOUBLE_EQ(frames[1].maxY(), 1440);

    auto shorter = desktop(R"({"displays":[{"width":800,"height":600},{"width":640,"height":480},
                                           {"width":100,"height":700}]})");
    frames = shorter->screenFrames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_DOUBLE_EQ(frames[1].x, 800);
    EXPECT_DOUBLE_EQ(frames[1].y, 0);
    EXPECT_DOUBLE_EQ(frames[2].x, 1440);
    EXPECT_DOUBLE_EQ(frames[2].y, 0);

    EXPECT_TRUE(desktop("{}")->screenFrames().empty());
}

// ---------------------------------------------------------------- pointer

TEST(HeadlessPointer, StartsAtTheCentreOfTheMainDisplayOrWhereTheSceneSays) {
    auto desk = desktop();
    EXPECT_DOUBLE_EQ(desk->pointer().x, 960);
    EXPECT_DOUBLE_EQ(desk->pointer().y, 540);
    Point loc = desk->mouseLocation();
    EXPECT_DOUBLE_EQ(loc.x, 960);
    EXPECT_DOUBLE_EQ(loc.y, 540);

    auto placed = desktop(R"({"displays":[{"width":1920,"height":1080}],"pointer":{"x":10,"y":20.5}})");
    EXPECT_DOUBLE_EQ(placed->mouseLocation().x, 10);
    EXPECT_DOUBLE_EQ(placed->mouseLocation().y, 20.5);

    auto none = desktop("{}");
    EXPECT_DOUBLE_EQ(none->pointer().x, 0);
    EXPECT_DOUBLE_EQ(none->pointer().y, 0);
}

TEST(HeadlessPointer, FollowsEveryPostedMouseEventAndRoundTrips) {
    auto desk = desktop();
    struct Step {
        int type;
        double x, y;
    };
    const std::vector<Step> steps = {
        {ev::kMouseMoved, 100, 200},       {ev::kLeftMouseDown, 2000, 1300}, {ev::kLeftMouseDragged, 2100, 1400},
        {ev::kLeftMouseUp, 2101, 1401},    {ev::kRightMouseDown, 5, 6},      {ev::kRightMouseDragged, 7, 8},
        {ev::kRightMouseUp, 9, 10},        {ev::kOtherMouseDown, 11, 12},    {ev::kOtherMouseUp, 13, 14},
    };
    for (const auto& s : steps) {
        ASSERT_TRUE(desk->postMouse(mouse(s.type, s.x, s.y)));
        Point loc = desk->mouseLocation();
        EXPECT_DOUBLE_EQ(loc.x, s.x) << s.type;
        EXPECT_DOUBLE_EQ(loc.y, s.y) << s.type;
    }
    EXPECT_EQ(desk->recorded().size(), steps.size());

    desk->setPointer(Point{42, 43});
    EXPECT_DOUBLE_EQ(desk->mouseLocation().y, 43);
}

TEST(HeadlessPointer, EventsThatCannotBeMadePostNothing) {
    auto desk = desktop();
    EXPECT_FALSE(desk->postMouse(mouse(ev::kKeyDown, 1, 1)));  // not a mouse type
    EXPECT_FALSE(desk->postKey(key(ev::kLeftMouseDown, 0, 0)));
    desk->setEventCreationFails(true);
    EXPECT_FALSE(desk->postMouse(mouse(ev::kMouseMoved, 1, 1)));
    EXPECT_FALSE(desk->postKey(key(ev::kFlagsChanged, 59, ev::kFlagControl)));
    EXPECT_FALSE(desk->postScroll(ScrollEvent{1, 2, 0}));
    EXPECT_TRUE(desk->recorded().empty());
    EXPECT_DOUBLE_EQ(desk->pointer().x, 960);
    EXPECT_EQ(desk->sessionModifierFlags(), 0u);
    desk->setEventCreationFails(false);
    EXPECT_TRUE(desk->postMouse(mouse(ev::kMouseMoved, 1, 1)));
    EXPECT_EQ(desk->recorded().size(), 1u);
}

// ---------------------------------------------------------------- session modifiers

TEST(HeadlessModifiers, FlagsChangedEventsDriveTheSessionState) {
    auto desk = desktop();
    EXPECT_EQ(desk->sessionModifierFlags(), 0u);
    // Only the four modifier bits count; numeric-pad and secondary-function do not stay pressed.
    desk->postKey(key(ev::kFlagsChanged, 59, ev::kFlagControl | ev::kFlagSecondaryFn | 0x1));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl);
    desk->postKey(key(ev::kFlagsChanged, 56, ev::kFlagControl | ev::kFlagShift));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl | ev::kFlagShift);
    // Ordinary key events carry flags but change nothing that is held.
    desk->postKey(key(ev::kKeyDown, 0, ev::kFlagCommand));
    desk->postKey(key(ev::kKeyUp, 0, ev::kFlagCommand));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl | ev::kFlagShift);
    desk->postKey(key(ev::kFlagsChanged, 59, 0));
    EXPECT_EQ(desk->sessionModifierFlags(), 0u);
}

TEST(HeadlessModifiers, TheUsersKeyboardAndLostReleasesKeepAModifierDown) {
    auto desk = desktop();
    // The user holds Control: no posted release clears it.
    desk->setSessionFlags(ev::kFlagControl);
    desk->postKey(key(ev::kFlagsChanged, 55, ev::kFlagCommand));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl | ev::kFlagCommand);
    desk->postKey(key(ev::kFlagsChanged, 59, 0));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl);
    desk->setSessionFlags(0);
    EXPECT_EQ(desk->sessionModifierFlags(), 0u);

    // Two releases go missing; the third one takes.
    desk->stickFlags(ev::kFlagControl, 2);
    desk->postKey(key(ev::kFlagsChanged, 59, ev::kFlagControl));
    desk->postKey(key(ev::kFlagsChanged, 59, 0));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl);
    desk->postKey(key(ev::kFlagsChanged, 59, 0));
    EXPECT_EQ(desk->sessionModifierFlags(), ev::kFlagControl);
    desk->postKey(key(ev::kFlagsChanged, 59, 0));
    EXPECT_EQ(desk->sessionModifierFlags(), 0u);
}

// ---------------------------------------------------------------- pasteboard

TEST(HeadlessPasteboard, TypesHoldStringsAndEveryWriteMovesTheChangeCount) {
    auto desk = desktop();
    Pasteboard& pb = desk->pasteboard();
    EXPECT_FALSE(pb.string(Pasteboard::kPlainText).has_value());
    int64_t c0 = pb.changeCount();
    pb.clear();
    EXPECT_EQ(pb.changeCount(), c0 + 1);
    pb.setString(Pasteboard::kPlainText, "줄 하나\n줄 둘");
    pb.setString(Pasteboard::kConcealed, "");
    EXPECT_EQ(pb.changeCount(), c0 + 3);
    EXPECT_EQ(pb.string(Pasteboard::kPlainText).value_or("?"), "줄 하나\n줄 둘");
    EXPECT_EQ(pb.string(Pasteboard::kConcealed).value_or("?"), "");
    EXPECT_FALSE(pb.string(Pasteboard::kTransient).has_value());
    // Reading moves nothing.
    EXPECT_EQ(pb.changeCount(), c0 + 3);

    // Another app copying replaces everything, markers included.
    desk->setPasteboardAsOtherApp(Pasteboard::kPlainText, "copied elsewhere");
    EXPECT_GT(pb.changeCount(), c0 + 3);
    EXPECT_EQ(pb.string(Pasteboard::kPlainText).value_or("?"), "copied elsewhere");
    EXPECT_FALSE(pb.string(Pasteboard::kConcealed).has_value());

    pb.clear();
    EXPECT_FALSE(pb.string(Pasteboard::kPlainText).has_value());
}

// ---------------------------------------------------------------- input sources

TEST(HeadlessInputSources, EnglishAndKoreanByDefaultEnglishCurrent) {
    auto desk = desktop();
    auto list = desk->inputSources().enabled();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, "org.vellomark.inputsource.English");
    EXPECT_NE(list[1].id.find("Korean"), std::string::npos);
    EXPECT_TRUE(list[0].keyboard && list[0].selectCapable && list[1].keyboard && list[1].selectCapable);
    EXPECT_EQ(desk->inputSources().current().value_or("?"), list[0].id);
}

TEST(HeadlessInputSources, SelectChangesTheCurrentOneAndNotifiesWatchers) {
    auto desk = desktop();
    InputSources& is = desk->inputSources();
    int calls = 0, second = 0;
    std::string seen;
    std::thread::id watcherThread;
    // A watcher may read the desktop (the core asks for the new source).
    is.watch([&] {
        ++calls;
        seen = is.current().value_or("");
        watcherThread = std::this_thread::get_id();
    });
    is.watch([&] { ++second; });
    is.watch(nullptr);  // ignored

    EXPECT_EQ(is.select(HeadlessDesktop::kKoreanSource), 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(seen, HeadlessDesktop::kKoreanSource);
    EXPECT_EQ(watcherThread, std::this_thread::get_id());

    // Selecting the current one again is no change.
    EXPECT_EQ(is.select(HeadlessDesktop::kKoreanSource), 0);
    EXPECT_EQ(calls, 1);

    EXPECT_EQ(is.select("com.example.nothing"), HeadlessDesktop::kUnknownSourceStatus);
    EXPECT_NE(HeadlessDesktop::kUnknownSourceStatus, 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(is.current().value_or("?"), HeadlessDesktop::kKoreanSource);

    // The user switching from the menu bar is seen the same way.
    EXPECT_EQ(desk->selectByUser(HeadlessDesktop::kEnglishSource), 0);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(seen, HeadlessDesktop::kEnglishSource);
}

TEST(HeadlessInputSources, TheSceneListsSourcesAndTheCurrentOne) {
    auto desk = desktop(R"({"inputSources":["com.example.ABC","com.example.Hangul",
        {"id":"com.example.palette","keyboard":false},{"id":"com.example.locked","selectCapable":false}],
        "inputSource":"com.example.Hangul"})");
    auto list = desk->enabled();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_FALSE(list[2].keyboard);
    EXPECT_FALSE(list[3].selectCapable);
    EXPECT_EQ(desk->current().value_or("?"), "com.example.Hangul");
    EXPECT_EQ(desk->select("com.example.palette"), HeadlessDesktop::kUnknownSourceStatus);
    EXPECT_EQ(desk->select("com.example.locked"), HeadlessDesktop::kUnknownSourceStatus);
    EXPECT_EQ(desk->select("com.example.ABC"), 0);
    EXPECT_EQ(desk->current().value_or("?"), "com.example.ABC");

    auto firstIsCurrent = desktop(R"({"inputSources":["a.b.One","a.b.Two"]})");
    EXPECT_EQ(firstIsCurrent->current().value_or("?"), "a.b.One");
}

// ---------------------------------------------------------------- workspaces

TEST(HeadlessWorkspaces, ControlArrowMovesTheWorkspacePlainArrowDoesNot) {
    auto desk = desktop();
    EXPECT_EQ(desk->spaceCount(), 4);
    EXPECT_EQ(desk->space(), 0);

    desk->postKey(key(ev::kKeyDown, 124, 0xA00000));  // plain Right
    desk->postKey(key(ev::kKeyUp, 124, 0xA00000));
    EXPECT_EQ(desk->space(), 0);
    desk->postKey(key(ev::kKeyDown, 124, ev::kFlagShift | 0xA00000));
    EXPECT_EQ(desk->space(), 0);

    // The core's own sequence: Control down, arrow down and up with Control, Control up.
    auto moveRight = [&] {
        desk->postKey(key(ev::kFlagsChanged, 59, ev::kFlagControl));
        desk->postKey(key(ev::kKeyDown, 124, 0xA40000));
        desk->postKey(key(ev::kKeyUp, 124, 0xA40000));
        desk->postKey(key(ev::kFlagsChanged, 59, 0));
    };
    moveRight();
    EXPECT_EQ(desk->space(), 1);
    // A key-up alone moves nothing; other keys with Control move nothing.
    desk->postKey(key(ev::kKeyUp, 124, 0xA40000));
    desk->postKey(key(ev::kKeyDown, 125, 0xA40000));
    EXPECT_EQ(desk->space(), 1);
    moveRight();
    moveRight();
    moveRight();  // clamped at the last one
    EXPECT_EQ(desk->space(), 3);

    desk->postKey(key(ev::kKeyDown, 123, 0xA40000));
    EXPECT_EQ(desk->space(), 2);
    for (int i = 0; i < 5; ++i) desk->postKey(key(ev::kKeyDown, 123, ev::kFlagControl));
    EXPECT_EQ(desk->space(), 0);

    auto scene = desktop(R"({"workspaces":2,"workspace":1})");
    EXPECT_EQ(scene->space(), 1);
    scene->postKey(key(ev::kKeyDown, 124, ev::kFlagControl));
    EXPECT_EQ(scene->space(), 1);
    scene->setSpace(-3);
    EXPECT_EQ(scene->space(), 0);
}

// ---------------------------------------------------------------- record and trace

TEST(HeadlessRecord, KeepsWhatWasPostedAndOnlyTheLastTenThousand) {
    auto desk = desktop();
    desk->postMouse(mouse(ev::kLeftMouseDown, 3, 4, 0, 2));
    desk->postKey(key(ev::kKeyDown, 9, ev::kFlagCommand, u"v"));
    desk->postScroll(ScrollEvent{-30, 12, 0});
    auto rec = desk->recorded();
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec[0].kind, "mouse");
    EXPECT_EQ(rec[0].type, 1);
    EXPECT_EQ(rec[0].clickState, 2);
    EXPECT_EQ(rec[1].kind, "key");
    EXPECT_EQ(rec[1].vk, 9);
    EXPECT_EQ(rec[1].flags, ev::kFlagCommand);
    EXPECT_EQ(rec[1].text, "v");
    EXPECT_EQ(rec[2].kind, "scroll");
    EXPECT_EQ(rec[2].type, 22);
    EXPECT_EQ(rec[2].wheel1, -30);
    EXPECT_EQ(rec[2].wheel2, 12);
    // The scroll lands where the pointer is.
    EXPECT_DOUBLE_EQ(rec[2].x, 3);
    EXPECT_DOUBLE_EQ(rec[2].y, 4);

    desk->clearRecord();
    EXPECT_TRUE(desk->recorded().empty());

    const size_t extra = 25;
    for (size_t i = 0; i < HeadlessDesktop::kRecordLimit + extra; ++i)
        desk->postMouse(mouse(ev::kMouseMoved, static_cast<double>(i), 0));
    rec = desk->recorded();
    ASSERT_EQ(rec.size(), HeadlessDesktop::kRecordLimit);
    EXPECT_DOUBLE_EQ(rec.front().x, static_cast<double>(extra));
    EXPECT_DOUBLE_EQ(rec.back().x, static_cast<double>(HeadlessDesktop::kRecordLimit + extra - 1));
}

TEST(HeadlessRecord, TheTraceFileGetsOneJsonLinePerEvent) {
    TempDir tmp;
    const std::string path = tmp / "trace.jsonl";
    writeFile(path, "");  // appended to, never truncated
    ScopedVar trace("VELLOMARK_HEADLESS_TRACE", path);
    HeadlessDesktop desk(Locations{}, Scene::parse(kTwoDisplays));

    desk.postMouse(mouse(ev::kRightMouseDown, 2500.5, 1300, 1, 2));
    desk.postMouse(mouse(ev::kMouseMoved, 7, 8));
    desk.postKey(key(ev::kKeyDown, 0, 0, u"한글 \U0001F600"));
    desk.postKey(key(ev::kFlagsChanged, 59, ev::kFlagControl));
    desk.postScroll(ScrollEvent{5, -6, 0});

    auto got = lines(fileText(path));
    ASSERT_EQ(got.size(), 5u);
    std::vector<nlohmann::json> j;
    for (const auto& l : got) {
        auto parsed = nlohmann::json::parse(l, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << l;
        j.push_back(parsed);
    }
    EXPECT_EQ(j[0]["kind"], "mouse");
    EXPECT_EQ(j[0]["type"], 3);
    EXPECT_DOUBLE_EQ(j[0]["x"].get<double>(), 2500.5);
    EXPECT_DOUBLE_EQ(j[0]["y"].get<double>(), 1300);
    EXPECT_EQ(j[0]["button"], 1);
    EXPECT_EQ(j[0]["clickState"], 2);
    EXPECT_FALSE(j[0].contains("vk"));
    EXPECT_FALSE(j[1].contains("clickState"));  // only when non-zero

    EXPECT_EQ(j[2]["kind"], "key");
    EXPECT_EQ(j[2]["type"], 10);
    EXPECT_EQ(j[2]["vk"], 0);
    EXPECT_EQ(j[2]["flags"], 0);
    EXPECT_EQ(j[2]["text"], "한글 \xF0\x9F\x98\x80");
    EXPECT_FALSE(j[2].contains("x"));
    EXPECT_EQ(j[3]["type"], 12);
    EXPECT_EQ(j[3]["flags"], ev::kFlagControl);
    EXPECT_FALSE(j[3].contains("text"));  // only when there is text

    EXPECT_EQ(j[4]["kind"], "scroll");
    EXPECT_EQ(j[4]["type"], 22);
    EXPECT_EQ(j[4]["wheel1"], 5);
    EXPECT_EQ(j[4]["wheel2"], -6);
    EXPECT_DOUBLE_EQ(j[4]["x"].get<double>(), 7);
    EXPECT_DOUBLE_EQ(j[4]["y"].get<double>(), 8);
}

TEST(HeadlessRecord, LinesFromManyThreadsNeverInterleave) {
    TempDir tmp;
    const std::string path = tmp / "trace.jsonl";
    ScopedVar trace("VELLOMARK_HEADLESS_TRACE", path);
    HeadlessDesktop first(Locations{}, Scene::parse(kTwoDisplays));
    HeadlessDesktop second(Locations{}, Scene::parse(kTwoDisplays));  // a second writer on the same file

    const int perThread = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        HeadlessDesktop& d = t % 2 ? second : first;
        threads.emplace_back([&d, t] {
            for (int i = 0; i < perThread; ++i) {
                if (t == 0) d.postMouse(mouse(ev::kMouseMoved, i, i));
                else if (t == 1) d.postKey(key(ev::kKeyDown, 0, 0, std::u16string(40, u'가')));
                else if (t == 2) d.postScroll(ScrollEvent{i, -i, 0});
                else d.postKey(key(ev::kFlagsChanged, 59, i % 2 ? ev::kFlagControl : 0));
            }
        });
    }
    for (auto& th : threads) th.join();

    auto got = lines(fileText(path));
    ASSERT_EQ(got.size(), 4u * perThread);
    for (const auto& l : got) ASSERT_FALSE(nlohmann::json::parse(l, nullptr, false).is_discarded()) << l;
    EXPECT_EQ(first.recorded().size() + second.recorded().size(), 4u * perThread);
}

TEST(HeadlessRecord, AnUnopenableTraceFileIsAnError) {
    ScopedVar trace("VELLOMARK_HEADLESS_TRACE", "/nonexistent-dir/trace.jsonl");
    EXPECT_THROW(HeadlessDesktop(Locations{}, Scene{}), std::runtime_error);
}

TEST(HeadlessRecord, TextIsConvertedFromUtf16) {
    EXPECT_EQ(utf8FromUtf16(u"abc"), "abc");
    EXPECT_EQ(utf8FromUtf16(u"é€"), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(utf8FromUtf16(u"\U0001F600"), "\xF0\x9F\x98\x80");
    // Unpaired halves become the replacement character rather than bad UTF-8.
    std::u16string lone = {u'a', char16_t(0xD83D), u'b', char16_t(0xDE00)};
    EXPECT_EQ(utf8FromUtf16(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}
