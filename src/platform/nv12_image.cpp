#include <algorithm>

#include "platform/capture.h"

namespace vm::platform {

std::shared_ptr<Nv12Image> Nv12Image::make(int width, int height) {
    auto img = std::make_shared<Nv12Image>();
    // Odd or negative sizes cannot be 4:2:0; they lose the odd pixel.
    img->width = std::max(width, 0) & ~1;
    img->height = std::max(height, 0) & ~1;
    img->lumaStride = img->width;
    img->chromaStride = img->width;
    // Black in video range: luma 16, chroma neutral.
    img->luma.assign(static_cast<size_t>(img->lumaStride) * img->height, 16);
    img->chroma.assign(static_cast<size_t>(img->chromaStride) * (img->height / 2), 128);
    return img;
}

}  // namespace vm::platform
