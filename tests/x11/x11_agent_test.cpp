// The agent on a real X server, driven by the phone peer: the pointer, clicks,
// keys and typed text reach an X client as the right events and characters, a
// multi-line text is pasted, the app list has the client with its icon, and a
// phone session gets a phone-shaped primary output that BYE takes away again.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/base64.h"
#include "support/desktop_agent.h"
#include "x11/x_server.h"

using namespace vmtest;
using vm::test::xRun;

namespace {

const std::string kRecorderBin = std::string(VELLOMARK_BIN_DIR) + "/vm-x11-recorder";
constexpr const char* kColour = "33CC66";

class X11Agent : public DesktopAgentFixture {
protected:
    std::unique_ptr<Process> recorder;
    std::string recLog() const { return home / "recorder.log"; }

    EnvOverrides agentEnv() const override {
        return {{"DISPLAY", vm::test::xDisplay()}, {"VELLOMARK_PLATFORM", std::nullopt}};
    }
    void SetUp() override {
        VM_REQUIRE_X();
        recorder = spawn({kRecorderBin, "--title", "Recorder", "--class", "VmRec", "--colour", kColour, "--icon",
                          "--geometry", "500x300+200+150", "--log", recLog()});
        ASSERT_TRUE(waitUntil([&] { return recorder->stdoutText().rfind("ready ", 0) == 0; }, 10))
            << recorder->stderrText();
        AgentFixture::SetUp();
        ASSERT_TRUE(waitForFileContaining(logPath(), "플랫폼 — x11 (DISPLAY=" + vm::test::xDisplay() + ")", 5))
            << fileText(logPath());
    }
    void TearDown() override {
        AgentFixture::TearDown();
        if (recorder && recorder->running()) recorder->signal(SIGTERM);
        if (recorder) recorder->waitExit(5);
    }
    std::string window() const { return recorder->stdoutText().substr(6, recorder->stdoutText().find('\n') - 6); }
    std::string monitors() { return xRun("xrandr --listmonitors"); }
};

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(X11Agent, PhoneInputReachesAnXClientAsTheRightEvents) {
    pair();
    // The pointer moves for real; a click gives the client the focus.
    phoneSays({"A 300 260", "B L 1", "B L 0"});
    EXPECT_NE(xRun("xdotool getmouselocation").find("x:300 y:260"), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return count(fileText(recLog()), "button up 1 300 260") == 1; }, 5))
        << fileText(recLog());
    ASSERT_TRUE(waitUntil([&] { return xRun("xdotool getactivewindow") == window(); }, 5));
    // A double click: both presses land on the point where the run began, though the
    // phone's second one is a little off. Two taps, each press with its release, the
    // way a phone sends them: all five lines in one burst sometimes lost a release and
    // the press after it to the window manager's click-to-focus grab on a loaded machine.
    phoneSays({"B L 1", "B L 0"});
    phoneSays({"A 303 262", "B L 1", "B L 0"});
    ASSERT_TRUE(waitUntil([&] { return count(fileText(recLog()), "button up 1 30") == 3; }, 5))
        << fileText(recLog()) << "\n---agent\n" << fileText(logPath());
    EXPECT_EQ(count(fileText(recLog()), "button down 1 300 260"), 3) << fileText(recLog());

    // Shift+a is "A"; Command+c is Control+c on Linux (state bit 4 = Control).
    std::string rec;
    ASSERT_NO_FATAL_FAILURE(shiftAThenCommandC(recLog(), &rec));
    EXPECT_TRUE(std::regex_search(rec, std::regex("key down \\d+ c 03 4\\b"))) << rec;

    // Typed text, whatever the layout lacks: accents, Hangul, an emoji.
    phoneSays({"T 1 " + vm::base64Encode("é세계😀!")});
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find(" 21 ") != std::string::npos; }, 5))
        << fileText(recLog());
    rec = fileText(recLog());
    const std::regex typed("key down \\d+ \\S+ (\\S+) ");
    std::string text;
    for (std::sregex_iterator it(rec.begin(), rec.end(), typed), end; it != end; ++it)
        if ((*it)[1] != "-") text += (*it)[1].str() + ",";  // "-": a modifier, no text
    EXPECT_NE(text.find("c3a9,ec84b8,eab384,f09f9880,21,"), std::string::npos) << rec;

    // A text with line breaks goes in through the clipboard and Control+V.
    ASSERT_NO_FATAL_FAILURE(expectLongTextPasted(recLog()));

    // The app list has the client, and its icon comes as a 64×64 PNG.
    const std::string pid = xRun("xprop -id " + window() + " _NET_WM_PID | awk '{print $3}'");
    ASSERT_NO_FATAL_FAILURE(expectAppWithIcon(pid));
}

TEST_F(X11Agent, PhoneSessionGetsAPhoneShapedPrimaryOutputUntilBye) {
    pair();
    auto phone = tool("vellomark-phone", {"session", "--vd", "1170", "2532", "--seconds", "16", "--save-png",
                                          home / "screen.png"});
    // A phone-shaped output becomes primary at the origin, and the 1920×1080 one goes off.
    const std::regex phoneMain("\\+\\*(\\S+) 1170/\\d+x2532/\\d+\\+0\\+0");
    ASSERT_TRUE(waitUntil([&] { return std::regex_search(monitors(), phoneMain); }, 30)) << monitors();
    ASSERT_TRUE(waitUntil([&] { return monitors().find("Monitors: 1") != std::string::npos; }, 20)) << monitors();
    // The client's window lies on it.
    const std::string geo = xRun("xdotool getwindowgeometry " + window());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(geo, m, std::regex("Position: (\\d+),(\\d+)"))) << geo;
    const int wx = std::stoi(m[1]), wy = std::stoi(m[2]);
    EXPECT_LT(wx + 500, 1170 + 10);
    EXPECT_LT(wy + 300, 2532);

    auto st = phone->waitExit(40);
    ASSERT_TRUE(st && st->exitedWith(0)) << phone->stdoutText() << phone->stderrText();
    // The decoded picture shows the client's colour where its window is (2532 rows scaled to 2048).
    const double scale = 2048.0 / 2532.0;
    const int px = static_cast<int>((wx + 250) * scale), py = static_cast<int>((wy + 150) * scale);
    expectRecorderColourAt(home / "screen.png", px, py);

    // BYE gives the layout back: the 1920×1080 output alone, primary at the origin.
    EXPECT_TRUE(waitUntil(
        [&] { return std::regex_search(monitors(), std::regex("Monitors: 1\\s+0: \\+\\*\\S+ 1920/\\d+x1080/\\d+\\+0\\+0")); },
        30))
        << monitors();
}
