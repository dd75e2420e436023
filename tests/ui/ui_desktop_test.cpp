// The agent's desktop interface on a real X server, read and clicked the way a
// user would: the tray icon opens the status menu, whose items are read through
// the accessibility bus; a phone's pairing request is allowed by clicking Allow
// in the panel and refused by Return; the share sheet shows its message.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "integration/agent_fixture.h"
#include "share/share.h"
#include "ui/atspi_tree.h"
#include "x11/x_server.h"

using namespace vmtest;
using vm::test::Widget;
using vm::test::xRun;

namespace {

constexpr const char* kApp = "vellomark";
constexpr const char* kPanel = "Vellomark";

// A private session bus (the accessibility bus is started from it) and an XEmbed
// tray at the top-left corner, for the whole suite.
class UiDesktop : public AgentFixture {
protected:
    static inline std::unique_ptr<Process> bus, tray;

    static void SetUpTestSuite() {
        if (vm::test::xDisplay().empty()) return;
        ::unsetenv("NO_AT_BRIDGE");  // the agent and the sheet must be on the accessibility bus
        bus = spawn({"/usr/bin/dbus-daemon", "--session", "--nofork", "--print-address=1"});
        ASSERT_TRUE(waitUntil([] { return bus->stdoutText().find('\n') != std::string::npos; }, 10))
            << bus->stderrText();
        const std::string address = bus->stdoutText().substr(0, bus->stdoutText().find('\n'));
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        tray = spawn({"/usr/bin/trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel", "--width", "48",
                      "--heighttype", "pixel", "--height", "24", "--SetDockType", "false", "--SetPartialStrut",
                      "false", "--expand", "false"});
        vm::test::atspiStart();
    }
    static void TearDownTestSuite() {
        for (auto* p : {&tray, &bus})
            if (*p && (*p)->running()) (*p)->signal(SIGTERM), (*p)->waitExit(5);
        tray.reset();
        bus.reset();
    }

    EnvOverrides agentEnv() const override { return {{"DISPLAY", vm::test::xDisplay()}}; }
    void SetUp() override {
        VM_REQUIRE_X();
        AgentFixture::SetUp();
        ASSERT_TRUE(waitForFileContaining(logPath(), "메뉴 막대 — GTK", 5)) << fileText(logPath());
        // The icon sits in the tray once the menu can be read through the bus.
        ASSERT_TRUE(waitUntil([] { return xRun("xdotool search --classname trayer").size() > 0; }, 10));
    }

    // Clicks the tray icon and returns the menu's items once it shows.
    std::vector<Widget> openMenu() {
        std::vector<Widget> items;
        for (int attempt = 0; attempt < 3 && items.empty(); ++attempt) {
            xRun("xdotool mousemove 12 12 click 1");
            waitUntil([&] { return !(items = vm::test::openMenuItems(kApp)).empty(); }, 3, 0.1);
        }
        return items;
    }
    void closeMenu() {
        xRun("xdotool key Escape");
        waitUntil([] { return vm::test::openMenuItems(kApp).empty(); }, 3, 0.1);
    }
    static std::vector<std::string> names(const std::vector<Widget>& items) {
        std::vector<std::string> out;
        for (const auto& w : items) out.push_back(w.name);
        return out;
    }
    static const Widget* item(const std::vector<Widget>& items, const std::string& name) {
        for (const auto& w : items)
            if (w.name == name) return &w;
        return nullptr;
    }
    void click(const Widget& w) {
        xRun("xdotool mousemove " + std::to_string(w.centreX()) + " " + std::to_string(w.centreY()) + " click 1");
    }

    // Starts `vellomark-phone pair` and waits for the panel showing its code.
    std::unique_ptr<Process> startPairing(std::string* code) {
        auto phone = tool("vellomark-phone", {"pair", "--name", "Test phone", "--timeout", "30"});
        std::smatch m;
        const std::regex shown("code: (\\d{6})");
        std::string out;
        EXPECT_TRUE(waitUntil([&] { out = phone->stdoutText(); return std::regex_search(out, m, shown); }, 20)) << out;
        *code = m[1];
        EXPECT_TRUE(waitUntil([] { return vm::test::windowShowing(kApp, kPanel); }, 10));
        return phone;
    }
};

const std::vector<std::string> kTail = {"—", "Version " PROJECT_VERSION};

}  // namespace

TEST_F(UiDesktop, PairingIsAllowedByClickingAllowAndRefusedByReturn) {
    std::string code;
    auto phone = startPairing(&code);
    // The panel: the phone's name, its code, the hint, the two buttons; the user's
    // focus stays where it was.
    const auto labels = vm::test::labelsIn(kApp, kPanel);
    ASSERT_GE(labels.size(), 3u);
    EXPECT_EQ(labels[0], "Test phone wants to connect");
    EXPECT_EQ(labels[1], code);
    EXPECT_EQ(labels[2], "Allow only if this code matches the one on your iPhone.");
    const std::string panelWin = xRun("xdotool search --name '^Vellomark$'");
    EXPECT_NE(xRun("xdotool getactivewindow 2>/dev/null"), panelWin);

    // While the request is on show the menu offers it too, right after the connection lines.
    const auto items = names(openMenu());
    ASSERT_GE(items.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(items.begin() + 5, items.begin() + 10),
              (std::vector<std::string>{"Test phone wants to connect", "Code  " + code, "Allow", "Deny", "—"}));
    closeMenu();

    // Return in the panel refuses: the phone is told no, and the panel goes.
    auto deny = vm::test::findWidget(kApp, kPanel, "label", "Test phone wants to connect");
    ASSERT_TRUE(deny);
    click(*deny);  // the panel takes the keys once the user clicks it
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the window manager hands over the focus
    xRun("xdotool key Return");
    auto st = phone->waitExit(20);
    ASSERT_TRUE(st.has_value());
    EXPECT_FALSE(st->exitedWith(0)) << phone->stdoutText();
    EXPECT_TRUE(waitUntil([] { return !vm::test::windowShowing(kApp, kPanel); }, 5));
    EXPECT_EQ(phone->stdoutText().find("identity: "), std::string::npos);

    // A second request, allowed with a click on Allow: the phone is paired.
    phone = startPairing(&code);
    auto allow = vm::test::findWidget(kApp, kPanel, "push button", "Allow");
    ASSERT_TRUE(allow);
    click(*allow);
    st = phone->waitExit(20);
    ASSERT_TRUE(st && st->exitedWith(0)) << phone->stdoutText() << phone->stderrText();
    EXPECT_NE(phone->stdoutText().find("identity: "), std::string::npos);
    EXPECT_TRUE(waitUntil([] { return !vm::test::windowShowing(kApp, kPanel); }, 5));
}

TEST_F(UiDesktop, MenuListsItsItemsInOrderDisconnectedAndConnected) {
    // Disconnected, nothing paired yet.
    auto items = openMenu();
    const std::vector<std::string> head = {"Vellomark", "—", "● Waiting for iPhone", "No virtual display", "—",
                                           "✓ Input control", "✓ Screen capture", "—", "Paired iPhones",
                                           "Disconnect", "Send File to iPhone…"};
    auto got = names(items);
    ASSERT_EQ(got.size(), head.size() + 6) << testing::PrintToString(got);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + head.size()), head);
    EXPECT_EQ(std::vector<std::string>(got.begin() + head.size(), got.begin() + head.size() + 2), kTail);
    EXPECT_EQ(got[head.size() + 3], "—");
    EXPECT_EQ(got[head.size() + 4], "Uninstall Vellomark…");
    EXPECT_EQ(got[head.size() + 5], "Quit Vellomark");
    EXPECT_FALSE(item(items, "Vellomark")->enabled);
    EXPECT_FALSE(item(items, "Disconnect")->enabled);
    EXPECT_FALSE(item(items, "Send File to iPhone…")->enabled);
    EXPECT_TRUE(item(items, "Quit Vellomark")->enabled);
    closeMenu();

    // Connected: a phone session wanting the screen and taking the video.
    pair();
    auto phone = tool("vellomark-phone", {"session", "--vd", "1170", "2532", "--seconds", "25"});
    const std::regex detail("^\\d+×\\d+ · \\d+ fps$");
    ASSERT_TRUE(waitUntil(
        [&] {
            items = openMenu();
            got = names(items);
            closeMenu();
            return got.size() > 3 && got[2] == "● Test phone connected" && std::regex_match(got[3], detail);
        },
        30, 1))
        << testing::PrintToString(got);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 3),
              (std::vector<std::string>{"Vellomark", "—", "● Test phone connected"}));
    EXPECT_TRUE(item(items, "Disconnect")->enabled);
    EXPECT_TRUE(item(items, "Send File to iPhone…")->enabled);

    // Disconnect ends the phone's session.
    items = openMenu();
    ASSERT_NE(item(items, "Disconnect"), nullptr);
    click(*item(items, "Disconnect"));
    EXPECT_TRUE(waitForFileContaining(logPath(), "폰을 끊었다 (KICK)", 10)) << fileText(logPath());
    phone->waitExit(30);
}

TEST_F(UiDesktop, ShareSheetShowsWhyNothingWasSentAndClosesOnReturn) {
    EnvOverrides e = env();
    e["DISPLAY"] = vm::test::xDisplay();
    // The sheet ends through main's return; GTK's caches at exit are no leak of ours.
    if (const char* asan = std::getenv("ASAN_OPTIONS")) e["ASAN_OPTIONS"] = std::string(asan) + ":detect_leaks=0";
    auto sheet = spawn({kBin + "/vellomark-share", "--dialog", home / "nothing.txt"}, e, home.path());
    const std::string text = vm::share::kTextNotConnected;
    ASSERT_TRUE(waitUntil(
        [&] { return vm::test::findWidget("vellomark-share", "Vellomark", "label", text).has_value(); }, 10));
    auto ok = vm::test::findWidget("vellomark-share", "Vellomark", "push button", "OK");
    ASSERT_TRUE(ok);
    xRun("xdotool key Return");
    auto st = sheet->waitExit(10);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(st->exitedWith(1)) << st->describe();
}
