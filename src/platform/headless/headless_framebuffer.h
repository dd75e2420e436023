#pragma once
// What a headless display shows, drawn in NV12 (video range) at any output
// size: a tinted background, a bar that slides and a counter drawn as blocks
// (so video always flows), and the pointer as a small arrow.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/capture.h"
#include "platform/geometry.h"

namespace vm::platform::headless {

struct FrameContent {
    uint32_t tint = 0;           // picks the background colour (the display's id)
    uint32_t pointsWide = 0;     // the display in points
    uint32_t pointsHigh = 0;
    double pixelsPerPoint = 1;   // the display's backing scale
    uint64_t phase = 0;          // animation step: where the bar is, what the counter shows
    std::optional<Point> pointer;  // points from the display's top-left
    bool scalesToFit = true;     // fit the display into the output (else its pixels 1:1, cropped)
};

// Where the display lands in the output picture.
struct ContentPlacement {
    double x = 0;       // output pixels
    double y = 0;
    double scale = 1;   // output pixels per point
    double width = 0;   // output pixels
    double height = 0;
};

class Framebuffer {
public:
    static constexpr uint8_t kBlack = 16, kWhite = 235, kNeutral = 128;
    // The arrow's size in points; its tip is the pointer's place.
    static constexpr int kArrowWide = 12, kArrowHigh = 19;
    // Steps the bar takes to cross the display.
    static constexpr uint64_t kBarSteps = 60;

    static ContentPlacement place(int outWidth, int outHeight, const FrameContent& c);
    // A new picture (even sizes; odd ones lose a pixel). The background is drawn
    // once per size and copied row by row afterwards.
    std::shared_ptr<Nv12Image> render(int outWidth, int outHeight, const FrameContent& c);

private:
    void drawBackground(int w, int h, const FrameContent& c, const ContentPlacement& p);
    int bgWidth_ = 0, bgHeight_ = 0;
    uint32_t bgTint_ = 0;
    double bgX_ = -1, bgY_ = -1, bgW_ = -1, bgH_ = -1;
    std::vector<uint8_t> bgLuma_, bgChroma_;
};

}  // namespace vm::platform::headless
