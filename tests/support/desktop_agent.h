#pragma once
// The agent on a real desktop (Xorg, GNOME Shell), driven by the phone peer against
// a recording client: the steps and checks the desktop backends' agent tests share.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "integration/agent_fixture.h"
#include "support/desktop_server.h"

namespace vmtest {

class DesktopAgentFixture : public AgentFixture {
protected:
    // The phone's lines, one message each; "P 9" last, so its echo means all were handled.
    void phoneSays(std::vector<std::string> lines) {
        lines.insert(lines.begin(), {"ctl", "--wait", "P 9 "});
        lines.push_back("P 9");
        std::string out;
        ASSERT_TRUE(run("vellomark-phone", lines, &out).exitedWith(0)) << out;
    }

    // Shift+a, then Command+c, each key up again; checks that the client saw "A" with
    // Shift held (state 1) and gives its log in `rec` for the Control+c line, which
    // differs by desktop.
    void shiftAThenCommandC(const std::string& recLog, std::string* rec) {
        phoneSays({"K 225 1", "K 4 1", "K 4 0", "K 225 0", "K 227 1", "K 6 1", "K 6 0", "K 227 0"});
        ASSERT_TRUE(waitUntil([&] { return fileText(recLog).find("key up 54 c") != std::string::npos; }, 5))
            << fileText(recLog);
        *rec = fileText(recLog);
        EXPECT_TRUE(std::regex_search(*rec, std::regex("key down \\d+ A 41 1\\b"))) << *rec;
    }

    // A text with line breaks goes in through the clipboard and Control+V: the client
    // pastes it whole.
    void expectLongTextPasted(const std::string& recLog) {
        std::string longText;
        for (int i = 0; i < 400; ++i) longText += "line " + std::to_string(i) + " — 한글 and text\n";
        std::string out;
        ASSERT_TRUE(run("vellomark-phone", {"txt", longText}, &out).exitedWith(0)) << out;
        ASSERT_TRUE(waitUntil([&] { return fileText(recLog).find("paste ") != std::string::npos; }, 10))
            << fileText(recLog);
        EXPECT_EQ(fileText(recLog + ".paste"), longText);
    }

    // The app list has the client "VmRec" with `pid`, and its icon comes as a 64×64 PNG.
    void expectAppWithIcon(const std::string& pid) {
        std::string out;
        ASSERT_TRUE(run("vellomark-phone", {"apps", "--icon", pid, home / "icon.png"}, &out).exitedWith(0)) << out;
        EXPECT_NE(out.find("\"name\":\"VmRec\",\"pid\":" + pid), std::string::npos) << out;
        const std::string png = fileText(home / "icon.png");
        ASSERT_GT(png.size(), 24u);
        EXPECT_EQ(png.substr(1, 3), "PNG");
        EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x40\0\0\0\x40", 8));
    }

    // The pixel at px,py of the picture `png` is close to the recorder's colour 33CC66.
    void expectRecorderColourAt(const std::string& png, int px, int py) {
        const std::string rgb = vm::test::commandOutput("ffmpeg -v error -i " + png + " -vf crop=1:1:" +
                                                        std::to_string(px) + ":" + std::to_string(py) +
                                                        " -f rawvideo -pix_fmt rgb24 - | od -An -tu1");
        std::istringstream in(rgb);
        int r = -1, g = -1, b = -1;
        in >> r >> g >> b;
        EXPECT_NEAR(r, 0x33, 16) << rgb;
        EXPECT_NEAR(g, 0xCC, 16) << rgb;
        EXPECT_NEAR(b, 0x66, 16) << rgb;
    }
};

}  // namespace vmtest
