#pragma once
// Screen capture on an X server: one thread per stream with its own connection
// reads the display's rectangle of the root window (MIT-SHM, or GetImage where
// the server has none), draws the pointer from XFixes, converts to NV12 with
// libswscale and delivers samples on the stream's queue. XDamage tells when
// nothing changed, so the stream sends idle samples instead of pictures.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/capture_worker.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {

class Connection;

class X11Capture final : public ScreenCapture {
public:
    static constexpr double kMaxRate = 60;  // frames per second, whatever the stream asks

    // Connects to `display` ("" = $DISPLAY); throws std::runtime_error when it cannot.
    X11Capture(Logger& log, const std::string& display, Displays& displays);
    // Stops every stream still running (no callback after it returns).
    ~X11Capture() override;

    std::optional<std::vector<DisplayID>> shareableDisplays(std::string* error) override;
    std::unique_ptr<CaptureStream> startStream(DisplayID id, const CaptureConfig& config,
                                               std::shared_ptr<SerialQueue> queue,
                                               std::function<void(const CaptureSample&)> onSample,
                                               std::function<void(const std::string& error)> onStop) override;

    struct Stream;

private:
    Logger& log_;
    std::string display_;
    Displays& displays_;
    std::unique_ptr<Connection> conn_;
    bool hasShm_ = false;
    std::atomic<bool> shmNoted_{false};
    CaptureWorkers workers_;
};

}  // namespace vm::platform::x11
