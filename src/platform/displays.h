#pragma once
// Display services of the window server: lists, modes, bounds, configuration
// transactions, the virtual-display provider and reconfiguration callbacks.
// Coordinates are global display points, origin at the top-left of the main
// display, y downwards.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"

namespace vm::platform {

using DisplayID = uint32_t;

// The vendor number the agent gives its virtual display (where the backend can set one).
inline constexpr uint32_t kVirtualVendor = 13398;  // 0x3456

struct DisplayMode {
    uint32_t width = 0;        // points
    uint32_t height = 0;       // points
    uint32_t pixelWidth = 0;
    uint32_t pixelHeight = 0;
    double refresh = 0;        // hertz; 0 when the display does not say
    uint32_t ioFlags = 0;
    bool operator==(const DisplayMode&) const = default;
};

// A windowing-layer screen: its display number and backing scale factor.
struct ScreenInfo {
    DisplayID number = 0;
    double backingScale = 1.0;
};

// One configuration transaction. Changes take effect only on complete();
// destroying an uncompleted transaction cancels it.
class DisplayConfig {
public:
    virtual ~DisplayConfig() = default;
    virtual void setMode(DisplayID id, const DisplayMode& mode) = 0;
    virtual void stopMirroring(DisplayID id) = 0;
    virtual void setOrigin(DisplayID id, int32_t x, int32_t y) = 0;
    // Switches a display on or off within the transaction; 0 on success, else an error code.
    virtual int setEnabled(DisplayID id, bool enabled) = 0;
    // permanent: keep across log-out; otherwise only for this session. 0 on success.
    virtual int complete(bool permanent) = 0;
    virtual void cancel() = 0;
};

struct VirtualDisplayDescriptor {
    std::string name;
    uint32_t maxPixelsWide = 0;
    uint32_t maxPixelsHigh = 0;
    double widthMM = 0;
    double heightMM = 0;
    uint32_t serialNum = 0;
    uint32_t productID = 0;
    uint32_t vendorID = 0;
    std::function<void()> terminationHandler;  // run when the window server ends the display
};

struct VirtualDisplayModeRequest {
    uint32_t width = 0;   // points
    uint32_t height = 0;  // points
    double refreshRate = 0;
};

struct VirtualDisplaySettings {
    bool hiDPI = true;
    std::vector<VirtualDisplayModeRequest> modes;
};

// A live virtual display. Destroying the object removes the display.
class VirtualDisplay {
public:
    virtual ~VirtualDisplay() = default;
    virtual bool applySettings(const VirtualDisplaySettings& settings) = 0;
    virtual DisplayID displayID() const = 0;
    // Whether the desktop shows this display at a backing scale when asked for HiDPI.
    // Where it cannot (X11), a HiDPI mode of W×H points becomes 2W×2H pixels shown
    // at scale 1 (points = pixels), and there is no scale to wait for or enforce.
    virtual bool scalesBacking() const { return true; }
};

class Displays {
public:
    virtual ~Displays() = default;
    // Number of online displays (physical and virtual), as the window server counts them.
    virtual uint32_t onlineCount() = 0;
    // Active (drawable) displays in the window server's order, at most `max`.
    virtual std::vector<DisplayID> activeDisplays(uint32_t max = 16) = 0;
    virtual std::vector<DisplayID> onlineDisplays(uint32_t max = 16) = 0;
    virtual DisplayID mainDisplay() = 0;  // 0 when there is none
    virtual bool isOnline(DisplayID id) = 0;
    virtual uint32_t vendorNumber(DisplayID id) = 0;
    // Whether `id` is a virtual display this agent made (a backend knows its own,
    // whatever the display's vendor number says).
    virtual bool isAgentVirtual(DisplayID id) = 0;
    virtual uint32_t productNumber(DisplayID id) = 0;
    virtual uint32_t serialNumber(DisplayID id) = 0;
    virtual Rect bounds(DisplayID id) = 0;  // points; empty for an unknown display
    virtual std::optional<DisplayMode> currentMode(DisplayID id) = 0;
    // All modes; nullopt when the list cannot be read. With `includeLowResDuplicates`
    // the HiDPI modes' 1x twins are listed too.
    virtual std::optional<std::vector<DisplayMode>> modes(DisplayID id, bool includeLowResDuplicates) = 0;
    virtual Size physicalSizeMM(DisplayID id) = 0;
    // The windowing layer's screens (online, active displays) with their backing scale.
    virtual std::vector<ScreenInfo> screens() = 0;
    // nullptr when a transaction cannot begin.
    virtual std::unique_ptr<DisplayConfig> beginConfiguration() = 0;
    // Called (on any thread) after every change of the display layout. Registrations stay for the process.
    virtual void onReconfigure(std::function<void()> callback) = 0;
    // nullptr when the provider is missing or refuses the descriptor.
    virtual std::unique_ptr<VirtualDisplay> createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) = 0;
    virtual bool virtualDisplaySupported() = 0;
    // The diagnostic line about display `id` as a fresh process sees it (the agent's own
    // view of modes can lag). A backend may run this executable with "--inspect id";
    // one that has no such lag calls `inProcess(id)` instead. nullopt when nothing came back.
    virtual std::optional<std::string> inspectInChild(DisplayID id,
                                                      const std::function<std::string(DisplayID)>& inProcess) = 0;
};

}  // namespace vm::platform
