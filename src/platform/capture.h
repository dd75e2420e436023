#pragma once
// Screen capture: the shareable displays and a capture stream for one of them,
// delivering bi-planar 4:2:0 video-range frames (NV12) on a serial queue.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/displays.h"

namespace vm {
class SerialQueue;
}

namespace vm::platform {

// One captured picture in bi-planar 4:2:0 Y'CbCr, video range: a full-size luma
// plane and a half-size interleaved CbCr plane. Immutable once delivered.
struct Nv12Image {
    int width = 0;   // even
    int height = 0;  // even
    int lumaStride = 0;
    int chromaStride = 0;
    std::vector<uint8_t> luma;    // lumaStride * height bytes
    std::vector<uint8_t> chroma;  // chromaStride * height / 2 bytes
    // A blank picture of the given (even) size.
    static std::shared_ptr<Nv12Image> make(int width, int height);
};

// Frame status values, as the capturer reports them.
enum class FrameStatus : int { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

struct CaptureSample {
    bool screenOutput = true;           // false for other output types (audio)
    std::optional<int> status;          // FrameStatus value, when the sample carries one
    std::shared_ptr<const Nv12Image> image;  // none for samples without a picture
    int64_t ptsMicros = 0;              // presentation time, microseconds on the capturer's clock
};

struct CaptureConfig {
    int width = 0;   // output size in pixels (even)
    int height = 0;
    bool scalesToFit = true;
    int minFrameIntervalValue = 1;   // minimum frame interval = value / timescale seconds
    int minFrameIntervalTimescale = 120;
    int queueDepth = 3;
    bool showsCursor = true;
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // Stops delivery; no sample callback runs after it returns. False with `error` when stopping failed.
    virtual bool stop(std::string* error) = 0;
};

class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;
    // The displays that can be captured (on-screen content), or nullopt with `error`.
    virtual std::optional<std::vector<DisplayID>> shareableDisplays(std::string* error) = 0;
    // Starts a stream of display `id`; samples arrive on `queue`, one at a time.
    // `onStop` runs (on any thread) when the capturer stops the stream by itself.
    // Throws std::runtime_error when the stream cannot be set up or started.
    virtual std::unique_ptr<CaptureStream> startStream(DisplayID id, const CaptureConfig& config,
                                                       std::shared_ptr<SerialQueue> queue,
                                                       std::function<void(const CaptureSample&)> onSample,
                                                       std::function<void(const std::string& error)> onStop) = 0;
};

// Publishing the agent's service on the local network (DNS-SD).
class ServiceAdvertiser {
public:
    virtual ~ServiceAdvertiser() = default;
    // Publishes `type` (e.g. "_vellomark._udp") on `port` in "local." with the
    // computer's name. False with `error` when the daemon cannot be reached.
    virtual bool publish(const std::string& type, uint16_t port, std::string* error) = 0;
};

}  // namespace vm::platform
