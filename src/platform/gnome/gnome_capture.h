#pragma once
// Screen capture from mutter's screen-cast streams: a FrameSource is one recorded
// monitor (or the agent's virtual monitor) with its PipeWire consumer, fanning
// frames out to capture streams; each capture stream converts the newest frame to
// NV12 with libswscale at its own rate and sends idle samples while nothing moves.
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/capture.h"
#include "platform/gnome/gnome_pipewire.h"
#include "platform/gnome/gnome_screencast.h"

namespace vm {
class Logger;
}

namespace vm::platform::gnome {

class GnomeDisplays;

class FrameSource {
public:
    struct Listener {
        std::function<void(const Frame&)> onFrame;
        std::function<void(const std::string&)> onEnd;
    };
    // Records monitor `connector` in a session of its own. Throws std::runtime_error.
    static std::shared_ptr<FrameSource> monitor(Bus& bus, const std::string& connector, CursorMode cursor);
    // A new virtual monitor of `width`×`height` pixels. Throws std::runtime_error.
    static std::shared_ptr<FrameSource> virtualMonitor(Bus& bus, int width, int height, CursorMode cursor);
    ~FrameSource();

    // Adds a listener; it gets the newest frame at once when there is one (mutter sends
    // only what changes, so a still screen would otherwise never show).
    int add(Listener l);
    // No callback of `id` runs after it returns.
    void remove(int id);
    bool ended() const;
    // Stops the stream and the session now, whoever else still holds this source;
    // listeners hear of the end.
    void close();
    int width() const { return stream_ ? stream_->width() : 0; }
    int height() const { return stream_ ? stream_->height() : 0; }

private:
    FrameSource() = default;
    void start(Bus& bus, bool isVirtual, const std::string& connector, int width, int height, CursorMode cursor);
    void frame(const Frame& f);
    void end(const std::string& why);

    std::unique_ptr<ScreenCastSession> session_;
    std::unique_ptr<PipeWireStream> stream_;
    mutable std::mutex mu_;
    std::vector<std::pair<int, Listener>> listeners_;
    int next_ = 1;
    bool ended_ = false;
    std::string endWhy_;
    std::vector<uint8_t> last_;  // the newest frame, rows packed
    Frame lastFrame_;
};

class GnomeCapture final : public ScreenCapture {
public:
    static constexpr double kMaxRate = 60;
    GnomeCapture(Logger& log, Bus& bus, GnomeDisplays& displays);
    ~GnomeCapture() override;

    std::optional<std::vector<DisplayID>> shareableDisplays(std::string* error) override;
    std::unique_ptr<CaptureStream> startStream(DisplayID id, const CaptureConfig& config,
                                               std::shared_ptr<SerialQueue> queue,
                                               std::function<void(const CaptureSample&)> onSample,
                                               std::function<void(const std::string& error)> onStop) override;

    struct Stream;

private:
    Logger& log_;
    Bus& bus_;
    GnomeDisplays& displays_;
};

}  // namespace vm::platform::gnome
