#pragma once
// Displays on an X server through RandR: a display is a RandR output that drives
// a CRTC with a mode (global points = root-window pixels). Configuration
// transactions become CRTC changes under one server grab; the virtual display
// is a free output (DUMMY*/VIRTUAL*) given a mode of the phone's size, or, when
// none is free, a RandR monitor over an enlarged framebuffer.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/displays.h"
#include "platform/x11/x11_connection.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {


class X11Displays final : public Displays {
public:
    // Connects to `display` ("" = $DISPLAY); throws std::runtime_error when it cannot
    // or the server has no RandR.
    X11Displays(Logger& log, const std::string& display);
    ~X11Displays() override;

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

    // Removes the virtual displays this object made: they live no longer than the
    // process, as on a desktop that ends them with it.
    void removeVirtualDisplays();

    // Error codes of transactions, as the core knows them.
    static constexpr int kFailure = 1000;
    static constexpr int kIllegalArgument = 1001;
    static constexpr int kCannotComplete = 1004;

    class Impl;

private:
    void watch(Connection& c);

    std::shared_ptr<Impl> impl_;  // shared with transactions and virtual displays handed out
    std::mutex cbMu_;
    std::vector<std::function<void()>> callbacks_;
    Wakeup wake_;
    std::atomic<bool> quit_{false};
    std::thread watcher_;
};

}  // namespace vm::platform::x11
