#pragma once
// Displays through mutter's DisplayConfig: a display is a monitor (by connector),
// active while it belongs to a logical monitor. Global points are mutter's stage
// coordinates (physical pixels in mutter's default layout mode). Transactions become
// one ApplyMonitorsConfig; the virtual display is a screen-cast virtual monitor of
// the phone's size, kept alive by our own PipeWire consumer (gnome_virtual_display).
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/displays.h"
#include "platform/gnome/gnome_bus.h"

namespace vm {
class Logger;
}

namespace vm::platform::gnome {

class FrameSource;

// What GetCurrentState says.
struct MonitorState {
    struct Mode {
        std::string id;
        int width = 0, height = 0;  // pixels
        double refresh = 0;
        double preferredScale = 1;
        std::vector<double> scales;
        bool current = false, preferred = false;
    };
    struct Monitor {
        std::string connector, vendor, product, serial, displayName;
        std::vector<Mode> modes;
        bool builtin = false;
        const Mode* currentMode() const;
    };
    struct Logical {
        int x = 0, y = 0;
        double scale = 1;
        uint32_t transform = 0;
        bool primary = false;
        std::vector<std::string> connectors;
    };
    uint32_t serial = 0;
    uint32_t layoutMode = 2;  // 1 logical, 2 physical
    std::vector<Monitor> monitors;
    std::vector<Logical> logical;

    const Monitor* monitor(const std::string& connector) const;
    const Logical* logicalOf(const std::string& connector) const;
    // Parses the reply of GetCurrentState; nullopt when it has the wrong shape.
    static std::optional<MonitorState> parse(GVariant* reply);
};

// The layout a transaction asks for: each enabled monitor's origin, mode and scale.
struct LayoutRequest {
    struct Entry {
        std::string connector;
        std::string modeId;
        int x = 0, y = 0;
        int width = 0, height = 0;  // pixels of the mode
        double scale = 1;
    };
    std::vector<Entry> enabled;
};
// Puts the monitor nearest the origin at (0,0) as the primary and the others in a row
// to its right, in the order of their requested x: mutter takes only adjacent,
// non-overlapping layouts. Returns the index of the primary.
size_t normaliseLayout(LayoutRequest& r, uint32_t layoutMode);

class GnomeDisplays final : public Displays {
public:
    GnomeDisplays(Logger& log, Bus& bus);
    ~GnomeDisplays() override;

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

    // The state as mutter has it now (read again after every change).
    MonitorState state();
    std::string connectorOf(DisplayID id);
    DisplayID idOf(const std::string& connector);
    std::string primaryConnector();
    std::optional<Point> originOf(const std::string& connector);
    // Applies `r` (normalised first); empty on success, else mutter's error.
    std::string apply(LayoutRequest r, bool persistent);
    // Marks `connector` as one of the agent's own virtual monitors (or no longer).
    void markVirtual(const std::string& connector, bool ours, uint32_t serial = 0);
    // The frames of the agent's virtual display `id`, when it is one.
    std::shared_ptr<FrameSource> virtualFrames(DisplayID id);
    void setVirtualFrames(const std::string& connector, std::shared_ptr<FrameSource> frames);
    // Waits at most `seconds` for a connector not in `before` to come online.
    std::optional<std::string> waitNewConnector(const std::set<std::string>& before, double seconds);
    Bus& bus() { return bus_; }
    Logger& log() { return log_; }

    static constexpr int kFailure = 1000;
    static constexpr int kIllegalArgument = 1001;

private:
    void changed();

    Logger& log_;
    Bus& bus_;
    std::mutex mu_;
    std::optional<MonitorState> cache_;
    std::map<std::string, DisplayID> ids_;
    DisplayID nextId_ = 1;
    std::map<std::string, uint32_t> ours_;  // connector → serial we gave it
    std::map<std::string, std::weak_ptr<FrameSource>> frames_;
    std::mutex cbMu_;
    std::vector<std::function<void()>> callbacks_;
    unsigned sub_ = 0;
};

}  // namespace vm::platform::gnome
