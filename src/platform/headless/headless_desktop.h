#pragma once
// The in-memory desktop: a faithful stand-in for a real one, used by the tests
// and as the default where no display server runs. What it starts with comes
// from a scene file (JSON) named by VELLOMARK_HEADLESS_SCENE. Everything the
// agent posts is kept in a bounded record (and, with VELLOMARK_HEADLESS_TRACE,
// appended to a file as JSON lines) so a test sees exactly what a real window
// server would have been asked to do.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/headless/headless_trace.h"
#include "platform/platform.h"

namespace vm::platform::headless {

struct HeadlessDisplay {
    uint32_t id = 0;
    uint32_t width = 0;   // points (of the current mode)
    uint32_t height = 0;  // points
    uint32_t vendor = 0;
    uint32_t product = 0;
    uint32_t serial = 0;
    double scale = 1.0;   // backing scale (pixels per point) of the current mode
    double refresh = 60;  // hertz, of the current mode
    bool online = true;   // switched on (a switched-off display is neither online nor active)
    std::string name;
    int32_t x = 0;        // origin, global points (y down); laid out by the desktop
    int32_t y = 0;
    // The display's modes as the scene lists them (empty: just the current one).
    // HiDPI modes' 1x twins are implied, not listed.
    std::vector<DisplayMode> modes;
    std::optional<Size> mm;  // physical size; default: pixels / 3.78
    // Virtual displays only: the provider's limits, and whether settings made it appear yet.
    bool isVirtual = false;
    bool settingsApplied = true;
    uint32_t maxPixelsWide = 0;
    uint32_t maxPixelsHigh = 0;
    bool stuckAtOneX = false;  // comes up on the 1x twin of its HiDPI mode

    // The current mode: the point size at the backing scale.
    DisplayMode mode() const;
    uint32_t pixelWidth() const;
    uint32_t pixelHeight() const;
};

struct Scene {
    std::vector<HeadlessDisplay> displays;
    std::optional<Point> pointer;  // global display points (y down); default: centre of the main display
    std::vector<InputSourceInfo> inputSources;  // empty: the English and Korean defaults
    std::optional<std::string> inputSource;     // current one; default: the first
    int workspaces = 4;
    int workspace = 0;
    bool trusted = true;
    std::string raw;  // the whole scene text (empty without a scene), for the apps and windows part
    // Parses the scene text; throws std::runtime_error naming what is wrong.
    static Scene parse(const std::string& jsonText);
    static Scene load(const std::string& path);
};

class HeadlessCapture;
class HeadlessWorkspace;
class LifeToken;

// What the capture reads of a display for one picture.
struct DisplaySnapshot {
    DisplayID id = 0;
    uint32_t vendor = 0;
    uint32_t width = 0;   // points
    uint32_t height = 0;
    uint32_t pixelWidth = 0;
    uint32_t pixelHeight = 0;
    std::optional<Point> pointer;  // points from the display's top-left, when the pointer is on it
};

class HeadlessDesktop final : public Platform,
                              public Displays,
                              public Accessibility,
                              public Events,
                              public Pasteboard,
                              public InputSources {
public:
    static constexpr const char* kEnglishSource = "org.vellomark.inputsource.English";
    static constexpr const char* kKoreanSource = "org.vellomark.inputsource.Korean";
    // What select() answers for a source that is not enabled (the system's "bad parameter").
    static constexpr int kUnknownSourceStatus = -50;
    // The window server's "illegal argument": unknown display, mode it does not have,
    // a change that would leave no display switched on.
    static constexpr int kIllegalArgument = 1001;
    // How many posted events the record keeps (the oldest go first).
    static constexpr size_t kRecordLimit = 10000;
    static constexpr uint64_t kModifierMask =
        ev::kFlagShift | ev::kFlagControl | ev::kFlagOption | ev::kFlagCommand;
    static constexpr uint16_t kVkLeftArrow = 123, kVkRightArrow = 124;

    // Opens the trace file named by VELLOMARK_HEADLESS_TRACE, when set.
    HeadlessDesktop(Locations locations, Scene scene);
    // Stops every capture stream. Virtual displays and transactions still held
    // elsewhere become inert.
    ~HeadlessDesktop() override;
    HeadlessDesktop(const HeadlessDesktop&) = delete;
    HeadlessDesktop& operator=(const HeadlessDesktop&) = delete;
    // The scene from VELLOMARK_HEADLESS_SCENE when set (errors thrown), else an empty desktop.
    static std::unique_ptr<HeadlessDesktop> fromEnvironment(Locations locations);

    const char* name() const override { return "headless"; }
    const Locations& locations() const override { return locations_; }
    Displays& displays() override { return *this; }
    Accessibility& accessibility() override { return *this; }
    Events& events() override { return *this; }
    Pasteboard& pasteboard() override { return *this; }
    InputSources& inputSources() override { return *this; }
    ScreenCapture& capture() override;
    ServiceAdvertiser& advertiser() override;
    Workspace& workspace() override;
    WindowServer& windowServer() override;
    WindowElements& windowElements() override;
    Session& session() override;
    [[noreturn]] void exitProcess(int status) override;

    // Displays
    uint32_t onlineCount() override;
    std::vector<DisplayID> activeDisplays(uint32_t max = 16) override;
    std::vector<DisplayID> onlineDisplays(uint32_t max = 16) override;
    DisplayID mainDisplay() override;
    bool isOnline(DisplayID id) override;
    uint32_t vendorNumber(DisplayID id) override;
    bool isAgentVirtual(DisplayID id) override;
    uint32_t productNumber(DisplayID id) override;
    uint32_t serialNumber(DisplayID id) override;
    Rect bounds(DisplayID id) override;
    std::optional<DisplayMode> currentMode(DisplayID id) override;
    std::optional<std::vector<DisplayMode>> modes(DisplayID id, bool includeLowResDuplicates) override;
    Size physicalSizeMM(DisplayID id) override;
    std::vector<ScreenInfo> screens() override;
    std::unique_ptr<DisplayConfig> beginConfiguration() override;
    void onReconfigure(std::function<void()> callback) override;
    std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override;
    bool virtualDisplaySupported() override { return true; }
    std::optional<std::string> inspectInChild(DisplayID id,
                                              const std::function<std::string(DisplayID)>& inProcess) override;

    // Accessibility
    bool isTrusted(bool prompt) override;

    // Events
    bool postMouse(const MouseEvent& e) override;
    bool postKey(const KeyEvent& e) override;
    bool postScroll(const ScrollEvent& e) override;
    // The desktop's actions, performed as its own shortcuts (platform/chords.h).
    bool typeText(const std::u16string& text) override;
    bool paste() override;
    bool switchWorkspace(bool right) override;
    bool appSwitcher(SwitcherStep step, uint64_t flags) override;
    Point mouseLocation() override;
    std::vector<Rect> screenFrames() override;
    uint64_t sessionModifierFlags() override;

    // Pasteboard
    std::optional<std::string> string(const std::string& type) override;
    void clear() override;
    void setString(const std::string& type, const std::string& value) override;
    int64_t changeCount() override;

    // InputSources. Watchers are called on the thread that made the change
    // (the caller of select() or selectByUser()), after the desktop's lock is released.
    std::vector<InputSourceInfo> enabled() override;
    std::optional<std::string> current() override;
    int select(const std::string& id) override;
    void watch(std::function<void()> onChange) override;
    std::string language(const std::string& id) override;

    // The apps, windows and session part, for tests to script.
    HeadlessWorkspace& workspaceDesk() { return *workspace_; }
    HeadlessCapture& captureDesk() { return *capture_; }

    // Scripting for tests and demos.
    void setTrusted(bool trusted);
    std::vector<HeadlessDisplay> displayList() const;
    // The pointer in global display points (y down).
    Point pointer() const;
    void setPointer(Point global);
    // The user's own keyboard: the modifiers physically held. They stay in the
    // session state whatever the agent posts, until set again (a stuck key).
    void setSessionFlags(uint64_t flags);
    // A modifier release that goes missing: the next `releases` posted
    // flags-changed events that would clear `flags` leave them set instead.
    void stickFlags(uint64_t flags, int releases);
    // Another application writing the pasteboard: empties it, then puts `value` under `type`.
    void setPasteboardAsOtherApp(const std::string& type, const std::string& value);
    // The user picking a source from the menu bar; same effect and status as select().
    int selectByUser(const std::string& id);
    // While set, every post fails as if the event could not be created (nothing recorded).
    void setEventCreationFails(bool fails);
    // Spaces (virtual desktops): the current one, how many, and switching by hand.
    int space() const;
    int spaceCount() const;
    void setSpace(int index);  // clamped to 0..count-1

    // Display knobs. setEnabled answers `code` (0: works again) and buffers nothing.
    void setEnableFailure(int code);
    void setBeginConfigurationFails(bool fails);
    // How the last applied transaction was completed: permanent or for the session only.
    std::optional<bool> lastCompletionPermanent() const;
    int completedTransactions() const;
    void setVirtualDisplayCreationFails(bool fails);
    // The next `count` virtual displays come up on the 1x twin of their HiDPI mode (scale 1.0).
    void setNextVirtualDisplaysAtOneX(int count);
    // The window server ends virtual display `id` by itself: it disappears and its
    // termination handler runs. False when there is no such virtual display.
    bool terminateVirtualDisplay(DisplayID id);
    // A display plugged in (ids continue) or pulled out.
    DisplayID addDisplay(HeadlessDisplay display);
    bool removeDisplay(DisplayID id);
    // Reconfigure callbacks run so far.
    int reconfigureCount() const;

    std::vector<RecordedEvent> recorded() const;
    void clearRecord();

    // For the capture: what display `id` shows now; nullopt when it is gone or not active.
    std::optional<DisplaySnapshot> snapshot(DisplayID id) const;

private:
    friend class HeadlessConfig;
    friend class HeadlessVirtualDisplay;
    struct ConfigOp {
        enum Kind { mode, stopMirroring, origin, enabled } kind = mode;
        DisplayID id = 0;
        DisplayMode newMode;
        int32_t x = 0, y = 0;
        bool on = true;
    };

    // The active displays, main first, in global display points.
    std::vector<Rect> framesLocked() const;
    HeadlessDisplay* findLocked(DisplayID id);
    const HeadlessDisplay* findLocked(DisplayID id) const;
    static bool activeLocked(const HeadlessDisplay& d) { return d.online && d.settingsApplied; }
    DisplayID mainLocked() const;
    // After a layout change: the main display at (0,0), the pointer back on a display.
    void settleLayoutLocked();
    // Where each active display lay after the last settling, so windows can follow a change.
    std::map<DisplayID, Rect> lastFrames_;
    // The x where a display added now goes (right of the active ones).
    int32_t rightEdgeLocked() const;
    int applyConfig(const std::vector<ConfigOp>& ops, bool permanent);
    int configSetEnabled(DisplayID id);
    bool applyVirtualSettings(DisplayID id, const VirtualDisplaySettings& settings);
    void removeVirtual(DisplayID id);
    // Runs the reconfigure callbacks; caller holds no lock.
    void notifyReconfigure();
    // Records (and traces) `r`; caller holds mu_.
    void recordLocked(RecordedEvent r);
    int selectLocked(const std::string& id, bool& changed);
    void notifyWatchers();

    Locations locations_;
    mutable std::mutex mu_;
    std::vector<HeadlessDisplay> displays_;
    uint32_t nextDisplayID_ = 1;
    std::vector<std::function<void()>> reconfigureCallbacks_;
    int reconfigureCount_ = 0;
    int enableFailure_ = 0;
    bool beginFails_ = false;
    std::optional<bool> lastPermanent_;
    int completed_ = 0;
    bool virtualCreationFails_ = false;
    int virtualAtOneX_ = 0;
    std::map<DisplayID, std::function<void()>> terminationHandlers_;
    bool trusted_ = true;
    Point pointer_;
    uint64_t postedFlags_ = 0;   // what posted flags-changed events left pressed
    uint64_t userFlags_ = 0;     // what the user's own keyboard holds
    uint64_t stuckFlags_ = 0;
    int stuckReleases_ = 0;
    std::map<std::string, std::string> pasteboard_;
    int64_t changeCount_ = 0;
    std::vector<InputSourceInfo> sources_;
    std::string currentSource_;
    std::vector<std::function<void()>> watchers_;
    int spaces_ = 4;
    int space_ = 0;
    bool eventCreationFails_ = false;
    std::deque<RecordedEvent> record_;
    std::unique_ptr<TraceFile> trace_;
    // Lets virtual displays and transactions that outlive the desktop do nothing.
    std::shared_ptr<LifeToken> life_;
    std::unique_ptr<HeadlessWorkspace> workspace_;
    std::unique_ptr<HeadlessCapture> capture_;
    std::unique_ptr<ServiceAdvertiser> advertiser_;
};

}  // namespace vm::platform::headless
