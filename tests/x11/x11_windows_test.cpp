// Apps, windows and the session of the X11 backend, against the fixture's Xorg and
// openbox, with recorder windows as the apps and xwininfo/xprop as the outside view.
#include "platform/x11/x11_windows.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_session.h"
#include "x11/x_server.h"

// The session tests play logind and a screensaver on a private bus (GIO comes with recorder.cmake).
#if __has_include(<gio/gio.h>)
#include <gio/gio.h>
#define VM_TEST_WITH_GIO 1
#endif

extern char** environ;

namespace vm::platform::x11 {
namespace {

using test::xDisplay;
using test::xFolder;
using test::xRun;

// A child process whose first line of output the test waits for.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
        posix_spawn_file_actions_addclose(&fa, fds[0]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (::posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
        ::close(fds[1]);
        std::string line;
        pollfd p{fds[0], POLLIN, 0};
        char ch;
        while (pid_ > 0 && ::poll(&p, 1, 10000) == 1 && ::read(fds[0], &ch, 1) == 1 && ch != '\n') line += ch;
        ::close(fds[0]);
        firstLine_ = line;
    }
    ~Child() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    const std::string& firstLine() const { return firstLine_; }

private:
    pid_t pid_ = -1;
    std::string firstLine_;
};

const std::string kRecorder = std::string(VELLOMARK_BIN_DIR) + "/vm-x11-recorder";

struct Recorder : Child {
    explicit Recorder(std::vector<std::string> extra)
        : Child([&] {
              std::vector<std::string> a = {kRecorder, "--log", xFolder() + "/windows-test.log"};
              a.insert(a.end(), extra.begin(), extra.end());
              return a;
          }()) {
        if (firstLine().rfind("ready ", 0) == 0) window = static_cast<uint32_t>(std::stoul(firstLine().substr(6)));
    }
    uint32_t window = 0;
};

// The window manager's frame around `client`, as another client sees it: its parent window.
Rect frameSeenOutside(uint32_t client) {
    const std::string parent =
        xRun("xwininfo -tree -id " + std::to_string(client) + " | awk '/Parent window id/{print $4}'");
    const std::string info = xRun("xwininfo -id " + parent);
    auto field = [&](const std::string& name) {
        const auto at = info.find(name);
        return at == std::string::npos ? -1.0 : std::stod(info.substr(at + name.size()));
    };
    return Rect{field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"), field("Height:")};
}

bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 200; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return done();
}

class X11WindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        VM_REQUIRE_X();
        displays = std::make_unique<X11Displays>(log, xDisplay());
        windows = std::make_unique<X11Windows>(log, xDisplay(), *displays);
    }
    SystemClock clock;
    Logger log{xFolder() + "/windows-logs", clock};
    std::unique_ptr<X11Displays> displays;
    std::unique_ptr<X11Windows> windows;
};

TEST_F(X11WindowsTest, AppsComeFromClientsWithIconsAndFront) {
    Recorder a(
        {"--title", "Alpha", "--class", "VmAlpha", "--colour", "2080C0", "--icon", "--geometry", "300x200+100+100"});
    Recorder b(
        {"--title", "Beta", "--class", "VmBeta", "--colour", "C04020", "--no-pid", "--geometry", "320x220+500+150"});
    Recorder t({"--title", "Shell", "--class", "VmXTerm", "--colour", "000000", "--type", "utility", "--geometry",
                "200x100+50+600"});
    ASSERT_NE(a.window, 0u) << kRecorder << " did not show its window";
    ASSERT_NE(b.window, 0u) << kRecorder << " did not show its window";
    ASSERT_NE(t.window, 0u) << kRecorder << " did not show its window";
    const int32_t bKey = X11Windows::classKey("VmBeta");

    int seen = 0;
    for (const RunningApp& app : windows->runningApps()) {
        if (app.pid == a.pid()) {
            EXPECT_EQ(app.name, std::optional<std::string>("VmAlpha"));
            EXPECT_EQ(app.bundleID, "vmalpha.VmAlpha");
            EXPECT_EQ(app.policy, ActivationPolicy::regular);
            ++seen;
        } else if (app.pid == bKey) {
            EXPECT_EQ(app.name, std::optional<std::string>("VmBeta"));
            ++seen;
        } else if (app.pid == t.pid()) {
            EXPECT_EQ(app.policy, ActivationPolicy::accessory);  // only a utility window
            ++seen;
        }
    }
    EXPECT_EQ(seen, 3);

    const auto icon = windows->appIcon(a.pid());
    ASSERT_TRUE(icon);
    ASSERT_EQ(icon->width, X11Windows::kIconSide);
    ASSERT_EQ(icon->height, X11Windows::kIconSide);
    ASSERT_EQ(icon->pixels.size(), size_t(64 * 64 * 4));
    for (size_t i = 0; i < icon->pixels.size(); i += 4)
        ASSERT_EQ((std::array<int, 4>{icon->pixels[i], icon->pixels[i + 1], icon->pixels[i + 2], icon->pixels[i + 3]}),
                  (std::array<int, 4>{0x20, 0x80, 0xC0, 0xFF}))
            << "pixel " << i / 4;
    EXPECT_FALSE(windows->appIcon(0x3FFFFFF0));  // no such app (openbox gives iconless windows its own)

    // The front app follows activation, as the window manager's own hint says.
    auto activeHint = [] { return xRun("xprop -root _NET_ACTIVE_WINDOW"); };
    auto hex = [](uint32_t w) {
        std::ostringstream s;
        s << "0x" << std::hex << w;
        return s.str();
    };
    ASSERT_TRUE(windows->activate(bKey, false));
    EXPECT_TRUE(waitUntil([&] { return windows->frontmostApp() == bKey; }));
    EXPECT_NE(activeHint().find(hex(b.window)), std::string::npos);
    EXPECT_FALSE(windows->focusedIsTerminal());
    ASSERT_TRUE(windows->activate(a.pid(), true));
    EXPECT_TRUE(waitUntil([&] { return windows->frontmostApp() == a.pid(); }));
    EXPECT_NE(activeHint().find(hex(a.window)), std::string::npos);
    ASSERT_TRUE(windows->activate(t.pid(), false));
    EXPECT_TRUE(waitUntil([&] { return windows->focusedIsTerminal(); }));
    EXPECT_FALSE(windows->activate(0x3FFFFFF0, false));
}

TEST_F(X11WindowsTest, WindowListFramesMovesAndResizes) {
    Recorder a({"--title", "One", "--class", "VmOne", "--colour", "336699", "--geometry", "300x200+120+140"});
    Recorder b({"--title", "Two", "--class", "VmTwo", "--colour", "996633", "--geometry", "260x180+600+300"});
    ASSERT_NE(a.window, 0u) << kRecorder << " did not show its window";
    ASSERT_NE(b.window, 0u) << kRecorder << " did not show its window";
    ASSERT_TRUE(windows->activate(a.pid(), false));
    ASSERT_TRUE(windows->activate(b.pid(), false));

    // Front first: b was raised last.
    std::vector<uint32_t> order;
    for (const WindowInfo& w : windows->windowList()) {
        if (w.number != a.window && w.number != b.window) continue;
        order.push_back(*w.number);
        EXPECT_EQ(w.layer, 0);
        EXPECT_EQ(w.ownerPID, std::optional<int32_t>(*w.number == a.window ? a.pid() : b.pid()));
        ASSERT_TRUE(w.bounds);
        const Rect seen = frameSeenOutside(*w.number);
        EXPECT_EQ(w.bounds->x, seen.x);
        EXPECT_EQ(w.bounds->y, seen.y);
        EXPECT_EQ(w.bounds->width, seen.width);
        EXPECT_EQ(w.bounds->height, seen.height);
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{b.window, a.window}));
    EXPECT_EQ(windows->appWindows(a.pid()), (std::optional<std::vector<ElementRef>>{{a.window}}));
    EXPECT_FALSE(windows->appWindows(0x3FFFFFF0));

    // Position and size are the outer frame's; a read right after sees the change.
    ASSERT_TRUE(windows->setPosition(a.window, Point{250, 180}));
    EXPECT_EQ(windows->position(a.window)->x, 250);
    Rect seen = frameSeenOutside(a.window);
    EXPECT_EQ(seen.x, 250);
    EXPECT_EQ(seen.y, 180);
    ASSERT_TRUE(windows->setSize(a.window, Size{420, 330}));
    EXPECT_EQ(windows->size(a.window)->height, 330);
    seen = frameSeenOutside(a.window);
    EXPECT_EQ(seen.x, 250);
    EXPECT_EQ(seen.width, 420);
    EXPECT_EQ(seen.height, 330);

    ASSERT_TRUE(windows->setFullScreen(b.window, true));
    EXPECT_EQ(windows->fullScreen(b.window), std::optional<bool>(true));
    EXPECT_NE(xRun("xprop -id " + std::to_string(b.window) + " _NET_WM_STATE").find("FULLSCREEN"), std::string::npos);
    ASSERT_TRUE(windows->setFullScreen(b.window, false));
    EXPECT_EQ(xRun("xprop -id " + std::to_string(b.window) + " _NET_WM_STATE").find("FULLSCREEN"), std::string::npos);
    EXPECT_FALSE(windows->position(0));
}

TEST_F(X11WindowsTest, MinimisedWindowsAreSeenAndRevealed) {
    Recorder a({"--title", "Hide", "--class", "VmHide", "--colour", "55AA55", "--geometry", "240x160+300+300"});
    ASSERT_NE(a.window, 0u) << kRecorder << " did not show its window";
    const std::string id = std::to_string(a.window);
    EXPECT_EQ(windows->minimized(a.window), std::optional<bool>(false));
    xRun("xdotool windowminimize --sync " + id);
    EXPECT_TRUE(waitUntil([&] { return windows->minimized(a.window) == std::optional<bool>(true); }));
    EXPECT_NE(xRun("xwininfo -id " + id).find("IsUnMapped"), std::string::npos);

    ASSERT_TRUE(windows->revealApp(a.pid()));
    EXPECT_EQ(windows->minimized(a.window), std::optional<bool>(false));
    EXPECT_TRUE(waitUntil([&] { return xRun("xwininfo -id " + id).find("IsViewable") != std::string::npos; }));
    EXPECT_FALSE(windows->revealApp(0x3FFFFFF0));
}

#ifdef VM_TEST_WITH_GIO
// A service on a bus of the test's own (a private dbus-daemon): logind or a
// screensaver as far as the session needs them. Its objects answer on its own thread.
class FakeService {
public:
    struct Object {
        std::string path, xml;
        std::function<GVariant*(const std::string& method)> method;      // the reply, or null
        std::function<GVariant*(const std::string& property)> property;  // the value
    };

    FakeService(const std::string& address, const std::string& name, std::vector<Object> objects)
        : objects_(std::move(objects)) {
        worker_ = std::thread([this, address, name] {
            g_main_context_push_thread_default(ctx_);
            conn_ = g_dbus_connection_new_for_address_sync(
                address.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, nullptr);
            if (conn_) {
                static const GDBusInterfaceVTable vtable = {
                    [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method, GVariant*,
                       GDBusMethodInvocation* inv, gpointer obj) {
                        GVariant* reply = static_cast<Object*>(obj)->method(method);
                        if (reply)
                            g_dbus_method_invocation_return_value(inv, reply);
                        else
                            g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.DBus.Error.Failed", "no");
                    },
                    [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* prop, GError**,
                       gpointer obj) -> GVariant* { return static_cast<Object*>(obj)->property(prop); },
                    nullptr,
                    {}};
                for (Object& o : objects_) {
                    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(o.xml.c_str(), nullptr);
                    g_dbus_connection_register_object(conn_, o.path.c_str(), node->interfaces[0], &vtable, &o, nullptr,
                                                      nullptr);
                    g_dbus_node_info_unref(node);
                }
                GVariant* r = g_dbus_connection_call_sync(
                    conn_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                    g_variant_new("(su)", name.c_str(), 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
                if (r) g_variant_unref(r);
            }
            {
                std::lock_guard<std::mutex> lk(mu_);
                up_ = true;
            }
            cv_.notify_all();
            if (conn_) g_main_loop_run(loop_);
            g_main_context_pop_thread_default(ctx_);
        });
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait(lk, [this] { return up_; });
    }
    ~FakeService() {
        g_main_context_invoke(
            ctx_,
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_);
        worker_.join();
        if (conn_) g_object_unref(conn_);
        g_main_loop_unref(loop_);
        g_main_context_unref(ctx_);
    }
    bool up() const { return conn_ != nullptr; }
    void emit(const std::string& path, const char* iface, const char* member, GVariant* params) {
        g_dbus_connection_emit_signal(conn_, nullptr, path.c_str(), iface, member, params, nullptr);
    }

private:
    std::vector<Object> objects_;
    GMainContext* ctx_ = g_main_context_new();
    GMainLoop* loop_ = g_main_loop_new(ctx_, FALSE);
    GDBusConnection* conn_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    bool up_ = false;
    std::thread worker_;
};

#endif

// Points both buses somewhere for one test and puts them back after.
class BusEnvironment {
public:
    BusEnvironment(const std::string& system, const std::string& session) {
        for (const char* v : {"DBUS_SYSTEM_BUS_ADDRESS", "DBUS_SESSION_BUS_ADDRESS"}) {
            const char* old = std::getenv(v);
            saved_.emplace_back(v, old ? std::optional<std::string>(old) : std::nullopt);
        }
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", system.c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", session.c_str(), 1);
    }
    ~BusEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// A new, empty folder for one test's logs.
std::string freshFolder() {
    std::string t = ::testing::TempDir() + "/vm-session-XXXXXX";
    return ::mkdtemp(t.data()) ? t : ::testing::TempDir();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(X11SessionTest, WithoutLogindOrScreensaverAnUnlockedConsoleSession) {
    SystemClock clock;
    Logger log(freshFolder(), clock);
    BusEnvironment env("unix:path=/nonexistent/vm-system-bus", "unix:path=/nonexistent/vm-session-bus");
    X11Session session(log);
    EXPECT_EQ(session.source(), X11Session::Source::none);
    EXPECT_EQ(session.onConsole(), std::optional<bool>(true));
    EXPECT_EQ(session.locked(), std::optional<bool>(false));
    EXPECT_NE(readFile(log.cursorLogPath()).find("세션 정보 없음"), std::string::npos);
}

#ifdef VM_TEST_WITH_GIO
// What a watcher heard, for waiting on.
struct Heard {
    std::mutex mu;
    std::vector<bool> values;
    std::function<void(bool)> watcher() {
        return [this](bool locked) {
            std::lock_guard<std::mutex> lk(mu);
            values.push_back(locked);
        };
    }
    bool is(const std::vector<bool>& expected) {
        return waitUntil([&] {
            std::lock_guard<std::mutex> lk(mu);
            return values == expected;
        });
    }
};

TEST(X11SessionTest, ScreensaverOnTheSessionBusGivesTheLockState) {
    Child bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
    if (bus.firstLine().empty()) GTEST_SKIP() << "no dbus-daemon to host a screensaver";
    BusEnvironment env("unix:path=/nonexistent/vm-system-bus", bus.firstLine());
    std::atomic<bool> active{false};
    FakeService saver(bus.firstLine(), "org.freedesktop.ScreenSaver",
                      {{"/org/freedesktop/ScreenSaver",
                        "<node><interface name='org.freedesktop.ScreenSaver'><method name='GetActive'>"
                        "<arg type='b' direction='out'/></method></interface></node>",
                        [&](const std::string&) { return g_variant_new("(b)", active.load()); }, nullptr}});
    ASSERT_TRUE(saver.up());

    SystemClock clock;
    Logger log(freshFolder(), clock);
    X11Session session(log);
    ASSERT_EQ(session.source(), X11Session::Source::screensaver);
    EXPECT_EQ(session.locked(), std::optional<bool>(false));
    Heard heard;
    session.watchLock(heard.watcher());
    active = true;
    saver.emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
               g_variant_new("(b)", TRUE));
    EXPECT_TRUE(heard.is({true}));
    EXPECT_EQ(session.locked(), std::optional<bool>(true));
    active = false;
    saver.emit("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
               g_variant_new("(b)", FALSE));
    EXPECT_TRUE(heard.is({true, false}));
}

TEST(X11SessionTest, LogindSessionGivesConsoleAndLockState) {
    Child bus({"dbus-daemon", "--session", "--nofork", "--print-address=1"});
    if (bus.firstLine().empty()) GTEST_SKIP() << "no dbus-daemon to host logind";
    BusEnvironment env(bus.firstLine(), "unix:path=/nonexistent/vm-session-bus");
    const std::string sessionPath = "/org/freedesktop/login1/session/vm7";
    std::atomic<bool> lockedHint{false}, active{true};
    FakeService logind(
        bus.firstLine(), "org.freedesktop.login1",
        {{"/org/freedesktop/login1",
          "<node><interface name='org.freedesktop.login1.Manager'><method name='GetSessionByPID'>"
          "<arg type='u' direction='in'/><arg type='o' direction='out'/></method></interface></node>",
          [&](const std::string&) { return g_variant_new("(o)", sessionPath.c_str()); }, nullptr},
         {sessionPath,
          "<node><interface name='org.freedesktop.login1.Session'><property name='LockedHint' type='b' access='read'/>"
          "<property name='Active' type='b' access='read'/></interface></node>",
          nullptr, [&](const std::string& p) {
              return g_variant_new_boolean(p == "Active" ? active.load() : lockedHint.load());
          }}});
    ASSERT_TRUE(logind.up());

    SystemClock clock;
    Logger log(freshFolder(), clock);
    X11Session session(log);
    ASSERT_EQ(session.source(), X11Session::Source::logind);
    EXPECT_EQ(session.onConsole(), std::optional<bool>(true));
    EXPECT_EQ(session.locked(), std::optional<bool>(false));
    active = false;
    // Answers are kept for half a second; the change shows within that.
    EXPECT_TRUE(waitUntil([&] { return session.onConsole() == std::optional<bool>(false); }));

    Heard heard;
    session.watchLock(heard.watcher());
    lockedHint = true;
    GVariantBuilder changed;
    g_variant_builder_init(&changed, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&changed, "{sv}", "LockedHint", g_variant_new_boolean(TRUE));
    logind.emit(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                g_variant_new("(sa{sv}as)", "org.freedesktop.login1.Session", &changed, nullptr));
    EXPECT_TRUE(heard.is({true}));
    EXPECT_EQ(session.locked(), std::optional<bool>(true));
    // The unlock request alone tells it too.
    logind.emit(sessionPath, "org.freedesktop.login1.Session", "Unlock", nullptr);
    EXPECT_TRUE(heard.is({true, false}));
}
#endif

}  // namespace
}  // namespace vm::platform::x11
