// The display policy on the headless desktop: which display is main, physical
// displays off and on with the state file, creation and the grace / quiet-phone
// removals of the virtual display, and resolution changes of a physical main display.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "display/display_policy.h"
#include "platform/headless/headless_desktop.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace vm;
using vm::platform::DisplayID;
using vm::platform::DisplayMode;
using vm::platform::headless::HeadlessDesktop;
using vm::platform::headless::Scene;
using vm::testing::countOf;
using vm::testing::readAll;
using vm::testing::TempDir;

namespace {

// The headless desktop's display services with one fault it cannot stage by
// itself: transactions whose completion fails (and then change nothing).
class CompletionFaults final : public platform::Displays {
public:
    explicit CompletionFaults(platform::Displays& inner) : in_(inner) {}
    int completeStatus = 0;
    std::vector<bool> modesAskedWithTwins;

    uint32_t onlineCount() override { return in_.onlineCount(); }
    std::vector<DisplayID> activeDisplays(uint32_t max = 16) override { return in_.activeDisplays(max); }
    std::vector<DisplayID> onlineDisplays(uint32_t max = 16) override { return in_.onlineDisplays(max); }
    DisplayID mainDisplay() override { return in_.mainDisplay(); }
    bool isOnline(DisplayID id) override { return in_.isOnline(id); }
    bool isAgentVirtual(DisplayID id) override { return vendorNumber(id) == platform::kVirtualVendor; }
    uint32_t vendorNumber(DisplayID id) override { return in_.vendorNumber(id); }
    uint32_t productNumber(DisplayID id) override { return in_.productNumber(id); }
    uint32_t serialNumber(DisplayID id) override { return in_.serialNumber(id); }
    platform::Rect bounds(DisplayID id) override { return in_.bounds(id); }
    std::optional<DisplayMode> currentMode(DisplayID id) override { return in_.currentMode(id); }
    std::optional<std::vector<DisplayMode>> modes(DisplayID id, bool twins) override {
        modesAskedWithTwins.push_back(twins);
        return in_.modes(id, twins);
    }
    platform::Size physicalSizeMM(DisplayID id) override { return in_.physicalSizeMM(id); }
    std::vector<platform::ScreenInfo> screens() override { return in_.screens(); }
    void onReconfigure(std::function<void()> cb) override { in_.onReconfigure(std::move(cb)); }
    std::unique_ptr<platform::VirtualDisplay> createVirtualDisplay(const platform::VirtualDisplayDescriptor& d) override {
        return in_.createVirtualDisplay(d);
    }
    bool virtualDisplaySupported() override { return in_.virtualDisplaySupported(); }
    std::optional<std::string> inspectInChild(DisplayID id, const std::function<std::string(DisplayID)>& f) override {
        return in_.inspectInChild(id, f);
    }

    std::unique_ptr<platform::DisplayConfig> beginConfiguration() override {
        auto cfg = in_.beginConfiguration();
        if (!cfg) return nullptr;
        return std::make_unique<Config>(std::move(cfg), *this);
    }

private:
    class Config final : public platform::DisplayConfig {
    public:
        Config(std::unique_ptr<platform::DisplayConfig> c, CompletionFaults& o) : c_(std::move(c)), o_(o) {}
        void setMode(DisplayID id, const DisplayMode& m) override { c_->setMode(id, m); }
        void stopMirroring(DisplayID id) override { c_->stopMirroring(id); }
        void setOrigin(DisplayID id, int32_t x, int32_t y) override { c_->setOrigin(id, x, y); }
        int setEnabled(DisplayID id, bool on) override { return c_->setEnabled(id, on); }
        int complete(bool permanent) override {
            if (o_.completeStatus == 0) return c_->complete(permanent);
            c_->cancel();
            return o_.completeStatus;
        }
        void cancel() override { c_->cancel(); }

    private:
        std::unique_ptr<platform::DisplayConfig> c_;
        CompletionFaults& o_;
    };
    platform::Displays& in_;
};

constexpr const char* kNoDisplay = "{}";
constexpr const char* kOneMonitor = R"({"displays": [{"width": 1440, "height": 900, "scale": 2}]})";
constexpr const char* kTwoMonitors =
    R"({"displays": [{"width": 1440, "height": 900, "scale": 2}, {"width": 1920, "height": 1080}]})";

class DisplayPolicyTest : public ::testing::Test {
protected:
    DisplayPolicy& start(const std::string& scene, MainQueue* mq = nullptr) {
        platform::Locations where;
        where.home = dir.path;
        where.supportDir = dir.path + "/support";
        where.logDir = dir.path + "/logs";
        desk = std::make_unique<HeadlessDesktop>(where, Scene::parse(scene));
        displays = std::make_unique<CompletionFaults>(*desk);
        VDispHooks h;
        h.alive = [this] { return vd && desk->isOnline(vd->displayID()); };
        h.create = [this] {
            ++creates;
            // A phone-shaped HiDPI display, as the virtual display core makes it.
            platform::VirtualDisplayDescriptor dsc;
            dsc.name = "Vellomark Virtual";
            dsc.maxPixelsWide = 4096;
            dsc.maxPixelsHigh = 4096;
            dsc.vendorID = platform::kVirtualVendor;
            dsc.productID = 19536;
            dsc.serialNum = 1;
            vd = desk->createVirtualDisplay(dsc);
            platform::VirtualDisplaySettings settings;
            settings.modes = {{585, 1266, 120}};
            if (vd && !vd->applySettings(settings)) vd.reset();
        };
        h.destroy = [this] {
            ++destroys;
            vd.reset();
        };
        h.setSize = [](uint32_t, uint32_t) { return 0; };
        hooks.vdispHooks = h;
        policy = std::make_unique<DisplayPolicy>(DisplayPolicyDeps{
            clock, log, *displays, hooks, phone, vdispLock, mq, nullptr,
            [this](std::optional<int32_t> pid, bool wake) {
                EXPECT_FALSE(pid.has_value());
                EXPECT_TRUE(wake);
                ++gathers;
                return 0;
            },
            statePath(), [this] { return blocked.load(); }});
        return *policy;
    }
    std::string statePath() const { return dir.path + "/support/physical-off"; }
    void writeState(const std::string& text) {
        fs::create_directories(fs::path(statePath()).parent_path());
        std::ofstream(statePath(), std::ios::binary) << text;
    }
    std::string logText() { return readAll(log.cursorLogPath()); }
    DisplayID virtID() const { return vd ? vd->displayID() : 0; }
    void addVirtual() {
        hooks.vdispHooks->create();
        ASSERT_NE(virtID(), 0u);
    }
    // Switches a display off behind the policy's back (as a crashed run left it).
    void switchOff(DisplayID id) {
        auto cfg = desk->beginConfiguration();
        ASSERT_TRUE(cfg);
        ASSERT_EQ(cfg->setEnabled(id, false), 0);
        ASSERT_EQ(cfg->complete(false), 0);
    }

    TempDir dir{"vm-policy"};
    FakeClock clock;
    Logger log{dir.path + "/logs", clock};
    std::unique_ptr<HeadlessDesktop> desk;
    std::unique_ptr<CompletionFaults> displays;
    std::unique_ptr<platform::VirtualDisplay> vd;
    HookTables hooks;
    PhoneState phone{clock.now()};
    TryLock vdispLock;
    int gathers = 0, creates = 0, destroys = 0;
    std::atomic<bool> blocked{false};  // locked, or another user on the console
    std::unique_ptr<DisplayPolicy> policy;
};

// ---- Pairs and the main display ---------------------------------------------

TEST_F(DisplayPolicyTest, NoPairWithoutBothKindsAndSetMainDoesNothing) {
    auto& p = start(kTwoMonitors);
    EXPECT_FALSE(p.twoDisplays());
    p.setMain(true, true);
    p.setMain(false, true);
    EXPECT_FALSE(p.mainIsVirtual());

    auto& q = start(kNoDisplay);
    addVirtual();
    EXPECT_FALSE(q.twoDisplays());
    EXPECT_TRUE(q.mainIsVirtual());  // no pair, but the main display is the virtual one
    q.setMain(false, true);
    EXPECT_EQ(desk->completedTransactions(), 0);
    EXPECT_EQ(gathers, 0);
    EXPECT_EQ(logText(), "");
}

TEST_F(DisplayPolicyTest, SetMainPutsTheOtherDisplayRightOfTheTargetsPixels) {
    auto& p = start(kOneMonitor);
    addVirtual();
    auto pair = p.twoDisplays();
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->virt, virtID());
    EXPECT_EQ(pair->phys, 1u);
    EXPECT_FALSE(p.mainIsVirtual());

    p.setMain(true, true);
    EXPECT_EQ(desk->mainDisplay(), virtID());
    EXPECT_EQ(desk->bounds(1).x, 1170);  // the virtual display's pixel width
    EXPECT_EQ(desk->lastCompletionPermanent(), std::optional<bool>(true));
    EXPECT_TRUE(p.mainIsVirtual());
    EXPECT_EQ(gathers, 3);  // at 1, 4 and 10 s
    EXPECT_EQ(countOf(logText(), "주 화면 → 가상\n"), 1);

    // Already main: nothing to do.
    const int done = desk->completedTransactions();
    p.setMain(true, true);
    EXPECT_EQ(desk->completedTransactions(), done);

    p.setMain(false, false);
    EXPECT_EQ(desk->mainDisplay(), 1u);
    EXPECT_EQ(desk->bounds(virtID()).x, 2880);
    EXPECT_EQ(gathers, 3);
    EXPECT_EQ(countOf(logText(), "주 화면 → 물리\n"), 1);
}

TEST_F(DisplayPolicyTest, SetMainFailuresChangeNothing) {
    auto& p = start(kOneMonitor);
    addVirtual();
    desk->setBeginConfigurationFails(true);
    p.setMain(true, true);
    EXPECT_EQ(logText(), "");
    desk->setBeginConfigurationFails(false);
    displays->completeStatus = 1004;
    p.setMain(true, true);
    EXPECT_EQ(desk->mainDisplay(), 1u);
    EXPECT_EQ(gathers, 0);
    EXPECT_EQ(countOf(logText(), "주 화면 전환 실패\n"), 1);
    EXPECT_EQ(countOf(logText(), "주 화면 →"), 0);
}

// ---- Physical displays off ---------------------------------------------------

TEST_F(DisplayPolicyTest, OffNeedsAVirtualDisplayAndIsDoneWithOnlyVirtualOnes) {
    auto& p = start(kOneMonitor);
    EXPECT_FALSE(p.physicalDisplaysOff());
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_FALSE(fs::exists(statePath()));

    auto& q = start(kNoDisplay);
    addVirtual();
    EXPECT_TRUE(q.physicalDisplaysOff());
    EXPECT_TRUE(q.physicalOff().empty());
    EXPECT_EQ(desk->completedTransactions(), 0);
    EXPECT_EQ(logText(), "");
}

TEST_F(DisplayPolicyTest, OffSwitchesEveryPhysicalDisplayForTheSessionAndWritesTheStateFile) {
    auto& p = start(kTwoMonitors);
    addVirtual();
    ASSERT_TRUE(p.physicalDisplaysOff());
    EXPECT_FALSE(desk->isOnline(1));
    EXPECT_FALSE(desk->isOnline(2));
    EXPECT_EQ(desk->activeDisplays(), std::vector<DisplayID>{virtID()});
    EXPECT_EQ(desk->lastCompletionPermanent(), std::optional<bool>(false));  // until log-out only
    EXPECT_EQ(p.physicalOff(), (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(readAll(statePath()), "1 2");
    // No temporary file is left beside it.
    int files = 0;
    for (const auto& e : fs::directory_iterator(fs::path(statePath()).parent_path())) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
    EXPECT_EQ(countOf(logText(), "물리 화면을 껐다 — [1, 2] · 창은 macOS 가 가상 화면으로 옮긴다\n"), 1);

    // Already off: answered without a transaction.
    EXPECT_TRUE(p.physicalDisplaysOff());
    EXPECT_EQ(desk->completedTransactions(), 1);
}

TEST_F(DisplayPolicyTest, AFailedOffHoldsFurtherAttemptsBackForTenSeconds) {
    auto& p = start(kOneMonitor);
    addVirtual();
    desk->setEnableFailure(-7);
    EXPECT_FALSE(p.physicalDisplaysOff());
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_FALSE(fs::exists(statePath()));
    EXPECT_EQ(countOf(logText(), "⚠︎ 물리 화면 끄기 실패 (-7) — 창 모으기로 대신한다\n"), 1);

    desk->setEnableFailure(0);
    clock.advance(9.9);
    EXPECT_FALSE(p.physicalDisplaysOff());
    EXPECT_TRUE(desk->isOnline(1));  // not even tried
    clock.advance(0.2);
    EXPECT_TRUE(p.physicalDisplaysOff());
    EXPECT_FALSE(desk->isOnline(1));
}

TEST_F(DisplayPolicyTest, AFailedCompletionIsReportedWithItsStatus) {
    auto& p = start(kOneMonitor);
    addVirtual();
    displays->completeStatus = 1010;
    EXPECT_FALSE(p.physicalDisplaysOff());
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_TRUE(p.physicalOff().empty());
    EXPECT_FALSE(fs::exists(statePath()));
    EXPECT_EQ(countOf(logText(), "⚠︎ 물리 화면 끄기 실패 (1010) — 창 모으기로 대신한다\n"), 1);
    displays->completeStatus = 0;
    desk->setBeginConfigurationFails(true);
    clock.advance(11);
    EXPECT_FALSE(p.physicalDisplaysOff());
    EXPECT_EQ(countOf(logText(), "실패"), 1);  // a transaction that cannot begin says nothing
}

// ---- Physical displays on ----------------------------------------------------

TEST_F(DisplayPolicyTest, OnUndoesOffAndDeletesTheStateFile) {
    auto& p = start(kOneMonitor);
    addVirtual();
    ASSERT_TRUE(p.physicalDisplaysOff());
    const double before = clock.now();
    p.physicalDisplaysOn();
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_FALSE(fs::exists(statePath()));
    EXPECT_TRUE(p.physicalOff().empty());
    EXPECT_EQ(desk->lastCompletionPermanent(), std::optional<bool>(false));
    EXPECT_EQ(clock.now(), before);  // the display was back at the first look
    EXPECT_EQ(countOf(logText(), "물리 화면을 켰다 — [1]\n"), 1);

    // Nothing wanted: nothing done, nothing logged.
    p.physicalDisplaysOn();
    EXPECT_EQ(desk->completedTransactions(), 2);
    EXPECT_EQ(countOf(logText(), "물리 화면을 켰다"), 1);
}

TEST_F(DisplayPolicyTest, StateFilesLeftByAnEarlierRunNeverKeepDisplaysDark) {
    // Written by hand or half-broken: only decimal 32-bit identifiers count.
    writeState("abc 99999999999 -4 0 2x +5 4294967296\n\t2\n");
    auto& p = start(kTwoMonitors);
    switchOff(2);
    ASSERT_FALSE(desk->isOnline(2));
    // What the input side does first thing at start.
    p.physicalDisplaysOn();
    EXPECT_TRUE(desk->isOnline(2));
    EXPECT_FALSE(fs::exists(statePath()));
    EXPECT_EQ(countOf(logText(), "물리 화면을 켰다 — [2]\n"), 1);

    // Only identifiers that no longer exist: enabled in vain, the file goes, the wait is bounded.
    writeState("77 4294967295");
    const double before = clock.now();
    p.physicalDisplaysOn();
    EXPECT_FALSE(fs::exists(statePath()));
    EXPECT_NEAR(clock.now() - before, 2.0, 1e-3);  // 20 looks, 0.1 s apart
    EXPECT_EQ(countOf(logText(), "물리 화면을 켰다 — [77, 4294967295]\n"), 1);

    // Nothing usable at all, or a folder where the file should be: nothing to switch on.
    const int done = desk->completedTransactions();
    writeState(std::string(100000, '\xff'));
    p.physicalDisplaysOn();
    fs::remove(statePath());
    fs::create_directories(statePath());
    p.physicalDisplaysOn();
    EXPECT_EQ(desk->completedTransactions(), done);
}

TEST_F(DisplayPolicyTest, OnKeepsTheListWhenTheTransactionFails) {
    auto& p = start(kOneMonitor);
    addVirtual();
    ASSERT_TRUE(p.physicalDisplaysOff());

    desk->setBeginConfigurationFails(true);
    p.physicalDisplaysOn();
    EXPECT_EQ(readAll(statePath()), "1");
    EXPECT_EQ(p.physicalOff(), (std::vector<uint32_t>{1}));

    desk->setBeginConfigurationFails(false);
    displays->completeStatus = 1004;
    const double before = clock.now();
    p.physicalDisplaysOn();
    EXPECT_EQ(countOf(logText(), "물리 화면을 켰다 — [1] ⚠︎ 설정 완료 실패\n"), 1);
    EXPECT_EQ(clock.now(), before);  // nothing to wait for
    // Still dark, so still remembered: the next call tries again.
    EXPECT_FALSE(desk->isOnline(1));
    EXPECT_EQ(readAll(statePath()), "1");

    displays->completeStatus = 0;
    p.physicalDisplaysOn();
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_FALSE(fs::exists(statePath()));
}

TEST(PhysicalOffIds, OnlyDecimal32BitIdentifiersCount) {
    EXPECT_EQ(parsePhysicalOffIds("1 2  3"), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(parsePhysicalOffIds(" 12\n"), (std::vector<uint32_t>{12}));
    EXPECT_EQ(parsePhysicalOffIds("4294967295"), (std::vector<uint32_t>{4294967295u}));
    EXPECT_TRUE(parsePhysicalOffIds("4294967296 00000000004294967296 -1 +2 0x10 abc 0 ½").empty());
    EXPECT_TRUE(parsePhysicalOffIds("").empty());
}

// ---- Creation, grace and the quiet phone --------------------------------------

TEST_F(DisplayPolicyTest, EnsureCreatesOnlyWhenThePhoneWantsTheScreen) {
    auto& p = start(kOneMonitor);
    p.ensureVDisp();
    EXPECT_EQ(creates, 0);

    phone.phoneWantsScreen = true;
    p.ensureVDisp();
    EXPECT_EQ(creates, 1);
    EXPECT_TRUE(p.hadPhysicalAtCreate());
    EXPECT_EQ(desk->mainDisplay(), virtID());
    EXPECT_FALSE(desk->isOnline(1));
    EXPECT_EQ(gathers, 4);  // three after the main switch, one a second after creation
    EXPECT_EQ(countOf(logText(), "폰이 돌아왔다 — 가상 화면을 다시 세운다 (물리 화면 1대를 맡아 둔다)\n"), 1);

    p.ensureVDisp();  // alive: nothing more
    EXPECT_EQ(creates, 1);
}

TEST_F(DisplayPolicyTest, EnsureWithoutMonitorAndWithTheLockHeld) {
    auto& p = start(kNoDisplay);
    phone.phoneWantsScreen = true;
    {
        std::lock_guard<TryLock> held(vdispLock);
        std::thread([&] { p.ensureVDisp(); }).join();
    }
    EXPECT_EQ(creates, 0);
    p.ensureVDisp();
    EXPECT_EQ(creates, 1);
    EXPECT_FALSE(p.hadPhysicalAtCreate());
    EXPECT_EQ(countOf(logText(), "폰이 돌아왔다 — 가상 화면을 다시 세운다\n"), 1);
}

TEST_F(DisplayPolicyTest, PhoneTrafficTakesTheScreenBack) {
    auto& p = start(kOneMonitor);
    phone.phoneWantsScreen = true;
    p.phoneTraffic();
    ASSERT_EQ(desk->mainDisplay(), virtID());
    // Something made the physical display main again (and on).
    p.physicalDisplaysOn();
    p.setMain(false, false);
    ASSERT_EQ(desk->mainDisplay(), 1u);
    p.phoneTraffic();
    // Main again at once; switching off waits out the pause after the last attempt.
    EXPECT_EQ(desk->mainDisplay(), virtID());
    EXPECT_TRUE(desk->isOnline(1));
    clock.advance(10);
    p.phoneTraffic();
    EXPECT_FALSE(desk->isOnline(1));
    EXPECT_EQ(creates, 1);
}

TEST_F(DisplayPolicyTest, NothingChangesOnScreenWhileItIsBlocked) {
    MainQueue mq;
    mq.adoptCurrentThread();
    auto& p = start(kOneMonitor, &mq);
    // HELLO came while the screen was blocked; the phone keeps talking.
    phone.phoneWantsScreen = true;
    blocked = true;
    p.phoneTraffic();
    p.ensureVDisp();
    mq.spinRunLoop(0.05);
    EXPECT_EQ(creates, 0);
    EXPECT_EQ(desk->mainDisplay(), 1u);
    EXPECT_TRUE(desk->isOnline(1));

    // A creation queued just before the screen got locked does not run after it.
    blocked = false;
    p.ensureVDisp();
    blocked = true;
    mq.spinRunLoop(0.05);
    EXPECT_EQ(creates, 0);

    // A display left from before stays out of the way: not made main, the monitor stays on.
    addVirtual();
    p.phoneTraffic();
    EXPECT_EQ(desk->mainDisplay(), 1u);
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_EQ(countOf(logText(), "주 화면"), 0);

    // The screen is ours again: the next traffic takes it.
    blocked = false;
    p.phoneTraffic();
    EXPECT_EQ(desk->mainDisplay(), virtID());
    EXPECT_FALSE(desk->isOnline(1));
}

TEST_F(DisplayPolicyTest, GraceWithoutHelloReleasesTheDisplay) {
    auto& p = start(kOneMonitor);
    phone.phoneWantsScreen = true;
    p.ensureVDisp();
    ASSERT_FALSE(desk->isOnline(1));
    // A new connection: the screen is up for grabs for 10 s.
    phone.phoneWantsScreen = false;
    p.setVDispGraceUntil(clock.now() + 10);
    clock.advance(9);
    p.sweepVDispGrace();
    EXPECT_EQ(destroys, 0);
    clock.advance(2);
    p.sweepVDispGrace();
    EXPECT_EQ(destroys, 1);
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_EQ(p.vdispGraceUntil(), 0);
    EXPECT_EQ(countOf(logText(), "새 연결이 조작 화면으로 안 들어왔다 — 가상 화면을 놓는다\n"), 1);
}

TEST_F(DisplayPolicyTest, GraceAfterHelloDoesNothing) {
    auto& p = start(kOneMonitor);
    addVirtual();
    p.setVDispGraceUntil(clock.now() + 10);
    // HELLO: the grace is over and the phone wants the screen.
    p.setVDispGraceUntil(0);
    phone.phoneWantsScreen = true;
    clock.advance(11);
    p.sweepVDispGrace();
    EXPECT_EQ(destroys, 0);

    // Expired while the phone wants the screen anyway: it just ends.
    p.setVDispGraceUntil(clock.now() + 10);
    clock.advance(11);
    p.sweepVDispGrace();
    EXPECT_EQ(destroys, 0);
    EXPECT_EQ(p.vdispGraceUntil(), 0);
    EXPECT_EQ(countOf(logText(), "새 연결"), 0);
}

TEST_F(DisplayPolicyTest, AQuietPhoneWithAMonitorLosesTheDisplayAfterThirtySeconds) {
    auto& p = start(kOneMonitor);
    phone.phoneWantsScreen = true;
    phone.phoneLastSeen = clock.now();
    p.ensureVDisp();
    ASSERT_TRUE(p.hadPhysicalAtCreate());

    clock.advance(29);
    p.quietPhone(clock.now() - phone.phoneLastSeen);
    EXPECT_EQ(destroys, 0);
    EXPECT_EQ(desk->mainDisplay(), virtID());

    clock.advance(2);
    p.quietPhone(clock.now() - phone.phoneLastSeen);
    EXPECT_EQ(destroys, 1);
    EXPECT_TRUE(desk->isOnline(1));
    EXPECT_EQ(desk->mainDisplay(), 1u);
    EXPECT_FALSE(fs::exists(statePath()));
    const auto text = logText();
    EXPECT_EQ(countOf(text, "주 화면 → 물리\n"), 1);
    EXPECT_EQ(countOf(text, "물리 화면을 켰다 — [1]\n"), 1);
    EXPECT_EQ(countOf(text, "폰이 30초 넘게 조용하다 — 가상 화면을 없앴다 (모니터가 있어 짧게 기다렸다)\n"), 1);
}

TEST_F(DisplayPolicyTest, AQuietPhoneWithoutAMonitorKeepsTheDisplayForFiveMinutes) {
    auto& p = start(kNoDisplay);
    phone.phoneWantsScreen = true;
    phone.phoneLastSeen = clock.now();
    p.ensureVDisp();
    ASSERT_FALSE(p.hadPhysicalAtCreate());
    for (double t : {31.0, 120.0, 299.0}) {
        clock.set(phone.phoneLastSeen + t);
        p.quietPhone(t);
    }
    EXPECT_EQ(destroys, 0);
    clock.set(phone.phoneLastSeen + 301);
    p.quietPhone(301);
    EXPECT_EQ(destroys, 1);
    const auto text = logText();
    EXPECT_EQ(countOf(text, "폰이 300초 넘게 조용하다 — 가상 화면을 없앴다\n"), 1);
    EXPECT_EQ(countOf(text, "모니터가 있어"), 0);
}

TEST_F(DisplayPolicyTest, QuietRemovalRechecksOnTheMainQueue) {
    MainQueue mq;
    mq.adoptCurrentThread();
    auto& p = start(kNoDisplay, &mq);
    addVirtual();
    phone.phoneLastSeen = clock.now() - 301;
    p.quietPhone(301);
    // The phone spoke before the queued removal ran.
    phone.phoneLastSeen = clock.now();
    mq.spinRunLoop(0.05);
    EXPECT_EQ(destroys, 0);

    phone.phoneLastSeen = clock.now() - 301;
    p.quietPhone(301);
    {
        // Another display procedure is running: the removal steps aside.
        std::lock_guard<TryLock> held(vdispLock);
        std::thread([&] { mq.spinRunLoop(0.05); }).join();
    }
    EXPECT_EQ(destroys, 0);
    p.quietPhone(301);
    mq.spinRunLoop(0.05);
    EXPECT_EQ(destroys, 1);
}

// ---- Size and resolution -------------------------------------------------------

TEST_F(DisplayPolicyTest, ModeChoicePrefersHiDPIThenTheHighestRefresh) {
    auto& p = start(R"({"displays": [{"width": 1440, "height": 900, "scale": 2, "modes": [
        {"width": 1280, "height": 800, "scale": 1, "refresh": 144},
        {"width": 1280, "height": 800, "scale": 2, "refresh": 60},
        {"width": 1280, "height": 800, "scale": 2, "refresh": 120},
        {"width": 1024, "height": 768, "scale": 1, "refresh": 60},
        {"width": 1024, "height": 768, "scale": 1, "refresh": 75}]}]})");
    EXPECT_EQ(p.currentDisplaySize(), std::make_pair(1440u, 900u));
    EXPECT_EQ(p.setDisplayMode(1280, 800), std::make_pair(1280u, 800u));
    auto mode = desk->currentMode(1);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelWidth, 2560u);
    EXPECT_EQ(mode->refresh, 120);
    EXPECT_EQ(desk->lastCompletionPermanent(), std::optional<bool>(true));
    EXPECT_EQ(displays->modesAskedWithTwins, std::vector<bool>{false});
    EXPECT_EQ(countOf(logText(), "해상도 1440×900 → 1280×800 (실픽셀 2560×1600, HiDPI) @120Hz (status 0)\n"), 1);

    // Plain modes only: the fastest.
    EXPECT_EQ(p.setDisplayMode(1024, 768), std::make_pair(1024u, 768u));
    EXPECT_EQ(desk->currentMode(1)->refresh, 75);
    EXPECT_EQ(countOf(logText(), "해상도 1280×800 → 1024×768 (실픽셀 1024×768) @75Hz (status 0)\n"), 1);

    EXPECT_EQ(p.setDisplayMode(1024, 768), std::make_pair(1024u, 768u));
    EXPECT_EQ(countOf(logText(), "해상도 이미 1024×768\n"), 1);
    EXPECT_EQ(desk->completedTransactions(), 2);

    // A transaction that cannot begin leaves the mode alone.
    desk->setBeginConfigurationFails(true);
    EXPECT_EQ(p.setDisplayMode(1280, 800), std::make_pair(1024u, 768u));
}

TEST_F(DisplayPolicyTest, OddZeroAndHugeSizesAreAnsweredWithTheCurrentSize) {
    auto& p = start(kOneMonitor);
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0, 0}, {1, 1}, {1439, 901}, {0, 900}, {32768, 32768},
                        {4294967295u, 4294967295u}}) {
        EXPECT_EQ(p.setDisplayMode(w, h), std::make_pair(1440u, 900u));
        EXPECT_EQ(countOf(logText(), "해상도 " + std::to_string(w) + "×" + std::to_string(h) + " 모드 없음\n"), 1);
    }
    EXPECT_EQ(desk->completedTransactions(), 0);
}

TEST_F(DisplayPolicyTest, AVirtualMainDisplayKeepsItsModeAndNoDisplayHasNoSize) {
    auto& p = start(kNoDisplay);
    EXPECT_EQ(p.currentDisplaySize(), std::make_pair(0u, 0u));
    EXPECT_EQ(p.setDisplayMode(1280, 800), std::make_pair(0u, 0u));
    addVirtual();
    EXPECT_EQ(p.setDisplayMode(1280, 800), std::make_pair(585u, 1266u));
    EXPECT_EQ(p.currentDisplaySize(), std::make_pair(585u, 1266u));
    EXPECT_EQ(desk->completedTransactions(), 0);
    EXPECT_EQ(countOf(logText(), "해상도 변경 무시 — 가상 디스플레이는 HiDPI 고정이다\n"), 1);
}

}  // namespace
