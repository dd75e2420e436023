#pragma once
// The virtual display core: creates the phone-shaped virtual display, keeps it in
// its HiDPI (@2x) mode, makes it the main display once at creation, resizes and
// releases it; and the one-line display diagnostic behind `--inspect N`.
//
// Everything here runs on the main thread. Waits run the main run loop nested
// (`spin`), so main-queue timers, the enforcement timer included, keep firing
// while a creation is in progress.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/displays.h"

namespace vm {

class VDispCore {
public:
    static constexpr uint32_t kVendorID = platform::kVirtualVendor;  // 13398
    static constexpr uint32_t kProductID = 19536;                     // 0x4C50
    static constexpr uint32_t kDefaultSerial = 19536;
    static constexpr const char* kDisplayName = "Vellomark Virtual";
    static constexpr double kPixelsPerMM = 8.83;
    static constexpr double kRefreshHz = 120.0;
    static constexpr int kAttempts = 3;

    // `mainQueue` carries the enforcement timer (none in tests, which call
    // enforceTick() themselves). `spin` runs the main run loop for the given seconds.
    VDispCore(const Clock& clock, Logger& log, platform::Displays& displays, MainQueue* mainQueue,
              std::function<void(double)> spin, std::string serialFilePath,
              std::string lockFilePath = "/tmp/vdisp.lock");
    ~VDispCore();
    VDispCore(const VDispCore&) = delete;
    VDispCore& operator=(const VDispCore&) = delete;

    // 0: a virtual display exists now (created or already there); 1: creation failed for good.
    int32_t vdispCreate();
    void vdispDestroy();
    // Alive and the requested size may be read from any thread (the input side asks).
    bool vdispAlive() const { return alive_.load(); }
    // Pixel sizes. 0: ignored or unchanged; 1: resized in place; 2: size stored, the
    // caller must (re)create the display.
    int32_t vdispSetSize(uint32_t width, uint32_t height);
    uint32_t vdispWidth() const { return kPointsWide * 2; }
    uint32_t vdispHeight() const { return kPointsHigh * 2; }

    // One tick of the HiDPI enforcement (the 0.2 s timer's body).
    void enforceTick();

    // The diagnostic line about `id` as a fresh look at the window server gives it,
    // trimmed; nullopt when nothing came back.
    std::optional<std::string> askChild(platform::DisplayID id);

    // The diagnostic line about display `id`, newline included.
    std::string inspectLine(platform::DisplayID id) { return inspectLineFor(displays_, id); }
    static std::string inspectLineFor(platform::Displays& displays, platform::DisplayID id);
    // Prints the diagnostic line to standard output; the process's exit status (0).
    static int vdispInspect(platform::Displays& displays, platform::DisplayID id);

    // State a test (or the menu's diagnostics) may look at.
    uint32_t maxPoints() const { return gMaxPoints; }
    int32_t reselects() const { return gReselects; }
    int32_t consecutive() const { return gConsecutive; }
    bool settled() const { return gSettled; }
    bool enforcing() const { return gTarget != nullptr; }
    std::optional<platform::DisplayID> displayID() const;
    const std::string& serialFilePath() const { return serialPath_; }

    // Replaces the source of retry serials (their lowest bit is always set on use).
    void setRandomSource(std::function<uint32_t()> source) { random_ = std::move(source); }

private:
    std::optional<platform::VirtualDisplaySettings> makeSettings(uint32_t w, uint32_t h) const;
    void armEnforcing();
    void stopEnforcing();
    void spinRunLoop(double seconds);
    void takeCreationLock();
    // The remembered serial; 0 when none.
    uint32_t readSerial() const;
    // Empty on success, else the error's description.
    std::string writeSerial(uint32_t serial) const;
    void logf(const char* fmt, ...) const __attribute__((format(printf, 2, 3)));
    void makeMain(platform::DisplayID id);
    void logModes(platform::DisplayID id);

    const Clock& clock_;
    Logger& log_;
    platform::Displays& displays_;
    MainQueue* mainQueue_;
    std::function<void(double)> spin_;
    std::string serialPath_;
    std::string lockPath_;
    std::function<uint32_t()> random_;
    bool creating_ = false;

    std::atomic<uint32_t> kPointsWide{1024};
    std::atomic<uint32_t> kPointsHigh{576};
    std::atomic<bool> alive_{false};  // mirrors gVDisp for readers off the main thread
    uint32_t gMaxPoints = 1024;
    std::unique_ptr<platform::VirtualDisplay> gVDisp;
    platform::VirtualDisplay* gTarget = nullptr;  // owned by gVDisp or by a creation attempt
    std::unique_ptr<RepeatingTimer> gEnforceTimer;
    std::optional<double> gFastUntil;  // monotonic seconds
    int32_t gReselects = 0;
    bool gSettled = false;
    int32_t gConsecutive = 0;
    uint32_t gTick = 0;
    bool gModesNullLogged = false;
    int gLockFd = -1;
};

}  // namespace vm
