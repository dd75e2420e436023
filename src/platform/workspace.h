#pragma once
// Running apps, the window server's window list, accessibility elements of
// windows and the dock, and the graphics session's facts. Coordinates are
// global display points (origin top-left of the main display, y downwards).
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"

namespace vm::platform {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

// An app as the desktop knows it. `pid` is the app's key everywhere (lists, icons,
// activation, window owners): its process id where the desktop knows one, else a
// stable positive number the backend derives from what it does know (a window class).
struct RunningApp {
    int32_t pid = 0;
    std::optional<std::string> name;  // localised name
    std::string bundleID;
    ActivationPolicy policy = ActivationPolicy::regular;
    bool terminated = false;
};

// An RGBA picture, 8 bits per channel, rows top to bottom, no padding.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::vector<RunningApp> runningApps() = 0;
    virtual std::optional<int32_t> frontmostApp() = 0;  // pid
    // Brings the app forward (with all its windows when asked). False when it is not running.
    virtual bool activate(int32_t pid, bool allWindows) = 0;
    virtual std::optional<RgbaImage> appIcon(int32_t pid) = 0;
    // Login name of the user running the agent.
    virtual std::string loginName() = 0;
};

// One window of the window server's list (desktop elements excluded, windows on
// other workspaces included).
struct WindowInfo {
    int layer = 0;
    std::optional<int32_t> ownerPID;
    std::optional<uint32_t> number;
    std::optional<Rect> bounds;
};

class WindowServer {
public:
    virtual ~WindowServer() = default;
    virtual std::vector<WindowInfo> windowList() = 0;
};

// Accessibility elements of apps' windows and of the dock. An element is an
// opaque handle valid while its window exists. Reads answer nullopt when the
// attribute cannot be read (no permission, gone, wrong type).
using ElementRef = uint64_t;

class WindowElements {
public:
    virtual ~WindowElements() = default;
    virtual std::optional<std::vector<ElementRef>> appWindows(int32_t pid) = 0;
    virtual std::optional<Point> position(ElementRef window) = 0;
    virtual std::optional<Size> size(ElementRef window) = 0;
    virtual std::optional<bool> minimized(ElementRef window) = 0;
    virtual std::optional<bool> fullScreen(ElementRef window) = 0;
    virtual bool setFullScreen(ElementRef window, bool on) = 0;
    virtual bool setSize(ElementRef window, Size size) = 0;
    virtual bool setPosition(ElementRef window, Point position) = 0;
    // Reveals the app's windows the way its launcher would (a click on its dock or
    // taskbar entry): windows hidden until the app is activated come out. False when
    // the desktop has no such way, or it failed.
    virtual bool revealApp(int32_t pid) = 0;
};

// The current graphics session: whether it has the console, whether it is locked.
class Session {
public:
    virtual ~Session() = default;
    // Whether this user's session owns the screen and input now (not switched
    // away to another user); nullopt when the desktop cannot tell.
    virtual std::optional<bool> onConsole() = 0;
    // Whether the screen is locked; nullopt when the desktop cannot tell.
    virtual std::optional<bool> locked() = 0;
    // Called (on any thread) with true when the screen gets locked, false when unlocked.
    virtual void watchLock(std::function<void(bool locked)> onChange) = 0;
};

}  // namespace vm::platform
