#pragma once
// Running apps, the window server's window list, accessibility elements of
// windows and the dock, and the graphics session's facts. Coordinates are
// global display points (origin top-left of the main display, y downwards).
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/geometry.h"

namespace vm::platform {

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

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

struct DockItem {
    ElementRef element = 0;
    std::optional<std::string> title;
};

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
    // The dock's items, list by list, item by item; nullopt without a dock or when its lists cannot be read.
    virtual std::optional<std::vector<DockItem>> dockItems() = 0;
    virtual bool press(ElementRef element) = 0;
};

// The current graphics session's dictionary and its lock notifications.
using SessionValue = std::variant<bool, int64_t, std::string>;

class Session {
public:
    static constexpr const char* kOnConsoleKey = "kCGSSessionOnConsoleKey";
    static constexpr const char* kScreenIsLockedKey = "CGSSessionScreenIsLocked";
    virtual ~Session() = default;
    // nullopt when there is no session dictionary.
    virtual std::optional<std::map<std::string, SessionValue>> dictionary() = 0;
    // Called (on any thread) with true when the screen gets locked, false when unlocked.
    virtual void watchLock(std::function<void(bool locked)> onChange) = 0;
};

}  // namespace vm::platform
