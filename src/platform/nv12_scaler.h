#pragma once
// Screen pictures in 32-bit BGRx (what X servers and PipeWire hand over) into the
// NV12 pictures a capture stream delivers, with libswscale. One per stream, used
// from one thread: it keeps its scaler and a few pictures for reuse.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/capture.h"

struct SwsContext;

namespace vm::platform {

class Nv12Scaler {
public:
    Nv12Scaler() = default;
    Nv12Scaler(const Nv12Scaler&) = delete;
    Nv12Scaler& operator=(const Nv12Scaler&) = delete;
    ~Nv12Scaler();

    // `pixels` (width×height, `stride` bytes a row) as an outW×outH picture: all of it,
    // aspect kept and centred (`scalesToFit`), or its own pixels from the top-left, cut
    // where they do not fit. Null when nothing fits or the scaler fails.
    std::shared_ptr<Nv12Image> convert(const uint8_t* pixels, int width, int height, int stride, int outW, int outH,
                                       bool scalesToFit);

private:
    // Pictures kept for reuse; one is reused only when nobody else holds it any more.
    static constexpr size_t kPoolSize = 4;

    SwsContext* sws_ = nullptr;
    int srcW_ = 0, srcH_ = 0, dstW_ = 0, dstH_ = 0;
    std::vector<std::shared_ptr<Nv12Image>> pool_;
};

}  // namespace vm::platform
