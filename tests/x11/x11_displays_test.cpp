// The RandR displays against a real Xorg (dummy driver): what they report is what
// xrandr sees, and what they change shows in xrandr.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_edid.h"
#include "x11/x_server.h"

namespace vm::platform::x11 {
namespace {

using test::xRun;

struct XrandrOutput {
    std::string name;
    uint32_t id = 0;
    bool primary = false;
    bool on = false;
    int x = 0, y = 0, w = 0, h = 0;
    std::vector<std::string> modes;  // "WxH@R.RR"
};

// Outputs as `xrandr --verbose` lists them.
std::vector<XrandrOutput> xrandrOutputs() {
    std::vector<XrandrOutput> out;
    std::istringstream in(xRun("xrandr --verbose"));
    const std::regex head(R"(^(\S+) (connected|disconnected)( primary)?( (\d+)x(\d+)\+(\d+)\+(\d+))?.*)");
    const std::regex ident(R"(^\s+Identifier: 0x([0-9a-f]+))");
    const std::regex mode(R"(^  (\d+)x(\d+) \(0x[0-9a-f]+\).*)");
    const std::regex vclock(R"(^\s+v: .* clock\s+([0-9.]+)Hz)");
    std::string line, pending;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, head)) {
            XrandrOutput o;
            o.name = m[1];
            o.primary = m[3].matched;
            if (m[4].matched) {
                o.on = true;
                o.w = std::stoi(m[5]);
                o.h = std::stoi(m[6]);
                o.x = std::stoi(m[7]);
                o.y = std::stoi(m[8]);
            }
            out.push_back(o);
        } else if (!out.empty() && std::regex_search(line, m, ident)) {
            out.back().id = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
        } else if (!out.empty() && std::regex_match(line, m, mode)) {
            pending = std::string(m[1]) + "x" + std::string(m[2]);
        } else if (!out.empty() && !pending.empty() && std::regex_search(line, m, vclock)) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%s@%.2f", pending.c_str(), std::stod(m[1]));
            out.back().modes.push_back(buf);
            pending.clear();
        }
    }
    return out;
}

XrandrOutput byName(const std::string& name) {
    for (const auto& o : xrandrOutputs())
        if (o.name == name) return o;
    return {};
}

template <class F>
bool eventually(F f, double seconds = 5) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return f();
}

class X11DisplaysTest : public ::testing::Test {
protected:
    void SetUp() override {
        VM_REQUIRE_X();
        log = std::make_unique<Logger>(test::xFolder() + "/logs-displays", clock);
        displays = std::make_unique<X11Displays>(*log, "");
        dummy0 = byName("DUMMY0");
        ASSERT_TRUE(dummy0.on) << "the fixture's DUMMY0 should be on";
    }
    SystemClock clock;
    std::unique_ptr<Logger> log;
    std::unique_ptr<X11Displays> displays;
    XrandrOutput dummy0;
};

TEST_F(X11DisplaysTest, ListsWhatXrandrShows) {
    std::vector<DisplayID> expected;
    for (const auto& o : xrandrOutputs())
        if (o.on) expected.push_back(o.id);
    auto active = displays->activeDisplays();
    EXPECT_EQ(std::set<DisplayID>(active.begin(), active.end()), std::set<DisplayID>(expected.begin(), expected.end()));
    EXPECT_EQ(displays->onlineCount(), expected.size());
    EXPECT_EQ(displays->mainDisplay(), dummy0.id);
    EXPECT_EQ(active.front(), dummy0.id);

    const Rect b = displays->bounds(dummy0.id);
    EXPECT_EQ(b.x, dummy0.x);
    EXPECT_EQ(b.width, dummy0.w);
    EXPECT_EQ(b.height, dummy0.h);
    auto modes = displays->modes(dummy0.id, true);
    ASSERT_TRUE(modes);
    std::vector<std::string> ours;
    for (const auto& m : *modes) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%ux%u@%.2f", m.width, m.height, m.refresh);
        ours.push_back(buf);
        EXPECT_EQ(m.pixelWidth, m.width);
    }
    EXPECT_EQ(ours, dummy0.modes);
    auto current = displays->currentMode(dummy0.id);
    ASSERT_TRUE(current);
    EXPECT_EQ(current->width, static_cast<uint32_t>(dummy0.w));
    // The dummy outputs have neither an EDID nor a size in millimetres.
    EXPECT_EQ(displays->vendorNumber(dummy0.id), 0u);
    EXPECT_NEAR(displays->physicalSizeMM(dummy0.id).width, dummy0.w / 3.78, 0.01);
    EXPECT_FALSE(displays->isAgentVirtual(dummy0.id));
    const auto screens = displays->screens();
    ASSERT_EQ(screens.size(), expected.size());
    EXPECT_EQ(screens.front().backingScale, 1.0);
    // A switched-off output is neither online nor has bounds.
    const XrandrOutput off = byName("DUMMY3");
    EXPECT_FALSE(displays->isOnline(off.id));
    EXPECT_EQ(displays->bounds(off.id).width, 0);
    EXPECT_FALSE(displays->modes(12345, false));
}

TEST_F(X11DisplaysTest, TransactionSwitchesAnOutputOnAndOff) {
    std::atomic<int> changes{0};
    displays->onReconfigure([&] { ++changes; });
    xRun("xrandr --addmode DUMMY2 1280x720 2>/dev/null");
    const XrandrOutput d2 = byName("DUMMY2");
    ASSERT_NE(d2.id, 0u);

    auto on = displays->beginConfiguration();
    ASSERT_TRUE(on);
    EXPECT_EQ(on->setEnabled(d2.id, true), 0);
    EXPECT_EQ(on->complete(false), 0);
    // Its preferred (first) mode, right of DUMMY0.
    ASSERT_FALSE(d2.modes.empty());
    const std::string size = d2.modes.front().substr(0, d2.modes.front().find('@'));
    const XrandrOutput now = byName("DUMMY2");
    EXPECT_EQ(std::to_string(now.w) + "x" + std::to_string(now.h), size);
    EXPECT_EQ(now.x, 1920);
    const std::string monitors = xRun("xrandr --listmonitors");
    EXPECT_TRUE(std::regex_search(monitors, std::regex(R"(\+1920\+0\s+DUMMY2)"))) << monitors;
    EXPECT_TRUE(displays->isOnline(d2.id));
    EXPECT_EQ(displays->mainDisplay(), dummy0.id);
    EXPECT_TRUE(eventually([&] { return changes.load() > 0; }));

    auto off = displays->beginConfiguration();
    EXPECT_EQ(off->setEnabled(d2.id, false), 0);
    EXPECT_EQ(off->complete(false), 0);
    EXPECT_EQ(xRun("xrandr --listmonitors").find("DUMMY2"), std::string::npos);
    EXPECT_NE(xRun("xrandr | head -1").find("current 1920 x 1080"), std::string::npos) << "the screen shrinks back";
    xRun("xrandr --delmode DUMMY2 1280x720 2>/dev/null");

    // The last display stays on; an uncompleted transaction changes nothing.
    auto last = displays->beginConfiguration();
    EXPECT_EQ(last->setEnabled(dummy0.id, false), X11Displays::kIllegalArgument);
    last->setOrigin(dummy0.id, 50, 50);
    last.reset();
    EXPECT_TRUE(byName("DUMMY0").on);
    EXPECT_EQ(byName("DUMMY0").x, 0);
}

TEST_F(X11DisplaysTest, VirtualDisplayBecomesMainAndGoesAway) {
    VirtualDisplayDescriptor d;
    d.name = "Vellomark";
    d.maxPixelsWide = d.maxPixelsHigh = 4096;
    d.vendorID = kVirtualVendor;
    d.serialNum = 7;
    auto vd = displays->createVirtualDisplay(d);
    ASSERT_TRUE(vd);
    EXPECT_FALSE(vd->scalesBacking());
    VirtualDisplaySettings s;
    s.modes.push_back({585, 1266, 60});
    ASSERT_TRUE(vd->applySettings(s));
    const DisplayID id = vd->displayID();
    XrandrOutput v;
    for (const auto& o : xrandrOutputs())
        if (o.id == id) v = o;
    EXPECT_TRUE(v.on);
    EXPECT_EQ(v.w, 1170);
    EXPECT_EQ(v.h, 2532);
    EXPECT_EQ(v.x, 1920) << "a new display goes right of the others";
    EXPECT_FALSE(v.primary);
    EXPECT_TRUE(displays->isAgentVirtual(id));
    EXPECT_EQ(displays->vendorNumber(id), kVirtualVendor);
    EXPECT_EQ(displays->serialNumber(id), 7u);
    EXPECT_NE(xRun("xrandr --verbose").find("VM-1170x2532"), std::string::npos);

    // What the core does with it: main at 0,0, the physical one switched off.
    auto cfg = displays->beginConfiguration();
    cfg->setOrigin(id, 0, 0);
    cfg->setOrigin(dummy0.id, 4000, 0);
    EXPECT_EQ(cfg->setEnabled(dummy0.id, false), 0);
    EXPECT_EQ(cfg->complete(true), 0);
    v = byName(v.name);
    EXPECT_TRUE(v.primary);
    EXPECT_EQ(v.x, 0);
    EXPECT_EQ(v.y, 0);
    EXPECT_FALSE(byName("DUMMY0").on);
    EXPECT_EQ(displays->mainDisplay(), id);
    EXPECT_EQ(displays->activeDisplays(), std::vector<DisplayID>{id});

    // A new size swaps the mode on the same output.
    s.modes[0] = {600, 1300, 60};
    ASSERT_TRUE(vd->applySettings(s));
    EXPECT_EQ(vd->displayID(), id);
    EXPECT_EQ(byName(v.name).h, 2600);
    EXPECT_EQ(xRun("xrandr --verbose").find("VM-1170x2532"), std::string::npos);

    // Back: the physical display on at the origin, then the virtual one gone.
    auto back = displays->beginConfiguration();
    EXPECT_EQ(back->setEnabled(dummy0.id, true), 0);
    back->setOrigin(dummy0.id, 0, 0);
    EXPECT_EQ(back->complete(false), 0);
    vd.reset();
    const XrandrOutput d0 = byName("DUMMY0");
    EXPECT_TRUE(d0.on && d0.primary && d0.x == 0 && d0.y == 0 && d0.w == 1920);
    EXPECT_FALSE(byName(v.name).on);
    EXPECT_EQ(xRun("xrandr --verbose").find("VM-"), std::string::npos);
    EXPECT_NE(xRun("xrandr | head -1").find("current 1920 x 1080"), std::string::npos);
    EXPECT_FALSE(displays->isAgentVirtual(id));

    // The dummy now calls that output connected; the next virtual display takes it again all the same.
    vd = displays->createVirtualDisplay(d);
    ASSERT_TRUE(vd && vd->applySettings(s));
    EXPECT_EQ(vd->displayID(), id);
    vd.reset();
    EXPECT_EQ(xRun("xrandr --verbose").find("VM-"), std::string::npos);
}

TEST(X11Edid, ReadsTheIdentityBlock) {
    std::vector<uint8_t> e(128, 0);
    const uint8_t head[] = {0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x34, 0x56, 0x78, 0x12, 1, 2, 3, 4};
    std::copy(std::begin(head), std::end(head), e.begin());
    auto ids = parseEdid(e.data(), e.size());
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->vendor, 0x3456u);
    EXPECT_EQ(ids->product, 0x1278u);
    EXPECT_EQ(ids->serial, 0x04030201u);
    EXPECT_FALSE(parseEdid(e.data(), 100));
    e[1] = 0;
    EXPECT_FALSE(parseEdid(e.data(), e.size()));
}

}  // namespace
}  // namespace vm::platform::x11
