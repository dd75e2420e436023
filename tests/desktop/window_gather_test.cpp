// Window gathering onto the main display and the new-window watcher, against a
// small scripted desktop: displays, running apps, the window server's list and
// the accessibility elements of windows, with every activation and move recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/displays.h"
#include "platform/headless/headless_desktop.h"
#include "platform/headless/headless_workspace.h"
#include "platform/workspace.h"
#include "session/window_gather.h"
#include "support/test_files.h"

using namespace vm;
using namespace vm::platform;

namespace {

constexpr DisplayID kVirtId = 7;
constexpr DisplayID kPhysId = 1;

class FakeDesk final : public Displays, public Workspace, public WindowServer, public WindowElements {
public:
    struct Disp {
        DisplayID id = 0;
        Rect bounds;
        uint32_t vendor = 0;
        bool online = true;
    };
    struct Win {
        uint32_t number = 0;
        int32_t owner = 0;
        Rect frame;
        int layer = 0;
        bool fullScreen = false;
        Rect savedFrame;  // the frame before full screen
        bool movable = true;
        bool accessible = true;  // false: on another workspace until its app is activated
        bool sizeReadable = true;
    };

    // Displays
    uint32_t onlineCount() override { return static_cast<uint32_t>(onlineDisplays().size()); }
    std::vector<DisplayID> activeDisplays(uint32_t max) override { return onlineDisplays(max); }
    std::vector<DisplayID> onlineDisplays(uint32_t max = 16) override {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<DisplayID> out;
        for (const Disp& d : disps)
            if (d.online && out.size() < max) out.push_back(d.id);
        return out;
    }
    DisplayID mainDisplay() override { return mainId; }
    bool isOnline(DisplayID id) override {
        const Disp* d = find(id);
        return d && d->online;
    }
    bool isAgentVirtual(DisplayID id) override { return vendorNumber(id) == platform::kVirtualVendor; }
    uint32_t vendorNumber(DisplayID id) override {
        const Disp* d = find(id);
        return d ? d->vendor : 0;
    }
    uint32_t productNumber(DisplayID) override { return 0; }
    uint32_t serialNumber(DisplayID) override { return 0; }
    Rect bounds(DisplayID id) override {
        const Disp* d = find(id);
        return d ? d->bounds : Rect{};
    }
    std::optional<DisplayMode> currentMode(DisplayID) override { return std::nullopt; }
    std::optional<std::vector<DisplayMode>> modes(DisplayID, bool) override { return std::nullopt; }
    Size physicalSizeMM(DisplayID) override { return {}; }
    std::vector<ScreenInfo> screens() override { return {}; }
    std::unique_ptr<DisplayConfig> beginConfiguration() override { return nullptr; }
    void onReconfigure(std::function<void()>) override {}
    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor&) override { return nullptr; }
    bool virtualDisplaySupported() override { return false; }
    std::optional<std::string> inspectInChild(DisplayID, const std::function<std::string(DisplayID)>&) override {
        return std::nullopt;
    }

    // Workspace
    std::vector<RunningApp> runningApps() override {
        std::lock_guard<std::mutex> lk(mu);
        return apps;
    }
    std::optional<int32_t> frontmostApp() override {
        std::lock_guard<std::mutex> lk(mu);
        return front;
    }
    bool activate(int32_t pid, bool allWindows) override {
        std::lock_guard<std::mutex> lk(mu);
        activations.push_back(pid);
        activatedAll.push_back(allWindows);
        bool running = std::any_of(apps.begin(), apps.end(), [&](const RunningApp& a) { return a.pid == pid; });
        if (!running) return false;
        front = pid;
        if (revealOnActivate.count(pid))
            for (auto& [n, w] : wins)
                if (w.owner == pid) w.accessible = true;
        return true;
    }
    std::optional<RgbaImage> appIcon(int32_t) override { return std::nullopt; }
    std::string loginName() override { return "tester"; }

    // WindowServer
    std::vector<WindowInfo> windowList() override {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<WindowInfo> out;
        for (const auto& [n, w] : wins) out.push_back(WindowInfo{w.layer, w.owner, w.number, w.frame});
        return out;
    }

    // WindowElements
    std::optional<std::vector<ElementRef>> appWindows(int32_t pid) override {
        std::lock_guard<std::mutex> lk(mu);
        if (axFails) return std::nullopt;
        std::vector<ElementRef> out;
        for (const auto& [n, w] : wins)
            if (w.owner == pid && w.accessible && w.layer == 0) out.push_back(n);
        return out;
    }
    std::optional<Point> position(ElementRef ref) override {
        std::lock_guard<std::mutex> lk(mu);
        auto it = wins.find(static_cast<uint32_t>(ref));
        if (it == wins.end()) return std::nullopt;
        return Point{it->second.frame.x, it->second.frame.y};
    }
    std::optional<Size> size(ElementRef ref) override {
        std::lock_guard<std::mutex> lk(mu);
        auto it = wins.find(static_cast<uint32_t>(ref));
        if (it == wins.end() || !it->second.sizeReadable) return std::nullopt;
        return Size{it->second.frame.width, it->second.frame.height};
    }
    std::optional<bool> minimized(ElementRef) override { return false; }
    std::optional<bool> fullScreen(ElementRef ref) override {
        std::lock_guard<std::mutex> lk(mu);
        auto it = wins.find(static_cast<uint32_t>(ref));
        if (it == wins.end()) return std::nullopt;
        return it->second.fullScreen;
    }
    bool setFullScreen(ElementRef ref, bool on) override {
        std::lock_guard<std::mutex> lk(mu);
        auto it = wins.find(static_cast<uint32_t>(ref));
        if (it == wins.end()) return false;
        fullScreenSets.push_back({ref, on});
        if (it->second.fullScreen && !on) it->second.frame = it->second.savedFrame;
        it->second.fullScreen = on;
        return true;
    }
    bool setSize(ElementRef ref, Size s) override {
        std::lock_guard<std::mutex> lk(mu);
        auto it = wins.find(static_cast<uint32_t>(ref));
        if (it == wins.end()) return false;
        sizeSets.push_back(ref);
        it->second.frame.width = s.width;
        it->second.frame.height = s.height;
        return true;
    }
    bool setPosition(ElementRef ref, Point p) override {
        std::lock_guard<std::mutex> lk(mu);
        auto it = wins.find(static_cast<uint32_t>(ref));
        if (it == wins.end() || !it->second.movable) return false;
        positionSets.push_back(ref);
        it->second.frame.x = p.x;
        it->second.frame.y = p.y;
        return true;
    }
    bool revealApp(int32_t) override { return false; }

    // Scripting.
    void addDisplay(DisplayID id, Rect b, uint32_t vendor, bool online = true) {
        disps.push_back(Disp{id, b, vendor, online});
    }
    void addApp(int32_t pid, std::optional<std::string> name, ActivationPolicy policy = ActivationPolicy::regular) {
        std::lock_guard<std::mutex> lk(mu);
        RunningApp a;
        a.pid = pid;
        a.name = std::move(name);
        a.bundleID = "org.example.app" + std::to_string(pid);
        a.policy = policy;
        apps.push_back(a);
    }
    uint32_t addWindow(int32_t owner, Rect frame) {
        std::lock_guard<std::mutex> lk(mu);
        Win w;
        w.number = nextNumber++;
        w.owner = owner;
        w.frame = frame;
        wins[w.number] = w;
        return w.number;
    }
    // A full-screen window on display `on`: it covers that display; leaving full screen gives back `frame`.
    uint32_t addFullScreenWindow(int32_t owner, Rect frame, DisplayID on) {
        uint32_t n = addWindow(owner, frame);
        std::lock_guard<std::mutex> lk(mu);
        wins[n].savedFrame = frame;
        wins[n].frame = find(on)->bounds;
        wins[n].fullScreen = true;
        return n;
    }
    Win window(uint32_t n) {
        std::lock_guard<std::mutex> lk(mu);
        return wins.at(n);
    }
    void edit(uint32_t n, const std::function<void(Win&)>& fn) {
        std::lock_guard<std::mutex> lk(mu);
        fn(wins.at(n));
    }
    std::vector<int32_t> activationsOf(int32_t pid) {
        std::lock_guard<std::mutex> lk(mu);
        std::vector<int32_t> out;
        for (int32_t p : activations)
            if (p == pid) out.push_back(p);
        return out;
    }

    std::mutex mu;
    std::vector<Disp> disps;
    DisplayID mainId = 0;
    std::vector<RunningApp> apps;
    std::optional<int32_t> front;
    std::set<int32_t> revealOnActivate;
    std::map<uint32_t, Win> wins;
    uint32_t nextNumber = 100;
    bool axFails = false;
    std::vector<int32_t> activations;
    std::vector<bool> activatedAll;
    std::vector<std::pair<ElementRef, bool>> fullScreenSets;
    std::vector<ElementRef> sizeSets;
    std::vector<ElementRef> positionSets;

private:
    const Disp* find(DisplayID id) const {
        for (const Disp& d : disps)
            if (d.id == id) return &d;
        return nullptr;
    }
};

// Keeps delayed tasks so a test decides when they run.
class HeldQueue final : public DispatchQueue {
public:
    void async(Task task) override { asyncAfter(0, std::move(task)); }
    void asyncAfter(double seconds, Task task) override {
        std::lock_guard<std::mutex> lk(mu_);
        delays.push_back(seconds);
        tasks.push_back(std::move(task));
    }
    const std::string& label() const override { return label_; }
    void runAll() {
        std::vector<Task> now;
        {
            std::lock_guard<std::mutex> lk(mu_);
            now.swap(tasks);
        }
        for (Task& t : now) t();
    }
    std::vector<double> delays;
    std::vector<Task> tasks;

private:
    std::mutex mu_;
    std::string label_ = "held";
};

class WindowGatherTest : public ::testing::Test {
protected:
    // The main display is the virtual one at the origin; the physical one lies to its right.
    void phoneShapedMain(double w = 585, double h = 1266) {
        desk.addDisplay(kPhysId, Rect{w, 0, 1920, 1080}, 0x610);
        desk.addDisplay(kVirtId, Rect{0, 0, w, h}, kVirtualVendor);
        desk.mainId = kVirtId;
    }
    // Somewhere fully on the physical display.
    Rect onPhysical(double w, double h) const {
        Rect phys = desk.disps.front().bounds;
        return Rect{phys.x + 50, 60, w, h};
    }

    // The input-side log's lines without their time stamps.
    std::vector<std::string> logLines() {
        std::vector<std::string> out;
        std::istringstream in(vm::testing::readAll(dir.path + "/inputd.log"));
        for (std::string l; std::getline(in, l);) out.push_back(l.size() > 14 ? l.substr(14) : l);
        return out;
    }

    vm::testing::TempDir dir{"vm-gather"};
    FakeClock clock;
    Logger log{dir.path, clock};
    FakeDesk desk;
    WindowGather gather{clock, log, desk, desk, desk, desk};
};

TEST_F(WindowGatherTest, NeedsBothAVirtualAndAPhysicalDisplayOnline) {
    desk.addDisplay(kPhysId, Rect{0, 0, 1920, 1080}, 0x610);
    desk.mainId = kPhysId;
    desk.addApp(10, "Notes");
    uint32_t far = desk.addWindow(10, Rect{5000, 5000, 800, 600});

    EXPECT_FALSE(gather.twoDisplays());
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);

    // A second physical display, or a virtual one that is offline, does not count.
    desk.addDisplay(3, Rect{1920, 0, 1280, 800}, 0x610);
    desk.addDisplay(kVirtId, Rect{-585, 0, 585, 1266}, kVirtualVendor, false);
    EXPECT_FALSE(gather.twoDisplays());
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);

    EXPECT_TRUE(desk.sizeSets.empty());
    EXPECT_TRUE(desk.positionSets.empty());
    EXPECT_TRUE(desk.activations.empty());
    EXPECT_EQ(desk.window(far).frame.x, 5000);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(WindowGatherTest, WithoutAUsableMainDisplayNothingIsResized) {
    desk.addDisplay(kPhysId, Rect{585, 0, 1920, 1080}, 0x610);
    desk.addDisplay(kVirtId, Rect{0, 0, 585, 1266}, kVirtualVendor);
    desk.mainId = 0;  // between two layout changes
    desk.addApp(10, "Notes");
    desk.addWindow(10, onPhysical(600, 400));
    EXPECT_TRUE(gather.twoDisplays());
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);
    EXPECT_TRUE(desk.sizeSets.empty());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(WindowGatherTest, TwoDisplaysNamesTheFirstOfEachKind) {
    desk.addDisplay(4, Rect{0, 0, 1920, 1080}, 0x610);
    desk.addDisplay(9, Rect{1920, 0, 585, 1266}, kVirtualVendor);
    desk.addDisplay(5, Rect{2505, 0, 1280, 800}, 0x1e6d);
    desk.addDisplay(8, Rect{3785, 0, 585, 1266}, kVirtualVendor);
    auto pair = gather.twoDisplays();
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->virt, 9u);
    EXPECT_EQ(pair->phys, 4u);
}

TEST_F(WindowGatherTest, WideWindowTakesTheMainWidthBelowTheMenuBar) {
    phoneShapedMain(1170, 2532);
    desk.addApp(10, "Notes");
    uint32_t wide = desk.addWindow(10, onPhysical(1200, 800));

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 1);
    Rect f = desk.window(wide).frame;
    EXPECT_EQ(f.width, 1170);
    EXPECT_EQ(f.height, 800);
    EXPECT_EQ(f.x, 0);
    EXPECT_EQ(f.y, 30);
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 후보 1개 중 1개 옮김"});
}

TEST_F(WindowGatherTest, PhoneShapedMainClampsWidthAndHeight) {
    phoneShapedMain();  // 585 x 1266 points
    desk.addApp(10, "Notes");
    uint32_t wide = desk.addWindow(10, onPhysical(1200, 800));
    uint32_t tall = desk.addWindow(10, onPhysical(700, 1300));
    uint32_t narrow = desk.addWindow(10, onPhysical(500, 400));

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 3);
    Rect w = desk.window(wide).frame, t = desk.window(tall).frame, n = desk.window(narrow).frame;
    EXPECT_EQ(w.width, 585);
    EXPECT_EQ(w.height, 800);
    EXPECT_EQ(w.x, 0);
    EXPECT_EQ(w.y, 30);
    EXPECT_EQ(t.width, 585);
    EXPECT_EQ(t.height, 1266 - 30);
    EXPECT_EQ(t.x, 0);
    EXPECT_EQ(t.y, 30);
    // Narrow enough for the cascade, whose index every moved window advanced.
    EXPECT_EQ(n.width, 500);
    EXPECT_EQ(n.height, 400);
    EXPECT_EQ(n.x, 40 + 32 * 2);
    EXPECT_EQ(n.y, 30 + 28 * 2);
}

TEST_F(WindowGatherTest, CascadeRunsSixStepsThenStartsOver) {
    phoneShapedMain(1170, 2532);
    desk.addApp(10, "Notes");
    std::vector<uint32_t> wins;
    for (int i = 0; i < 7; ++i) wins.push_back(desk.addWindow(10, onPhysical(600, 400)));

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 7);
    EXPECT_EQ(desk.window(wins[0]).frame.x, 40);
    EXPECT_EQ(desk.window(wins[0]).frame.y, 30);
    EXPECT_EQ(desk.window(wins[1]).frame.x, 72);
    EXPECT_EQ(desk.window(wins[1]).frame.y, 58);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(desk.window(wins[k]).frame.x, 40 + 32 * k) << k;
        EXPECT_EQ(desk.window(wins[k]).frame.y, 30 + 28 * k) << k;
        EXPECT_EQ(desk.window(wins[k]).frame.width, 600);
        EXPECT_EQ(desk.window(wins[k]).frame.height, 400);
    }
    EXPECT_EQ(desk.window(wins[6]).frame.x, 40);
    EXPECT_EQ(desk.window(wins[6]).frame.y, 30);
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 후보 7개 중 7개 옮김"});
}

TEST_F(WindowGatherTest, CascadeIsMeasuredFromTheMainDisplaysCorner) {
    desk.addDisplay(kPhysId, Rect{0, 0, 1920, 1080}, 0x610);
    desk.addDisplay(kVirtId, Rect{-1000, 200, 1000, 900}, kVirtualVendor);
    desk.mainId = kVirtId;
    desk.addApp(10, "Notes");
    uint32_t a = desk.addWindow(10, Rect{100, 100, 600, 400});
    uint32_t b = desk.addWindow(10, Rect{300, 100, 1200, 1000});

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 2);
    EXPECT_EQ(desk.window(a).frame.x, -1000 + 40);
    EXPECT_EQ(desk.window(a).frame.y, 200 + 30);
    EXPECT_EQ(desk.window(b).frame.x, -1000);
    EXPECT_EQ(desk.window(b).frame.y, 200 + 30);
    EXPECT_EQ(desk.window(b).frame.height, 900 - 30);
}

TEST_F(WindowGatherTest, WindowHalfInsideMainStays) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    // 400 wide, 200 of it left of x = 585.
    uint32_t half = desk.addWindow(10, Rect{385, 100, 400, 300});
    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 0);
    EXPECT_EQ(desk.window(half).frame.x, 385);
    EXPECT_TRUE(desk.sizeSets.empty());
    EXPECT_TRUE(logLines().empty());

    // One point further out and it is mostly off Main.
    desk.edit(half, [](FakeDesk::Win& w) { w.frame.x = 386; });
    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 1);
    EXPECT_EQ(desk.window(half).frame.x, 40);
}

TEST_F(WindowGatherTest, WindowsWithoutAreaGoByTheirPosition) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    uint32_t inside = desk.addWindow(10, Rect{100, 100, 300, 300});
    uint32_t outside = desk.addWindow(10, onPhysical(300, 300));
    desk.edit(inside, [](FakeDesk::Win& w) { w.sizeReadable = false; });
    desk.edit(outside, [](FakeDesk::Win& w) { w.sizeReadable = false; });
    // A nonsensical size is no size either, never a negative one handed back.
    uint32_t negative = desk.addWindow(10, onPhysical(-50, 300));

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 2);
    EXPECT_EQ(desk.window(inside).frame.x, 100);
    // An unknown size takes the whole room below the menu bar.
    Rect f = desk.window(outside).frame;
    EXPECT_EQ(f.width, 585);
    EXPECT_EQ(f.height, 1266 - 30);
    EXPECT_EQ(f.x, 0);
    EXPECT_EQ(f.y, 30);
    Rect g = desk.window(negative).frame;
    EXPECT_EQ(g.width, 585);
    EXPECT_EQ(g.height, 300);
}

TEST_F(WindowGatherTest, FullScreenWindowLeavesFullScreenFirst) {
    phoneShapedMain();
    desk.addApp(10, "Keynote");
    uint32_t fs = desk.addFullScreenWindow(10, Rect{700, 100, 500, 400}, kPhysId);
    double before = clock.now();

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 1);
    ASSERT_EQ(desk.fullScreenSets.size(), 1u);
    EXPECT_FALSE(desk.fullScreenSets[0].second);
    EXPECT_FALSE(desk.window(fs).fullScreen);
    EXPECT_NEAR(clock.now() - before, 0.9, 1e-6);
    // Sized from the full-screen frame it had when read.
    Rect f = desk.window(fs).frame;
    EXPECT_EQ(f.width, 585);
    EXPECT_EQ(f.height, 1080);
    EXPECT_EQ(f.x, 0);
    EXPECT_EQ(f.y, 30);
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 후보 1개 중 1개 옮김, 전체화면 1개 품"});
}

TEST_F(WindowGatherTest, UnmovableWindowCountsAsFailedAndKeepsTheCascadeSlot) {
    phoneShapedMain(1170, 2532);
    desk.addApp(10, "Notes");
    uint32_t stuck = desk.addWindow(10, onPhysical(600, 400));
    uint32_t free = desk.addWindow(10, onPhysical(600, 400));
    desk.edit(stuck, [](FakeDesk::Win& w) { w.movable = false; });

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 1);
    EXPECT_EQ(desk.window(free).frame.x, 40);
    EXPECT_EQ(desk.window(free).frame.y, 30);
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 후보 2개 중 1개 옮김, 1개 실패(고정된 창)"});
}

TEST_F(WindowGatherTest, TargetsAreOrdinaryRunningAppsOrTheOneAsked) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(11, "Helper", ActivationPolicy::accessory);
    desk.addApp(12, "Gone");
    desk.apps.back().terminated = true;
    desk.addApp(13, "Mail");
    uint32_t notes = desk.addWindow(10, onPhysical(300, 300));
    uint32_t helper = desk.addWindow(11, onPhysical(300, 300));
    uint32_t gone = desk.addWindow(12, onPhysical(300, 300));
    uint32_t mail = desk.addWindow(13, onPhysical(300, 300));
    double mailX = desk.window(mail).frame.x;

    EXPECT_EQ(gather.gatherWindows(10, false), 1);
    EXPECT_EQ(desk.window(notes).frame.x, 40);
    EXPECT_EQ(desk.window(mail).frame.x, mailX);

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 1);
    EXPECT_EQ(desk.window(mail).frame.x, 40);
    EXPECT_GT(desk.window(helper).frame.x, 585);
    EXPECT_GT(desk.window(gone).frame.x, 585);

    // Asked by pid, even an accessory app is gathered.
    EXPECT_EQ(gather.gatherWindows(11, false), 1);
    EXPECT_EQ(desk.window(helper).frame.x, 40);
}

TEST_F(WindowGatherTest, WithoutAccessibilityNothingHappens) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    uint32_t w = desk.addWindow(10, onPhysical(600, 400));
    desk.axFails = true;
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);
    EXPECT_GT(desk.window(w).frame.x, 585);
    EXPECT_TRUE(desk.activations.empty());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(WindowGatherTest, HiddenWindowsWithoutWakeAreUnseenAndNotActivated) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(20, "Pages");
    desk.addApp(30, "Small");
    uint32_t hidden = desk.addWindow(20, onPhysical(800, 600));
    desk.edit(hidden, [](FakeDesk::Win& w) { w.accessible = false; });
    // Windows no larger than 100 points, or on Main, make nobody an off-main owner.
    uint32_t tiny = desk.addWindow(30, onPhysical(100, 400));
    uint32_t onMain = desk.addWindow(10, Rect{10, 40, 400, 400});
    desk.edit(tiny, [](FakeDesk::Win& w) { w.accessible = false; });
    desk.edit(onMain, [](FakeDesk::Win& w) { w.accessible = false; });
    desk.revealOnActivate = {10, 20, 30};

    EXPECT_EQ(gather.gatherWindows(std::nullopt, false), 0);
    EXPECT_TRUE(desk.activations.empty());
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 옮길 것 없음 · 창을 못 본 앱 1개(다른 Space 로 추정)"});
}

TEST_F(WindowGatherTest, WakeRevealsWindowsAndRestoresTheFrontApp) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(20, "Pages");
    desk.front = 10;
    uint32_t hidden = desk.addWindow(20, onPhysical(400, 300));
    desk.edit(hidden, [](FakeDesk::Win& w) { w.accessible = false; });
    desk.revealOnActivate = {20};
    double before = clock.now();

    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 1);
    EXPECT_EQ(desk.window(hidden).frame.x, 40);
    // Woken, then 3 s later the app in front before the wake comes back.
    EXPECT_EQ(desk.activations, (std::vector<int32_t>{20, 10}));
    EXPECT_EQ(desk.activatedAll, (std::vector<bool>{false, false}));
    EXPECT_EQ(desk.front, std::optional<int32_t>(10));
    EXPECT_NEAR(clock.now() - before, 0.7 + 3.0, 1e-6);
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 후보 1개 중 1개 옮김, 1개는 앱을 깨워서 찾음"});
}

TEST_F(WindowGatherTest, AppWokenRecentlyIsNotWokenAgainFor30Seconds) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(20, "Pages");
    desk.front = 10;
    uint32_t hidden = desk.addWindow(20, onPhysical(400, 300));
    desk.edit(hidden, [](FakeDesk::Win& w) { w.accessible = false; });
    desk.revealOnActivate = {20};
    ASSERT_EQ(gather.gatherWindows(std::nullopt, true), 1);
    ASSERT_EQ(desk.activationsOf(20).size(), 1u);

    // Its window goes back to another workspace, off Main.
    desk.edit(hidden, [](FakeDesk::Win& w) {
        w.accessible = false;
        w.frame.x = 900;
    });
    clock.advance(20);  // 23.7 s after the wake
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);
    EXPECT_EQ(desk.activationsOf(20).size(), 1u);
    EXPECT_EQ(logLines().back(), "창 모으기 — 옮길 것 없음 · 창을 못 본 앱 1개(다른 Space 로 추정)");

    clock.advance(7);  // 30.7 s
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 1);
    EXPECT_EQ(desk.activationsOf(20).size(), 2u);
}

TEST_F(WindowGatherTest, FailedWakeIsReportedAndNotRetriedFor300Seconds) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(20, "Pages");
    desk.addApp(21, std::nullopt);
    desk.front = 10;
    for (int32_t pid : {20, 21}) {
        uint32_t w = desk.addWindow(pid, onPhysical(400, 300));
        desk.edit(w, [](FakeDesk::Win& win) { win.accessible = false; });
    }

    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);
    EXPECT_EQ(desk.activationsOf(20).size(), 1u);
    EXPECT_EQ(desk.activationsOf(21).size(), 1u);
    // The activations moved the front app, so it is restored all the same.
    EXPECT_EQ(desk.front, std::optional<int32_t>(10));
    EXPECT_EQ(logLines(), (std::vector<std::string>{
                              "  창을 못 봄 — Pages (깨웠는데도, 300초간 재시도 안 함)",
                              "  창을 못 봄 — pid 21 (깨웠는데도, 300초간 재시도 안 함)",
                              "창 모으기 — 옮길 것 없음 · 창을 못 본 앱 2개(다른 Space 로 추정)",
                          }));

    clock.advance(200);
    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 0);
    EXPECT_EQ(desk.activationsOf(20).size(), 1u);
    EXPECT_EQ(logLines().size(), 4u);

    clock.advance(100);
    desk.revealOnActivate = {20};
    EXPECT_EQ(gather.gatherWindows(20, true), 1);
    EXPECT_EQ(desk.activationsOf(20).size(), 2u);
}

TEST_F(WindowGatherTest, RestoreWaitsForTheLastWakeOfABurst) {
    HeldQueue queue;
    WindowGather queued(clock, log, desk, desk, desk, desk, &queue);
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(20, "Pages");
    desk.addApp(30, "Numbers");
    desk.front = 10;
    desk.revealOnActivate = {20, 30};
    uint32_t a = desk.addWindow(20, onPhysical(400, 300));
    desk.edit(a, [](FakeDesk::Win& w) { w.accessible = false; });

    EXPECT_EQ(queued.gatherWindows(20, true), 1);
    ASSERT_EQ(queue.tasks.size(), 1u);
    EXPECT_DOUBLE_EQ(queue.delays[0], 3.0);
    EXPECT_EQ(desk.front, std::optional<int32_t>(20));

    // Within the burst, the next wake keeps the app that was in front when it began.
    clock.advance(1);
    uint32_t b = desk.addWindow(30, onPhysical(400, 300));
    desk.edit(b, [](FakeDesk::Win& w) { w.accessible = false; });
    EXPECT_EQ(queued.gatherWindows(30, true), 1);
    ASSERT_EQ(queue.tasks.size(), 2u);

    queue.runAll();
    // The first restore found a newer wake and did nothing; the second brought Notes back.
    EXPECT_EQ(desk.activations, (std::vector<int32_t>{20, 30, 10}));
    EXPECT_EQ(desk.front, std::optional<int32_t>(10));
}

TEST_F(WindowGatherTest, QueuedRestoreOutlivingItsGathererDoesNothing) {
    HeldQueue queue;
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(20, "Pages");
    desk.front = 10;
    desk.revealOnActivate = {20};
    uint32_t a = desk.addWindow(20, onPhysical(400, 300));
    desk.edit(a, [](FakeDesk::Win& w) { w.accessible = false; });
    {
        WindowGather shortLived(clock, log, desk, desk, desk, desk, &queue);
        EXPECT_EQ(shortLived.gatherWindows(20, true), 1);
    }
    queue.runAll();
    EXPECT_EQ(desk.activations, (std::vector<int32_t>{20}));
}

class WindowWatcherTest : public WindowGatherTest {};

TEST_F(WindowWatcherTest, ExistingWindowsAreLeftAndNewOnesGathered) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    desk.addApp(11, "Helper", ActivationPolicy::accessory);
    desk.addApp(12, "Mail");
    uint32_t old = desk.addWindow(10, onPhysical(400, 300));
    double oldX = desk.window(old).frame.x;

    double before = clock.now();
    for (int i = 0; i < 8; ++i) gather.pass();
    EXPECT_NEAR(clock.now() - before, 8.0, 1e-6);
    EXPECT_EQ(desk.window(old).frame.x, oldX);
    EXPECT_TRUE(desk.positionSets.empty());

    uint32_t fresh = desk.addWindow(12, onPhysical(400, 300));
    uint32_t accessory = desk.addWindow(11, onPhysical(400, 300));
    double accessoryX = desk.window(accessory).frame.x;
    gather.pass();
    EXPECT_EQ(desk.window(fresh).frame.x, 40);
    EXPECT_EQ(desk.window(accessory).frame.x, accessoryX);
    EXPECT_EQ(desk.window(old).frame.x, oldX);  // gathered per owner: Notes was not asked
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "새 창이 주 화면 밖에 떴다 — pid [12]");
    EXPECT_EQ(lines[1], "창 모으기 — 후보 1개 중 1개 옮김");
}

TEST_F(WindowWatcherTest, NewWindowsOfSeveralAppsAreListedInOrder) {
    phoneShapedMain();
    for (int32_t pid : {31, 7, 19}) desk.addApp(pid, "App" + std::to_string(pid));
    gather.pass();
    for (int32_t pid : {31, 7, 19}) desk.addWindow(pid, onPhysical(400, 300));
    uint32_t onMain = desk.addWindow(31, Rect{20, 50, 300, 300});
    gather.pass();
    std::vector<std::string> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "새 창이 주 화면 밖에 떴다 — pid [7, 19, 31]");
    EXPECT_EQ(vm::testing::countOf(vm::testing::readAll(dir.path + "/inputd.log"), "창 모으기 — 후보 1개 중 1개 옮김"), 3);
    EXPECT_EQ(desk.window(onMain).frame.x, 20);
}

TEST_F(WindowWatcherTest, OnlyWindowsNewerThanSixSecondsCount) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    gather.pass();
    // Opens on Main, then is moved off it once it is no longer new.
    uint32_t w = desk.addWindow(10, Rect{20, 50, 300, 300});
    for (int i = 0; i < 7; ++i) gather.pass();
    desk.edit(w, [](FakeDesk::Win& win) { win.frame.x = 900; });
    gather.pass();
    EXPECT_EQ(desk.window(w).frame.x, 900);

    // Moved off Main while still new: gathered (another app, so the old one stays put).
    desk.addApp(12, "Mail");
    uint32_t v = desk.addWindow(12, Rect{20, 50, 300, 300});
    gather.pass();
    desk.edit(v, [](FakeDesk::Win& win) { win.frame.x = 900; });
    gather.pass();
    EXPECT_EQ(desk.window(v).frame.x, 40);
    EXPECT_EQ(desk.window(w).frame.x, 900);
}

TEST_F(WindowWatcherTest, PassesWaitForBothDisplaysAndReportAliveEvery15th) {
    desk.addDisplay(kPhysId, Rect{0, 0, 1920, 1080}, 0x610);
    desk.mainId = kPhysId;
    desk.addApp(10, "Notes");
    desk.addWindow(10, Rect{100, 100, 400, 300});
    desk.addWindow(10, Rect{600, 100, 400, 300});
    for (int i = 0; i < 20; ++i) gather.pass();
    EXPECT_TRUE(logLines().empty());  // skipped passes are not counted

    // The virtual display arrives and becomes main: the windows already there seed the
    // watch in its first real pass and stay where they are.
    desk.disps[0].bounds.x = 585;
    desk.edit(100, [](FakeDesk::Win& w) { w.frame.x += 585; });
    desk.edit(101, [](FakeDesk::Win& w) { w.frame.x += 585; });
    desk.addDisplay(kVirtId, Rect{0, 0, 585, 1266}, kVirtualVendor);
    desk.mainId = kVirtId;
    for (int i = 0; i < 14; ++i) gather.pass();
    EXPECT_TRUE(logLines().empty());
    gather.pass();
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 감시 살아있음 — 창 2개"});
    EXPECT_TRUE(desk.positionSets.empty());

    // Closed windows are forgotten.
    desk.wins.erase(100);
    for (int i = 0; i < 15; ++i) gather.pass();
    EXPECT_EQ(logLines().back(), "창 감시 살아있음 — 창 1개");
}

TEST_F(WindowWatcherTest, LoopLogsItsStartAndStopsWhenAsked) {
    phoneShapedMain();
    desk.addApp(10, "Notes");
    std::thread watcher([this] { gather.watchNewWindows(); });
    // The fake clock makes passes instant; wait until some have run, then stop.
    while (clock.now() < 1'800'000'000.0 + 30) std::this_thread::yield();
    gather.stopWatching();
    watcher.join();
    std::vector<std::string> lines = logLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "창 감시 시작");
    EXPECT_EQ(lines[1], "창 감시 살아있음 — 창 0개");
}

}  // namespace

// The same gathering against the in-memory desktop the agent runs on without a display server.
namespace {

const char* kHeadlessScene = R"({
  "displays": [
    {"width": 585, "height": 1266, "scale": 2, "vendor": 13398, "name": "Phone"},
    {"width": 1920, "height": 1080, "name": "Built-in"}
  ],
  "apps": [
    {"pid": 41, "name": "Notes", "bundleID": "com.example.notes", "policy": "regular"},
    {"pid": 42, "name": "Pages", "bundleID": "com.example.pages", "policy": "regular",
     "hiddenWindowsUntilActivated": true},
    {"pid": 43, "name": "Mail", "bundleID": "com.example.mail", "policy": "regular"}
  ],
  "frontmost": 41,
  "windows": [
    {"owner": 41, "number": 1, "x": 700, "y": 100, "width": 1200, "height": 800},
    {"owner": 42, "number": 2, "x": 800, "y": 200, "width": 400, "height": 300, "accessible": false},
    {"owner": 43, "number": 3, "x": 20, "y": 60, "width": 400, "height": 300}
  ]
})";

class HeadlessGatherTest : public ::testing::Test {
protected:
    static Locations locationsIn(const std::string& root) {
        Locations l;
        l.home = root;
        l.logDir = root + "/log";
        l.supportDir = root + "/support";
        l.groupDir = root + "/group";
        l.receivedDir = root + "/received";
        l.runtimeDir = root + "/run";
        return l;
    }
    std::vector<std::string> logLines() {
        std::vector<std::string> out;
        std::istringstream in(vm::testing::readAll(dir.path + "/inputd.log"));
        for (std::string l; std::getline(in, l);) out.push_back(l.size() > 14 ? l.substr(14) : l);
        return out;
    }
    Rect frameOf(uint32_t number) { return desktop.workspaceDesk().window(number).value().frame; }

    vm::testing::TempDir dir{"vm-gather-headless"};
    FakeClock clock;
    Logger log{dir.path, clock};
    headless::HeadlessDesktop desktop{locationsIn(dir.path), headless::Scene::parse(kHeadlessScene)};
    WindowGather gather{clock,   log, desktop.displays(), desktop.workspace(), desktop.windowServer(),
                        desktop.windowElements()};
};

TEST_F(HeadlessGatherTest, GathersVisibleAndWokenWindowsOntoThePhoneDisplay) {
    auto pair = gather.twoDisplays();
    ASSERT_TRUE(pair);
    EXPECT_EQ(desktop.vendorNumber(pair->virt), kVirtualVendor);
    EXPECT_EQ(pair->virt, desktop.mainDisplay());

    EXPECT_EQ(gather.gatherWindows(std::nullopt, true), 2);
    Rect notes = frameOf(1);
    EXPECT_EQ(notes.width, 585);
    EXPECT_EQ(notes.height, 800);
    EXPECT_EQ(notes.x, 0);
    EXPECT_EQ(notes.y, 30);
    Rect pages = frameOf(2);
    EXPECT_EQ(pages.width, 400);
    EXPECT_EQ(pages.x, 40 + 32);  // second moved window of the run
    EXPECT_EQ(pages.y, 30 + 28);
    Rect mail = frameOf(3);
    EXPECT_EQ(mail.x, 20);  // already on the phone's display
    // Notes, in front before the wake, is back in front.
    EXPECT_EQ(desktop.workspace().frontmostApp(), std::optional<int32_t>(41));
    EXPECT_EQ(logLines(), std::vector<std::string>{"창 모으기 — 후보 2개 중 2개 옮김, 1개는 앱을 깨워서 찾음"});
}

TEST_F(HeadlessGatherTest, WatcherGathersAWindowOpenedOnThePhysicalDisplay) {
    gather.pass();
    gather.pass();
    EXPECT_GT(frameOf(1).x, 585);  // there before the watch began

    headless::HeadlessWindow w;
    w.owner = 43;
    w.frame = Rect{900, 300, 500, 400};
    uint32_t fresh = desktop.workspaceDesk().addWindow(w);
    double opened = clock.now();
    gather.pass();
    EXPECT_LE(clock.now() - opened, 2.0);
    Rect f = frameOf(fresh);
    EXPECT_EQ(f.x, 40);
    EXPECT_EQ(f.y, 30);
    EXPECT_GT(frameOf(1).x, 585);
    std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "새 창이 주 화면 밖에 떴다 — pid [43]");
}

}  // namespace
