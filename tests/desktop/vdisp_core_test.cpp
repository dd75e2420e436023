// The virtual display core: sizes and their limits, creation with its retries and
// remembered serial, the main-display move, HiDPI enforcement, release, the
// creation lock and the diagnostic line.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "display/vdisp_core.h"
#include "platform/displays.h"
#include "platform/headless/headless_desktop.h"
#include "support/test_files.h"

using namespace vm;
using platform::DisplayID;
using platform::DisplayMode;

namespace {

// A small window server: physical displays the test adds, virtual displays the
// core creates, modes with their 1x twins, transactions applied on complete.
class FakeDisplays final : public platform::Displays {
public:
    struct Disp {
        DisplayID id = 0;
        uint32_t vendor = 0;
        uint32_t serial = 0;
        int32_t x = 0, y = 0;
        std::optional<DisplayMode> current;
        std::vector<DisplayMode> modes;  // in list order; 1x twins marked below
        std::vector<bool> lowResTwin;
        bool online = true;
        double mmW = 0, mmH = 0;
        bool isVirtual = false;
        uint32_t maxPxW = 0, maxPxH = 0;
    };

    class Virtual final : public platform::VirtualDisplay {
    public:
        Virtual(FakeDisplays& owner, DisplayID id) : owner_(owner), id_(id) {}
        ~Virtual() override { owner_.removeDisplay(id_); }
        bool applySettings(const platform::VirtualDisplaySettings& s) override { return owner_.apply(id_, s); }
        DisplayID displayID() const override { return id_; }

    private:
        FakeDisplays& owner_;
        DisplayID id_;
    };

    class Config final : public platform::DisplayConfig {
    public:
        explicit Config(FakeDisplays& owner) : owner_(owner) {}
        void setMode(DisplayID id, const DisplayMode& m) override { ops_.push_back([=, this] { owner_.setModeNow(id, m); }); }
        void stopMirroring(DisplayID id) override {
            ops_.push_back([=, this] { owner_.unmirrored.push_back(id); });
        }
        void setOrigin(DisplayID id, int32_t x, int32_t y) override {
            ops_.push_back([=, this] {
                if (auto* d = owner_.find(id)) d->x = x, d->y = y;
            });
        }
        int setEnabled(DisplayID, bool) override { return 0; }
        int complete(bool permanent) override {
            for (auto& op : ops_) op();
            ops_.clear();
            owner_.completions.push_back(permanent);
            return owner_.completeStatus;
        }
        void cancel() override { ops_.clear(); }

    private:
        FakeDisplays& owner_;
        std::vector<std::function<void()>> ops_;
    };

    // Knobs.
    bool supported = true;
    bool creationFails = false;
    bool settingsFail = false;
    int lowScaleNext = 0;          // the next N virtual displays come up at 1x
    bool modesUnreadable = false;
    bool beginFails = false;
    bool setModeIgnored = false;   // our view of the current mode lags behind
    int completeStatus = 0;
    std::set<DisplayID> hiddenFromScreens;
    // Replaces the fresh look of the diagnostic child; nullopt = the child said nothing.
    std::optional<std::function<std::optional<std::string>(DisplayID)>> childAnswer;

    // Records.
    std::vector<platform::VirtualDisplayDescriptor> descriptors;
    std::vector<DisplayID> destroyed;
    std::vector<DisplayID> unmirrored;
    std::vector<bool> completions;
    int childCalls = 0;
    int applyCalls = 0;

    DisplayID addPhysical(uint32_t w, uint32_t h, double scale, int32_t x) {
        Disp d;
        d.id = nextID_++;
        d.vendor = 1552;
        d.x = x;
        DisplayMode m{w, h, static_cast<uint32_t>(w * scale), static_cast<uint32_t>(h * scale), 60.0, 0x3};
        d.current = m;
        d.modes = {m};
        d.lowResTwin = {false};
        d.mmW = w / 3.78;
        d.mmH = h / 3.78;
        displays_.push_back(d);
        return d.id;
    }

    Disp* find(DisplayID id) {
        for (auto& d : displays_)
            if (d.id == id) return &d;
        return nullptr;
    }

    void setModeNow(DisplayID id, const DisplayMode& m) {
        if (setModeIgnored) return;
        if (auto* d = find(id)) d->current = m;
    }

    void removeDisplay(DisplayID id) {
        destroyed.push_back(id);
        displays_.erase(std::remove_if(displays_.begin(), displays_.end(), [&](const Disp& d) { return d.id == id; }),
                        displays_.end());
    }

    bool apply(DisplayID id, const platform::VirtualDisplaySettings& s) {
        ++applyCalls;
        Disp* d = find(id);
        if (!d || settingsFail || s.modes.empty()) return false;
        std::vector<DisplayMode> modes;
        std::vector<bool> twins;
        for (const auto& wanted : s.modes) {
            if (wanted.width * 2 > d->maxPxW || wanted.height * 2 > d->maxPxH) return false;
            modes.push_back({wanted.width, wanted.height, wanted.width * 2, wanted.height * 2, wanted.refreshRate, 0x2000003});
            twins.push_back(false);
            modes.push_back({wanted.width, wanted.height, wanted.width, wanted.height, wanted.refreshRate, 0x3});
            twins.push_back(true);
        }
        const bool wasOnline = d->online;
        d->modes = modes;
        d->lowResTwin = twins;
        if (!wasOnline && lowScaleNext > 0) {
            --lowScaleNext;
            d->current = modes[1];
        } else {
            d->current = modes[0];
        }
        d->online = true;
        return true;
    }

    // platform::Displays
    uint32_t onlineCount() override { return static_cast<uint32_t>(onlineDisplays(16).size()); }
    std::vector<DisplayID> activeDisplays(uint32_t max) override {
        std::vector<DisplayID> out;
        for (auto& d : displays_)
            if (d.online && out.size() < max) out.push_back(d.id);
        return out;
    }
    std::vector<DisplayID> onlineDisplays(uint32_t max) override { return activeDisplays(max); }
    DisplayID mainDisplay() override {
        for (auto& d : displays_)
            if (d.online && d.x == 0 && d.y == 0) return d.id;
        auto a = activeDisplays(16);
        return a.empty() ? 0 : a.front();
    }
    bool isOnline(DisplayID id) override {
        auto* d = find(id);
        return d && d->online;
    }
    bool isAgentVirtual(DisplayID id) override { return vendorNumber(id) == platform::kVirtualVendor; }
    uint32_t vendorNumber(DisplayID id) override { return find(id) ? find(id)->vendor : 0; }
    uint32_t productNumber(DisplayID) override { return 0; }
    uint32_t serialNumber(DisplayID id) override { return find(id) ? find(id)->serial : 0; }
    platform::Rect bounds(DisplayID id) override {
        auto* d = find(id);
        if (!d || !d->current) return {};
        return {double(d->x), double(d->y), double(d->current->width), double(d->current->height)};
    }
    std::optional<DisplayMode> currentMode(DisplayID id) override {
        auto* d = find(id);
        if (!d) return std::nullopt;
        return d->current;
    }
    std::optional<std::vector<DisplayMode>> modes(DisplayID id, bool withTwins) override {
        auto* d = find(id);
        if (!d || modesUnreadable) return std::nullopt;
        std::vector<DisplayMode> out;
        for (size_t i = 0; i < d->modes.size(); ++i)
            if (withTwins || !d->lowResTwin[i]) out.push_back(d->modes[i]);
        return out;
    }
    platform::Size physicalSizeMM(DisplayID id) override {
        auto* d = find(id);
        if (!d) return {};
        return {d->mmW, d->mmH};
    }
    std::vector<platform::ScreenInfo> screens() override {
        std::vector<platform::ScreenInfo> out;
        for (auto& d : displays_) {
            if (!d.online || !d.current || hiddenFromScreens.count(d.id)) continue;
            out.push_back({d.id, double(d.current->pixelWidth) / d.current->width});
        }
        return out;
    }
    std::unique_ptr<platform::DisplayConfig> beginConfiguration() override {
        if (beginFails) return nullptr;
        return std::make_unique<Config>(*this);
    }
    void onReconfigure(std::function<void()>) override {}
    std::unique_ptr<platform::VirtualDisplay> createVirtualDisplay(const platform::VirtualDisplayDescriptor& desc) override {
        descriptors.push_back(desc);
        if (creationFails) return nullptr;
        Disp d;
        d.id = nextID_++;
        d.vendor = desc.vendorID;
        d.serial = desc.serialNum;
        d.online = false;  // comes up once settings are applied
        d.isVirtual = true;
        d.maxPxW = desc.maxPixelsWide;
        d.maxPxH = desc.maxPixelsHigh;
        d.mmW = desc.widthMM;
        d.mmH = desc.heightMM;
        int32_t right = 0;
        for (auto& o : displays_)
            if (o.current) right = std::max<int32_t>(right, o.x + int32_t(o.current->width));
        d.x = right;
        displays_.push_back(d);
        return std::make_unique<Virtual>(*this, d.id);
    }
    bool virtualDisplaySupported() override { return supported; }
    std::optional<std::string> inspectInChild(DisplayID id,
                                              const std::function<std::string(DisplayID)>& inProcess) override {
        ++childCalls;
        if (childAnswer) return (*childAnswer)(id);
        return inProcess(id);
    }

    std::vector<Disp> all() const { return displays_; }

private:
    std::vector<Disp> displays_;
    DisplayID nextID_ = 1;
};

// The text of each vdisp.log line, without its time stamp.
std::vector<std::string> logLines(const std::string& dir) {
    std::vector<std::string> out;
    std::istringstream in(vm::testing::readAll(dir + "/vdisp.log"));
    for (std::string l; std::getline(in, l);) {
        size_t at = l.find("] ");
        out.push_back(at == std::string::npos ? l : l.substr(at + 2));
    }
    return out;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& want) {
    return std::find(lines.begin(), lines.end(), want) != lines.end();
}

int countLines(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

class VDispCoreTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-vdisp"};
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    FakeDisplays displays;
    std::string serialPath = tmp.path + "/support/vdisp/serial.txt";
    std::string lockPath = tmp.path + "/vdisp.lock";
    std::unique_ptr<VDispCore> core = makeCore();

    std::unique_ptr<VDispCore> makeCore() {
        return std::make_unique<VDispCore>(clock, log, displays, nullptr, [this](double s) { clock.sleep(s); },
                                           serialPath, lockPath);
    }
    std::vector<std::string> lines() const { return logLines(tmp.path + "/logs"); }
    void writeSerialFile(const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(serialPath).parent_path());
        std::ofstream(serialPath, std::ios::binary) << text;
    }
    DisplayID liveID() const { return core->displayID().value_or(0); }
    FakeDisplays::Disp* live() { return displays.find(liveID()); }
};

// ---- sizes ----

TEST_F(VDispCoreTest, SizeLimitsIgnoreNonsenseAndAcceptTheEdges) {
    EXPECT_EQ(core->vdispSetSize(720, 359), 0);
    EXPECT_EQ(core->vdispSetSize(4097, 2000), 0);
    EXPECT_EQ(core->vdispWidth(), 2048u);
    EXPECT_EQ(core->vdispHeight(), 1152u);
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "⚠︎ 말이 안 되는 크기 720x359 — 무시"));
    EXPECT_TRUE(hasLine(l, "⚠︎ 말이 안 되는 크기 4097x2000 — 무시"));

    EXPECT_EQ(core->vdispSetSize(4096, 360), 2);  // no display yet: stored
    EXPECT_EQ(core->vdispWidth(), 4096u);
    EXPECT_EQ(core->vdispHeight(), 360u);
    EXPECT_TRUE(hasLine(lines(), "크기 요청 1024x576 → 2048x180 pt (4096x360 px)"));
}

TEST_F(VDispCoreTest, SameSizeIsSilentAndOddPixelsRoundDown) {
    EXPECT_EQ(core->vdispSetSize(2048, 1152), 0);
    EXPECT_EQ(core->vdispSetSize(2049, 1153), 0);  // the same points after halving
    EXPECT_TRUE(lines().empty());

    EXPECT_EQ(core->vdispSetSize(1171, 2532), 2);
    EXPECT_EQ(core->vdispWidth(), 1170u);
    EXPECT_EQ(core->vdispHeight(), 2532u);
    EXPECT_TRUE(hasLine(lines(), "크기 요청 1024x576 → 585x1266 pt (1170x2532 px)"));
}

TEST_F(VDispCoreTest, SizeStoredWithoutDisplayIsUsedByTheNextCreation) {
    displays.addPhysical(1920, 1080, 1.0, 0);
    ASSERT_EQ(core->vdispSetSize(1170, 2532), 2);
    ASSERT_EQ(core->vdispCreate(), 0);
    ASSERT_EQ(displays.descriptors.size(), 1u);
    const auto& d = displays.descriptors[0];
    EXPECT_EQ(core->maxPoints(), 1266u);
    EXPECT_EQ(d.maxPixelsWide, 2532u);
    EXPECT_EQ(d.maxPixelsHigh, 2532u);
    EXPECT_DOUBLE_EQ(d.widthMM, 1170 / 8.83);
    EXPECT_DOUBLE_EQ(d.heightMM, 2532 / 8.83);
    ASSERT_NE(live(), nullptr);
    EXPECT_EQ(live()->current, (DisplayMode{585, 1266, 1170, 2532, 120.0, 0x2000003}));
}

TEST_F(VDispCoreTest, GrowingPastTheLimitNeedsRecreation) {
    ASSERT_EQ(core->vdispCreate(), 0);
    const DisplayID id = liveID();
    EXPECT_EQ(core->maxPoints(), 1024u);
    EXPECT_EQ(core->vdispSetSize(2050, 1152), 2);  // 1025 points wide
    EXPECT_TRUE(hasLine(lines(), "상한 1024 pt 를 넘는다 — 다시 만들어야 한다"));
    EXPECT_EQ(core->vdispSetSize(1000, 2050), 2);  // 1025 points high
    // The live display is untouched; the wanted size is remembered.
    EXPECT_EQ(liveID(), id);
    EXPECT_EQ(live()->current->width, 1024u);
    EXPECT_EQ(core->vdispHeight(), 2050u);
}

TEST_F(VDispCoreTest, DisplayCreatedLargeResizesInPlaceUpToItsLimit) {
    ASSERT_EQ(core->vdispSetSize(2400, 1200), 2);
    ASSERT_EQ(core->vdispCreate(), 0);
    const DisplayID id = liveID();
    EXPECT_EQ(core->maxPoints(), 1200u);

    EXPECT_EQ(core->vdispSetSize(2400, 2400), 1);
    EXPECT_EQ(liveID(), id);
    EXPECT_EQ(live()->current, (DisplayMode{1200, 1200, 2400, 2400, 120.0, 0x2000003}));
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "크기 요청 1200x600 → 1200x1200 pt (2400x2400 px)"));
    EXPECT_TRUE(hasLine(l, "모드 교체 1200x1200 pt @2x — 같은 화면(id=" + std::to_string(id) + "), 재생성 없음"));
    EXPECT_TRUE(core->enforcing());

    EXPECT_EQ(core->vdispSetSize(1170, 2400), 1);  // tall, yet within 1200 points
    EXPECT_EQ(core->vdispSetSize(2402, 1000), 2);
    EXPECT_EQ(displays.descriptors.size(), 1u);
}

TEST_F(VDispCoreTest, FailedInPlaceChangeAsksForRecreation) {
    ASSERT_EQ(core->vdispCreate(), 0);
    displays.settingsFail = true;
    EXPECT_EQ(core->vdispSetSize(1000, 800), 2);
    EXPECT_TRUE(hasLine(lines(), "⚠︎ 모드 교체 실패 — 다시 만들어야 한다"));
}

// ---- creation ----

TEST_F(VDispCoreTest, CreationDescribesTheDisplayAndLogsItsReadiness) {
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_TRUE(core->vdispAlive());
    ASSERT_EQ(displays.descriptors.size(), 1u);
    const auto& d = displays.descriptors[0];
    EXPECT_EQ(d.name, "Vellomark Virtual");
    EXPECT_EQ(d.vendorID, 13398u);
    EXPECT_EQ(d.productID, 19536u);
    EXPECT_EQ(d.serialNum, 19536u);
    EXPECT_EQ(d.maxPixelsWide, 2048u);
    EXPECT_EQ(d.maxPixelsHigh, 2048u);

    const std::string id = std::to_string(liveID());
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "시도 1/3: id=" + id + " serial=0x4C50 배율=2.0x"));
    EXPECT_EQ(countLines(l, "    진단: scale=2.000 ns=2.000 mode=2.000 matched=1 "), 1);
    EXPECT_TRUE(hasLine(l, "주사율 요청 120Hz → 실제 120Hz"));
    EXPECT_TRUE(hasLine(l, "가상 디스플레이 준비됨 — id=" + id +
                               "  1024x576 pt (2048x1152 px)  232×130mm  상한 1024 pt  배율 2.0x  재지정 0회"));
    EXPECT_TRUE(hasLine(l, "모드: 1024x576@2x 1024x576 "));
    // No remembered serial: the default one that worked is not written.
    EXPECT_FALSE(std::filesystem::exists(serialPath));

    // The window server ending the display is logged.
    ASSERT_TRUE(d.terminationHandler);
    d.terminationHandler();
    EXPECT_TRUE(hasLine(lines(), "가상 디스플레이 종료됨"));
}

TEST_F(VDispCoreTest, SecondCreateKeepsTheLiveDisplay) {
    ASSERT_EQ(core->vdispCreate(), 0);
    const DisplayID id = liveID();
    EXPECT_EQ(core->vdispCreate(), 0);
    EXPECT_EQ(liveID(), id);
    EXPECT_EQ(displays.descriptors.size(), 1u);
    EXPECT_TRUE(hasLine(lines(), "가상 화면이 이미 있다 — 그대로 쓴다"));
}

TEST_F(VDispCoreTest, VirtualDisplayBecomesMainAndPhysicalOnesMoveAside) {
    const DisplayID a = displays.addPhysical(1920, 1080, 1.0, 0);
    const DisplayID b = displays.addPhysical(1440, 900, 2.0, 1920);
    ASSERT_EQ(displays.mainDisplay(), a);
    ASSERT_EQ(core->vdispCreate(), 0);
    const DisplayID v = liveID();
    EXPECT_EQ(displays.vendorNumber(v), 13398u);
    EXPECT_EQ(displays.mainDisplay(), v);
    EXPECT_EQ(displays.find(v)->x, 0);
    EXPECT_EQ(displays.find(a)->x, 4000);
    EXPECT_EQ(displays.find(b)->x, 7000);
    EXPECT_EQ(displays.find(b)->y, 0);
    EXPECT_EQ(displays.unmirrored, (std::vector<DisplayID>{a, b}));
    ASSERT_FALSE(displays.completions.empty());
    EXPECT_TRUE(displays.completions.back());  // permanent
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "주 화면 → id=" + std::to_string(v) + ", 물리 2대는 x=4000 밖으로 (status 0)"));
    EXPECT_TRUE(hasLine(l, "주 화면 확인: CGMainDisplayID=" + std::to_string(v) + " (우리 것=예)"));
}

TEST_F(VDispCoreTest, MainDisplayStepSkippedWhenConfigurationCannotBegin) {
    const DisplayID a = displays.addPhysical(1920, 1080, 1.0, 0);
    displays.beginFails = true;
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_TRUE(core->vdispAlive());
    EXPECT_EQ(displays.mainDisplay(), a);
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "⚠︎ 디스플레이 설정 시작 실패"));
    EXPECT_TRUE(hasLine(l, "주 화면 확인: CGMainDisplayID=" + std::to_string(a) + " (우리 것=아니오)"));
}

TEST_F(VDispCoreTest, RememberedSerialThatWorksIsNotRewritten) {
    writeSerialFile("4660");  // decimal for 0x1234: rewriting would change the text
    ASSERT_EQ(core->vdispCreate(), 0);
    ASSERT_EQ(displays.descriptors.size(), 1u);
    EXPECT_EQ(displays.descriptors[0].serialNum, 0x1234u);
    EXPECT_TRUE(hasLine(lines(), "지난번에 성공한 serial=0x1234 를 먼저 써 본다"));
    EXPECT_EQ(vm::testing::readAll(serialPath), "4660");
}

TEST_F(VDispCoreTest, NewSerialThatWorksIsWrittenInUpperCaseHex) {
    std::filesystem::remove_all(tmp.path + "/support");  // the folders are made on the way
    core->setRandomSource([] { return 0xABCDEF00u; });
    displays.lowScaleNext = 1;
    ASSERT_EQ(core->vdispCreate(), 0);
    ASSERT_EQ(displays.descriptors.size(), 2u);
    EXPECT_EQ(displays.descriptors[1].serialNum, 0xABCDEF01u);  // lowest bit set
    EXPECT_EQ(vm::testing::readAll(serialPath), "0xABCDEF01\n");

    // The next process starts with it.
    core.reset();
    displays.descriptors.clear();
    core = makeCore();
    EXPECT_EQ(core->vdispCreate(), 0);
    ASSERT_FALSE(displays.descriptors.empty());
    EXPECT_EQ(displays.descriptors.back().serialNum, 0xABCDEF01u);
}

TEST_F(VDispCoreTest, SerialFileParsing) {
    struct Case {
        std::string text;
        uint32_t serial;
    } cases[] = {
        {"0x1A2B\n", 0x1A2B},        {"  0X00FF  ", 0xFF},       {"077", 077},
        {"0x123456789", 0x23456789}, {"0", 19536},                {"hello", 19536},
        {"-5", 19536},               {"", 19536},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        writeSerialFile(c.text);
        core = makeCore();
        displays.descriptors.clear();
        ASSERT_EQ(core->vdispCreate(), 0);
        ASSERT_EQ(displays.descriptors.size(), 1u);
        EXPECT_EQ(displays.descriptors[0].serialNum, c.serial);
    }
}

TEST_F(VDispCoreTest, UnreadableSerialFileMeansTheDefault) {
    std::filesystem::create_directories(serialPath);  // a folder where the file should be
    core->setRandomSource([] { return 0x10u; });
    displays.lowScaleNext = 1;
    ASSERT_EQ(core->vdispCreate(), 0);
    ASSERT_EQ(displays.descriptors.size(), 2u);
    EXPECT_EQ(displays.descriptors[0].serialNum, 19536u);
    // The second serial worked but cannot be stored: logged, creation still succeeds.
    EXPECT_TRUE(core->vdispAlive());
    EXPECT_EQ(countLines(lines(), "⚠︎ serial 저장 실패: "), 1);
}

TEST_F(VDispCoreTest, LowScaleDisplaysAreDiscardedUntilTheLastAttempt) {
    std::vector<uint32_t> randoms = {0x20, 0x31};
    size_t next = 0;
    core->setRandomSource([&] { return randoms[next++ % randoms.size()]; });
    displays.lowScaleNext = 3;
    const double start = clock.monotonic();
    ASSERT_EQ(core->vdispCreate(), 0);

    ASSERT_EQ(displays.descriptors.size(), 3u);
    EXPECT_EQ(displays.descriptors[0].serialNum, 19536u);
    EXPECT_EQ(displays.descriptors[1].serialNum, 0x21u);
    EXPECT_EQ(displays.descriptors[2].serialNum, 0x31u);
    // The first two are gone, the third is kept at its 1x mode.
    EXPECT_EQ(displays.destroyed.size(), 2u);
    ASSERT_NE(live(), nullptr);
    EXPECT_EQ(live()->serial, 0x31u);
    EXPECT_TRUE(core->enforcing());

    auto l = lines();
    EXPECT_EQ(countLines(l, "배율이 2.0x 가 아님이 확인됐다 — 버리고 새 serial 로 다시 만든다"), 2);
    EXPECT_TRUE(hasLine(l, "⚠︎ 재시도를 다 썼는데도 2.0x 가 아니다 — 이 화면으로 그냥 진행한다 (루프는 계속 지킨다)"));
    EXPECT_EQ(countLines(l, "시도 3/3: id=" + std::to_string(liveID()) + " serial=0x31 배율=1.0x"), 1);
    EXPECT_EQ(countLines(l, "가상 디스플레이 준비됨 — "), 1);
    EXPECT_FALSE(std::filesystem::exists(serialPath));
    // Each probe watches a low reading for 2 s before believing it.
    EXPECT_GE(clock.monotonic() - start, 3 * (0.7 + 2.0));
}

TEST_F(VDispCoreTest, SilentChildEndsTheProbeAtItsDeadlineAndTheDisplayIsUsed) {
    displays.childAnswer = [](DisplayID) -> std::optional<std::string> { return std::string(" \n"); };
    const double start = clock.monotonic();
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_TRUE(core->vdispAlive());
    EXPECT_EQ(displays.descriptors.size(), 1u);
    EXPECT_GE(clock.monotonic() - start, 0.7 + 5.0);
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "시도 1/3: id=" + std::to_string(liveID()) + " serial=0x4C50 배율=판정 불가"));
    EXPECT_TRUE(hasLine(l, "    진단: 자식이 아무것도 안 돌려줬다 (조회 " + std::to_string(displays.childCalls) + "회)"));
    EXPECT_GT(displays.childCalls, 30);
    EXPECT_TRUE(hasLine(l, "⚠︎ 5초 동안 배율을 못 읽었다 — 실패로 치지 않고 이 화면을 그대로 쓴다"));
}

TEST_F(VDispCoreTest, ProbeIgnoresAnswersWithoutAReadableScale) {
    int n = 0;
    displays.childAnswer = [&](DisplayID) -> std::optional<std::string> {
        ++n;
        if (n == 1) return std::string("ns=2.000 mode=2.000");
        if (n == 2) return std::string("scale=abc ns=2.000");
        if (n == 3) return std::string("scale=0.000 ns=0.000");
        return std::string("scale=2.000 ns=2.000");
    };
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_EQ(n, 4);
    EXPECT_TRUE(hasLine(lines(), "    진단: scale=2.000 ns=2.000 (조회 4회)"));
}

TEST_F(VDispCoreTest, CreateFromInsideACreationsWaitDoesNotBuildASecondDisplay) {
    // Main-queue work that runs during the probe's waits may ask for the display too.
    std::optional<int32_t> nested;
    displays.childAnswer = [&](DisplayID id) -> std::optional<std::string> {
        if (!nested) nested = core->vdispCreate();
        return core->inspectLine(id);
    };
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_EQ(nested, std::optional<int32_t>(1));
    EXPECT_EQ(displays.descriptors.size(), 1u);
    EXPECT_TRUE(core->vdispAlive());
}

TEST_F(VDispCoreTest, CreationFailuresEndWithStatusOne) {
    displays.creationFails = true;
    EXPECT_EQ(core->vdispCreate(), 1);
    EXPECT_FALSE(core->vdispAlive());
    EXPECT_FALSE(core->enforcing());
    EXPECT_EQ(displays.descriptors.size(), 3u);
    auto l = lines();
    EXPECT_EQ(countLines(l, "⚠︎ 생성 실패"), 3);
    EXPECT_TRUE(hasLine(l, "시도 1/3: 생성 실패"));
    EXPECT_TRUE(hasLine(l, "시도 3/3: 생성 실패"));
    EXPECT_TRUE(hasLine(l, "⚠︎ 가상 디스플레이를 끝내 못 만들었다 — 종료"));

    displays.creationFails = false;
    displays.settingsFail = true;
    EXPECT_EQ(core->vdispCreate(), 1);
    EXPECT_EQ(countLines(lines(), "⚠︎ 설정 적용 실패"), 3);
    EXPECT_EQ(displays.destroyed.size(), 3u);  // nothing left behind
    EXPECT_TRUE(displays.all().empty());
}

TEST_F(VDispCoreTest, MissingVirtualDisplaySupportFailsEveryAttempt) {
    displays.supported = false;
    EXPECT_EQ(core->vdispCreate(), 1);
    EXPECT_TRUE(displays.descriptors.empty());
    auto l = lines();
    EXPECT_EQ(countLines(l, "⚠︎ CGVirtualDisplay 계열 클래스를 못 찾음 — 이 macOS 에서는 못 쓴다"), 3);
    EXPECT_EQ(countLines(l, "시도 "), 3);
}

TEST_F(VDispCoreTest, CreationWaitsForAnotherHolderOfTheLock) {
    int other = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    std::atomic<bool> sawWait{false};
    std::thread holder([&] {
        const std::string want = "다른 vdisp 인스턴스가 이미 돌고 있다 — 그게 끝날 때까지 대기";
        for (int i = 0; i < 1000 && !sawWait; ++i) {
            if (hasLine(logLines(tmp.path + "/logs"), want)) sawWait = true;
            else std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(other);  // releases the lock whatever happened
    });
    EXPECT_EQ(core->vdispCreate(), 0);
    holder.join();
    EXPECT_TRUE(sawWait.load());
    // The lock is ours now and stays ours.
    int probe = ::open(lockPath.c_str(), O_RDWR);
    ASSERT_GE(probe, 0);
    EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);
    core->vdispDestroy();
    EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0);
    ::close(probe);
}

// ---- enforcement ----

TEST_F(VDispCoreTest, EnforcementReselectsTheHiDPIModeWhenItSlips) {
    ASSERT_EQ(core->vdispCreate(), 0);
    auto* d = live();
    const DisplayMode hi = d->modes[0], lo = d->modes[1];
    ASSERT_EQ(hi.pixelWidth, 2048u);
    ASSERT_EQ(lo.pixelWidth, 1024u);

    core->enforceTick();
    EXPECT_TRUE(core->settled());
    EXPECT_EQ(core->reselects(), 0);

    d->current = lo;
    core->enforceTick();
    EXPECT_EQ(d->current, hi);
    EXPECT_EQ(core->reselects(), 1);
    EXPECT_EQ(core->consecutive(), 1);
    EXPECT_TRUE(hasLine(lines(), "HiDPI 모드 다시 지정 → 1024x576 @2x (status 0, 누적 1회)"));
    EXPECT_TRUE(displays.completions.back());

    core->enforceTick();  // reads right again
    EXPECT_EQ(core->consecutive(), 0);
    EXPECT_EQ(core->reselects(), 1);

    // A failing transaction counts but does not settle.
    displays.completeStatus = 1000;
    d->current = lo;
    core->enforceTick();
    EXPECT_EQ(core->reselects(), 2);
    EXPECT_TRUE(hasLine(lines(), "HiDPI 모드 다시 지정 → 1024x576 @2x (status 1000, 누적 2회)"));
}

TEST_F(VDispCoreTest, AfterTheFastWindowOnlyEveryTenthTickLooks) {
    ASSERT_EQ(core->vdispCreate(), 0);
    auto* d = live();
    const DisplayMode lo = d->modes[1];
    clock.advance(5.0);
    for (int i = 0; i < 20; ++i) {
        d->current = lo;
        core->enforceTick();
    }
    EXPECT_EQ(core->reselects(), 2);

    // Resizing in place re-arms the fast window.
    ASSERT_EQ(core->vdispSetSize(2000, 1000), 1);
    const int before = core->reselects();
    d = live();
    for (int i = 0; i < 5; ++i) {
        d->current = d->modes[1];
        core->enforceTick();
    }
    EXPECT_EQ(core->reselects() - before, 5);
}

TEST_F(VDispCoreTest, StaleModeReadingIsConfirmedByTheChildAndNotFought) {
    ASSERT_EQ(core->vdispCreate(), 0);
    auto* d = live();
    displays.setModeIgnored = true;
    d->current = d->modes[1];
    displays.childAnswer = [](DisplayID) -> std::optional<std::string> {
        return std::string("scale=2.000 ns=2.000 mode=2.000 matched=1 screens=1 ids=1:2.0 pt=1024x576 px=2048x1152");
    };
    for (int i = 0; i < 3; ++i) core->enforceTick();
    EXPECT_EQ(core->reselects(), 3);
    const int asked = displays.childCalls;
    for (int i = 0; i < 5; ++i) core->enforceTick();
    EXPECT_EQ(core->reselects(), 3);
    EXPECT_EQ(displays.childCalls - asked, 5);
    EXPECT_TRUE(core->settled());
    EXPECT_EQ(core->consecutive(), 8);
    EXPECT_EQ(countLines(lines(), "현재 모드 읽기가 낡았다 — 자식은 @2x 라고 한다 (scale=2.000 "), 1);
}

TEST_F(VDispCoreTest, ReselectionBacksOffWhenTheChildDisagrees) {
    ASSERT_EQ(core->vdispCreate(), 0);
    displays.setModeIgnored = true;
    live()->current = live()->modes[1];
    // The child sees the same 1x mode, so nothing is stale.
    for (int i = 0; i < 10; ++i) core->enforceTick();
    EXPECT_EQ(core->reselects(), 10);
    core->enforceTick();  // the tenth in a row is retried
    EXPECT_EQ(core->reselects(), 11);
    for (int i = 0; i < 30; ++i) core->enforceTick();
    EXPECT_EQ(core->reselects(), 11);
    EXPECT_EQ(core->consecutive(), 11);
}

TEST_F(VDispCoreTest, VanishedHiDPIModeIsAppliedAgainOnlyOnceSettled) {
    ASSERT_EQ(core->vdispCreate(), 0);
    auto* d = live();
    const auto modes = d->modes;
    const auto twins = d->lowResTwin;

    // Not settled yet (just re-armed): a missing mode is left alone.
    ASSERT_EQ(core->vdispSetSize(2048, 1150), 1);
    const int afterResize = displays.applyCalls;
    d->modes = {DisplayMode{800, 600, 800, 600, 60, 0}};
    d->lowResTwin = {false};
    core->enforceTick();
    EXPECT_EQ(displays.applyCalls, afterResize);

    // Settled, then the mode disappears: the settings go on again.
    d->modes = modes;
    d->lowResTwin = twins;
    ASSERT_EQ(core->vdispSetSize(2048, 1152), 1);
    core->enforceTick();
    ASSERT_TRUE(core->settled());
    d->modes = {DisplayMode{800, 600, 800, 600, 60, 0}};
    d->lowResTwin = {false};
    const int before = displays.applyCalls;
    core->enforceTick();
    EXPECT_EQ(displays.applyCalls, before + 1);
    EXPECT_EQ(d->current->pixelWidth, 2048u);
    EXPECT_TRUE(hasLine(lines(), "@2x 모드 1024x576 가 목록에서 사라졌다 — 설정을 다시 건다"));
}

TEST_F(VDispCoreTest, UnreadableModeListIsWarnedOnce) {
    ASSERT_EQ(core->vdispCreate(), 0);
    displays.modesUnreadable = true;
    for (int i = 0; i < 5; ++i) core->enforceTick();
    EXPECT_EQ(countLines(lines(), "⚠︎ CGDisplayCopyAllDisplayModes 가 NULL — 강제 루프가 이 프로세스에서 모드를 못 본다"),
              1);
    EXPECT_EQ(core->reselects(), 0);
}

TEST_F(VDispCoreTest, ModeListLineSaysWhenItCannotBeRead) {
    displays.modesUnreadable = true;
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_TRUE(hasLine(lines(), "모드: (목록 NULL)"));
}

TEST_F(VDispCoreTest, TimerOnTheMainQueueKeepsTheMode) {
    MainQueue mainQueue;
    mainQueue.adoptCurrentThread();
    core = std::make_unique<VDispCore>(clock, log, displays, &mainQueue, [this](double s) { clock.sleep(s); },
                                       serialPath, lockPath);
    ASSERT_EQ(core->vdispCreate(), 0);
    live()->current = live()->modes[1];
    for (int i = 0; i < 100 && core->reselects() == 0; ++i) mainQueue.spinRunLoop(0.05);
    EXPECT_EQ(core->reselects(), 1);
    EXPECT_EQ(live()->current->pixelWidth, 2048u);

    core->vdispDestroy();
    mainQueue.spinRunLoop(0.3);  // a stopped timer does nothing more
    EXPECT_EQ(core->reselects(), 1);
    core.reset();
}

// ---- release ----

TEST_F(VDispCoreTest, DestroyReleasesTheDisplayAndStopsEnforcing) {
    ASSERT_EQ(core->vdispCreate(), 0);
    const DisplayID id = liveID();
    live()->current = live()->modes[1];
    core->enforceTick();
    ASSERT_EQ(core->reselects(), 1);

    const double before = clock.monotonic();
    core->vdispDestroy();
    EXPECT_FALSE(core->vdispAlive());
    EXPECT_FALSE(core->enforcing());
    EXPECT_EQ(displays.find(id), nullptr);
    EXPECT_DOUBLE_EQ(clock.monotonic() - before, 1.0);
    EXPECT_TRUE(hasLine(lines(), "가상 화면을 놓는다 — 창이 물리 화면으로 옮겨간다 (수명 중 HiDPI 재지정 1회)"));

    const size_t count = lines().size();
    core->vdispDestroy();
    EXPECT_EQ(lines().size(), count);

    // The wanted size survives the release and a new display comes up.
    ASSERT_EQ(core->vdispSetSize(1170, 2532), 2);
    ASSERT_EQ(core->vdispCreate(), 0);
    EXPECT_EQ(live()->current->height, 1266u);
    EXPECT_EQ(core->reselects(), 1);  // counted for the whole process
}

// ---- diagnostics ----

TEST_F(VDispCoreTest, InspectLineForAnUnmatchedDisplayTakesTheScaleFromTheMode) {
    const DisplayID a = displays.addPhysical(1920, 1080, 2.0, 0);
    const DisplayID b = displays.addPhysical(1440, 900, 1.0, 1920);
    displays.hiddenFromScreens.insert(a);
    EXPECT_EQ(core->inspectLine(a),
              "scale=2.000 ns=0.000 mode=2.000 matched=0 screens=1 ids=" + std::to_string(b) +
                  ":1.0 pt=1920x1080 px=3840x2160 ioflags=0x3 mm=508x286 online=1\n");
    EXPECT_EQ(core->inspectLine(b),
              "scale=1.000 ns=1.000 mode=1.000 matched=1 screens=1 ids=" + std::to_string(b) +
                  ":1.0 pt=1440x900 px=1440x900 ioflags=0x3 mm=381x238 online=1\n");

    displays.hiddenFromScreens.clear();
    EXPECT_EQ(VDispCore::inspectLineFor(displays, 99),
              "scale=0.000 ns=0.000 mode=0.000 matched=0 screens=2 ids=" + std::to_string(a) + ":2.0," +
                  std::to_string(b) + ":1.0 pt=0x0 px=0x0 ioflags=0x0 mm=0x0 online=0\n");
}

TEST_F(VDispCoreTest, InspectPrintsTheLineAndReturnsZero) {
    FakeDisplays empty;
    ::testing::internal::CaptureStdout();
    const int rc = VDispCore::vdispInspect(empty, 7);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "scale=0.000 ns=0.000 mode=0.000 matched=0 screens=0 ids=- pt=0x0 px=0x0 ioflags=0x0 mm=0x0 online=0\n");
}

TEST_F(VDispCoreTest, AskChildTrimsAndTreatsEmptyAsNothing) {
    const DisplayID a = displays.addPhysical(1280, 800, 2.0, 0);
    auto inProcess = core->askChild(a);
    ASSERT_TRUE(inProcess);
    EXPECT_EQ(*inProcess + "\n", core->inspectLine(a));

    displays.childAnswer = [](DisplayID) -> std::optional<std::string> { return std::string("\n  scale=1.0 x \t\n"); };
    EXPECT_EQ(core->askChild(a), std::optional<std::string>("scale=1.0 x"));
    displays.childAnswer = [](DisplayID) -> std::optional<std::string> { return std::string(" \r\n"); };
    EXPECT_EQ(core->askChild(a), std::nullopt);
    displays.childAnswer = [](DisplayID) -> std::optional<std::string> { return std::nullopt; };
    EXPECT_EQ(core->askChild(a), std::nullopt);
}

// ---- on the in-memory desktop ----

class VDispOnHeadlessTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-vdisp-hl"};
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    std::unique_ptr<platform::headless::HeadlessDesktop> desk = makeDesk();
    std::string serialPath = tmp.path + "/support/vdisp/serial.txt";
    VDispCore core{clock, log, *desk, nullptr, [this](double s) { clock.sleep(s); }, serialPath,
                   tmp.path + "/vdisp.lock"};

    std::unique_ptr<platform::headless::HeadlessDesktop> makeDesk() {
        platform::Locations loc;
        loc.home = tmp.path;
        loc.logDir = tmp.path + "/logs";
        loc.supportDir = tmp.path + "/support";
        loc.groupDir = tmp.path + "/group";
        loc.receivedDir = tmp.path + "/received";
        loc.runtimeDir = tmp.path + "/run";
        platform::headless::Scene scene;
        platform::headless::HeadlessDisplay a;
        a.id = 1;
        a.width = 1920;
        a.height = 1080;
        a.vendor = 1552;
        platform::headless::HeadlessDisplay b;
        b.id = 2;
        b.width = 1440;
        b.height = 900;
        b.scale = 2.0;
        b.vendor = 1552;
        scene.displays = {a, b};
        return std::make_unique<platform::headless::HeadlessDesktop>(loc, scene);
    }
    std::vector<std::string> lines() const { return logLines(tmp.path + "/logs"); }
    std::optional<platform::headless::HeadlessDisplay> shown(DisplayID id) const {
        for (const auto& d : desk->displayList())
            if (d.id == id) return d;
        return std::nullopt;
    }
    int virtualCount() const {
        int n = 0;
        for (const auto& d : desk->displayList()) n += d.vendor == VDispCore::kVendorID;
        return n;
    }
};

TEST_F(VDispOnHeadlessTest, VirtualDisplayBecomesMainWithThePhysicalOnesFarRight) {
    const auto before = desk->activeDisplays(16);
    ASSERT_EQ(before.size(), 2u);
    ASSERT_EQ(core.vdispCreate(), 0);
    const DisplayID v = core.displayID().value_or(0);
    EXPECT_EQ(desk->vendorNumber(v), 13398u);
    EXPECT_EQ(desk->mainDisplay(), v);
    EXPECT_EQ(desk->bounds(v).x, 0);
    EXPECT_EQ(desk->bounds(v).y, 0);
    EXPECT_EQ(desk->bounds(before[0]).x, 4000);
    EXPECT_EQ(desk->bounds(before[1]).x, 7000);
    EXPECT_EQ(desk->lastCompletionPermanent(), std::optional<bool>(true));
    EXPECT_EQ(desk->screens().front().backingScale, 2.0);
    auto l = lines();
    EXPECT_TRUE(hasLine(l, "주 화면 → id=" + std::to_string(v) + ", 물리 2대는 x=4000 밖으로 (status 0)"));
    EXPECT_TRUE(hasLine(l, "주 화면 확인: CGMainDisplayID=" + std::to_string(v) + " (우리 것=예)"));
}

TEST_F(VDispOnHeadlessTest, OneXDisplaysAreRetriedAndTheThirdIsKept) {
    desk->setNextVirtualDisplaysAtOneX(3);
    ASSERT_EQ(core.vdispCreate(), 0);
    EXPECT_EQ(virtualCount(), 1);
    auto l = lines();
    EXPECT_EQ(countLines(l, "배율이 2.0x 가 아님이 확인됐다 — 버리고 새 serial 로 다시 만든다"), 2);
    EXPECT_TRUE(hasLine(l, "⚠︎ 재시도를 다 썼는데도 2.0x 가 아니다 — 이 화면으로 그냥 진행한다 (루프는 계속 지킨다)"));
    const DisplayID v = core.displayID().value_or(0);
    EXPECT_EQ(desk->serialNumber(v) & 1u, 1u);  // a fresh odd serial
    EXPECT_FALSE(std::filesystem::exists(serialPath));
}

TEST_F(VDispOnHeadlessTest, OneXOnceThenTheNewSerialIsRemembered) {
    desk->setNextVirtualDisplaysAtOneX(1);
    ASSERT_EQ(core.vdispCreate(), 0);
    const DisplayID v = core.displayID().value_or(0);
    const uint32_t serial = desk->serialNumber(v);
    ASSERT_NE(serial, VDispCore::kDefaultSerial);
    char want[16];
    std::snprintf(want, sizeof want, "0x%X\n", serial);
    EXPECT_EQ(vm::testing::readAll(serialPath), want);
    EXPECT_EQ(desk->currentMode(v)->pixelWidth, 2048u);
}

TEST_F(VDispOnHeadlessTest, StoredSizeUsedAndResizedInPlace) {
    ASSERT_EQ(core.vdispSetSize(1170, 2532), 2);
    ASSERT_EQ(core.vdispCreate(), 0);
    const DisplayID v = core.displayID().value_or(0);
    EXPECT_EQ(desk->currentMode(v), (DisplayMode{585, 1266, 1170, 2532, 120.0, desk->currentMode(v)->ioFlags}));
    EXPECT_EQ(core.vdispSetSize(2532, 1170), 1);  // the phone turned: same limit of 1266 points
    EXPECT_EQ(core.displayID(), v);
    EXPECT_EQ(desk->currentMode(v)->width, 1266u);
    EXPECT_EQ(desk->currentMode(v)->pixelHeight, 1170u);
    EXPECT_EQ(core.vdispSetSize(2600, 1170), 2);
}

TEST_F(VDispOnHeadlessTest, WindowServerEndingTheDisplayIsLoggedAndReleaseRemovesIt) {
    ASSERT_EQ(core.vdispCreate(), 0);
    const DisplayID v = core.displayID().value_or(0);
    ASSERT_TRUE(desk->terminateVirtualDisplay(v));
    EXPECT_TRUE(hasLine(lines(), "가상 디스플레이 종료됨"));

    ASSERT_EQ(core.vdispCreate(), 0);  // still held: the core keeps it
    core.vdispDestroy();
    EXPECT_FALSE(core.vdispAlive());
    ASSERT_EQ(core.vdispCreate(), 0);
    const DisplayID w = core.displayID().value_or(0);
    EXPECT_NE(w, v);
    core.vdispDestroy();
    EXPECT_EQ(virtualCount(), 0);
    EXPECT_NE(desk->vendorNumber(desk->mainDisplay()), 13398u);
}

TEST_F(VDispOnHeadlessTest, InspectOfASwitchedOffDisplayTakesTheScaleFromTheMode) {
    const auto ids = desk->activeDisplays(16);
    ASSERT_EQ(ids.size(), 2u);
    auto config = desk->beginConfiguration();
    ASSERT_TRUE(config);
    ASSERT_EQ(config->setEnabled(ids[1], false), 0);
    ASSERT_EQ(config->complete(false), 0);

    const std::string line = core.inspectLine(ids[1]);
    EXPECT_EQ(line.rfind("scale=2.000 ns=0.000 mode=2.000 matched=0 screens=1 ids=" + std::to_string(ids[0]) +
                             ":1.0 pt=1440x900 px=2880x1800 ",
                         0),
              0u)
        << line;
    EXPECT_NE(line.find(" online=0\n"), std::string::npos) << line;

    const std::string main = core.inspectLine(ids[0]);
    EXPECT_EQ(main.rfind("scale=1.000 ns=1.000 mode=1.000 matched=1 screens=1 ", 0), 0u) << main;
    EXPECT_NE(main.find(" mm=508x286 online=1\n"), std::string::npos) << main;
}

}  // namespace
