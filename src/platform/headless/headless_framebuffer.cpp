#include "platform/headless/headless_framebuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vm::platform::headless {

// The classic arrow: 'B' outline, 'W' fill, '.' see-through; the tip is the top-left cell.
static constexpr const char* kArrow[Framebuffer::kArrowHigh] = {
    "B...........", "BB..........", "BWB.........", "BWWB........", "BWWWB.......",
    "BWWWWB......", "BWWWWWB.....", "BWWWWWWB....", "BWWWWWWWB...", "BWWWWWWWWB..",
    "BWWWWWWWWWB.", "BWWWWWWBBBBB", "BWWWBWWB....", "BWWBBWWB....", "BWB..BWWB...",
    "BB...BWWB...", "B.....BWWB..", "......BWWB..", ".......BB...",
};

static char arrowAt(double ax, double ay) {
    if (ax < 0 || ay < 0) return '.';
    auto col = static_cast<int>(ax), row = static_cast<int>(ay);
    if (col >= Framebuffer::kArrowWide || row >= Framebuffer::kArrowHigh) return '.';
    return kArrow[row][col];
}

ContentPlacement Framebuffer::place(int outWidth, int outHeight, const FrameContent& c) {
    ContentPlacement p;
    if (c.pointsWide == 0 || c.pointsHigh == 0 || outWidth <= 0 || outHeight <= 0) return p;
    if (c.scalesToFit) {
        // The whole display, aspect kept, centred (bars where the shapes differ).
        p.scale = std::min(double(outWidth) / c.pointsWide, double(outHeight) / c.pointsHigh);
        p.width = c.pointsWide * p.scale;
        p.height = c.pointsHigh * p.scale;
        p.x = std::floor((outWidth - p.width) / 2);
        p.y = std::floor((outHeight - p.height) / 2);
    } else {
        // The display's own pixels from the top-left; what does not fit is cut off.
        p.scale = c.pixelsPerPoint > 0 ? c.pixelsPerPoint : 1;
        p.width = c.pointsWide * p.scale;
        p.height = c.pointsHigh * p.scale;
    }
    return p;
}

void Framebuffer::drawBackground(int w, int h, const FrameContent& c, const ContentPlacement& p) {
    bgLuma_.assign(static_cast<size_t>(w) * h, kBlack);
    bgChroma_.assign(static_cast<size_t>(w) * (h / 2), kNeutral);
    // A colour of its own per display, so a test (or a person) sees which one is captured.
    uint32_t t = c.tint * 2654435761u;
    uint8_t cb = static_cast<uint8_t>(96 + (t >> 8) % 64);
    uint8_t cr = static_cast<uint8_t>(96 + (t >> 16) % 64);
    int x0 = std::clamp(static_cast<int>(p.x), 0, w), y0 = std::clamp(static_cast<int>(p.y), 0, h);
    int x1 = std::clamp(static_cast<int>(p.x + p.width), 0, w), y1 = std::clamp(static_cast<int>(p.y + p.height), 0, h);
    double gridStep = std::max(8.0, 64 * p.scale);
    for (int y = y0; y < y1; ++y) {
        // A gentle top-to-bottom gradient with grid lines every 64 points.
        double v = (y - p.y) / std::max(1.0, p.height);
        auto base = static_cast<uint8_t>(60 + 80 * v);
        uint8_t* row = &bgLuma_[static_cast<size_t>(y) * w];
        bool gridRow = std::fmod(y - p.y, gridStep) < 1.0;
        for (int x = x0; x < x1; ++x) {
            bool gridCol = std::fmod(x - p.x, gridStep) < 1.0;
            row[x] = (gridRow || gridCol) ? static_cast<uint8_t>(base + 20) : base;
        }
    }
    for (int y = y0 / 2; y < (y1 + 1) / 2 && y < h / 2; ++y) {
        uint8_t* row = &bgChroma_[static_cast<size_t>(y) * w];
        for (int x = x0 / 2; x < (x1 + 1) / 2 && x < w / 2; ++x) {
            row[2 * x] = cb;
            row[2 * x + 1] = cr;
        }
    }
    bgWidth_ = w;
    bgHeight_ = h;
    bgTint_ = c.tint;
    bgX_ = p.x;
    bgY_ = p.y;
    bgW_ = p.width;
    bgH_ = p.height;
}

// Fills a rectangle (output pixels, clipped) with one colour.
static void fill(Nv12Image& img, double fx, double fy, double fw, double fh, uint8_t y, uint8_t cb, uint8_t cr) {
    int x0 = std::clamp(static_cast<int>(std::floor(fx)), 0, img.width);
    int y0 = std::clamp(static_cast<int>(std::floor(fy)), 0, img.height);
    int x1 = std::clamp(static_cast<int>(std::ceil(fx + fw)), 0, img.width);
    int y1 = std::clamp(static_cast<int>(std::ceil(fy + fh)), 0, img.height);
    if (x0 >= x1 || y0 >= y1) return;
    for (int r = y0; r < y1; ++r) std::memset(&img.luma[static_cast<size_t>(r) * img.lumaStride + x0], y, x1 - x0);
    for (int r = y0 / 2; r < (y1 + 1) / 2 && r < img.height / 2; ++r) {
        uint8_t* row = &img.chroma[static_cast<size_t>(r) * img.chromaStride];
        for (int x = x0 / 2; x < (x1 + 1) / 2 && x < img.width / 2; ++x) {
            row[2 * x] = cb;
            row[2 * x + 1] = cr;
        }
    }
}

std::shared_ptr<Nv12Image> Framebuffer::render(int outWidth, int outHeight, const FrameContent& c) {
    int w = std::max(outWidth, 0) & ~1, h = std::max(outHeight, 0) & ~1;
    auto img = std::make_shared<Nv12Image>();
    img->width = w;
    img->height = h;
    img->lumaStride = w;
    img->chromaStride = w;
    ContentPlacement p = place(w, h, c);
    if (w != bgWidth_ || h != bgHeight_ || c.tint != bgTint_ || p.x != bgX_ || p.y != bgY_ || p.width != bgW_ ||
        p.height != bgH_)
        drawBackground(w, h, c, p);
    img->luma = bgLuma_;
    img->chroma = bgChroma_;
    if (w == 0 || h == 0 || p.width <= 0) return img;

    // The sliding bar: an eighth of the display wide, one step per phase.
    double barW = std::max(2.0, p.width / 16);
    double travel = std::max(0.0, p.width - barW);
    double pos = travel * double(c.phase % kBarSteps) / double(kBarSteps - 1);
    fill(*img, p.x + pos, p.y, barW, p.height * 0.8, 190, 160, 100);

    // The counter: the phase's low 16 bits as blocks along the bottom, most significant first.
    double blockW = p.width / 16;
    double blockH = std::max(2.0, std::min(p.height * 0.1, blockW));
    for (int bit = 0; bit < 16; ++bit) {
        bool on = (c.phase >> (15 - bit)) & 1;
        fill(*img, p.x + bit * blockW + 1, p.y + p.height - blockH, std::max(1.0, blockW - 2), blockH,
             on ? 200 : 40, kNeutral, kNeutral);
    }

    // The pointer last, on top of everything, its tip on the pointer's place.
    if (c.pointer) {
        double tipX = p.x + c.pointer->x * p.scale, tipY = p.y + c.pointer->y * p.scale;
        double s = std::max(p.scale, 0.25);
        int x0 = std::max(0, static_cast<int>(std::floor(tipX)));
        int y0 = std::max(0, static_cast<int>(std::floor(tipY)));
        int x1 = std::min(w, static_cast<int>(std::ceil(tipX + kArrowWide * s)));
        int y1 = std::min(h, static_cast<int>(std::ceil(tipY + kArrowHigh * s)));
        for (int y = y0; y < y1; ++y) {
            uint8_t* row = &img->luma[static_cast<size_t>(y) * img->lumaStride];
            for (int x = x0; x < x1; ++x) {
                char cell = arrowAt((x + 0.5 - tipX) / s, (y + 0.5 - tipY) / s);
                if (cell == 'W') row[x] = kWhite;
                if (cell == 'B') row[x] = kBlack;
            }
        }
        for (int y = y0 / 2; y < (y1 + 1) / 2 && y < h / 2; ++y) {
            uint8_t* row = &img->chroma[static_cast<size_t>(y) * img->chromaStride];
            for (int x = x0 / 2; x < (x1 + 1) / 2 && x < w / 2; ++x) {
                if (arrowAt((2 * x + 1 - tipX) / s, (2 * y + 1 - tipY) / s) == '.') continue;
                row[2 * x] = kNeutral;
                row[2 * x + 1] = kNeutral;
            }
        }
    }
    return img;
}

}  // namespace vm::platform::headless
