#include "phone/view_overlay.h"

#include <SDL_ttf.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "phone/phone_video.h"
#include "phone/video_receiver.h"

namespace vm::phone {

namespace {

constexpr int kPad = 6;

}  // namespace

void ViewFigures::picture(double now, size_t frameBytes, double latencyMs) {
    samples_.push_back(Sample{now, frameBytes, latencyMs});
    while (!samples_.empty() && samples_.front().at < now - kWindowSeconds) samples_.pop_front();
}

void ViewFigures::counts(const ReceiverStats& st) {
    // As the summary line counts them: every chunk missing at first, whether parity or a resend brought it.
    lost_ = st.lostChunks + st.recovered;
    recovered_ = st.recovered;
    resent_ = st.resent;
}

void ViewFigures::reset() {
    samples_.clear();
    lost_ = recovered_ = resent_ = 0;
}

std::string ViewFigures::line(double now) {
    while (!samples_.empty() && samples_.front().at < now - kWindowSeconds) samples_.pop_front();
    std::vector<double> lat;
    double bytes = 0;
    for (const auto& s : samples_) {
        lat.push_back(s.latencyMs);
        bytes += static_cast<double>(s.bytes);
    }
    const double fps = static_cast<double>(samples_.size()) / kWindowSeconds;
    const double mbps = bytes * 8 / kWindowSeconds / 1e6;
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "%.1f fps · %.2f Mbit/s · latency p50 %.0f ms p99 %.0f ms · lost %lld recovered %lld resent %lld · "
                  "level %s",
                  fps, mbps, percentile(lat, 0.5), percentile(lat, 0.99), static_cast<long long>(lost_),
                  static_cast<long long>(recovered_), static_cast<long long>(resent_),
                  level_ ? std::to_string(*level_).c_str() : "0");
    return buf;
}

TextPainter::~TextPainter() {
    if (font_) TTF_CloseFont(font_);
    if (TTF_WasInit()) TTF_Quit();
}

bool TextPainter::open(int pointSize, std::string* why) {
    if (!TTF_WasInit() && TTF_Init() != 0) {
        *why = std::string("SDL_ttf: ") + TTF_GetError();
        return false;
    }
    std::vector<std::string> paths;
    if (const char* own = std::getenv("VELLOMARK_VIEW_FONT"); own && *own) paths.emplace_back(own);
    paths.emplace_back("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf");
    paths.emplace_back("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf");
    for (const auto& p : paths) {
        font_ = TTF_OpenFont(p.c_str(), pointSize);
        if (font_) return true;
    }
    *why = "no font (install fonts-dejavu-core or set VELLOMARK_VIEW_FONT)";
    return false;
}

SDL_Surface* TextPainter::render(const std::string& text, int wrapWidth) {
    if (!font_ || text.empty()) return nullptr;
    const SDL_Color white{255, 255, 255, 255};
    return wrapWidth > 0 ? TTF_RenderUTF8_Blended_Wrapped(font_, text.c_str(), white, static_cast<Uint32>(wrapWidth))
                         : TTF_RenderUTF8_Blended(font_, text.c_str(), white);
}

void TextPainter::place(SDL_Renderer* r, SDL_Surface* s, int x, int y) {
    if (!s) return;
    SDL_Texture* t = SDL_CreateTextureFromSurface(r, s);
    const SDL_Rect box{x, y, s->w + 2 * kPad, s->h + 2 * kPad};
    const SDL_Rect at{x + kPad, y + kPad, s->w, s->h};
    SDL_FreeSurface(s);
    if (!t) return;
    SDL_SetRenderDrawBlendMode(r, SDL_BLENDMODE_BLEND);
    SDL_SetRenderDrawColor(r, 0, 0, 0, 170);
    SDL_RenderFillRect(r, &box);
    SDL_RenderCopy(r, t, nullptr, &at);
    SDL_DestroyTexture(t);
}

void TextPainter::line(SDL_Renderer* r, const std::string& text, int x, int y, int width) {
    place(r, render(text, width - 2 * kPad), x, y);
}

void TextPainter::centred(SDL_Renderer* r, const std::string& text, int width, int height) {
    SDL_Surface* s = render(text, std::max(50, width * 4 / 5));
    if (!s) return;
    place(r, s, std::max(0, (width - s->w) / 2 - kPad), std::max(0, (height - s->h) / 2 - kPad));
}

}  // namespace vm::phone
