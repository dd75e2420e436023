#pragma once
// The phone's app switcher: the running apps as JSON, an app's icon as a small
// PNG, bringing an app to the front (pressing its dock item when it shows no
// window), and a fresh list pushed whenever the frontmost app changes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"
#include "platform/workspace.h"

namespace vm {

struct AppsDeps {
    const Clock& clock;
    Logger& log;
    platform::Workspace& workspace;
    platform::WindowElements& elements;
    CtlSender& sender;
    PhoneState& phone;
    // Window gathering for one app (pid) or all, waking when asked; returns the moved count.
    std::function<int(std::optional<int32_t> pid, bool wake)> gatherWindows;
    MainQueue* mainQueue = nullptr;      // absent in tests: main-queue work runs in place
    DispatchQueue* globalQueue = nullptr;  // absent in tests: delayed work runs in place after clock.sleep
};

class Apps {
public:
    static constexpr int kIconPoints = 64;
    static constexpr double kCheckWindowsAfter = 0.3;   // after activation
    static constexpr double kGatherAfterDock = 0.9;     // after the dock press
    static constexpr double kFrontAppInterval = 0.4;

    explicit Apps(AppsDeps deps);
    ~Apps();
    Apps(const Apps&) = delete;
    Apps& operator=(const Apps&) = delete;

    // [{"pid","name","active"}…] of the regular, running apps, sorted by name; "[]" when it cannot be built.
    Bytes runningAppsJSON();
    // The app's icon drawn at 64 × 64 as PNG; none for an unknown pid or a failed conversion.
    std::optional<Bytes> appIconPNG(int32_t pid);
    // Activates the app with all its windows and sees that it shows one on the main display.
    void bringAppToFront(int32_t pid);
    // The app's accessibility windows that are not minimised (0 when they cannot be read).
    int visibleWindowCount(int32_t pid);
    // The front-app timer's body: pushes the list when the frontmost app changed while a phone is connected.
    void watchFrontApp();
    // Adds the 0.4 s front-app timer on the main queue (nothing without one).
    void startFrontAppTimer();

    int32_t lastFrontPID() const { return lastFrontPID_.load(); }

    // Whether `a` sorts before `b` in the list: case-insensitive, accents after their base letter.
    static bool nameLess(const std::string& a, const std::string& b);

private:
    void afterActivation(int32_t pid, const std::string& name);
    void later(double seconds, Task task);

    AppsDeps d_;
    std::atomic<int32_t> lastFrontPID_{0};
    std::unique_ptr<RepeatingTimer> frontTimer_;
};

// `image` resampled to `side` × `side` (area average when shrinking) and encoded as PNG.
std::optional<Bytes> iconToPNG(const platform::RgbaImage& image, int side);

}  // namespace vm
