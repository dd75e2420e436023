// The phone peer's viewer window on a second X server, driving the agent on the
// fixture's: the window is sized to the stream and shows the desktop, XTest input
// on the window reaches an X client on the agent's desktop as the right events,
// a lost agent is said and connected to again, and closing ends the session.
#include <gtest/gtest.h>

#include <filesystem>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>
#include <string>

#include "integration/agent_fixture.h"
#include "x11/x_server.h"

using namespace vmtest;
using vm::test::xRun;

namespace {

const std::string kRecorderBin = std::string(VELLOMARK_BIN_DIR) + "/vm-x11-recorder";
// Where a person finds the picture of the window (next to bin/ in the build folder).
const std::string kScreenshot = std::string(VELLOMARK_BIN_DIR) + "/../x11-viewer.png";

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class X11Viewer : public AgentFixture {
protected:
    std::unique_ptr<Process> recorder, viewer;
    TempDir viewerX{"vellomark-viewer-x"};
    std::string viewerDisplay, viewerAuth;

    std::string recLog() const { return home / "recorder.log"; }
    EnvOverrides agentEnv() const override {
        return {{"DISPLAY", vm::test::xDisplay()}, {"VELLOMARK_PLATFORM", std::nullopt}};
    }
    void SetUp() override {
        VM_REQUIRE_X();
        // The window's own X server, so the agent's pointer and the window's never mix.
        const std::string out = xRun(std::string(VELLOMARK_X11_SCRIPTS) + "/start-x.sh " + viewerX.path() + " 2>&1");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("DISPLAY=(\\S+)\\s+XAUTHORITY=(\\S+)"))) << out;
        viewerDisplay = m[1];
        viewerAuth = m[2];
        recorder = spawn({kRecorderBin, "--title", "Recorder", "--class", "VmRec", "--colour", "33CC66", "--geometry",
                          "500x300+200+150", "--log", recLog()});
        ASSERT_TRUE(waitUntil([&] { return recorder->stdoutText().rfind("ready ", 0) == 0; }, 10))
            << recorder->stderrText();
        AgentFixture::SetUp();
    }
    void TearDown() override {
        if (viewer && viewer->running()) viewer->signal(SIGTERM);
        if (viewer) viewer->waitExit(10);
        AgentFixture::TearDown();
        if (recorder && recorder->running()) recorder->signal(SIGTERM);
        if (recorder) recorder->waitExit(5);
        if (!viewerDisplay.empty()) xRun(std::string(VELLOMARK_X11_SCRIPTS) + "/stop-x.sh " + viewerX.path());
    }

    // A command on the viewer's X server.
    std::string onViewer(const std::string& command) {
        return xRun("DISPLAY=" + viewerDisplay + " XAUTHORITY=" + viewerAuth + " " + command);
    }
    std::string recorderWindow() const {
        return recorder->stdoutText().substr(6, recorder->stdoutText().find('\n') - 6);
    }
    std::string viewerOutput() const { return viewer->stdoutText() + viewer->stderrText(); }
    void startAgentAgain() {
        EnvOverrides e = env();
        for (auto& [k, v] : agentEnv()) e[k] = v;
        agent = spawn({kBin + "/vellomark"}, e, home.path());
    }
};

}  // namespace

TEST_F(X11Viewer, WindowShowsTheDesktopAndItsInputDrivesIt) {
    pair();
    EnvOverrides e = env();
    e["DISPLAY"] = viewerDisplay;
    e["XAUTHORITY"] = viewerAuth;
    e["SDL_VIDEODRIVER"] = "x11";
    // Under the sanitizers: SDL's D-Bus and GL driver libraries keep allocations until the process ends.
    e["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=1";
    viewer = spawn({kBin + "/vellomark-phone", "view", "--vd", "800", "600"}, e, home.path());

    // A phone-shaped session: the window takes the stream's size.
    ASSERT_TRUE(waitUntil([&] { return viewer->stdoutText().find("showing 800x600") != std::string::npos; }, 40))
        << viewerOutput() << fileText(logPath());
    const std::string win = onViewer("xdotool search --name '^Vellomark'");
    ASSERT_FALSE(win.empty()) << onViewer("xwininfo -root -tree");
    ASSERT_TRUE(waitUntil([&] { return onViewer("xdotool getwindowgeometry " + win).find("Geometry: 800x600") !=
                                       std::string::npos; },
                          10))
        << onViewer("xdotool getwindowgeometry " + win);
    onViewer("xdotool windowactivate --sync " + win);

    // The client's window, gathered onto the 800×600 display.
    int wx = -1, wy = -1;
    ASSERT_TRUE(waitUntil(
        [&] {
            std::smatch m;
            const std::string geo = xRun("xdotool getwindowgeometry " + recorderWindow());
            if (!std::regex_search(geo, m, std::regex("Position: (\\d+),(\\d+)"))) return false;
            wx = std::stoi(m[1]);
            wy = std::stoi(m[2]);
            return wx + 500 <= 800 && wy + 300 <= 600 &&
                   std::regex_search(xRun("xrandr --listmonitors"), std::regex("\\+\\*\\S+ 800/\\d+x600/\\d+\\+0\\+0"));
        },
        30))
        << xRun("xrandr --listmonitors") << xRun("xdotool getwindowgeometry " + recorderWindow());
    const std::string at = " --window " + win + " ";
    auto point = [](int x, int y) { return std::to_string(x) + " " + std::to_string(y); };

    // A click on the picture of the client lands on the client, where it was shown.
    onViewer("xdotool mousemove" + at + point(wx + 100, wy + 80) + " click 1");
    ASSERT_TRUE(waitUntil(
        [&] { return fileText(recLog()).find("button up 1 " + point(wx + 100, wy + 80)) != std::string::npos; }, 10))
        << fileText(recLog()) << viewerOutput();
    EXPECT_NE(fileText(recLog()).find("button down 1 " + point(wx + 100, wy + 80)), std::string::npos);

    // A shortcut is keys with their modifier; typing is text; Return is a key.
    onViewer("xdotool key ctrl+c");
    onViewer("xdotool type Hi");
    onViewer("xdotool key Return");
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("key up 36 Return") != std::string::npos; }, 10))
        << fileText(recLog());
    std::string rec = fileText(recLog());
    EXPECT_TRUE(std::regex_search(rec, std::regex("key down \\d+ c 03 4\\b"))) << rec;
    EXPECT_TRUE(std::regex_search(rec, std::regex("key down \\d+ \\S+ 48 [\\s\\S]*key down \\d+ \\S+ 69 "))) << rec;

    // The wheel scrolls both ways; the right button is the right button.
    onViewer("xdotool click 5 click 4 click 3");
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("button up 3 ") != std::string::npos; }, 10))
        << fileText(recLog());
    rec = fileText(recLog());
    EXPECT_LT(rec.find("button down 5 "), rec.find("button down 4 ")) << rec;

    // A slow drag is a hold the agent keeps until the button comes up somewhere else.
    onViewer("xdotool mousemove" + at + point(wx + 50, wy + 50) + " mousedown 1 sleep 0.7 mousemove" + at +
             point(wx + 300, wy + 200) + " sleep 0.2 mouseup 1");
    ASSERT_TRUE(waitUntil(
        [&] { return fileText(recLog()).find("button up 1 " + point(wx + 300, wy + 200)) != std::string::npos; }, 10))
        << fileText(recLog());
    EXPECT_NE(fileText(recLog()).find("button down 1 " + point(wx + 50, wy + 50)), std::string::npos);
    EXPECT_TRUE(waitForFileContaining(logPath(), "버튼 L 유지 끝", 5)) << fileText(logPath());

    // Relative pointer: F2, a click holds the pointer (the title says how to let go), motion moves by as much.
    onViewer("xdotool key F2");
    onViewer("xdotool mousemove" + at + "400 300 click 1");
    ASSERT_TRUE(waitUntil([&] { return onViewer("xprop -id " + win + " _NET_WM_NAME").find("Ctrl+Alt releases") !=
                                       std::string::npos; },
                          5))
        << onViewer("xprop -id " + win + " _NET_WM_NAME");
    onViewer("xdotool mousemove_relative -- -60 -40");
    const std::string moved = "x:" + std::to_string(wx + 240) + " y:" + std::to_string(wy + 160) + " ";
    EXPECT_TRUE(waitUntil([&] { return xRun("xdotool getmouselocation").find(moved) != std::string::npos; }, 5))
        << xRun("xdotool getmouselocation") << " wanted " << moved;
    onViewer("xdotool key ctrl+alt");
    EXPECT_TRUE(waitUntil([&] { return onViewer("xprop -id " + win + " _NET_WM_NAME").find("Ctrl+Alt releases") ==
                                       std::string::npos; },
                          5))
        << onViewer("xprop -id " + win + " _NET_WM_NAME");
    onViewer("xdotool key F2");

    // The figures line, and a picture of the window for a person to look at.
    onViewer("xdotool key F1");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::smatch pos;
    const std::string geo = onViewer("xwininfo -id " + win);
    ASSERT_TRUE(std::regex_search(geo, pos, std::regex("Absolute upper-left X:\\s+(\\d+)\\s+Absolute upper-left Y:\\s+(\\d+)")))
        << geo;
    std::filesystem::remove(kScreenshot);
    onViewer("ffmpeg -v error -y -f x11grab -draw_mouse 0 -video_size 800x600 -i " + viewerDisplay + "+" +
             pos[1].str() + "," + pos[2].str() + " -frames:v 1 " + kScreenshot);
    ASSERT_TRUE(std::filesystem::exists(kScreenshot));
    std::printf("viewer window picture: %s\n", std::filesystem::weakly_canonical(kScreenshot).c_str());
    // The client's colour where the client is.
    const std::string rgb = xRun("ffmpeg -v error -i " + kScreenshot + " -vf crop=1:1:" + std::to_string(wx + 250) +
                                 ":" + std::to_string(wy + 150) + " -f rawvideo -pix_fmt rgb24 - | od -An -tu1");
    std::istringstream in(rgb);
    int r = -1, g = -1, b = -1;
    in >> r >> g >> b;
    EXPECT_NEAR(r, 0x33, 20) << rgb;
    EXPECT_NEAR(g, 0xCC, 20) << rgb;
    EXPECT_NEAR(b, 0x66, 20) << rgb;

    // The agent goes away: the window says so, and plays again once the agent is back.
    agent->signal(SIGTERM);
    ASSERT_TRUE(agent->waitExit(10));
    EXPECT_TRUE(waitUntil([&] { return viewer->stderrText().find("— trying again") != std::string::npos; }, 15))
        << viewerOutput();
    startAgentAgain();
    EXPECT_TRUE(waitUntil([&] { return count(viewer->stdoutText(), "showing 800x600") >= 2; }, 40))
        << viewerOutput() << fileText(logPath());

    // Closing the window (the window manager's Alt+F4) releases what is held and says BYE.
    onViewer("xdotool windowactivate --sync " + win + " key alt+F4");
    auto st = viewer->waitExit(15);
    ASSERT_TRUE(st && st->exitedWith(0)) << viewerOutput();
    EXPECT_NE(viewer->stdoutText().find("BYE sent"), std::string::npos) << viewerOutput();
    EXPECT_TRUE(waitForFileContaining(logPath(), "폰이 그만 쓴다고 했다", 10)) << fileText(logPath());
    EXPECT_TRUE(waitUntil(
        [&] { return std::regex_search(xRun("xrandr --listmonitors"), std::regex("Monitors: 1\\s+0: \\+\\*\\S+ 1920/\\d+x1080/\\d+\\+0\\+0")); },
        30))
        << xRun("xrandr --listmonitors");
}
