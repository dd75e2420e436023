#pragma once
// The platform seam: the operating-system services the agent calls, as small
// interfaces. The core includes nothing of the OS beyond POSIX; a backend
// (headless, x11) implements these. Later services are added as further
// accessors on Platform, each returning its own interface.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/displays.h"
#include "platform/geometry.h"
#include "platform/workspace.h"

namespace vm {
class Logger;
}

namespace vm::platform {

// Where the agent keeps its files (the XDG conventions on Linux).
struct Locations {
    std::string home;         // the user's home folder
    std::string logDir;       // ~/.local/state/vellomark
    std::string supportDir;   // ~/.local/share/vellomark (pairings, state files)
    std::string groupDir;     // ~/.local/share/vellomark/group (status file and outbox)
    std::string receivedDir;  // ~/Vellomark
    std::string runtimeDir;   // $XDG_RUNTIME_DIR/vellomark (local control socket)

    // From HOME and the XDG_* variables; HOME missing falls back to the password database.
    static Locations fromEnvironment();
};

class Accessibility {
public:
    virtual ~Accessibility() = default;
    // Whether this process may post input events; `prompt` asks the user when it may not.
    virtual bool isTrusted(bool prompt) = 0;
};

// Event type numbers, flag masks and key codes are the core's vocabulary (the
// classic desktop event model); a backend translates them to its own. Key
// events also carry the HID usage they came from and whether the key goes down,
// so a backend can map straight to its own key codes. The flag kFlagCommand is
// the phone's Command key: the desktop's shortcut modifier (Control on Linux,
// or Super when the setting "commandKey" is "super").
namespace ev {
inline constexpr int kLeftMouseDown = 1, kLeftMouseUp = 2, kRightMouseDown = 3, kRightMouseUp = 4;
inline constexpr int kMouseMoved = 5, kLeftMouseDragged = 6, kRightMouseDragged = 7;
inline constexpr int kKeyDown = 10, kKeyUp = 11, kFlagsChanged = 12, kScrollWheel = 22;
inline constexpr int kOtherMouseDown = 25, kOtherMouseUp = 26;
inline constexpr uint64_t kFlagShift = 0x20000, kFlagControl = 0x40000, kFlagOption = 0x80000;
inline constexpr uint64_t kFlagCommand = 0x100000, kFlagNumericPad = 0x200000, kFlagSecondaryFn = 0x800000;
}  // namespace ev

// One mouse event at a point in global display points (origin top-left of the
// main display, y downwards).
struct MouseEvent {
    int type = ev::kMouseMoved;
    Point point;
    int button = 0;       // 0 left, 1 right, 2 other
    int64_t clickState = 0;  // 0: the event carries no click state
};

// One keyboard event: key down/up or flags-changed, with the modifier flags it
// carries and an optional Unicode string (typed text) attached.
struct KeyEvent {
    int type = ev::kKeyDown;
    uint16_t vk = 0;
    uint64_t flags = 0;
    std::u16string text;
    bool hidSystemSource = false;  // created from an event source in the HID-system state
    // Whether the key goes down. For key-down/up it follows the type; for a
    // flags-changed event it says which way the modifier key `hid` went.
    bool down = true;
    int hid = 0;  // HID usage (keyboard page) of the key; 0 when it has none
};

// The app-switcher gesture: hold the switcher open, step with Tab, let go to pick.
enum class SwitcherStep { hold, tabDown, tabUp, release };

// A scroll in pixel units: wheel 1 vertical, wheel 2 horizontal.
struct ScrollEvent {
    int32_t wheel1 = 0;
    int32_t wheel2 = 0;
    int32_t wheel3 = 0;
};

// Posting synthetic input at the lowest level, and reading back the pointer and screens.
class Events {
public:
    virtual ~Events() = default;
    // False when the event could not be created (nothing was posted).
    virtual bool postMouse(const MouseEvent& e) = 0;
    virtual bool postKey(const KeyEvent& e) = 0;
    virtual bool postScroll(const ScrollEvent& e) = 0;

    // Actions that each desktop performs its own way. False when nothing could be posted.
    // Enters `text` (UTF-16, whole surrogate pairs) as typed characters, whatever the keyboard layout.
    virtual bool typeText(const std::u16string& text) = 0;
    // Presses and releases the desktop's paste shortcut for the focused window.
    virtual bool paste() = 0;
    // Moves to the workspace on the right or on the left.
    virtual bool switchWorkspace(bool right) = 0;
    // One step of the app switcher; `flags` are the other modifiers the phone holds
    // (Shift steps backwards).
    virtual bool appSwitcher(SwitcherStep step, uint64_t flags) = 0;

    // Pointer location in global display points (origin top-left of the main display, y down).
    virtual Point mouseLocation() = 0;
    // Frames of the online screens in global display points, in the system's order.
    virtual std::vector<Rect> screenFrames() = 0;
    // Modifier flags of the combined session state (what the user's keyboard and
    // every posted event leave pressed).
    virtual uint64_t sessionModifierFlags() = 0;
};

// The general pasteboard.
class Pasteboard {
public:
    static constexpr const char* kPlainText = "public.utf8-plain-text";
    static constexpr const char* kConcealed = "org.nspasteboard.ConcealedType";
    static constexpr const char* kTransient = "org.nspasteboard.TransientType";
    virtual ~Pasteboard() = default;
    virtual std::optional<std::string> string(const std::string& type) = 0;
    // Empties the pasteboard; the change count moves on.
    virtual void clear() = 0;
    virtual void setString(const std::string& type, const std::string& value) = 0;
    virtual int64_t changeCount() = 0;
};

struct InputSourceInfo {
    std::string id;
    bool keyboard = true;        // of the keyboard input source category
    bool selectCapable = true;
};

// Keyboard input sources (layouts and input methods).
class InputSources {
public:
    virtual ~InputSources() = default;
    virtual std::vector<InputSourceInfo> enabled() = 0;
    // Identifier of the current keyboard input source, if any.
    virtual std::optional<std::string> current() = 0;
    // Selects a source; 0 on success, else the system's status code.
    virtual int select(const std::string& id) = 0;
    // Calls `onChange` (on any thread) whenever the selected source changes.
    virtual void watch(std::function<void()> onChange) = 0;
    // The language a source types, as a lower-case ISO 639-1 code ("ko" for Hangul
    // input, "en" …); "" when the backend cannot tell.
    virtual std::string language(const std::string& id) = 0;
};

class Platform {
public:
    virtual ~Platform() = default;
    virtual const char* name() const = 0;
    virtual const Locations& locations() const = 0;
    virtual Displays& displays() = 0;
    virtual Accessibility& accessibility() = 0;
    virtual Events& events() = 0;
    virtual Pasteboard& pasteboard() = 0;
    virtual InputSources& inputSources() = 0;
    virtual ScreenCapture& capture() = 0;
    virtual ServiceAdvertiser& advertiser() = 0;
    virtual Workspace& workspace() = 0;
    virtual WindowServer& windowServer() = 0;
    virtual WindowElements& windowElements() = 0;
    virtual Session& session() = 0;
    // Ends the process at once with `status` (no destructors run; logs are already written).
    [[noreturn]] virtual void exitProcess(int status) = 0;
};

// Picks the backend: VELLOMARK_PLATFORM=headless|x11|gnome when set, otherwise gnome
// on a GNOME Wayland session, x11 when $DISPLAY answers, otherwise headless. Logs the choice once. Throws
// std::runtime_error with a readable message when the chosen backend cannot start.
std::unique_ptr<Platform> makePlatform(Logger& log);

}  // namespace vm::platform
