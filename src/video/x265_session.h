#pragma once
// One libx265 encoder session, driven through x265's own API rather than
// libavcodec's wrapper, with a rate control of our own: x265 is told each picture's
// quantiser. Neither the wrapper nor x265 3.5's reconfigure can change the rates of a
// running session (x265 accepts the call and keeps its old long-run average), and both
// budget frames by a nominal frame rate. Here the rates change with the next picture,
// without a new session or key frame, and the budget runs on the clock: a leaky bucket
// drains at the rate per second of real time and every picture is sized to it.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "platform/capture.h"

namespace vm::video {

struct X265Rates {
    int64_t average = 0;  // bit/s
    int64_t buffer = 0;   // bits the bucket holds; a key frame gets at most most of it
};

struct X265Config {
    int width = 0;
    int height = 0;
    int fps = 60;                // the frame rate expected until pictures have been measured
    X265Rates rates;
    int refreshFrames = 180;     // intra refresh: frames the moving column takes to cross
    bool intraRefresh = false;   // a moving intra column instead of periodic key frames
};

class X265Session {
public:
    // Opens a session; null with `error` set when x265 refuses the configuration.
    static std::unique_ptr<X265Session> open(const X265Config& config, std::string* error);
    ~X265Session();
    X265Session(const X265Session&) = delete;
    X265Session& operator=(const X265Session&) = delete;

    // VPS, SPS and PPS of the session as one Annex-B byte stream.
    const Bytes& headers() const { return headers_; }

    struct Output {
        Bytes annexB;  // the access unit; empty when x265 held the picture back
        bool key = false;
    };
    // Encodes one picture (its size must be the session's) taken at `at` (monotonic
    // seconds); false on an encoder error.
    bool encode(const platform::Nv12Image& image, bool forceKey, double at, Output* out);
    // New rates, in force from the next picture. The bucket keeps how full it is as a
    // share of its size, and the spacing of pictures is learnt again, so a level change
    // neither starves nor floods the pictures after it.
    void setRates(const X265Rates& rates);
    const X265Config& config() const { return config_; }
    // The quantiser the last picture was given.
    int lastQp() const { return lastQp_; }

private:
    X265Session() = default;
    struct Handles;
    std::unique_ptr<Handles> h_;
    X265Config config_;
    Bytes headers_;
    std::vector<uint8_t> cb_, cr_;  // planar chroma for x265
    int64_t pts_ = 0;

    // The rate control.
    int chooseQp(bool key, double at);
    void learn(bool key, int qp, double bits);
    double fullness_ = 0;       // bits in the bucket
    double lastAt_ = 0;         // monotonic time of the last picture, 0: none yet
    double interval_ = 0;       // seconds between pictures, smoothed
    double costP_ = 0;          // bits × 2^(qp/6) of a predicted picture; 0: not yet known
    double costI_ = 0;          // the same for a key picture
    double pBits_ = 0;          // bits of a predicted picture, smoothed; 0: none yet
    int lastQp_ = 0;
    int lastPQp_ = 0;
};

}  // namespace vm::video
