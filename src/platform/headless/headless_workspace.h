#pragma once
// The in-memory desktop's apps, windows, dock and graphics session. What it
// starts with comes from the scene (the same JSON text the desktop reads: keys
// "apps", "frontmost", "windows", "dock", "dockRunning", "session", "login");
// tests and demos then script it. It behaves like a small window server: the
// window list shows every window (also those the accessibility side cannot
// see), activation brings an app forward, the dock's items activate their app.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/workspace.h"

namespace vm::platform::headless {

// An app as the scene or a test describes it.
struct HeadlessApp {
    RunningApp info;
    std::optional<uint32_t> color;  // 0xRRGGBB of its icon; default derived from the bundle identifier
    // Its windows stay out of the accessibility list until it is activated (another Space).
    bool hiddenWindowsUntilActivated = false;
};

// A window as the scene or a test describes it.
struct HeadlessWindow {
    int32_t owner = 0;
    uint32_t number = 0;  // 0: the next free number
    int layer = 0;
    Rect frame;           // global points, y down; while full screen, the frame it returns to
    bool minimized = false;
    bool fullScreen = false;
    bool movable = true;
    bool accessible = true;  // listed in the app's accessibility windows
};

// A display that moved (or went away) in a layout change: where it was and where
// its windows go, in global points.
struct DisplayMove {
    Rect from;
    Rect to;
    bool gone = false;  // switched off or removed: its windows move onto `to` (the main display)
};

// One item of the dock (the desktop's launcher): its element and title.
struct DockItem {
    ElementRef element = 0;
    std::optional<std::string> title;
};

// The session dictionary's values, as a macOS-like window server keeps them.
using SessionValue = std::variant<bool, int64_t, std::string>;

class HeadlessWorkspace : public Workspace, public WindowServer, public WindowElements, public Session {
public:
    static constexpr const char* kOnConsoleKey = "kCGSSessionOnConsoleKey";
    static constexpr const char* kScreenIsLockedKey = "CGSSessionScreenIsLocked";
    // Coordinates beyond this are clamped, so arithmetic on them never overflows.
    static constexpr double kCoordinateLimit = 100000.0;
    static constexpr int kIconSide = 128;
    // Dock items' element references sit above every window number.
    static constexpr ElementRef kDockElementBase = ElementRef{1} << 32;
    // The frame of a window the dock creates for an app without any.
    static constexpr double kNewWindowWidth = 800, kNewWindowHeight = 600, kNewWindowInset = 100;

    // `sceneText` empty: no apps, no windows, an unlocked console session.
    // Throws std::runtime_error naming the key that is wrong.
    explicit HeadlessWorkspace(const std::string& sceneText);

    // Where the screens are (global points, y down, main first), for full-screen
    // windows and windows the dock creates. Without it: one 1920 × 1080 screen at the origin.
    // Called without this object's lock held.
    void setScreens(std::function<std::vector<Rect>()> screens);
    // The window server keeps windows with their display: a window whose centre lay on a
    // moved display moves with it; one on a display that went away lands on the main display.
    void followDisplays(const std::vector<DisplayMove>& moves);

    // Workspace
    std::vector<RunningApp> runningApps() override;
    std::optional<int32_t> frontmostApp() override;
    bool activate(int32_t pid, bool allWindows) override;
    std::optional<RgbaImage> appIcon(int32_t pid) override;
    std::string loginName() override;

    // WindowServer: front to back.
    std::vector<WindowInfo> windowList() override;

    // WindowElements: a window's element is its window number.
    std::optional<std::vector<ElementRef>> appWindows(int32_t pid) override;
    std::optional<Point> position(ElementRef window) override;
    std::optional<Size> size(ElementRef window) override;
    std::optional<bool> minimized(ElementRef window) override;
    std::optional<bool> fullScreen(ElementRef window) override;
    bool setFullScreen(ElementRef window, bool on) override;
    bool setSize(ElementRef window, Size size) override;
    bool setPosition(ElementRef window, Point position) override;
    // The app's dock item pressed, as the user would.
    bool revealApp(int32_t pid) override;
    // The dock's items, list by list; nullopt without a dock or when its lists cannot be read.
    std::optional<std::vector<DockItem>> dockItems();
    bool press(ElementRef element);

    // Session: read from the session dictionary. Watchers are called on the thread
    // that locks or unlocks, after this object's lock is released.
    std::optional<bool> onConsole() override;
    std::optional<bool> locked() override;
    void watchLock(std::function<void(bool locked)> onChange) override;
    // nullopt when there is no session dictionary.
    std::optional<std::map<std::string, SessionValue>> dictionary();

    // Scripting for tests and demos.
    void lock();
    void unlock();
    void setOnConsole(std::optional<bool> onConsole);   // nullopt: the key is missing
    void setSessionPresent(bool present);               // false: no session dictionary at all
    // The user switching apps (no reveal); false for a pid that is not running.
    bool setFrontmost(std::optional<int32_t> pid);
    void addApp(HeadlessApp app);                       // replaces an app with the same pid
    void addApp(RunningApp app) { addApp(HeadlessApp{std::move(app), std::nullopt, false}); }
    uint32_t addWindow(HeadlessWindow window);          // returns its number; throws on a taken number
    bool removeWindow(uint32_t number);
    // The app terminates: its windows close, it stays listed as terminated.
    bool quitApp(int32_t pid);
    // While set, every accessibility read, write and press fails (no permission).
    void setAccessibilityFails(bool fails);
    bool setMinimized(uint32_t number, bool minimized);
    void setDock(std::vector<std::string> titles);
    void setDockRunning(bool running);
    // What the desktop holds now (frames as stored: a full-screen window's is its restore frame).
    std::vector<HeadlessWindow> windows() const;
    std::optional<HeadlessWindow> window(uint32_t number) const;
    std::vector<std::string> dockTitles() const;
    // How many dock presses succeeded.
    int dockPressCount() const;

private:
    HeadlessApp* appLocked(int32_t pid);
    const HeadlessApp* appLocked(int32_t pid) const;
    bool runningLocked(int32_t pid) const;
    HeadlessWindow* windowLocked(ElementRef ref);
    // A readable window for the accessibility side: exists, accessible, permission given.
    HeadlessWindow* axWindowLocked(ElementRef ref);
    Rect shownFrameLocked(const HeadlessWindow& w, const std::vector<Rect>& screens) const;
    bool activateLocked(int32_t pid);
    uint32_t addWindowLocked(HeadlessWindow w);
    void bringForwardLocked(int32_t pid);
    std::vector<std::string> dockTitlesLocked() const;
    std::vector<Rect> screens() const;

    mutable std::mutex mu_;
    std::vector<HeadlessApp> apps_;
    std::vector<HeadlessWindow> windows_;  // front to back
    std::optional<int32_t> frontmost_;
    std::optional<std::vector<std::string>> dock_;  // nullopt: one item per regular app
    bool dockRunning_ = true;
    bool sessionPresent_ = true;
    std::optional<bool> onConsole_ = true;
    std::optional<bool> locked_ = false;
    std::string login_;
    bool axFails_ = false;
    int dockPresses_ = 0;
    std::vector<std::function<void(bool)>> lockWatchers_;
    std::function<std::vector<Rect>()> screens_;
};

}  // namespace vm::platform::headless
