// The in-memory desktop's displays: modes and their 1x twins, layout and the
// main display, configuration transactions, switching displays off and on,
// reconfiguration callbacks and virtual displays.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/headless/headless_desktop.h"
#include "platform/headless/headless_workspace.h"
#include "platform/platform.h"

using namespace vm::platform;
using namespace vm::platform::headless;

namespace {

// A HiDPI laptop panel offering three modes, and a plain monitor to its right.
const char* kLaptopAndMonitor = R"({"displays":[
    {"width":1440,"height":900,"scale":2,"mm":[286,179],"product":41000,"serial":777,
     "modes":[{"width":1440,"height":900,"scale":2},
              {"width":1280,"height":800,"scale":2,"refresh":120},
              {"width":1920,"height":1080}]},
    {"width":1920,"height":1080,"refresh":75}]})";

std::unique_ptr<HeadlessDesktop> desk(const std::string& scene = kLaptopAndMonitor) {
    ::unsetenv("VELLOMARK_HEADLESS_TRACE");
    return std::make_unique<HeadlessDesktop>(Locations{}, Scene::parse(scene));
}

std::string parseError(const std::string& text) {
    try {
        Scene::parse(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

bool contains(const std::vector<DisplayID>& ids, DisplayID id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

VirtualDisplayDescriptor phoneDescriptor(std::function<void()> onEnd = {}) {
    VirtualDisplayDescriptor d;
    d.name = "Phone Screen";
    d.maxPixelsWide = 2048;
    d.maxPixelsHigh = 2048;
    d.widthMM = 2048 / 8.83;
    d.heightMM = 1152 / 8.83;
    d.serialNum = 0x4C50;
    d.productID = 0x4C50;
    d.vendorID = kVirtualVendor;
    d.terminationHandler = std::move(onEnd);
    return d;
}

VirtualDisplaySettings oneMode(uint32_t w, uint32_t h, double hz = 120) {
    VirtualDisplaySettings s;
    s.hiDPI = true;
    s.modes.push_back(VirtualDisplayModeRequest{w, h, hz});
    return s;
}

}  // namespace

// ---------------------------------------------------------------- modes

TEST(HeadlessDisplayModes, HiDPIModesBringTheirOneXTwinsOnlyWhenAsked) {
    auto d = desk();
    auto main = d->mainDisplay();
    auto plain = d->modes(main, false);
    ASSERT_TRUE(plain.has_value());
    ASSERT_EQ(plain->size(), 3u);
    EXPECT_EQ((*plain)[0], (DisplayMode{1440, 900, 2880, 1800, 60, (*plain)[0].ioFlags}));
    EXPECT_EQ((*plain)[1].pixelWidth, 2560u);
    EXPECT_DOUBLE_EQ((*plain)[1].refresh, 120);
    EXPECT_EQ((*plain)[2].pixelWidth, 1920u);
    for (const auto& m : *plain)
        EXPECT_FALSE((m.width == 1440 || m.width == 1280) && m.pixelWidth == m.width) << m.width;

    auto all = d->modes(main, true);
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 5u);
    // Each twin follows its HiDPI mode: same points and refresh, one pixel per point.
    EXPECT_EQ((*all)[1].width, 1440u);
    EXPECT_EQ((*all)[1].pixelWidth, 1440u);
    EXPECT_EQ((*all)[1].pixelHeight, 900u);
    EXPECT_EQ((*all)[3].width, 1280u);
    EXPECT_EQ((*all)[3].pixelWidth, 1280u);
    EXPECT_DOUBLE_EQ((*all)[3].refresh, 120);
    // A plain mode has no twin.
    EXPECT_EQ((*all)[4].width, 1920u);
    EXPECT_EQ((*all)[4].pixelWidth, 1920u);
}

TEST(HeadlessDisplayModes, WithoutSceneModesTheListIsTheCurrentMode) {
    auto d = desk();
    auto ids = d->activeDisplays();
    ASSERT_EQ(ids.size(), 2u);
    DisplayID monitor = ids[1];
    auto cur = d->currentMode(monitor);
    ASSERT_TRUE(cur.has_value());
    EXPECT_EQ(cur->width, 1920u);
    EXPECT_EQ(cur->pixelWidth, 1920u);
    EXPECT_DOUBLE_EQ(cur->refresh, 75);
    auto list = d->modes(monitor, true);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(list->front(), *cur);
    // An unknown display has no modes at all.
    EXPECT_FALSE(d->modes(999, true).has_value());
    EXPECT_FALSE(d->currentMode(999).has_value());
}

TEST(HeadlessDisplayModes, ACurrentModeMissingFromTheSceneListIsAddedFirst) {
    auto d = desk(R"({"displays":[{"width":1024,"height":768,"modes":[{"width":800,"height":600}]}]})");
    auto list = d->modes(d->mainDisplay(), false);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ(list->front().width, 1024u);
    EXPECT_EQ(list->back().width, 800u);
}

TEST(HeadlessDisplayModes, BadModeAndSizeKeysSayWhatIsWrong) {
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"modes":{}}]})").find("\"modes\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"modes":[{"width":0,"height":5}]}]})")
                  .find("\"width\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"modes":[{"width":5,"height":5,"scale":9}]}]})")
                  .find("\"scale\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"mm":[1]}]})").find("\"mm\""), std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"mm":[-3,4]}]})").find("\"mm\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"refresh":"fast"}]})").find("\"refresh\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":10,"height":10,"serial":-1}]})").find("\"serial\""),
              std::string::npos);
}

// ---------------------------------------------------------------- facts and layout

TEST(HeadlessDisplayFacts, NumbersSizesScreensAndTheMainDisplay) {
    auto d = desk();
    auto ids = d->activeDisplays();
    ASSERT_EQ(ids.size(), 2u);
    DisplayID laptop = ids[0], monitor = ids[1];
    EXPECT_EQ(d->mainDisplay(), laptop);
    EXPECT_EQ(d->productNumber(laptop), 41000u);
    EXPECT_EQ(d->serialNumber(laptop), 777u);
    EXPECT_NE(d->serialNumber(monitor), d->serialNumber(laptop));
    EXPECT_NE(d->vendorNumber(monitor), kVirtualVendor);

    Rect a = d->bounds(laptop), b = d->bounds(monitor);
    EXPECT_DOUBLE_EQ(a.x, 0);
    EXPECT_DOUBLE_EQ(a.width, 1440);
    EXPECT_DOUBLE_EQ(b.x, 1440);  // to the right, top edges level
    EXPECT_DOUBLE_EQ(b.y, 0);
    EXPECT_DOUBLE_EQ(b.height, 1080);

    Size mm = d->physicalSizeMM(laptop);
    EXPECT_DOUBLE_EQ(mm.width, 286);
    Size guessed = d->physicalSizeMM(monitor);
    EXPECT_NEAR(guessed.width, 1920 / 3.78, 1e-9);
    EXPECT_NEAR(guessed.height, 1080 / 3.78, 1e-9);

    auto screens = d->screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].number, laptop);
    EXPECT_DOUBLE_EQ(screens[0].backingScale, 2.0);
    EXPECT_DOUBLE_EQ(screens[1].backingScale, 1.0);

    // Screen frames are the displays' bounds in global points.
    auto frames = d->screenFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_DOUBLE_EQ(frames[1].x, 1440);
    EXPECT_DOUBLE_EQ(frames[1].y, 0);
}

TEST(HeadlessDisplayFacts, SwitchedOffSceneDisplaysAreNeitherActiveNorOnline) {
    auto d = desk(R"({"displays":[{"width":800,"height":600,"online":false},{"width":1024,"height":768}]})");
    auto list = d->displayList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(d->onlineCount(), 1u);
    EXPECT_FALSE(d->isOnline(list[0].id));
    EXPECT_FALSE(contains(d->activeDisplays(), list[0].id));
    EXPECT_FALSE(contains(d->onlineDisplays(), list[0].id));
    // The first display that is on is the main one, at the origin.
    EXPECT_EQ(d->mainDisplay(), list[1].id);
    EXPECT_DOUBLE_EQ(d->bounds(list[1].id).x, 0);
    EXPECT_DOUBLE_EQ(d->pointer().x, 512);
}

TEST(HeadlessDisplayFacts, InspectingRunsTheInProcessDiagnosticTrimmed) {
    auto d = desk();
    DisplayID asked = 0;
    auto line = d->inspectInChild(7, [&](DisplayID id) {
        asked = id;
        return std::string("scale=2.000 online=1\n");
    });
    EXPECT_EQ(asked, 7u);
    EXPECT_EQ(line.value_or(""), "scale=2.000 online=1");
    EXPECT_FALSE(d->inspectInChild(7, [](DisplayID) { return std::string(" \n"); }).has_value());
    EXPECT_TRUE(d->virtualDisplaySupported());
}

// ---------------------------------------------------------------- transactions

TEST(HeadlessDisplayConfig, ChangesTakeEffectOnlyWhenCompleted) {
    auto d = desk();
    auto ids = d->activeDisplays();
    DisplayID laptop = ids[0], monitor = ids[1];
    auto modes = d->modes(laptop, false).value();

    auto cfg = d->beginConfiguration();
    ASSERT_NE(cfg, nullptr);
    cfg->setMode(laptop, modes[1]);
    cfg->setOrigin(monitor, 0, 0);
    cfg->setOrigin(laptop, 1920, 0);
    cfg->stopMirroring(laptop);
    // Nothing moved yet.
    EXPECT_EQ(d->mainDisplay(), laptop);
    EXPECT_EQ(d->currentMode(laptop)->width, 1440u);
    EXPECT_FALSE(d->lastCompletionPermanent().has_value());

    EXPECT_EQ(cfg->complete(true), 0);
    EXPECT_EQ(d->mainDisplay(), monitor);  // the display at the origin is the main one
    EXPECT_EQ(d->activeDisplays().front(), monitor);
    EXPECT_DOUBLE_EQ(d->bounds(laptop).x, 1920);
    EXPECT_EQ(d->currentMode(laptop)->width, 1280u);
    EXPECT_DOUBLE_EQ(d->currentMode(laptop)->refresh, 120);
    EXPECT_DOUBLE_EQ(d->screens().back().backingScale, 2.0);
    EXPECT_EQ(d->lastCompletionPermanent(), std::optional<bool>(true));

    auto session = d->beginConfiguration();
    session->setOrigin(laptop, 0, 0);
    session->setOrigin(monitor, 1280, 0);
    EXPECT_EQ(session->complete(false), 0);
    EXPECT_EQ(d->mainDisplay(), laptop);
    EXPECT_EQ(d->lastCompletionPermanent(), std::optional<bool>(false));
    EXPECT_EQ(d->completedTransactions(), 2);
}

TEST(HeadlessDisplayConfig, CancelledOrDroppedTransactionsChangeNothing) {
    auto d = desk();
    auto ids = d->activeDisplays();
    int before = d->reconfigureCount();
    {
        auto cfg = d->beginConfiguration();
        cfg->setOrigin(ids[1], 0, 0);
        cfg->setOrigin(ids[0], 5000, 0);
        cfg->cancel();
        EXPECT_NE(cfg->complete(true), 0);  // a cancelled transaction cannot be completed afterwards
    }
    {
        auto cfg = d->beginConfiguration();
        EXPECT_EQ(cfg->setEnabled(ids[0], false), 0);
    }  // dropped without completing
    EXPECT_EQ(d->mainDisplay(), ids[0]);
    EXPECT_TRUE(d->isOnline(ids[0]));
    EXPECT_DOUBLE_EQ(d->bounds(ids[1]).x, 1440);
    EXPECT_EQ(d->reconfigureCount(), before);
    EXPECT_EQ(d->completedTransactions(), 0);
}

TEST(HeadlessDisplayConfig, AModeTheDisplayDoesNotOfferIsRefusedWhole) {
    auto d = desk();
    auto ids = d->activeDisplays();
    auto cfg = d->beginConfiguration();
    cfg->setOrigin(ids[1], 0, 0);
    cfg->setOrigin(ids[0], 1920, 0);
    cfg->setMode(ids[0], DisplayMode{1234, 567, 1234, 567, 60, 0});
    EXPECT_EQ(cfg->complete(true), HeadlessDesktop::kIllegalArgument);
    EXPECT_EQ(d->mainDisplay(), ids[0]);
    EXPECT_EQ(d->currentMode(ids[0])->width, 1440u);
}

TEST(HeadlessDisplayConfig, TheOneXTwinCanBeChosen) {
    auto d = desk();
    DisplayID laptop = d->mainDisplay();
    auto all = d->modes(laptop, true).value();
    auto cfg = d->beginConfiguration();
    cfg->setMode(laptop, all[1]);  // 1440x900 at one pixel per point
    EXPECT_EQ(cfg->complete(true), 0);
    EXPECT_EQ(d->currentMode(laptop)->pixelWidth, 1440u);
    EXPECT_DOUBLE_EQ(d->screens().front().backingScale, 1.0);
}

TEST(HeadlessDisplayConfig, KnobsMakeBeginningAndSwitchingFail) {
    auto d = desk();
    d->setBeginConfigurationFails(true);
    EXPECT_EQ(d->beginConfiguration(), nullptr);
    d->setBeginConfigurationFails(false);
    auto ids = d->activeDisplays();
    d->setEnableFailure(1004);
    auto cfg = d->beginConfiguration();
    ASSERT_NE(cfg, nullptr);
    EXPECT_EQ(cfg->setEnabled(ids[1], false), 1004);
    EXPECT_EQ(cfg->complete(false), 0);
    EXPECT_TRUE(d->isOnline(ids[1]));  // the failed switch was not buffered
    d->setEnableFailure(0);
    // An unknown display cannot be switched, and takes nothing else down with it.
    auto again = d->beginConfiguration();
    EXPECT_EQ(again->setEnabled(4242, true), HeadlessDesktop::kIllegalArgument);
    EXPECT_EQ(again->complete(false), 0);
    EXPECT_EQ(d->onlineCount(), 2u);
}

// ---------------------------------------------------------------- switching off and on

TEST(HeadlessDisplaySwitching, SwitchingTheMainDisplayOffMovesMainAndThePointer) {
    auto d = desk();
    auto ids = d->activeDisplays();
    DisplayID laptop = ids[0], monitor = ids[1];
    d->setPointer(Point{100, 100});  // on the laptop

    auto off = d->beginConfiguration();
    ASSERT_EQ(off->setEnabled(laptop, false), 0);
    ASSERT_EQ(off->complete(false), 0);
    EXPECT_EQ(d->onlineCount(), 1u);
    EXPECT_FALSE(d->isOnline(laptop));
    EXPECT_EQ(d->activeDisplays(), std::vector<DisplayID>{monitor});
    EXPECT_EQ(d->onlineDisplays(), std::vector<DisplayID>{monitor});
    EXPECT_EQ(d->mainDisplay(), monitor);
    EXPECT_DOUBLE_EQ(d->bounds(monitor).x, 0);  // the new main display holds the origin
    ASSERT_EQ(d->screens().size(), 1u);
    ASSERT_EQ(d->screenFrames().size(), 1u);
    EXPECT_DOUBLE_EQ(d->screenFrames()[0].width, 1920);
    // The pointer is on a display that is there.
    Point p = d->pointer();
    EXPECT_GE(p.x, 0);
    EXPECT_LT(p.x, 1920);
    EXPECT_GE(p.y, 0);
    EXPECT_LT(p.y, 1080);

    auto on = d->beginConfiguration();
    ASSERT_EQ(on->setEnabled(laptop, true), 0);
    ASSERT_EQ(on->complete(false), 0);
    EXPECT_EQ(d->onlineCount(), 2u);
    EXPECT_TRUE(d->isOnline(laptop));
    EXPECT_EQ(d->mainDisplay(), monitor);  // it comes back where it was, beside the main one
    EXPECT_DOUBLE_EQ(d->bounds(laptop).x, -1440);
}

TEST(HeadlessDisplaySwitching, TheLastDisplayIsNeverSwitchedOff) {
    auto d = desk();
    auto ids = d->activeDisplays();
    auto cfg = d->beginConfiguration();
    for (auto id : ids) EXPECT_EQ(cfg->setEnabled(id, false), 0);
    EXPECT_EQ(cfg->complete(false), HeadlessDesktop::kIllegalArgument);
    EXPECT_EQ(d->onlineCount(), 2u);
}

TEST(HeadlessDisplaySwitching, ReconfigureCallbacksRunAfterEveryAppliedChangeWithoutTheLock) {
    auto d = desk();
    auto ids = d->activeDisplays();
    std::vector<DisplayID> seenMain;
    int second = 0;
    // Reading the desktop from the callback would deadlock if it ran under the desktop's lock.
    d->onReconfigure([&] { seenMain.push_back(d->mainDisplay()); });
    d->onReconfigure([&] { ++second; });

    auto cfg = d->beginConfiguration();
    cfg->setOrigin(ids[1], 0, 0);
    cfg->setOrigin(ids[0], 1920, 0);
    ASSERT_EQ(cfg->complete(true), 0);
    ASSERT_EQ(seenMain.size(), 1u);
    EXPECT_EQ(seenMain[0], ids[1]);
    EXPECT_EQ(second, 1);

    // A transaction that changes nothing does not count as a change.
    auto same = d->beginConfiguration();
    same->setOrigin(ids[1], 0, 0);
    ASSERT_EQ(same->complete(true), 0);
    EXPECT_EQ(second, 1);

    auto off = d->beginConfiguration();
    off->setEnabled(ids[0], false);
    ASSERT_EQ(off->complete(false), 0);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(d->reconfigureCount(), 2);
}

// ---------------------------------------------------------------- virtual displays

TEST(HeadlessVirtualDisplays, AppearOnlyOnceSettingsAreApplied) {
    auto d = desk();
    int changes = 0;
    d->onReconfigure([&] { ++changes; });
    auto vd = d->createVirtualDisplay(phoneDescriptor());
    ASSERT_NE(vd, nullptr);
    DisplayID id = vd->displayID();
    EXPECT_NE(id, 0u);
    EXPECT_FALSE(d->isOnline(id));
    EXPECT_FALSE(contains(d->activeDisplays(), id));
    EXPECT_EQ(d->onlineCount(), 2u);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(d->vendorNumber(id), kVirtualVendor);
    EXPECT_EQ(d->productNumber(id), 0x4C50u);
    EXPECT_EQ(d->serialNumber(id), 0x4C50u);

    ASSERT_TRUE(vd->applySettings(oneMode(1024, 576)));
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(d->isOnline(id));
    EXPECT_EQ(d->onlineCount(), 3u);
    EXPECT_EQ(d->activeDisplays().back(), id);
    // To the right of the others.
    Rect b = d->bounds(id);
    EXPECT_DOUBLE_EQ(b.x, 1440 + 1920);
    EXPECT_DOUBLE_EQ(b.width, 1024);
    EXPECT_DOUBLE_EQ(b.height, 576);

    auto cur = d->currentMode(id);
    ASSERT_TRUE(cur.has_value());
    EXPECT_EQ(cur->pixelWidth, 2048u);
    EXPECT_EQ(cur->pixelHeight, 1152u);
    EXPECT_DOUBLE_EQ(cur->refresh, 120);
    auto plain = d->modes(id, false).value();
    ASSERT_EQ(plain.size(), 1u);
    auto all = d->modes(id, true).value();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].pixelWidth, 1024u);
    EXPECT_DOUBLE_EQ(d->physicalSizeMM(id).width, 2048 / 8.83);
    auto screens = d->screens();
    auto it = std::find_if(screens.begin(), screens.end(), [&](const ScreenInfo& s) { return s.number == id; });
    ASSERT_NE(it, screens.end());
    EXPECT_DOUBLE_EQ(it->backingScale, 2.0);
}

TEST(HeadlessVirtualDisplays, SettingsBeyondTheLimitsAreRefused) {
    auto d = desk();
    auto vd = d->createVirtualDisplay(phoneDescriptor());
    ASSERT_NE(vd, nullptr);
    EXPECT_FALSE(vd->applySettings(oneMode(1025, 500)));  // 2050 pixels > 2048
    EXPECT_FALSE(vd->applySettings(oneMode(500, 1025)));
    EXPECT_FALSE(vd->applySettings(VirtualDisplaySettings{}));  // no mode at all
    EXPECT_FALSE(vd->applySettings(oneMode(0, 500)));
    EXPECT_FALSE(d->isOnline(vd->displayID()));
    EXPECT_TRUE(vd->applySettings(oneMode(1024, 1024)));
    // Re-sizing in place keeps it where it is.
    Rect before = d->bounds(vd->displayID());
    EXPECT_TRUE(vd->applySettings(oneMode(800, 1000)));
    EXPECT_DOUBLE_EQ(d->bounds(vd->displayID()).x, before.x);
    EXPECT_EQ(d->currentMode(vd->displayID())->pixelHeight, 2000u);
}

TEST(HeadlessVirtualDisplays, DroppingTheObjectRemovesTheDisplayAndMovesMain) {
    auto d = desk();
    auto ids = d->activeDisplays();
    int changes = 0;
    d->onReconfigure([&] { ++changes; });
    auto vd = d->createVirtualDisplay(phoneDescriptor());
    ASSERT_TRUE(vd->applySettings(oneMode(1024, 576)));
    DisplayID id = vd->displayID();
    // Made main the way the agent does it: at the origin, the others far right.
    auto cfg = d->beginConfiguration();
    cfg->setOrigin(id, 0, 0);
    cfg->setOrigin(ids[0], 4000, 0);
    cfg->setOrigin(ids[1], 7000, 0);
    ASSERT_EQ(cfg->complete(true), 0);
    EXPECT_EQ(d->mainDisplay(), id);
    d->setPointer(Point{10, 10});  // on the virtual display
    int before = changes;

    vd.reset();
    EXPECT_EQ(changes, before + 1);
    EXPECT_FALSE(d->isOnline(id));
    EXPECT_EQ(d->vendorNumber(id), 0u);
    EXPECT_EQ(d->onlineCount(), 2u);
    DisplayID main = d->mainDisplay();
    EXPECT_TRUE(main == ids[0] || main == ids[1]);
    EXPECT_DOUBLE_EQ(d->bounds(main).x, 0);
    EXPECT_DOUBLE_EQ(d->bounds(main).y, 0);
    EXPECT_GE(d->pointer().x, 0);  // back on a display that is there
}

TEST(HeadlessVirtualDisplays, TheScaleKnobMakesTheNextOnesComeUpAtOneX) {
    auto d = desk();
    d->setNextVirtualDisplaysAtOneX(1);
    auto first = d->createVirtualDisplay(phoneDescriptor());
    ASSERT_TRUE(first->applySettings(oneMode(1024, 576)));
    auto cur = d->currentMode(first->displayID()).value();
    EXPECT_EQ(cur.pixelWidth, 1024u);  // the 1x twin is in force
    EXPECT_EQ(cur.width, 1024u);
    auto screens = d->screens();
    auto it = std::find_if(screens.begin(), screens.end(),
                           [&](const ScreenInfo& s) { return s.number == first->displayID(); });
    ASSERT_NE(it, screens.end());
    EXPECT_DOUBLE_EQ(it->backingScale, 1.0);
    first.reset();

    auto second = d->createVirtualDisplay(phoneDescriptor());
    ASSERT_TRUE(second->applySettings(oneMode(1024, 576)));
    EXPECT_EQ(d->currentMode(second->displayID())->pixelWidth, 2048u);
    EXPECT_NE(second->displayID(), 0u);
}

TEST(HeadlessVirtualDisplays, CreationCanFailAndTheServerCanEndADisplay) {
    auto d = desk();
    d->setVirtualDisplayCreationFails(true);
    EXPECT_EQ(d->createVirtualDisplay(phoneDescriptor()), nullptr);
    d->setVirtualDisplayCreationFails(false);
    VirtualDisplayDescriptor noLimits = phoneDescriptor();
    noLimits.maxPixelsWide = 0;
    EXPECT_EQ(d->createVirtualDisplay(noLimits), nullptr);

    int ended = 0;
    auto vd = d->createVirtualDisplay(phoneDescriptor([&] { ++ended; }));
    ASSERT_TRUE(vd->applySettings(oneMode(640, 480)));
    DisplayID id = vd->displayID();
    EXPECT_FALSE(d->terminateVirtualDisplay(d->activeDisplays().front()));  // not a virtual one
    EXPECT_TRUE(d->terminateVirtualDisplay(id));
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(d->isOnline(id));
    EXPECT_FALSE(vd->applySettings(oneMode(640, 480)));  // the object is left with nothing behind it
    vd.reset();
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(d->onlineCount(), 2u);
}

TEST(HeadlessVirtualDisplays, ObjectsOutlivingTheDesktopDoNothing) {
    auto d = desk();
    auto vd = d->createVirtualDisplay(phoneDescriptor());
    auto cfg = d->beginConfiguration();
    d.reset();
    EXPECT_FALSE(vd->applySettings(oneMode(640, 480)));
    EXPECT_NE(cfg->complete(true), 0);
    vd.reset();  // must not touch the desktop that is gone
}

TEST(HeadlessDisplayHotplug, PluggedDisplaysAppearRightOfTheOthers) {
    auto d = desk();
    int changes = 0;
    d->onReconfigure([&] { ++changes; });
    HeadlessDisplay extra;
    extra.width = 800;
    extra.height = 600;
    DisplayID id = d->addDisplay(extra);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(changes, 1);
    EXPECT_DOUBLE_EQ(d->bounds(id).x, 1440 + 1920);
    EXPECT_TRUE(d->removeDisplay(id));
    EXPECT_FALSE(d->removeDisplay(id));
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(d->onlineCount(), 2u);
}

// Like a real window server, the desktop keeps windows with their display: they move
// when it moves, and land on the main display when theirs is switched off.
TEST(HeadlessWindowsFollowDisplays, MovingAndSwitchingOffCarryTheWindows) {
    auto d = desk(R"({"displays":[{"width":1440,"height":900},{"width":1920,"height":1080}],
                      "apps":[{"pid":7,"name":"Notes"}],
                      "windows":[{"owner":7,"number":1,"x":100,"y":100,"width":400,"height":300},
                                 {"owner":7,"number":2,"x":1540,"y":200,"width":600,"height":400},
                                 {"owner":7,"number":3,"x":2900,"y":900,"width":400,"height":300}]})");
    // The monitor moves 500 points down: only its windows go with it.
    auto cfg = d->beginConfiguration();
    ASSERT_TRUE(cfg);
    cfg->setOrigin(2, 1440, 500);
    ASSERT_EQ(cfg->complete(true), 0);
    EXPECT_DOUBLE_EQ(d->workspaceDesk().window(1)->frame.y, 100);
    EXPECT_DOUBLE_EQ(d->workspaceDesk().window(2)->frame.y, 700);
    EXPECT_DOUBLE_EQ(d->workspaceDesk().window(3)->frame.y, 1400);
    // Switched off: its windows land on the main display, whole where they fit.
    cfg = d->beginConfiguration();
    ASSERT_EQ(cfg->setEnabled(2, false), 0);
    ASSERT_EQ(cfg->complete(false), 0);
    auto w2 = *d->workspaceDesk().window(2), w3 = *d->workspaceDesk().window(3);
    EXPECT_DOUBLE_EQ(w2.frame.x, 100);  // its offset within the monitor, kept
    EXPECT_DOUBLE_EQ(w2.frame.y, 200);
    EXPECT_DOUBLE_EQ(w3.frame.x, 1440 - 400);  // pushed back inside the main display
    EXPECT_DOUBLE_EQ(w3.frame.y, 900 - 300);
    EXPECT_DOUBLE_EQ(d->workspaceDesk().window(1)->frame.x, 100);
}
