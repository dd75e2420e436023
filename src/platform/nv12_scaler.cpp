#include "platform/nv12_scaler.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>

namespace vm::platform {

Nv12Scaler::~Nv12Scaler() {
    if (sws_) sws_freeContext(sws_);
}

std::shared_ptr<Nv12Image> Nv12Scaler::convert(const uint8_t* pixels, int width, int height, int stride, int outW,
                                               int outH, bool scalesToFit) {
    // Where the picture goes in the output.
    int dstX = 0, dstY = 0, dstW = outW, dstH = outH, srcW = width, srcH = height;
    if (scalesToFit) {
        const double scale = std::min(double(outW) / width, double(outH) / height);
        dstW = std::clamp(static_cast<int>(std::lround(width * scale)) & ~1, 2, outW);
        dstH = std::clamp(static_cast<int>(std::lround(height * scale)) & ~1, 2, outH);
        dstX = ((outW - dstW) / 2) & ~1;
        dstY = ((outH - dstH) / 2) & ~1;
    } else {
        dstW = std::min(outW, width) & ~1;
        dstH = std::min(outH, height) & ~1;
        srcW = dstW;
        srcH = dstH;
        if (dstW < 2 || dstH < 2) return nullptr;
    }
    if (!sws_ || srcW_ != srcW || srcH_ != srcH || dstW_ != dstW || dstH_ != dstH) {
        if (sws_) sws_freeContext(sws_);
        // At the same size only chroma is resampled; point sampling keeps it cheap (half the cost).
        const int flags = srcW == dstW && srcH == dstH ? SWS_POINT : SWS_BILINEAR;
        sws_ = sws_getContext(srcW, srcH, AV_PIX_FMT_BGR0, dstW, dstH, AV_PIX_FMT_NV12, flags, nullptr, nullptr, nullptr);
        if (!sws_) return nullptr;
        // Screen pictures are video-range BT.709, as the encoder tags them.
        const int* coeffs = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(sws_, coeffs, 1, coeffs, 0, 0, 1 << 16, 1 << 16);
        srcW_ = srcW;
        srcH_ = srcH;
        dstW_ = dstW;
        dstH_ = dstH;
        pool_.clear();  // the bars may sit elsewhere now
    }
    std::shared_ptr<Nv12Image> img;
    for (auto& p : pool_)
        if (p.use_count() == 1 && p->width == outW && p->height == outH) {
            img = p;
            break;
        }
    if (!img) {
        img = std::make_shared<Nv12Image>();
        img->width = outW;
        img->height = outH;
        // Rows on 32-byte boundaries keep the scaler on its fast paths.
        img->lumaStride = img->chromaStride = (outW + 31) & ~31;
        img->luma.assign(size_t(img->lumaStride) * outH, 16);
        img->chroma.assign(size_t(img->chromaStride) * (outH / 2), 128);
        if (pool_.size() >= kPoolSize) pool_.erase(pool_.begin());
        pool_.push_back(img);
    }
    const uint8_t* src[4] = {pixels, nullptr, nullptr, nullptr};
    const int srcStride[4] = {stride, 0, 0, 0};
    uint8_t* dst[4] = {img->luma.data() + size_t(dstY) * img->lumaStride + dstX,
                       img->chroma.data() + size_t(dstY / 2) * img->chromaStride + dstX, nullptr, nullptr};
    const int dstStride[4] = {img->lumaStride, img->chromaStride, 0, 0};
    if (sws_scale(sws_, src, srcStride, 0, srcH, dst, dstStride) != dstH) return nullptr;
    return img;
}

}  // namespace vm::platform
