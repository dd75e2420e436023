#pragma once
// What the viewer window writes over the picture: the figures line (F1) with the
// numbers the video summary prints, taken over the last seconds rather than the
// whole run, and messages such as a lost agent. Text is drawn with SDL_ttf.
#include <SDL.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

struct _TTF_Font;

namespace vm::phone {

struct ReceiverStats;

// Frames per second, bit rate and latency over a sliding window; lost, recovered
// and resent chunks since the connection began.
class ViewFigures {
public:
    static constexpr double kWindowSeconds = 2.0;

    explicit ViewFigures(std::optional<int> level) : level_(level) {}
    void picture(double now, size_t frameBytes, double latencyMs);
    void counts(const ReceiverStats& st);
    // Starts the counts afresh (a new connection has a new receiver).
    void reset();
    std::string line(double now);

private:
    struct Sample {
        double at;
        size_t bytes;
        double latencyMs;
    };
    std::optional<int> level_;
    std::deque<Sample> samples_;
    int64_t lost_ = 0, recovered_ = 0, resent_ = 0;
};

// Text on the renderer: a line at the top left, or a message in the middle.
class TextPainter {
public:
    TextPainter() = default;
    ~TextPainter();
    TextPainter(const TextPainter&) = delete;
    TextPainter& operator=(const TextPainter&) = delete;

    // Opens the font (VELLOMARK_VIEW_FONT, else DejaVu); false with a reason when there is none.
    bool open(int pointSize, std::string* why);
    bool ready() const { return font_ != nullptr; }
    // A line at (x, y), wrapped to `width`.
    void line(SDL_Renderer* r, const std::string& text, int x, int y, int width);
    // A message in the middle of `width`×`height`, wrapped to most of the width.
    void centred(SDL_Renderer* r, const std::string& text, int width, int height);

private:
    SDL_Surface* render(const std::string& text, int wrapWidth);
    // Puts the text (taking the surface) on a dark box whose top left corner is (x, y).
    void place(SDL_Renderer* r, SDL_Surface* s, int x, int y);
    _TTF_Font* font_ = nullptr;
};

}  // namespace vm::phone
