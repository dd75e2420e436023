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
    uint32_t width = 0;   // points
    uint32_t height = 0;  // points
    uint32_t vendor = 0;
    double scale = 1.0;   // backing scale (pixels per point)
    bool online = true;
};

struct Scene {
    std::vector<HeadlessDisplay> displays;
    std::optional<Point> pointer;  // global display points (y down); default: centre of the main display
    std::vector<InputSourceInfo> inputSources;  // empty: the English and Korean defaults
    std::optional<std::string> inputSource;     // current one; default: the first
    int workspaces = 4;
    int workspace = 0;
    bool trusted = true;
    // Parses the scene text; throws std::runtime_error naming what is wrong.
    static Scene parse(const std::string& jsonText);
    static Scene load(const std::string& path);
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
    // How many posted events the record keeps (the oldest go first).
    static constexpr size_t kRecordLimit = 10000;
    static constexpr uint64_t kModifierMask =
        ev::kFlagShift | ev::kFlagControl | ev::kFlagOption | ev::kFlagCommand;
    static constexpr uint16_t kVkLeftArrow = 123, kVkRightArrow = 124;

    // Opens the trace file named by VELLOMARK_HEADLESS_TRACE, when set.
    HeadlessDesktop(Locations locations, Scene scene);
    // The scene from VELLOMARK_HEADLESS_SCENE when set (errors thrown), else an empty desktop.
    static std::unique_ptr<HeadlessDesktop> fromEnvironment(Locations locations);

    const char* name() const override { return "headless"; }
    const Locations& locations() const override { return locations_; }
    Displays& displays() override { return *this; }
    Accessibility& accessibility() override { return *this; }
    Events& events() override { return *this; }
    Pasteboard& pasteboard() override { return *this; }
    InputSources& inputSources() override { return *this; }
    [[noreturn]] void exitProcess(int status) override;

    // Displays, Accessibility
    uint32_t onlineCount() override;
    bool isTrusted(bool prompt) override;

    // Events
    bool postMouse(const MouseEvent& e) override;
    bool postKey(const KeyEvent& e) override;
    bool postScroll(const ScrollEvent& e) override;
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
    int workspace() const;
    int workspaceCount() const;
    void setWorkspace(int index);  // clamped to 0..count-1

    std::vector<RecordedEvent> recorded() const;
    void clearRecord();

    // Global display points (y down) <-> window-system coordinates (y up), through
    // the highest top edge of the online screens.
    Point toWindowSystem(Point global) const;
    Point toGlobal(Point windowSystem) const;

private:
    // The online displays laid out left to right, in window-system coordinates.
    std::vector<Rect> framesLocked() const;
    double flipHeightLocked() const;
    // Records (and traces) `r`; caller holds mu_.
    void recordLocked(RecordedEvent r);
    int selectLocked(const std::string& id, bool& changed);
    void notifyWatchers();

    Locations locations_;
    mutable std::mutex mu_;
    std::vector<HeadlessDisplay> displays_;
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
    int workspaces_ = 4;
    int workspace_ = 0;
    bool eventCreationFails_ = false;
    std::deque<RecordedEvent> record_;
    std::unique_ptr<TraceFile> trace_;
};

}  // namespace vm::platform::headless
