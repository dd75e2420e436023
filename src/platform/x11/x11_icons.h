#pragma once
// Window icons as _NET_WM_ICON carries them: a run of pictures, each its width, its
// height and then width × height ARGB cardinals (not premultiplied), rows top to bottom.
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/workspace.h"

namespace vm::platform::x11 {

// How much of the property is read: a 512 × 512 picture plus smaller ones.
inline constexpr uint32_t kMaxIconLongs = 512 * 512 * 2;

// The largest well-formed picture in `data`, as RGBA; nullopt when there is none.
// A picture that runs past the end stops the reading there.
std::optional<RgbaImage> largestIcon(const std::vector<uint32_t>& data);

// `image` drawn into a side × side square, each pixel the area average of what it
// covers (alpha-weighted, so transparent pixels lend no colour).
RgbaImage scaleIcon(const RgbaImage& image, int side);

}  // namespace vm::platform::x11
