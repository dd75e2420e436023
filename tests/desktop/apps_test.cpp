// The app switcher: the list's order, filter and active flags, the push on a
// front-app change, icons as PNG, and bringing an app forward (with and
// without a visible window).
#include <algorithm>
#include <gtest/gtest.h>
#include <png.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "base/base64.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"
#include "platform/headless/headless_workspace.h"
#include "session/apps.h"
#include "support/fake_peer.h"
#include "support/test_files.h"

using namespace vm;
using vm::platform::headless::HeadlessApp;
using vm::platform::headless::HeadlessWorkspace;
using vm::testing::countOf;
using vm::testing::readAll;
using vm::testing::RecordingPeer;
using vm::testing::TempDir;
using nlohmann::json;

namespace {

const char* kScene = R"({
  "apps": [
    {"pid": 11, "name": "Notes", "bundleID": "com.apple.Notes", "policy": "regular", "icon": "#20A040"},
    {"pid": 12, "name": "mail", "bundleID": "com.apple.mail", "policy": "regular"},
    {"pid": 13, "name": "Agent", "bundleID": "org.example.agent", "policy": "prohibited"},
    {"pid": 14, "name": "Accessory", "bundleID": "org.example.menu", "policy": "accessory"},
    {"pid": 15, "name": "Zed", "bundleID": "org.example.zed", "policy": "regular"}
  ],
  "frontmost": 11,
  "windows": [
    {"owner": 11, "number": 1, "x": 0, "y": 0, "width": 400, "height": 300},
    {"owner": 12, "number": 2, "x": 0, "y": 0, "width": 400, "height": 300, "minimized": true}
  ]
})";

struct Gathered {
    std::optional<int32_t> pid;
    bool wake;
    double at;
};

struct AppsRig {
    TempDir dir{"vm-apps"};
    FakeClock clock;
    Logger log{dir.path, clock};
    HeadlessWorkspace ws{kScene};
    PhoneState phone{clock.now()};
    CtlSender sender{phone, nullptr};
    std::shared_ptr<RecordingPeer> peer = std::make_shared<RecordingPeer>(clock.now());
    std::vector<Gathered> gathered;
    Apps apps{AppsDeps{clock, log, ws, ws, sender, phone,
                       [this](std::optional<int32_t> pid, bool wake) {
                           gathered.push_back({pid, wake, clock.now()});
                           return 0;
                       },
                       nullptr, nullptr}};

    json list() { return json::parse(toString(apps.runningAppsJSON())); }
    std::string logText() { return readAll(log.cursorLogPath()); }
    void connect() { phone.setPhoneConn(peer); }
    // The pushed APPS chunks put back together.
    std::vector<json> pushedLists() {
        std::vector<json> out;
        std::string b64;
        for (const auto& line : peer->lines()) {
            EXPECT_EQ(line.rfind("APPS ", 0), 0u) << line;
            // "APPS i/n piece\n"
            size_t sp1 = line.find(' '), sp2 = line.find(' ', sp1 + 1);
            std::string idx = line.substr(sp1 + 1, sp2 - sp1 - 1);
            b64 += line.substr(sp2 + 1, line.size() - sp2 - 2);
            size_t slash = idx.find('/');
            if (std::stoi(idx.substr(0, slash)) + 1 == std::stoi(idx.substr(slash + 1))) {
                auto raw = base64Decode(b64);
                EXPECT_TRUE(raw.has_value());
                out.push_back(json::parse(toString(*raw)));
                b64.clear();
            }
        }
        return out;
    }
};

std::vector<std::string> names(const json& list) {
    std::vector<std::string> out;
    for (const auto& e : list) out.push_back(e["name"].get<std::string>());
    return out;
}

}  // namespace

TEST(AppsList, RegularRunningAppsSortedCaseInsensitively) {
    AppsRig r;
    const json list = r.list();
    ASSERT_TRUE(list.is_array());
    EXPECT_EQ(names(list), (std::vector<std::string>{"mail", "Notes", "Zed"}));
    for (const auto& e : list) {
        EXPECT_EQ(e.size(), 3u) << "exactly pid, name and active";
        EXPECT_TRUE(e["pid"].is_number_integer());
        EXPECT_TRUE(e["active"].is_boolean());
    }
    // Compact, as serialised without options.
    EXPECT_EQ(toString(r.apps.runningAppsJSON()).find(' '), std::string::npos);
}

TEST(AppsList, BackgroundAccessoryAndTerminatedAppsAreNeverListed) {
    AppsRig r;
    r.ws.quitApp(15);
    const json list = r.list();
    for (const auto& e : list) {
        EXPECT_NE(e["pid"], 13);
        EXPECT_NE(e["pid"], 14);
        EXPECT_NE(e["pid"], 15);
    }
    EXPECT_EQ(list.size(), 2u);
}

TEST(AppsList, OnlyTheFrontmostAppIsActive) {
    AppsRig r;
    for (const auto& e : r.list()) EXPECT_EQ(e["active"].get<bool>(), e["pid"] == 11) << e.dump();
    r.ws.setFrontmost(15);
    for (const auto& e : r.list()) EXPECT_EQ(e["active"].get<bool>(), e["pid"] == 15) << e.dump();
    // The frontmost app being a background one: no entry is active.
    r.ws.setFrontmost(std::nullopt);
    for (const auto& e : r.list()) EXPECT_FALSE(e["active"].get<bool>());
}

TEST(AppsList, NamelessAppsShowAQuestionMarkAndSortFirst) {
    AppsRig r;
    r.ws.addApp(platform::RunningApp{30, std::nullopt, "org.example.nameless", platform::ActivationPolicy::regular, false});
    r.ws.addApp(platform::RunningApp{31, std::string("émigré"), "org.example.e", platform::ActivationPolicy::regular, false});
    r.ws.addApp(platform::RunningApp{32, std::string("Ftp"), "org.example.f", platform::ActivationPolicy::regular, false});
    r.ws.addApp(platform::RunningApp{33, std::string("bad \xff name"), "org.example.b", platform::ActivationPolicy::regular, false});
    const json list = r.list();
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[0]["name"], "?");
    EXPECT_EQ(list[0]["pid"], 30);
    // Accented letters sort beside their base letter; a name that is not UTF-8 does not cost the list.
    EXPECT_EQ(list[1]["pid"], 33);
    EXPECT_EQ(list[2]["pid"], 31);
    EXPECT_EQ(list[3]["name"], "Ftp");
}

TEST(AppsList, NameOrder) {
    EXPECT_TRUE(Apps::nameLess("mail", "Notes"));
    EXPECT_FALSE(Apps::nameLess("Notes", "mail"));
    EXPECT_TRUE(Apps::nameLess("", "a"));
    EXPECT_TRUE(Apps::nameLess("Éclair", "Fig"));
    EXPECT_TRUE(Apps::nameLess("Ärzte", "Bob"));
    EXPECT_TRUE(Apps::nameLess("Дом", "мир"));
    // Equal but for case: a stable, strict order still.
    EXPECT_NE(Apps::nameLess("Mail", "mail"), Apps::nameLess("mail", "Mail"));
    EXPECT_FALSE(Apps::nameLess("mail", "mail"));
}

TEST(AppsFrontWatch, OnePushPerFrontChangeWhileConnected) {
    AppsRig r;
    // No phone: nothing pushed and nothing remembered.
    r.apps.watchFrontApp();
    EXPECT_EQ(r.apps.lastFrontPID(), 0);

    r.connect();
    r.apps.watchFrontApp();
    auto pushes = r.pushedLists();
    ASSERT_EQ(pushes.size(), 1u) << "the first tick after connecting pushes the list";
    EXPECT_EQ(r.apps.lastFrontPID(), 11);

    r.apps.watchFrontApp();
    r.apps.watchFrontApp();
    EXPECT_EQ(r.pushedLists().size(), 1u);

    r.ws.setFrontmost(12);
    r.apps.watchFrontApp();
    pushes = r.pushedLists();
    ASSERT_EQ(pushes.size(), 2u);
    for (const auto& e : pushes[1]) EXPECT_EQ(e["active"].get<bool>(), e["pid"] == 12);
    r.apps.watchFrontApp();
    EXPECT_EQ(r.pushedLists().size(), 2u);

    // No frontmost app counts as pid 0: one push, then quiet.
    r.ws.setFrontmost(std::nullopt);
    r.apps.watchFrontApp();
    r.apps.watchFrontApp();
    EXPECT_EQ(r.pushedLists().size(), 3u);
    EXPECT_EQ(r.apps.lastFrontPID(), 0);
}

TEST(AppsIcons, IconIsAValid64By64Png) {
    AppsRig r;
    auto data = r.apps.appIconPNG(11);
    ASSERT_TRUE(data.has_value());
    const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    ASSERT_GE(data->size(), 8u);
    EXPECT_TRUE(std::equal(sig, sig + 8, data->begin()));

    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&img, data->data(), data->size()));
    EXPECT_EQ(img.width, 64u);
    EXPECT_EQ(img.height, 64u);
    img.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> px(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, px.data(), 0, nullptr));
    auto at = [&](int x, int y) { return &px[(static_cast<size_t>(y) * 64 + x) * 4]; };
    EXPECT_EQ(at(0, 0)[3], 0) << "transparent corner";
    const uint8_t* side = at(2, 32);
    EXPECT_EQ(side[0], 0x20);
    EXPECT_EQ(side[1], 0xA0);
    EXPECT_EQ(side[2], 0x40);
    EXPECT_EQ(side[3], 255);

    EXPECT_FALSE(r.apps.appIconPNG(999).has_value());
    r.ws.quitApp(12);
    EXPECT_FALSE(r.apps.appIconPNG(12).has_value());
}

TEST(AppsIcons, ResamplingAveragesAndRefusesBrokenImages) {
    // Left half red, right half transparent: shrunk to 2×2 the red column stays pure red.
    platform::RgbaImage img;
    img.width = 4;
    img.height = 4;
    img.pixels.assign(64, 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 2; ++x) {
            uint8_t* p = &img.pixels[(static_cast<size_t>(y) * 4 + x) * 4];
            p[0] = 255;
            p[3] = 255;
        }
    auto data = iconToPNG(img, 2);
    ASSERT_TRUE(data.has_value());
    png_image rd{};
    rd.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&rd, data->data(), data->size()));
    rd.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> px(PNG_IMAGE_SIZE(rd));
    ASSERT_TRUE(png_image_finish_read(&rd, nullptr, px.data(), 0, nullptr));
    EXPECT_EQ(px[0], 255);
    EXPECT_EQ(px[3], 255);
    EXPECT_EQ(px[7], 0) << "the right pixel stays transparent";

    platform::RgbaImage broken;
    broken.width = 10;
    broken.height = 10;
    broken.pixels.resize(10);
    EXPECT_FALSE(iconToPNG(broken, 64).has_value());
    broken.width = 0;
    broken.pixels.clear();
    EXPECT_FALSE(iconToPNG(broken, 64).has_value());
}

TEST(AppsBringToFront, MinimisedOnlyAppPressesTheDockThenGathersLater) {
    AppsRig r;
    const double t0 = r.clock.now();
    r.apps.bringAppToFront(12);
    EXPECT_EQ(r.ws.frontmostApp(), std::optional<int32_t>(12));
    EXPECT_EQ(r.ws.dockPressCount(), 1);
    EXPECT_EQ(r.ws.minimized(2), std::optional<bool>(false)) << "the dock restored the window";
    const std::string text = r.logText();
    EXPECT_EQ(countOf(text, "앱 고르개 — mail 을 앞으로\n"), 1);
    EXPECT_EQ(countOf(text, "앱 고르개 — mail 에 보이는 창이 없다 → 독 누르기 됨\n"), 1);
    ASSERT_EQ(r.gathered.size(), 1u);
    EXPECT_EQ(r.gathered[0].pid, std::optional<int32_t>(12));
    EXPECT_TRUE(r.gathered[0].wake);
    EXPECT_NEAR(r.gathered[0].at - t0, Apps::kCheckWindowsAfter + Apps::kGatherAfterDock, 1e-6);
}

TEST(AppsBringToFront, VisibleWindowIsGatheredWithoutTheDock) {
    AppsRig r;
    r.ws.setFrontmost(12);
    const double t0 = r.clock.now();
    r.apps.bringAppToFront(11);
    EXPECT_EQ(r.ws.frontmostApp(), std::optional<int32_t>(11));
    EXPECT_EQ(r.ws.dockPressCount(), 0);
    ASSERT_EQ(r.gathered.size(), 1u);
    EXPECT_EQ(r.gathered[0].pid, std::optional<int32_t>(11));
    EXPECT_TRUE(r.gathered[0].wake);
    EXPECT_NEAR(r.gathered[0].at - t0, Apps::kCheckWindowsAfter, 1e-6);
    EXPECT_EQ(countOf(r.logText(), "독 누르기"), 0);
}

TEST(AppsBringToFront, FailedDockPressIsLoggedAndGatheringStillRuns) {
    AppsRig r;
    r.ws.setAccessibilityFails(true);
    r.apps.bringAppToFront(15);  // Zed has no window at all
    EXPECT_EQ(countOf(r.logText(), "앱 고르개 — Zed 에 보이는 창이 없다 → 독 누르기 실패\n"), 1);
    EXPECT_EQ(r.gathered.size(), 1u);

    // A nameless app goes by "?".
    r.ws.setAccessibilityFails(false);
    r.ws.addApp(platform::RunningApp{40, std::nullopt, "org.example.anon", platform::ActivationPolicy::regular, false});
    r.apps.bringAppToFront(40);
    EXPECT_EQ(countOf(r.logText(), "앱 고르개 — ? 을 앞으로\n"), 1);
    EXPECT_EQ(countOf(r.logText(), "앱 고르개 — ? 에 보이는 창이 없다 → 독 누르기 실패\n"), 1) << "no dock item is titled ?";
}

TEST(AppsBringToFront, UnknownPidDoesNothing) {
    AppsRig r;
    r.apps.bringAppToFront(4242);
    EXPECT_TRUE(r.gathered.empty());
    EXPECT_EQ(r.ws.frontmostApp(), std::optional<int32_t>(11));
    EXPECT_EQ(countOf(r.logText(), "앱 고르개"), 0);
}

TEST(AppsWindows, VisibleCountSkipsMinimisedAndFailsToZero) {
    AppsRig r;
    EXPECT_EQ(r.apps.visibleWindowCount(11), 1);
    EXPECT_EQ(r.apps.visibleWindowCount(12), 0);
    platform::headless::HeadlessWindow w;
    w.owner = 12;
    w.frame = platform::Rect{0, 0, 10, 10};
    r.ws.addWindow(w);
    EXPECT_EQ(r.apps.visibleWindowCount(12), 1);
    EXPECT_EQ(r.apps.visibleWindowCount(999), 0);
    r.ws.setAccessibilityFails(true);
    EXPECT_EQ(r.apps.visibleWindowCount(11), 0);
}

TEST(AppsDock, RevealPressesTheItemTitledExactlyAsTheApp) {
    AppsRig r;
    r.ws.setDock({"Mail", "mail"});
    const auto apps = r.ws.runningApps();
    const auto mail = std::find_if(apps.begin(), apps.end(), [](const auto& a) { return a.name == "mail"; });
    ASSERT_NE(mail, apps.end());
    EXPECT_TRUE(r.ws.revealApp(mail->pid));
    EXPECT_EQ(r.ws.dockPressCount(), 1);
    EXPECT_FALSE(r.ws.revealApp(999999)) << "no such app";
    r.ws.setDockRunning(false);
    EXPECT_FALSE(r.ws.revealApp(mail->pid));
    EXPECT_EQ(r.ws.dockPressCount(), 1);
}
