// The agent on a headless GNOME Shell, driven by the phone peer: the pointer,
// clicks, keys and typed text reach a Wayland client, a long text is pasted
// through the clipboard, the app list has the client with its icon, activation
// brings a window forward, and a phone session gets a phone-shaped primary
// monitor (the 1920×1080 one off) that BYE takes away again.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "base/base64.h"
#include "gnome/gnome_session.h"
#include "integration/agent_fixture.h"

using namespace vmtest;
using vm::test::gnomeRun;
using vm::test::shellCall;

namespace {

const std::string kRecorderBin = std::string(VELLOMARK_BIN_DIR) + "/vm-wayland-recorder";

struct Frame {
    uint64_t id = 0;
    int x = 0, y = 0, w = 0, h = 0;
    bool focused = false;
};

// The recorder windows the extension lists, by app id.
std::optional<Frame> windowOf(const std::string& app) {
    const std::string reply = shellCall("ListWindows");
    const auto open = reply.find('['), close = reply.rfind(']');
    if (open == std::string::npos || close == std::string::npos) return std::nullopt;
    auto j = nlohmann::json::parse(reply.substr(open, close - open + 1), nullptr, false);
    if (!j.is_array()) return std::nullopt;
    for (const auto& w : j)
        if (w.value("app", "") == app + ".desktop" || w.value("wmClass", "") == app)
            return Frame{std::stoull(w.value("id", "0")), w.value("x", 0), w.value("y", 0), w.value("width", 0),
                         w.value("height", 0), w.value("focused", false)};
    return std::nullopt;
}

struct Logical {
    int x, y;
    double scale;
    bool primary;
    std::string connector;
};

// The logical monitors mutter has now.
std::vector<Logical> logicalMonitors(std::string* raw = nullptr) {
    const std::string state = gnomeRun(
        "gdbus call --session -d org.gnome.Mutter.DisplayConfig -o /org/gnome/Mutter/DisplayConfig -m "
        "org.gnome.Mutter.DisplayConfig.GetCurrentState");
    if (raw) *raw = state;
    std::vector<Logical> out;
    const std::regex entry(R"(\((-?\d+), (-?\d+), ([\d.]+), uint32 \d+, (true|false), \[\('([^']+)')");
    for (std::sregex_iterator it(state.begin(), state.end(), entry), end; it != end; ++it)
        out.push_back({std::stoi((*it)[1]), std::stoi((*it)[2]), std::stod((*it)[3]), (*it)[4] == "true", (*it)[5]});
    return out;
}

class GnomeAgent : public AgentFixture {
protected:
    std::vector<std::unique_ptr<Process>> recorders;
    std::string recLog(int n = 0) const { return home / ("recorder" + std::to_string(n) + ".log"); }

    EnvOverrides agentEnv() const override { return {{"VELLOMARK_PLATFORM", std::nullopt}}; }
    void SetUp() override {
        VM_REQUIRE_GNOME();
        startRecorder("dev.brisval.VmRecorder", "33CC66", 0);
        AgentFixture::SetUp();
        ASSERT_TRUE(waitForFileContaining(logPath(), "플랫폼 — gnome (WAYLAND_DISPLAY=", 5)) << fileText(logPath());
    }
    void TearDown() override {
        AgentFixture::TearDown();
        for (auto& r : recorders) {
            if (r->running()) r->signal(SIGTERM);
            r->waitExit(5);
        }
    }
    void startRecorder(const std::string& app, const std::string& colour, int n) {
        recorders.push_back(spawn({kRecorderBin, "--app-id", app, "--title", app, "--colour", colour, "--size", "500x300",
                                   "--log", recLog(n)},
                                  {{"XDG_RUNTIME_DIR", vm::test::gnomeEnv().at("XDG_RUNTIME_DIR")}}));
        ASSERT_TRUE(waitUntil([&] { return recorders.back()->stdoutText().rfind("ready", 0) == 0; }, 15))
            << recorders.back()->stderrText();
        ASSERT_TRUE(waitUntil([&] { return windowOf(app).has_value(); }, 10)) << shellCall("ListWindows");
    }
    // The phone's lines, one message each; "P 9" last, so its echo means all were handled.
    void phoneSays(std::vector<std::string> lines) {
        lines.insert(lines.begin(), {"ctl", "--wait", "P 9 "});
        lines.push_back("P 9");
        std::string out;
        ASSERT_TRUE(run("vellomark-phone", lines, &out).exitedWith(0)) << out;
    }
};

}  // namespace

TEST_F(GnomeAgent, PhoneInputReachesAWaylandClient) {
    pair();
    const Frame f = *windowOf("dev.brisval.VmRecorder");
    const int cx = f.x + 250, cy = f.y + 150;
    // The pointer moves for real and a click lands where it points (window coordinates).
    phoneSays({"A " + std::to_string(cx) + " " + std::to_string(cy), "B L 1", "B L 0"});
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("button up 1 250 150") != std::string::npos; }, 5))
        << fileText(recLog()) << fileText(logPath());
    EXPECT_NE(shellCall("Pointer").find("(" + std::to_string(cx) + ", " + std::to_string(cy) + ","), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return windowOf("dev.brisval.VmRecorder")->focused; }, 5));

    // Shift+a is "A" with Shift held (1); Command+c is Control+c (4) on Linux.
    phoneSays({"K 225 1", "K 4 1", "K 4 0", "K 225 0", "K 227 1", "K 6 1", "K 6 0", "K 227 0"});
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("key up 54 c") != std::string::npos; }, 5))
        << fileText(recLog());
    std::string rec = fileText(recLog());
    EXPECT_TRUE(std::regex_search(rec, std::regex("key down \\d+ A 41 1\\b"))) << rec;
    EXPECT_TRUE(std::regex_search(rec, std::regex("key down \\d+ c - 4\\b"))) << rec;

    // Typed text the "us" layout has no keys for arrives whole through the input method.
    phoneSays({"T 1 " + vm::base64Encode("é세계😀!")});
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("text ") != std::string::npos; }, 5)) << fileText(recLog());
    EXPECT_NE(fileText(recLog()).find("text c3a9ec84b8eab384f09f988021"), std::string::npos) << fileText(recLog());

    // A text with line breaks goes in through the clipboard and Control+V.
    std::string longText;
    for (int i = 0; i < 400; ++i) longText += "line " + std::to_string(i) + " — 한글 and text\n";
    std::string out;
    ASSERT_TRUE(run("vellomark-phone", {"txt", longText}, &out).exitedWith(0)) << out;
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("paste ") != std::string::npos; }, 10))
        << fileText(recLog());
    EXPECT_EQ(fileText(recLog() + ".paste"), longText);

    // The app list has the client under its desktop entry's name, and its icon comes as a 64×64 PNG.
    const std::string pid = std::to_string(recorders[0]->pid());
    ASSERT_TRUE(run("vellomark-phone", {"apps", "--icon", pid, home / "icon.png"}, &out).exitedWith(0)) << out;
    EXPECT_NE(out.find("\"name\":\"VmRec\",\"pid\":" + pid), std::string::npos) << out;
    const std::string png = fileText(home / "icon.png");
    ASSERT_GT(png.size(), 24u);
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x40\0\0\0\x40", 8));
}

TEST_F(GnomeAgent, ActivationBringsAWindowForward) {
    pair();
    startRecorder("dev.brisval.VmRecorder2", "3366CC", 1);
    ASSERT_TRUE(waitUntil([&] { return windowOf("dev.brisval.VmRecorder2")->focused; }, 5)) << shellCall("ListWindows");
    phoneSays({"APPUP " + std::to_string(recorders[0]->pid())});
    EXPECT_TRUE(waitUntil([&] { return windowOf("dev.brisval.VmRecorder")->focused; }, 5)) << shellCall("ListWindows");
    EXPECT_FALSE(windowOf("dev.brisval.VmRecorder2")->focused);
}

TEST_F(GnomeAgent, PhoneSessionGetsAPhoneShapedPrimaryMonitorUntilBye) {
    pair();
    auto phone = tool("vellomark-phone", {"session", "--vd", "1170", "2532", "--seconds", "16", "--save-png",
                                          home / "screen.png"});
    // One monitor stays on: a phone-shaped one, primary at the origin at scale 2.
    std::string raw;
    auto phoneOnly = [&] {
        auto l = logicalMonitors(&raw);
        return l.size() == 1 && l[0].primary && l[0].x == 0 && l[0].y == 0 && l[0].scale == 2.0 &&
               l[0].connector != "Meta-0" &&
               std::regex_search(raw, std::regex("'" + l[0].connector + "'[^\\]]*\\[\\('1170x2532@[\\d.]+', 1170, 2532, "
                                                 "[^{]*\\{'is-current': <true>"));
    };
    ASSERT_TRUE(waitUntil(phoneOnly, 30)) << raw << fileText(logPath()) << fileText(home / ".local/state/vellomark/vdisp.log")
                                          << phone->stdoutText() << phone->stderrText();
    // The client's window lies on it.
    std::optional<Frame> f;
    ASSERT_TRUE(waitUntil([&] {
        f = windowOf("dev.brisval.VmRecorder");
        return f && f->x >= 0 && f->y >= 0 && f->x + f->w <= 1170 + 10 && f->y + f->h <= 2532;
    }, 20)) << shellCall("ListWindows");

    auto st = phone->waitExit(40);
    ASSERT_TRUE(st && st->exitedWith(0)) << phone->stdoutText() << phone->stderrText();
    // The decoded picture shows the client's colour where its window is (2532 rows scaled to 2048).
    const double scale = 2048.0 / 2532.0;
    const int px = static_cast<int>((f->x + f->w / 2) * scale), py = static_cast<int>((f->y + f->h / 2) * scale);
    const std::string rgb = gnomeRun("ffmpeg -v error -i " + std::string(home / "screen.png") + " -vf crop=1:1:" +
                                     std::to_string(px) + ":" + std::to_string(py) +
                                     " -f rawvideo -pix_fmt rgb24 - | od -An -tu1");
    std::istringstream in(rgb);
    int r = -1, g = -1, b = -1;
    in >> r >> g >> b;
    EXPECT_NEAR(r, 0x33, 16) << rgb;
    EXPECT_NEAR(g, 0xCC, 16) << rgb;
    EXPECT_NEAR(b, 0x66, 16) << rgb;

    // BYE gives the layout back: the 1920×1080 monitor alone, primary at the origin.
    EXPECT_TRUE(waitUntil([&] {
        auto l = logicalMonitors(&raw);
        return l.size() == 1 && l[0].connector == "Meta-0" && l[0].primary && l[0].x == 0 && l[0].scale == 1.0;
    }, 30)) << raw << fileText(logPath()) << fileText(home / ".local/state/vellomark/vdisp.log");
}
