#include "platform/x11/x11_icons.h"

#include <algorithm>
#include <cmath>

namespace vm::platform::x11 {

namespace {
constexpr uint32_t kMaxSide = 4096;
}

std::optional<RgbaImage> largestIcon(const std::vector<uint32_t>& data) {
    size_t bestAt = 0;
    uint32_t bestW = 0, bestH = 0;
    for (size_t i = 0; i + 2 <= data.size();) {
        const uint32_t w = data[i], h = data[i + 1];
        if (w == 0 || h == 0 || w > kMaxSide || h > kMaxSide) break;
        const size_t count = static_cast<size_t>(w) * h;
        if (count > data.size() - i - 2) break;
        if (static_cast<uint64_t>(w) * h > static_cast<uint64_t>(bestW) * bestH) {
            bestAt = i + 2;
            bestW = w;
            bestH = h;
        }
        i += 2 + count;
    }
    if (bestW == 0) return std::nullopt;
    RgbaImage img;
    img.width = static_cast<int>(bestW);
    img.height = static_cast<int>(bestH);
    img.pixels.resize(static_cast<size_t>(bestW) * bestH * 4);
    for (size_t k = 0; k < static_cast<size_t>(bestW) * bestH; ++k) {
        const uint32_t p = data[bestAt + k];
        uint8_t* q = &img.pixels[k * 4];
        q[0] = static_cast<uint8_t>(p >> 16);
        q[1] = static_cast<uint8_t>(p >> 8);
        q[2] = static_cast<uint8_t>(p);
        q[3] = static_cast<uint8_t>(p >> 24);
    }
    return img;
}

RgbaImage scaleIcon(const RgbaImage& image, int side) {
    RgbaImage out;
    side = std::max(side, 1);
    out.width = out.height = side;
    out.pixels.assign(static_cast<size_t>(side) * side * 4, 0);
    const int w = image.width, h = image.height;
    if (w < 1 || h < 1 || image.pixels.size() != static_cast<size_t>(w) * h * 4) return out;
    const double sx = static_cast<double>(w) / side, sy = static_cast<double>(h) / side;
    for (int y = 0; y < side; ++y) {
        const double y0 = y * sy, y1 = (y + 1) * sy;
        for (int x = 0; x < side; ++x) {
            const double x0 = x * sx, x1 = (x + 1) * sx;
            double acc[4] = {0, 0, 0, 0}, area = 0;
            for (int j = static_cast<int>(y0); j < h && j < y1; ++j) {
                const double wy = std::min(y1, j + 1.0) - std::max(y0, static_cast<double>(j));
                if (wy <= 0) continue;
                for (int i = static_cast<int>(x0); i < w && i < x1; ++i) {
                    const double wx = std::min(x1, i + 1.0) - std::max(x0, static_cast<double>(i));
                    if (wx <= 0) continue;
                    const uint8_t* p = &image.pixels[(static_cast<size_t>(j) * w + i) * 4];
                    const double wt = wx * wy, a = p[3] / 255.0;
                    for (int c = 0; c < 3; ++c) acc[c] += p[c] * a * wt;
                    acc[3] += a * wt;
                    area += wt;
                }
            }
            if (area <= 0 || acc[3] <= 0) continue;  // fully transparent
            uint8_t* q = &out.pixels[(static_cast<size_t>(y) * side + x) * 4];
            for (int c = 0; c < 3; ++c) q[c] = static_cast<uint8_t>(std::clamp(std::lround(acc[c] / acc[3]), 0L, 255L));
            q[3] = static_cast<uint8_t>(std::clamp(std::lround(acc[3] / area * 255.0), 0L, 255L));
        }
    }
    return out;
}

}  // namespace vm::platform::x11
