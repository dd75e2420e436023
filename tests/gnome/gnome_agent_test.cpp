// The agent on a headless GNOME Shell, driven by the phone peer: the pointer,
// clicks, keys and typed text reach a Wayland client, a long text is pasted
// through the clipboard, the app list has the client with its icon, activation
// brings a window forward, and a phone session gets a phone-shaped primary
// monitor (the 1920×1080 one off) that BYE takes away again.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "base/base64.h"
#include "gnome/gnome_session.h"
#include "support/desktop_agent.h"

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

class GnomeAgent : public DesktopAgentFixture {
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
    std::string rec;
    ASSERT_NO_FATAL_FAILURE(shiftAThenCommandC(recLog(), &rec));
    EXPECT_TRUE(std::regex_search(rec, std::regex("key down \\d+ c - 4\\b"))) << rec;

    // Typed text the "us" layout has no keys for arrives whole through the input method.
    phoneSays({"T 1 " + vm::base64Encode("é세계😀!")});
    ASSERT_TRUE(waitUntil([&] { return fileText(recLog()).find("text ") != std::string::npos; }, 5)) << fileText(recLog());
    EXPECT_NE(fileText(recLog()).find("text c3a9ec84b8eab384f09f988021"), std::string::npos) << fileText(recLog());

    // A text with line breaks goes in through the clipboard and Control+V.
    ASSERT_NO_FATAL_FAILURE(expectLongTextPasted(recLog()));

    // The app list has the client under its desktop entry's name, and its icon comes as a 64×64 PNG.
    const std::string pid = std::to_string(recorders[0]->pid());
    ASSERT_NO_FATAL_FAILURE(expectAppWithIcon(pid));
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
    expectRecorderColourAt(home / "screen.png", px, py);

    // BYE gives the layout back: the 1920×1080 monitor alone, primary at the origin.
    EXPECT_TRUE(waitUntil([&] {
        auto l = logicalMonitors(&raw);
        return l.size() == 1 && l[0].connector == "Meta-0" && l[0].primary && l[0].x == 0 && l[0].scale == 1.0;
    }, 30)) << raw << fileText(logPath()) << fileText(home / ".local/state/vellomark/vdisp.log");
}
