// The GNOME backend's own logic that needs no shell: reading mutter's monitor state,
// laying monitors out the way ApplyMonitorsConfig takes them, and reading the
// extension's answers (bad answers give nothing, never a crash).
#include <gtest/gtest.h>

#include "platform/gnome/gnome_displays.h"
#include "platform/gnome/gnome_shell_extension.h"

using namespace vm::platform;
using namespace vm::platform::gnome;

namespace {

// A GetCurrentState reply as mutter 43 gives it: the headless monitor plus a virtual one at scale 2.
GVariant* twoMonitors() {
    return g_variant_parse(
        nullptr,
        "(uint32 7, [(('Meta-0', 'MetaVendor', 'MetaVirtualMonitor', '0x00'), [('1920x1080@60.000', 1920, 1080, 60.0, "
        "1.0, [1.0, 2.0], {'is-current': <true>, 'is-preferred': <true>})], {'is-builtin': <false>, 'display-name': "
        "<'MetaVendor'>}), (('Meta-1', 'MetaVendor', 'MetaVirtualMonitor', '0x01'), [('1170x2532@60.000', 1170, 2532, "
        "60.0, 2.0, [1.0, 2.0, 3.0], {'is-current': <true>})], {})], [(1920, 0, 1.0, uint32 0, true, [('Meta-0', "
        "'MetaVendor', 'MetaVirtualMonitor', '0x00')], @a{sv} {}), (0, 0, 2.0, uint32 0, false, [('Meta-1', "
        "'MetaVendor', 'MetaVirtualMonitor', '0x01')], @a{sv} {})], {'layout-mode': <uint32 2>})",
        nullptr, nullptr, nullptr);
}

}  // namespace

TEST(GnomeMonitorState, ReadsMonitorsModesAndLogicalMonitors) {
    GVariant* v = g_variant_ref_sink(twoMonitors());
    ASSERT_NE(v, nullptr);
    auto s = MonitorState::parse(v);
    g_variant_unref(v);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->serial, 7u);
    EXPECT_EQ(s->layoutMode, 2u);
    ASSERT_EQ(s->monitors.size(), 2u);
    const auto* phone = s->monitor("Meta-1");
    ASSERT_NE(phone, nullptr);
    ASSERT_NE(phone->currentMode(), nullptr);
    EXPECT_EQ(phone->currentMode()->id, "1170x2532@60.000");
    EXPECT_EQ(phone->currentMode()->scales, (std::vector<double>{1.0, 2.0, 3.0}));
    const auto* l = s->logicalOf("Meta-1");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->scale, 2.0);
    EXPECT_FALSE(l->primary);
    EXPECT_TRUE(s->logicalOf("Meta-0")->primary);
    EXPECT_EQ(s->logicalOf("Meta-0")->x, 1920);
    EXPECT_EQ(s->logicalOf("nope"), nullptr);
}

TEST(GnomeMonitorState, AReplyOfAnotherShapeGivesNothing) {
    EXPECT_FALSE(MonitorState::parse(nullptr));
    GVariant* wrong = g_variant_ref_sink(g_variant_new("(us)", 1u, "x"));
    EXPECT_FALSE(MonitorState::parse(wrong));
    g_variant_unref(wrong);
}

TEST(GnomeLayout, TheMonitorNearestTheOriginBecomesPrimaryAndTheRestLineUpAdjacent) {
    LayoutRequest r;
    r.enabled = {{"Meta-0", "a", 1170, 0, 1920, 1080, 1.0}, {"Meta-1", "b", 0, 0, 1170, 2532, 2.0},
                 {"Meta-2", "c", -5000, 40, 800, 600, 1.0}};
    const size_t primary = normaliseLayout(r, 2);
    EXPECT_EQ(r.enabled[primary].connector, "Meta-1");
    EXPECT_EQ(r.enabled[1].x, 0);
    EXPECT_EQ(r.enabled[1].y, 0);
    // Physical layout: positions in pixels, in the order of the requested x.
    EXPECT_EQ(r.enabled[2].x, 1170);
    EXPECT_EQ(r.enabled[0].x, 1170 + 800);
    EXPECT_EQ(r.enabled[0].y, 0);
}

TEST(GnomeLayout, LogicalLayoutPlacesBySizeInPoints) {
    LayoutRequest r;
    r.enabled = {{"Meta-1", "b", 0, 0, 1170, 2532, 2.0}, {"Meta-0", "a", 3000, 0, 1920, 1080, 1.0}};
    normaliseLayout(r, 1);
    EXPECT_EQ(r.enabled[1].x, 585);
}

TEST(GnomeShellAnswers, WindowsAndAppsAreReadAndBadAnswersGiveNothing) {
    auto w = ShellExtension::parseWindows(
        R"([{"id":"12","pid":40,"app":"a.desktop","title":"T","x":10,"y":20,"width":500,"height":300,)"
        R"("minimized":false,"fullscreen":true,"workspace":1,"focused":true},{"id":"x"},{"id":"13","x":"bad"}])");
    ASSERT_TRUE(w);
    ASSERT_EQ(w->size(), 2u);  // an id that is no number is skipped
    EXPECT_EQ((*w)[0].id, 12u);
    EXPECT_EQ((*w)[0].pid, 40);
    EXPECT_EQ((*w)[0].frame.width, 500);
    EXPECT_TRUE((*w)[0].fullscreen);
    EXPECT_TRUE((*w)[0].focused);
    EXPECT_EQ((*w)[1].frame.x, 0);  // a field of the wrong type reads as absent
    EXPECT_FALSE(ShellExtension::parseWindows("{}"));
    EXPECT_FALSE(ShellExtension::parseWindows("[1]"));
    EXPECT_FALSE(ShellExtension::parseWindows("not json"));

    auto a = ShellExtension::parseApps(R"([{"id":"a.desktop","name":"A","pid":40,"windows":1,"focused":true},{"pid":0}])");
    ASSERT_TRUE(a);
    ASSERT_EQ(a->size(), 1u);  // an app with no process is left out
    EXPECT_EQ((*a)[0].name, "A");
}
