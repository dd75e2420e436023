#pragma once
// The HEVC encoder: takes captured NV12 pictures, encodes them in real time
// (hardware when the machine has it, libx265 otherwise), adapts the bit rate to
// the level the phone asks for, and hands length-prefixed frames to the sender
// on its own serial queue. Also makes the JPEG thumbnail of the held picture.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "platform/capture.h"
#include "video/sink.h"
#include "video/video_stats.h"

namespace vm {
class Clock;
class Logger;
class SerialQueue;
class Settings;
}  // namespace vm

namespace vm::video {

struct EncoderDeps {
    const Clock& clock;
    Logger& log;  // streamLog
    Sink& sink;
    VideoStats& stats;
    std::function<void(int status)> exitProcess;  // session creation failure: exit(1)
    // User defaults: "videoIntraRefresh", read at every session start. None: defaults only.
    Settings* settings = nullptr;
};

class Encoder {
public:
    explicit Encoder(EncoderDeps deps);  // creates sendQueue ("vellomark.send") and lock; no session
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    // Opens a new compression session of the given size (even, positive).
    void start(int width, int height);
    // Called from the capture queue for each new picture.
    void encode(std::shared_ptr<const platform::Nv12Image> image, int64_t ptsMicros);
    // Makes the next encoded frame a key frame.
    void emitKeyframeNow();
    void idrTick();  // body of the 0.05 s key-frame request timer
    std::optional<Bytes> thumbnailJPEG(double maxW);
    void onSendQueue(std::function<void()> work);

    // Held frame, written by capture under `lock`.
    std::mutex lock;
    std::shared_ptr<const platform::Nv12Image> lastPixelBuffer;  // under lock
    int64_t lastPTS = 0;                                          // under lock

    int startedW() const;
    int startedH() const;
    int64_t frameCount() const;
    int64_t byteCount() const;
    std::string backendName() const;  // "hevc_vaapi", "hevc_nvenc" or "libx265"

    // true: x265 refreshes the picture with a moving intra column instead of periodic key frames.
    static constexpr const char* kIntraRefreshKey = "videoIntraRefresh";

    // Frame rate and average bit rate per quality level, best first.
    static constexpr std::array<std::pair<int, int>, 6> LEVELS{
        {{60, 8000000}, {45, 6000000}, {30, 4000000}, {20, 2500000}, {12, 1500000}, {8, 800000}}};

private:
    struct Codec;      // one open libavcodec session (encode queue only)
    struct ParamSets;  // the VPS/SPS/PPS of a session, numbered
    struct Job;        // one picture on its way through the codec

    void runJob(const Job& job);
    void emit(Bytes frame, uint64_t captureTime, std::shared_ptr<const ParamSets> params);
    // Opens a session, choosing the backend on first use; null with `status` when none opens.
    std::unique_ptr<Codec> openSession(int width, int height, int level, int* status);
    std::unique_ptr<Codec> openBackend(const std::string& name, int width, int height, int level, int* status,
                                       std::string* error);
    void applyLevel(int level);  // encode queue
    // Wall time of a capture taken at `ptsMicros` on the monotonic clock, microseconds since 1970.
    uint64_t captureWallMicros(int64_t ptsMicros) const;

    EncoderDeps d_;
    std::shared_ptr<SerialQueue> sendQueue_;    // "vellomark.send"
    std::shared_ptr<SerialQueue> encodeQueue_;  // "vellomark.encode", the completion thread
    std::unique_ptr<Codec> codec_;              // encode queue only
    std::atomic<bool> hasSession_{false};
    std::atomic<int> level_{0};
    std::atomic<bool> levelStale_{false};
    std::atomic<double> lastFrameSent_{0};  // seconds since the reference date
    std::atomic<uint64_t> sentParams_{0};   // number of the parameter sets last sent, 0: none
    std::atomic<uint64_t> nextParamsID_{1};
    std::atomic<int> startedW_{0};
    std::atomic<int> startedH_{0};
    std::atomic<int64_t> frameCount_{0};
    std::atomic<int64_t> byteCount_{0};
    std::atomic<int> inFlight_{0};            // pictures handed to the encode queue and not finished
    std::atomic<double> lastForcedIDR_{0};    // seconds since the reference date
    std::atomic<bool> encThreadLogged_{false};
    mutable std::mutex backendLock_;
    std::string backend_;  // under backendLock_
    bool probed_ = false;  // encode queue only
};

// HEVC byte-stream helpers used by the encoder (public for tests and the phone tools).
namespace hevc {
inline constexpr int kNalVPS = 32;
inline constexpr int kNalSPS = 33;
inline constexpr int kNalPPS = 34;
inline int nalType(const Bytes& nal) { return nal.empty() ? -1 : (nal[0] >> 1) & 0x3f; }
inline bool isParameterSet(int type) { return type >= kNalVPS && type <= kNalPPS; }
// The NAL units of an Annex-B byte stream (start codes and trailing zero bytes removed).
std::vector<Bytes> splitAnnexB(const uint8_t* p, size_t n);
// The VPS/SPS/PPS of codec extradata, in their order; Annex-B or an hvcC record.
std::vector<Bytes> parameterSets(const uint8_t* p, size_t n);
// An Annex-B access unit as 4-byte big-endian length-prefixed NAL units, without
// parameter sets (they travel on their own).
Bytes lengthPrefixedFrame(const uint8_t* p, size_t n);
}  // namespace hevc

// "품질 단계 …" for a level of LEVELS.
std::string levelLine(int level);
// The big-frame line for a frame of `size` bytes, when it needs more than 20 chunks.
std::optional<std::string> bigFrameLine(size_t size);

}  // namespace vm::video
