// A whole phone session against a headless desktop with a monitor and windows:
// the phone's HELLO and VD make a virtual display of its shape the main display,
// the monitor goes dark, windows come over, the video has the phone's shape, and
// BYE (or SIGTERM) gives everything back.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <regex>
#include <string>

#include "integration/agent_fixture.h"

using namespace vmtest;

namespace {

class DisplaySession : public AgentFixture {
protected:
    EnvOverrides agentEnv() const override {
        writeFile(home / "scene.json", R"({
          "displays": [{"width": 1920, "height": 1080}],
          "apps": [{"pid": 501, "name": "Notes", "bundleID": "org.example.notes"},
                   {"pid": 502, "name": "mail", "bundleID": "org.example.mail"},
                   {"pid": 503, "name": "Helper", "bundleID": "org.example.helper", "policy": "accessory"}],
          "frontmost": 501,
          "windows": [{"owner": 501, "x": 700, "y": 200, "width": 1200, "height": 800},
                      {"owner": 502, "x": 900, "y": 500, "width": 600, "height": 400}]
        })");
        return {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}};
    }
    std::string stateDir() const { return home / ".local/state/vellomark"; }
    std::string inputLog() const { return stateDir() + "/inputd.log"; }
    std::string vdispLog() const { return stateDir() + "/vdisp.log"; }
    std::string videoLog() const { return stateDir() + "/videod.log"; }
    std::string physicalOffFile() const { return home / ".local/share/vellomark/physical-off"; }
};

std::map<std::string, std::string> summaryOf(const std::string& out) {
    std::map<std::string, std::string> m;
    auto at = out.rfind("video frames=");
    if (at == std::string::npos) return m;
    std::string line = out.substr(at, out.find('\n', at) - at);
    std::regex field("(\\w+)=(\\S+)");
    for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) m[(*it)[1]] = (*it)[2];
    return m;
}

}  // namespace

TEST_F(DisplaySession, HelloAndVdGiveThePhoneAScreenOfItsShapeAndByeGivesItBack) {
    pair();
    auto phone = tool("vellomark-phone", {"session", "--d", "0", "0", "--vd", "1170", "2532", "--seconds", "12"});

    // The virtual display: vendor 13398, the phone's pixels at 2x, made the main display.
    ASSERT_TRUE(waitForFileContaining(vdispLog(), "585x1266 pt (1170x2532 px)", 30)) << fileText(vdispLog());
    ASSERT_TRUE(waitForFileContaining(vdispLog(), "(우리 것=예)", 10)) << fileText(vdispLog());
    // The monitor is switched off, and its number written down for a crash.
    ASSERT_TRUE(waitForFileContaining(inputLog(), "물리 화면을 껐다 — [1]", 15)) << fileText(inputLog());
    // The windows of the monitor are gathered onto the phone's screen.
    ASSERT_TRUE(waitForFileContaining(inputLog(), "창 모으기 — 후보 ", 15)) << fileText(inputLog());
    EXPECT_TRUE(waitForFileContaining(videoLog(), "캡처 시작 1170×2048", 20)) << fileText(videoLog());

    auto st = phone->waitExit(60);
    const std::string out = phone->stdoutText() + phone->stderrText();
    ASSERT_TRUE(st && st->exitedWith(0)) << out;
    // "D 0 0" asks for the main display's size in points.
    EXPECT_TRUE(std::regex_search(out, std::regex("\nD (1920 1080|1024 576|585 1266)\n"))) << out;
    EXPECT_NE(out.find("HV 2"), std::string::npos) << out;
    auto s = summaryOf(out);
    // The video is the virtual display's, capped at 2048 pixels high.
    EXPECT_EQ(s["size"], "1170x2048") << out;
    EXPECT_GE(std::stol(s["decoded"]), 10) << out;
    EXPECT_EQ(s["decodeErrors"], "0") << out;

    // BYE: the monitor comes back and the virtual display goes.
    ASSERT_TRUE(waitForFileContaining(inputLog(), "폰이 그만 쓴다고 했다 — 가상 화면을 놓는다", 10)) << fileText(inputLog());
    ASSERT_TRUE(waitForFileContaining(inputLog(), "물리 화면을 켰다 — [1]", 10)) << fileText(inputLog());
    ASSERT_TRUE(waitForFileContaining(vdispLog(), "가상 화면을 놓는다", 10)) << fileText(vdispLog());
    EXPECT_FALSE(fs::exists(physicalOffFile()));
}

TEST_F(DisplaySession, SigtermWhileTheMonitorIsOffTurnsItBackOn) {
    pair();
    auto phone = tool("vellomark-phone", {"session", "--vd", "1170", "2532", "--seconds", "6", "--no-bye"});
    ASSERT_TRUE(waitForFileContaining(inputLog(), "물리 화면을 껐다 — [1]", 30)) << fileText(inputLog());
    EXPECT_EQ(fileText(physicalOffFile()), "1");
    ASSERT_TRUE(agent->signal(SIGTERM));
    auto st = agent->waitExit(10);
    ASSERT_TRUE(st && st->exitedWith(0));
    EXPECT_NE(fileText(inputLog()).find("물리 화면을 켰다 — [1]"), std::string::npos) << fileText(inputLog());
    EXPECT_FALSE(fs::exists(physicalOffFile()));
    phone->waitExit(30);
}

TEST_F(DisplaySession, TheAppListAndAnIconReachThePhone) {
    pair();
    std::string out;
    const std::string icon = home / "notes.png";
    ASSERT_TRUE(run("vellomark-phone", {"apps", "--icon", "501", icon}, &out).exitedWith(0)) << out;
    // Regular apps only, "mail" before "Notes", the frontmost one active.
    auto at = out.find('[');
    ASSERT_NE(at, std::string::npos) << out;
    auto list = nlohmann::json::parse(out.substr(at, out.find('\n', at) - at));
    ASSERT_EQ(list.size(), 2u) << out;
    EXPECT_EQ(list[0]["name"], "mail");
    EXPECT_EQ(list[0]["active"], false);
    EXPECT_EQ(list[1]["name"], "Notes");
    EXPECT_EQ(list[1]["active"], true);
    std::string png = fileText(icon);
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    // 64 x 64, from the PNG header.
    EXPECT_EQ(static_cast<unsigned char>(png[19]), 64);
    EXPECT_EQ(static_cast<unsigned char>(png[23]), 64);
}
