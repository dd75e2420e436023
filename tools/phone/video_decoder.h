#pragma once
// HEVC decoding of the frames the agent sends: length-prefixed NAL units in,
// pictures out, with the parameter sets taken from their own payload.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

struct AVFrame;

namespace vm::phone {

struct DecodeResult {
    bool decoded = false;   // a picture came out
    bool error = false;     // the decoder refused the frame or flagged damage
    bool keyFrame = false;  // the frame starts a new sequence (IRAP)
    bool skipped = false;   // not decodable yet: no parameter sets or no key frame since the start
};

class VideoDecoder {
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // The parameter-set payload (u16 count, u32 length + bytes each); false when malformed.
    bool setParams(const Bytes& payload);
    DecodeResult decode(const Bytes& frame);
    // Drop everything up to the next key frame (after a lost frame).
    void waitForKeyFrame() { needKey_ = true; }

    int width() const { return width_; }
    int height() const { return height_; }
    // Writes the last decoded picture as an RGB PNG; false with `error` when there is none or writing failed.
    bool savePng(const std::string& path, std::string* error) const;
    // The last decoded picture, for code that draws it; null before the first.
    const AVFrame* lastFrame() const;

    // Length-prefixed NAL units to Annex-B; nullopt when the lengths do not add up.
    static std::optional<Bytes> toAnnexB(const Bytes& lengthPrefixed);
    // Whether the length-prefixed frame holds an IRAP picture (a key frame).
    static bool hasKeyFrame(const Bytes& lengthPrefixed);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    Bytes paramsAnnexB_;
    bool needKey_ = true;
    bool paramsSent_ = false;
    int width_ = 0;
    int height_ = 0;
};

}  // namespace vm::phone
