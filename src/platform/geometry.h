#pragma once
// Points, sizes and rectangles shared by the platform services.

namespace vm::platform {

struct Point {
    double x = 0;
    double y = 0;
};

struct Size {
    double width = 0;
    double height = 0;
};

// A rectangle; which way y runs depends on where it is used (said there).
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
};

}  // namespace vm::platform
