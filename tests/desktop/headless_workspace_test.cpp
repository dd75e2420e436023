// The in-memory desktop's apps, windows, dock and session: scene parsing and its
// errors, activation revealing windows, the dock, full screen and its restore,
// lock notifications, icons, and concurrent use.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "platform/headless/headless_workspace.h"

using namespace vm::platform;
using vm::platform::headless::HeadlessApp;
using vm::platform::headless::HeadlessWindow;
using vm::platform::headless::HeadlessWorkspace;

namespace {

const char* kScene = R"({
  "apps": [
    {"pid": 101, "name": "Notes", "bundleID": "com.apple.Notes", "policy": "regular", "icon": "#3366CC"},
    {"pid": 102, "name": "mail", "bundleID": "com.apple.mail", "policy": "regular"},
    {"pid": 103, "name": "Helper", "bundleID": "org.example.helper", "policy": "accessory"},
    {"pid": 104, "bundleID": "org.example.daemon", "policy": "prohibited"},
    {"pid": 105, "name": "Elsewhere", "bundleID": "org.example.elsewhere", "policy": "regular",
     "hiddenWindowsUntilActivated": true}
  ],
  "frontmost": 101,
  "windows": [
    {"owner": 101, "number": 40, "x": 10, "y": 20, "width": 300, "height": 200},
    {"owner": 102, "x": -50, "y": 30, "width": 640, "height": 480, "minimized": true},
    {"owner": 105, "layer": 0, "x": 2000, "y": 0, "width": 500, "height": 400, "accessible": false},
    {"owner": 103, "layer": 25, "x": 0, "y": 0, "width": 24, "height": 24, "movable": false}
  ],
  "login": "tester"
})";

std::optional<WindowInfo> listed(HeadlessWorkspace& ws, uint32_t number) {
    for (const auto& w : ws.windowList())
        if (w.number == number) return w;
    return std::nullopt;
}

std::string parseError(const std::string& scene) {
    try {
        HeadlessWorkspace ws(scene);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(HeadlessWorkspaceScene, AppsWindowsDockAndLoginComeFromTheScene) {
    HeadlessWorkspace ws(kScene);
    const auto apps = ws.runningApps();
    ASSERT_EQ(apps.size(), 5u);
    EXPECT_EQ(apps[0].pid, 101);
    EXPECT_EQ(apps[0].name, std::optional<std::string>("Notes"));
    EXPECT_EQ(apps[0].bundleID, "com.apple.Notes");
    EXPECT_EQ(apps[2].policy, ActivationPolicy::accessory);
    EXPECT_EQ(apps[3].policy, ActivationPolicy::prohibited);
    EXPECT_FALSE(apps[3].name.has_value());
    EXPECT_EQ(ws.frontmostApp(), std::optional<int32_t>(101));
    EXPECT_EQ(ws.loginName(), "tester");

    // Automatic numbers follow the highest the scene chose.
    const auto list = ws.windowList();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list.front().layer, 25) << "higher layers are listed first";
    ASSERT_TRUE(listed(ws, 40).has_value());
    ASSERT_TRUE(listed(ws, 41).has_value());
    EXPECT_EQ(listed(ws, 41)->ownerPID, std::optional<int32_t>(102));
    EXPECT_DOUBLE_EQ(listed(ws, 41)->bounds->x, -50);
    EXPECT_TRUE(listed(ws, 42).has_value());
    EXPECT_TRUE(listed(ws, 43).has_value());

    // Default dock: the regular apps that have a name.
    EXPECT_EQ(ws.dockTitles(), (std::vector<std::string>{"Notes", "mail", "Elsewhere"}));
    // The minimised window is still an accessibility window; the other Space's is not.
    EXPECT_EQ(ws.appWindows(102), std::optional<std::vector<ElementRef>>(std::vector<ElementRef>{41}));
    EXPECT_EQ(ws.minimized(41), std::optional<bool>(true));
    EXPECT_EQ(ws.appWindows(105), std::optional<std::vector<ElementRef>>(std::vector<ElementRef>{}));
    EXPECT_FALSE(ws.appWindows(999).has_value());
}

TEST(HeadlessWorkspaceScene, EmptySceneIsAnEmptyDesktopWithAnUnlockedConsole) {
    HeadlessWorkspace ws("");
    EXPECT_TRUE(ws.runningApps().empty());
    EXPECT_TRUE(ws.windowList().empty());
    EXPECT_FALSE(ws.frontmostApp().has_value());
    auto items = ws.dockItems();
    ASSERT_TRUE(items.has_value());
    EXPECT_TRUE(items->empty());
    auto d = ws.dictionary();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(std::get<bool>(d->at(HeadlessWorkspace::kOnConsoleKey)), true);
    EXPECT_EQ(std::get<bool>(d->at(HeadlessWorkspace::kScreenIsLockedKey)), false);
    const passwd* pw = ::getpwuid(::getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(ws.loginName(), pw->pw_name);
}

TEST(HeadlessWorkspaceScene, DescribedSessionCarriesOnlyItsKeys) {
    HeadlessWorkspace some(R"({"session": {"locked": true}})");
    auto d = some.dictionary();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->count(HeadlessWorkspace::kOnConsoleKey), 0u);
    EXPECT_EQ(std::get<bool>(d->at(HeadlessWorkspace::kScreenIsLockedKey)), true);

    HeadlessWorkspace absent(R"({"session": {"present": false}})");
    EXPECT_FALSE(absent.dictionary().has_value());
    absent.setSessionPresent(true);
    EXPECT_TRUE(absent.dictionary().has_value());

    HeadlessWorkspace other(R"({"session": {"onConsole": false}})");
    EXPECT_EQ(std::get<bool>(other.dictionary()->at(HeadlessWorkspace::kOnConsoleKey)), false);
    other.setOnConsole(std::nullopt);
    EXPECT_EQ(other.dictionary()->count(HeadlessWorkspace::kOnConsoleKey), 0u);
    other.setOnConsole(true);
    EXPECT_EQ(std::get<bool>(other.dictionary()->at(HeadlessWorkspace::kOnConsoleKey)), true);
}

TEST(HeadlessWorkspaceScene, BadScenesAreRefusedNamingTheKey) {
    struct Case {
        const char* scene;
        const char* mentions;
    };
    const Case cases[] = {
        {"{", "JSON"},
        {"[1]", "object"},
        {R"({"apps": {}})", "\"apps\""},
        {R"({"apps": [{"name": "A", "bundleID": "a", "policy": "regular"}]})", "\"pid\""},
        {R"({"apps": [{"pid": -3, "bundleID": "a", "policy": "regular"}]})", "\"pid\""},
        {R"({"apps": [{"pid": 99999999999, "bundleID": "a", "policy": "regular"}]})", "\"pid\""},
        {R"({"apps": [{"pid": 1.5, "bundleID": "a", "policy": "regular"}]})", "\"pid\""},
        {R"({"apps": [{"pid": 1, "bundleID": "a", "policy": "regular"}, {"pid": 1, "bundleID": "b", "policy": "regular"}]})",
         "twice"},
        {R"({"apps": [{"pid": 1, "name": 7, "bundleID": "a", "policy": "regular"}]})", "\"name\""},
        {R"({"apps": [{"pid": 1, "bundleID": 5}]})", "\"bundleID\""},
        {R"({"apps": [{"pid": 1, "bundleID": "a", "policy": "background"}]})", "\"policy\""},
        {R"({"apps": [{"pid": 1, "bundleID": "a", "policy": "regular", "icon": "red"}]})", "\"icon\""},
        {R"({"apps": [{"pid": 1, "bundleID": "a", "policy": "regular", "icon": "#12345G"}]})", "\"icon\""},
        {R"({"apps": [{"pid": 1, "bundleID": "a", "policy": "regular", "hiddenWindowsUntilActivated": 1}]})",
         "\"hiddenWindowsUntilActivated\""},
        {R"({"frontmost": 5})", "\"frontmost\""},
        {R"({"apps": [{"pid": 1, "bundleID": "a", "policy": "regular"}], "frontmost": "1"})", "\"frontmost\""},
        {R"({"windows": [{"owner": 1, "x": "0", "y": 0, "width": 1, "height": 1}]})", "\"x\""},
        {R"({"windows": [{"owner": 1, "x": 0, "y": 0, "width": 1}]})", "\"height\""},
        {R"({"windows": [{"x": 0, "y": 0, "width": 1, "height": 1}]})", "\"owner\""},
        {R"({"windows": [{"owner": 1, "number": 0, "x": 0, "y": 0, "width": 1, "height": 1}]})", "\"number\""},
        {R"({"windows": [{"owner": 1, "number": 4294967296, "x": 0, "y": 0, "width": 1, "height": 1}]})", "\"number\""},
        {R"({"windows": [{"owner": 1, "number": 7, "x": 0, "y": 0, "width": 1, "height": 1},
                         {"owner": 1, "number": 7, "x": 0, "y": 0, "width": 1, "height": 1}]})",
         "taken"},
        {R"({"windows": [{"owner": 1, "x": 0, "y": 0, "width": 1, "height": 1, "minimized": "no"}]})", "\"minimized\""},
        {R"({"windows": [{"owner": 1, "x": 0, "y": 0, "width": 1, "height": 1, "movable": 0}]})", "\"movable\""},
        {R"({"windows": [{"owner": 1, "x": 0, "y": 0, "width": 1, "height": 1, "layer": 1e9}]})", "\"layer\""},
        {R"({"windows": [3]})", "window 0"},
        {R"({"dock": ["A", 2]})", "\"dock\""},
        {R"({"dockRunning": "yes"})", "\"dockRunning\""},
        {R"({"session": {"onConsole": "yes"}})", "\"onConsole\""},
        {R"({"session": {"locked": 1}})", "\"locked\""},
        {R"({"session": {"present": null}})", "\"present\""},
        {R"({"session": true})", "\"session\""},
        {R"({"login": ""})", "\"login\""},
        {R"({"login": 5})", "\"login\""},
    };
    for (const auto& c : cases) {
        const std::string err = parseError(c.scene);
        EXPECT_NE(err.find(c.mentions), std::string::npos) << c.scene << " gave: " << err;
    }
}

TEST(HeadlessWorkspaceGeometry, NegativeAndEnormousValuesAreClamped) {
    HeadlessWorkspace ws(R"({
      "apps": [{"pid": 7, "name": "Far", "bundleID": "far", "policy": "regular"}],
      "windows": [
        {"owner": 7, "number": 1, "x": -1e300, "y": 1e300, "width": 1e300, "height": -20},
        {"owner": 7, "number": 2, "x": -123456789012, "y": -5, "width": 99999999999999, "height": 10}
      ]})");
    auto a = listed(ws, 1)->bounds;
    EXPECT_DOUBLE_EQ(a->x, -HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(a->y, HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(a->width, HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(a->height, 0);
    auto b = listed(ws, 2)->bounds;
    EXPECT_DOUBLE_EQ(b->x, -HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(b->y, -5);
    EXPECT_DOUBLE_EQ(b->width, HeadlessWorkspace::kCoordinateLimit);
    // Sums of clamped values stay finite.
    EXPECT_TRUE(std::isfinite(a->maxX() * a->maxY()));

    // Writes are clamped too; values that are not numbers are refused.
    EXPECT_TRUE(ws.setPosition(2, Point{5e20, -5e20}));
    EXPECT_TRUE(ws.setSize(2, Size{-4, 3e30}));
    auto after = listed(ws, 2)->bounds;
    EXPECT_DOUBLE_EQ(after->x, HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(after->y, -HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(after->width, 0);
    EXPECT_DOUBLE_EQ(after->height, HeadlessWorkspace::kCoordinateLimit);
    EXPECT_FALSE(ws.setPosition(2, Point{std::nan(""), 0}));
    EXPECT_FALSE(ws.setSize(2, Size{INFINITY, 1}));
    EXPECT_DOUBLE_EQ(listed(ws, 2)->bounds->width, 0);

    // A scripted window is clamped the same way.
    HeadlessWindow w;
    w.owner = 7;
    w.frame = Rect{-1e200, 0, 1e200, 1e200};
    uint32_t n = ws.addWindow(w);
    EXPECT_EQ(n, 3u);
    EXPECT_DOUBLE_EQ(ws.window(n)->frame.x, -HeadlessWorkspace::kCoordinateLimit);
    EXPECT_DOUBLE_EQ(ws.window(n)->frame.height, HeadlessWorkspace::kCoordinateLimit);
    w.number = 2;
    EXPECT_THROW(ws.addWindow(w), std::runtime_error);
}

TEST(HeadlessWorkspaceActivation, ActivationRevealsWindowsOnlyOfAppsThatHideThem) {
    HeadlessWorkspace ws(kScene);
    ASSERT_EQ(ws.appWindows(105)->size(), 0u);
    EXPECT_TRUE(listed(ws, 42).has_value()) << "the window server lists windows of other Spaces";
    EXPECT_FALSE(ws.position(42).has_value());

    EXPECT_TRUE(ws.activate(105, true));
    EXPECT_EQ(ws.frontmostApp(), std::optional<int32_t>(105));
    EXPECT_EQ(ws.appWindows(105), std::optional<std::vector<ElementRef>>(std::vector<ElementRef>{42}));
    auto p = ws.position(42);
    ASSERT_TRUE(p.has_value());
    EXPECT_DOUBLE_EQ(p->x, 2000);
    // Its window comes to the front of its layer.
    const auto list = ws.windowList();
    EXPECT_EQ(list[1].number, std::optional<uint32_t>(42));

    // A window hidden by an app that does not reveal on activation stays hidden.
    HeadlessWindow hidden;
    hidden.owner = 101;
    hidden.accessible = false;
    hidden.frame = Rect{0, 0, 100, 100};
    const uint32_t n = ws.addWindow(hidden);
    EXPECT_TRUE(ws.activate(101, false));
    EXPECT_EQ(ws.appWindows(101), std::optional<std::vector<ElementRef>>(std::vector<ElementRef>{40}));
    EXPECT_FALSE(ws.size(n).has_value());

    EXPECT_FALSE(ws.activate(104, true)) << "a background-only app cannot come forward";
    EXPECT_FALSE(ws.activate(4242, true));
    EXPECT_EQ(ws.frontmostApp(), std::optional<int32_t>(101));

    EXPECT_TRUE(ws.setFrontmost(102));
    EXPECT_EQ(ws.frontmostApp(), std::optional<int32_t>(102));
    EXPECT_FALSE(ws.setFrontmost(4242));
    EXPECT_TRUE(ws.setFrontmost(std::nullopt));
    EXPECT_FALSE(ws.frontmostApp().has_value());
}

TEST(HeadlessWorkspaceDock, PressingAnAppsItemShowsAWindow) {
    HeadlessWorkspace ws(kScene);
    auto items = ws.dockItems();
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 3u);
    EXPECT_EQ((*items)[1].title, std::optional<std::string>("mail"));
    EXPECT_NE((*items)[0].element, (*items)[1].element);

    // mail's only window is minimised: the press restores it and brings mail forward.
    EXPECT_TRUE(ws.press((*items)[1].element));
    EXPECT_EQ(ws.frontmostApp(), std::optional<int32_t>(102));
    EXPECT_EQ(ws.minimized(41), std::optional<bool>(false));
    EXPECT_EQ(ws.dockPressCount(), 1);

    // An app without any window gets a new one on the main screen.
    ws.setScreens([] { return std::vector<Rect>{{0, 0, 1170, 2532}, {1170, 0, 1920, 1080}}; });
    ws.addApp(HeadlessApp{RunningApp{200, std::string("Empty"), "org.example.empty", ActivationPolicy::regular, false},
                          std::nullopt, false});
    items = ws.dockItems();
    ASSERT_EQ(items->size(), 4u);
    EXPECT_EQ(items->back().title, std::optional<std::string>("Empty"));
    EXPECT_TRUE(ws.press(items->back().element));
    auto wins = ws.appWindows(200);
    ASSERT_TRUE(wins.has_value());
    ASSERT_EQ(wins->size(), 1u);
    auto sz = ws.size(wins->front());
    auto pos = ws.position(wins->front());
    EXPECT_DOUBLE_EQ(pos->x, HeadlessWorkspace::kNewWindowInset);
    EXPECT_DOUBLE_EQ(sz->width, HeadlessWorkspace::kNewWindowWidth);
    EXPECT_EQ(ws.minimized(wins->front()), std::optional<bool>(false));

    // Pressing again shows no second window: one is open already.
    EXPECT_TRUE(ws.press(items->back().element));
    EXPECT_EQ(ws.appWindows(200)->size(), 1u);

    // Elements that are not dock items cannot be pressed.
    EXPECT_FALSE(ws.press(40));
    EXPECT_FALSE(ws.press(HeadlessWorkspace::kDockElementBase + 99));
}

TEST(HeadlessWorkspaceDock, ExplicitDockAndAbsentOrUnreadableDock) {
    HeadlessWorkspace ws(R"({
      "apps": [{"pid": 9, "name": "Term", "bundleID": "term", "policy": "regular"}],
      "dock": ["Finder", "Term", "Trash"]})");
    auto items = ws.dockItems();
    ASSERT_EQ(items->size(), 3u);
    // An item of an app that is not running presses fine and changes nothing here.
    EXPECT_TRUE(ws.press((*items)[0].element));
    EXPECT_FALSE(ws.frontmostApp().has_value());

    ws.setAccessibilityFails(true);
    EXPECT_FALSE(ws.dockItems().has_value());
    EXPECT_FALSE(ws.press((*items)[1].element));
    EXPECT_FALSE(ws.appWindows(9).has_value());
    ws.setAccessibilityFails(false);
    EXPECT_TRUE(ws.press((*items)[1].element));
    EXPECT_EQ(ws.frontmostApp(), std::optional<int32_t>(9));

    HeadlessWorkspace noDock(R"({"dockRunning": false})");
    EXPECT_FALSE(noDock.dockItems().has_value());
    noDock.setDockRunning(true);
    EXPECT_TRUE(noDock.dockItems().has_value());
}

TEST(HeadlessWorkspaceFullScreen, BoundsAreTheScreensAndLeavingRestoresTheFrame) {
    HeadlessWorkspace ws(R"({
      "apps": [{"pid": 3, "name": "Film", "bundleID": "film", "policy": "regular"}],
      "windows": [{"owner": 3, "number": 8, "x": 1300, "y": 100, "width": 900, "height": 500, "fullScreen": true}]})");
    ws.setScreens([] { return std::vector<Rect>{{0, 0, 1170, 2532}, {1170, 0, 1920, 1080}}; });
    auto b = listed(ws, 8)->bounds;
    EXPECT_DOUBLE_EQ(b->x, 1170);
    EXPECT_DOUBLE_EQ(b->width, 1920);
    EXPECT_DOUBLE_EQ(b->height, 1080);
    EXPECT_EQ(ws.fullScreen(8), std::optional<bool>(true));
    EXPECT_DOUBLE_EQ(ws.size(8)->width, 1920);
    EXPECT_FALSE(ws.setPosition(8, Point{0, 0})) << "a full-screen window cannot be moved";
    EXPECT_FALSE(ws.setSize(8, Size{10, 10}));

    EXPECT_TRUE(ws.setFullScreen(8, false));
    EXPECT_EQ(ws.fullScreen(8), std::optional<bool>(false));
    auto back = listed(ws, 8)->bounds;
    EXPECT_DOUBLE_EQ(back->x, 1300);
    EXPECT_DOUBLE_EQ(back->y, 100);
    EXPECT_DOUBLE_EQ(back->width, 900);
    EXPECT_DOUBLE_EQ(back->height, 500);

    // Into full screen and out again after a move: the moved frame comes back.
    EXPECT_TRUE(ws.setPosition(8, Point{40, 30}));
    EXPECT_TRUE(ws.setFullScreen(8, true));
    EXPECT_DOUBLE_EQ(ws.position(8)->x, 0) << "its centre lies on the first screen now";
    EXPECT_TRUE(ws.setFullScreen(8, false));
    EXPECT_DOUBLE_EQ(ws.position(8)->x, 40);
    EXPECT_DOUBLE_EQ(ws.position(8)->y, 30);
}

TEST(HeadlessWorkspaceWindows, UnmovableWindowsRefuseMovesButResize) {
    HeadlessWorkspace ws(R"({
      "apps": [{"pid": 3, "name": "Pinned", "bundleID": "pin", "policy": "regular"}],
      "windows": [{"owner": 3, "number": 5, "x": 10, "y": 10, "width": 300, "height": 300, "movable": false}]})");
    EXPECT_FALSE(ws.setPosition(5, Point{0, 0}));
    EXPECT_DOUBLE_EQ(ws.position(5)->x, 10);
    EXPECT_TRUE(ws.setSize(5, Size{100, 120}));
    EXPECT_DOUBLE_EQ(ws.size(5)->height, 120);
    EXPECT_FALSE(ws.position(77).has_value());
    EXPECT_FALSE(ws.setSize(77, Size{1, 1}));
}

TEST(HeadlessWorkspaceWindows, QuitAndRemoveTakeWindowsAway) {
    HeadlessWorkspace ws(kScene);
    EXPECT_TRUE(ws.removeWindow(40));
    EXPECT_FALSE(ws.removeWindow(40));
    EXPECT_FALSE(listed(ws, 40).has_value());

    EXPECT_TRUE(ws.quitApp(101));
    EXPECT_FALSE(ws.quitApp(101));
    EXPECT_FALSE(ws.frontmostApp().has_value());
    bool terminated = false;
    for (const auto& a : ws.runningApps())
        if (a.pid == 101) terminated = a.terminated;
    EXPECT_TRUE(terminated);
    EXPECT_FALSE(ws.appIcon(101).has_value());
    EXPECT_FALSE(ws.activate(101, true));
    EXPECT_FALSE(ws.appWindows(101).has_value());
    EXPECT_EQ(ws.dockTitles(), (std::vector<std::string>{"mail", "Elsewhere"}));

    EXPECT_TRUE(ws.setMinimized(41, false));
    EXPECT_EQ(ws.minimized(41), std::optional<bool>(false));
    EXPECT_FALSE(ws.setMinimized(4040, true));
}

TEST(HeadlessWorkspaceIcons, IconIsTheAppsColourWithTransparentCorners) {
    HeadlessWorkspace ws(kScene);
    auto icon = ws.appIcon(101);
    ASSERT_TRUE(icon.has_value());
    ASSERT_EQ(icon->width, HeadlessWorkspace::kIconSide);
    ASSERT_EQ(icon->height, HeadlessWorkspace::kIconSide);
    ASSERT_EQ(icon->pixels.size(), static_cast<size_t>(icon->width * icon->height * 4));
    auto px = [&](int x, int y) { return &icon->pixels[(static_cast<size_t>(y) * icon->width + x) * 4]; };
    EXPECT_EQ(px(0, 0)[3], 0) << "corner";
    const uint8_t* edge = px(4, icon->height / 2);  // left edge, beside the mark
    EXPECT_EQ(edge[0], 0x33);
    EXPECT_EQ(edge[1], 0x66);
    EXPECT_EQ(edge[2], 0xCC);
    EXPECT_EQ(edge[3], 255);
    // The mark differs from the background somewhere in the middle.
    bool mark = false;
    for (int x = 30; x < 98 && !mark; ++x) mark = px(x, 64)[0] != 0x33;
    EXPECT_TRUE(mark);

    // Apps without a colour get a steady one of their own.
    auto a = ws.appIcon(102), b = ws.appIcon(102), c = ws.appIcon(103);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->pixels, b->pixels);
    EXPECT_NE(a->pixels, c->pixels);
    EXPECT_FALSE(ws.appIcon(999).has_value());
}

TEST(HeadlessWorkspaceSession, LockAndUnlockNotifyWatchersAndUpdateTheDictionary) {
    HeadlessWorkspace ws("");
    std::vector<bool> seen;
    std::vector<bool> lockedInDictionary;
    ws.watchLock([&](bool locked) {
        seen.push_back(locked);
        // Watchers may call back into the desktop: its lock is released by now.
        lockedInDictionary.push_back(std::get<bool>(ws.dictionary()->at(HeadlessWorkspace::kScreenIsLockedKey)));
    });
    ws.lock();
    ws.unlock();
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    EXPECT_EQ(lockedInDictionary, (std::vector<bool>{true, false}));
    int second = 0;
    ws.watchLock([&](bool) { ++second; });
    ws.lock();
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(second, 1);
}

TEST(HeadlessWorkspaceThreads, ConcurrentScriptingAndReadingIsSafe) {
    HeadlessWorkspace ws(kScene);
    std::atomic<bool> stop{false};
    std::atomic<int> locks{0};
    ws.watchLock([&](bool) { locks.fetch_add(1); });
    std::thread writer([&] {
        for (int i = 0; i < 300; ++i) {
            HeadlessWindow w;
            w.owner = 102;
            w.frame = Rect{double(i), 0, 100, 100};
            uint32_t n = ws.addWindow(w);
            ws.setPosition(n, Point{double(i), double(i)});
            ws.activate(i % 2 ? 101 : 102, true);
            if (i % 3 == 0) ws.removeWindow(n);
            if (i % 50 == 0) ws.lock();
        }
        stop = true;
    });
    do {
        for (const auto& w : ws.windowList()) {
            if (w.number) ws.size(*w.number);
        }
        ws.appWindows(102);
        ws.dictionary();
    } while (!stop);
    writer.join();
    EXPECT_EQ(locks.load(), 6);
    EXPECT_EQ(ws.appWindows(102)->size(), 1u + 200u);  // mail's own plus the two thirds kept
}
