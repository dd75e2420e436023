#pragma once
// Apps and windows of an X desktop, read from the window manager's EWMH hints:
// the client list gives the windows, _NET_WM_PID (or the window class) groups them
// into apps, _NET_ACTIVE_WINDOW is the front app, and every change goes to the
// window manager as a client message so it stays in charge of frames and focus.
// Element references are window IDs.
#include <xcb/xcb.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"
#include "platform/workspace.h"
#include "platform/x11/x11_connection.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {

class X11Windows final : public Workspace, public WindowServer, public WindowElements {
public:
    static constexpr int kIconSide = 64;
    // How long a change may take to show before the call gives up waiting.
    static constexpr int kSettleMillis = 200;

    // Connects to `display` ("" = $DISPLAY); throws std::runtime_error when it cannot.
    X11Windows(Logger& log, const std::string& display, Displays& displays);
    ~X11Windows() override;

    // Workspace
    std::vector<RunningApp> runningApps() override;
    std::optional<int32_t> frontmostApp() override;
    bool activate(int32_t pid, bool allWindows) override;
    std::optional<RgbaImage> appIcon(int32_t pid) override;
    std::string loginName() override;

    // WindowServer: front to back.
    std::vector<WindowInfo> windowList() override;

    // WindowElements
    std::optional<std::vector<ElementRef>> appWindows(int32_t pid) override;
    std::optional<Point> position(ElementRef window) override;
    std::optional<Size> size(ElementRef window) override;
    std::optional<bool> minimized(ElementRef window) override;
    std::optional<bool> fullScreen(ElementRef window) override;
    bool setFullScreen(ElementRef window, bool on) override;
    bool setSize(ElementRef window, Size size) override;
    bool setPosition(ElementRef window, Point position) override;
    bool revealApp(int32_t pid) override;

    // Whether the focused window belongs to a terminal (their paste chord differs).
    bool focusedIsTerminal();

    // The key of an app whose windows carry no process id: a stable positive number
    // from the window class, above every real process id.
    static int32_t classKey(const std::string& basis);

private:
    // One managed client window and what its properties say.
    struct Client {
        xcb_window_t window = 0;
        int32_t key = 0;
        std::string instance, cls, title;
        bool desktopElement = false;  // a dock or the desktop: part of no app
        bool ordinary = false;        // normal type, or no type at all
        bool notification = false;
        bool hidden = false;  // minimised
        bool fullScreen = false;
        bool maximized = false;
    };
    struct Extents {
        uint32_t left = 0, right = 0, top = 0, bottom = 0;
    };

    // All of these run with the connection's mutex held.
    bool usableLocked();
    std::vector<xcb_window_t> clientListLocked(bool stacking);
    std::vector<Client> describeLocked(const std::vector<xcb_window_t>& windows);
    std::vector<Client> appClientsLocked(int32_t key, bool stacking);
    std::optional<Client> clientLocked(ElementRef ref);
    std::vector<std::optional<Rect>> framesLocked(const std::vector<xcb_window_t>& windows);
    Extents extentsLocked(xcb_window_t window);
    xcb_window_t activeWindowLocked();
    void sendLocked(xcb_window_t window, const char* message, const uint32_t (&data)[5]);
    void activateWindowLocked(xcb_window_t window);
    void setStateLocked(xcb_window_t window, bool on, const char* state, const char* state2 = nullptr);
    void drainLocked();

    // Polls `check` (taking the lock for each look) until it holds or kSettleMillis pass.
    bool settle(const std::function<bool()>& check);

    Logger& log_;
    // Not read yet: the window manager itself keeps windows on the displays.
    [[maybe_unused]] Displays& displays_;
    Connection conn_;
    std::atomic<bool> lostLogged_{false};
};

}  // namespace vm::platform::x11
