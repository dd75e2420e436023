#include "phone/phone_view.h"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "base/clock.h"
#include "phone/phone_input.h"
#include "phone/phone_session.h"
#include "phone/phone_video.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "phone/view_input.h"
#include "phone/view_overlay.h"

namespace vm::phone {

namespace {

constexpr size_t kMaxMessageBytes = 1000;
constexpr double kNoticeSeconds = 6;

// One decoded picture as tightly packed I420, the texture format every SDL renderer takes.
struct Picture {
    int w = 0, h = 0;
    std::vector<uint8_t> y, u, v;
    bool bt709 = true, fullRange = false;
    uint64_t connection = 0;
};

bool toI420(const AVFrame* f, Picture* p, SwsContext** sws) {
    if (!f) return false;
    const int w = f->width, h = f->height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    p->w = w;
    p->h = h;
    p->y.resize(static_cast<size_t>(w) * h);
    p->u.resize(static_cast<size_t>(cw) * ch);
    p->v.resize(static_cast<size_t>(cw) * ch);
    p->bt709 = f->colorspace == AVCOL_SPC_BT709 || f->colorspace == AVCOL_SPC_UNSPECIFIED;
    p->fullRange = f->color_range == AVCOL_RANGE_JPEG || f->format == AV_PIX_FMT_YUVJ420P;
    uint8_t* dst[4] = {p->y.data(), p->u.data(), p->v.data(), nullptr};
    const int dstStride[4] = {w, cw, cw, 0};
    if (f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) {
        for (int plane = 0; plane < 3; ++plane) {
            const int pw = plane ? cw : w, ph = plane ? ch : h;
            for (int row = 0; row < ph; ++row)
                std::memcpy(dst[plane] + static_cast<size_t>(row) * pw, f->data[plane] + static_cast<ptrdiff_t>(row) * f->linesize[plane],
                            static_cast<size_t>(pw));
        }
        return true;
    }
    *sws = sws_getCachedContext(*sws, w, h, static_cast<AVPixelFormat>(f->format), w, h, AV_PIX_FMT_YUV420P,
                                SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!*sws) return false;
    sws_scale(*sws, f->data, f->linesize, 0, h, dst, dstStride);
    return true;
}

// What the video thread and the window share.
class Shared {
public:
    std::atomic<bool> stop{false};
    Uint32 wakeEvent = 0;

    // Only the newest picture waits: a new one takes the place of one not yet shown,
    // and the caller gets the old buffers back to fill next time.
    void putPicture(Picture& p) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            std::swap(picture_, p);
            fresh_ = true;
        }
        wake();
    }
    bool takePicture(Picture& p) {
        std::lock_guard<std::mutex> lk(mu_);
        if (!fresh_) return false;
        std::swap(picture_, p);
        fresh_ = false;
        return true;
    }

    void setLink(std::shared_ptr<MessageLink> link) {
        std::lock_guard<std::mutex> lk(mu_);
        link_ = std::move(link);
        if (link_) ++connection_;
    }
    uint64_t connection() {
        std::lock_guard<std::mutex> lk(mu_);
        return connection_;
    }
    // Sends the window's lines, several to a message, on the link of the moment.
    bool send(const std::vector<std::string>& lines) {
        std::shared_ptr<MessageLink> link;
        {
            std::lock_guard<std::mutex> lk(mu_);
            link = link_;
        }
        if (!link || lines.empty()) return false;
        std::string msg;
        bool ok = true;
        for (const auto& l : lines) {
            if (!msg.empty() && msg.size() + l.size() + 1 > kMaxMessageBytes) {
                ok = link->send(msg) && ok;
                msg.clear();
            }
            msg += l + "\n";
        }
        return link->send(msg) && ok;
    }

    void setStatus(const std::string& s) { set(status_, s); }
    void setFigures(const std::string& s) { set(figures_, s); }
    void setNotice(const std::string& s) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            notice_ = s;
            noticeUntil_ = SystemClock().monotonic() + kNoticeSeconds;
        }
        wake();
    }
    std::string status() { return get(status_); }
    std::string figures() { return get(figures_); }
    std::string notice() {
        std::lock_guard<std::mutex> lk(mu_);
        return SystemClock().monotonic() < noticeUntil_ ? notice_ : std::string();
    }

    void setDesktop(int w, int h) {
        std::lock_guard<std::mutex> lk(mu_);
        desktop_ = {w, h};
    }
    std::pair<int, int> desktop() {
        std::lock_guard<std::mutex> lk(mu_);
        return desktop_;
    }
    void askDesktop() { askDesktop_ = true; }
    bool takeAskDesktop() { return askDesktop_.exchange(false); }

    void wake() {
        if (wakeEvent == 0 || wakePending_.exchange(true)) return;
        SDL_Event e{};
        e.type = wakeEvent;
        SDL_PushEvent(&e);
    }
    void woken() { wakePending_ = false; }

private:
    void set(std::string& field, const std::string& s) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (field == s) return;
            field = s;
        }
        wake();
    }
    std::string get(const std::string& field) {
        std::lock_guard<std::mutex> lk(mu_);
        return field;
    }

    std::mutex mu_;
    Picture picture_;
    bool fresh_ = false;
    std::shared_ptr<MessageLink> link_;
    uint64_t connection_ = 0;
    std::string status_, figures_, notice_;
    double noticeUntil_ = 0;
    std::pair<int, int> desktop_{0, 0};
    std::atomic<bool> askDesktop_{false};
    std::atomic<bool> wakePending_{false};
};

// The video's own handle on the link the window also sends on.
class SharedLink final : public MessageLink {
public:
    explicit SharedLink(std::shared_ptr<MessageLink> inner) : inner_(std::move(inner)) {}
    bool send(const std::string& text) override { return inner_->send(text); }
    std::optional<Bytes> receive(double timeoutSeconds) override { return inner_->receive(timeoutSeconds); }
    bool closed() const override { return inner_->closed(); }

private:
    std::shared_ptr<MessageLink> inner_;
};

void sleepUnlessStopped(const Shared& sh, double seconds) {
    SystemClock clock;
    const double end = clock.monotonic() + seconds;
    while (!sh.stop && clock.monotonic() < end) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The connection, kept up for as long as the window is open: connects, plays the
// video (a whole session with --vd), and when the agent goes away says so and
// connects again.
void videoThread(const ViewOptions& opt, const Output& io, Shared& sh) {
    SystemClock clock;
    ViewFigures figures(opt.level);
    Picture work;
    SwsContext* sws = nullptr;
    int64_t probe = 0;
    const std::string agent = "the agent at " + opt.host;
    while (!sh.stop) {
        sh.setStatus("connecting to " + agent + " …");
        std::string why;
        std::shared_ptr<MessageLink> link = opt.connect(&why);
        if (!link) {
            const std::string msg = "cannot reach " + agent + " (" + why + ") — trying again";
            io.err(msg);
            sh.setStatus(msg);
            sleepUnlessStopped(sh, opt.retrySeconds);
            continue;
        }
        io.err("connected to " + agent);
        sh.setStatus("connected — waiting for the picture …");
        sh.setLink(link);
        const uint64_t connection = sh.connection();
        figures.reset();
        link->send("ID " + opt.phoneId + "\n");
        link->send("D 0 0\n");

        double lastAnswer = clock.monotonic(), lastProbe = -10, lastAskD = clock.monotonic(), lastFigures = 0;
        bool silent = false, shown = false;
        VideoOptions v;
        v.phoneId = opt.phoneId;
        v.level = opt.level;
        v.onLine = [&](const std::string& line) {
            if (line.rfind("P ", 0) == 0) {
                lastAnswer = clock.monotonic();
            } else if (line.rfind("D ", 0) == 0) {
                int w = 0, h = 0;
                std::istringstream in(line.substr(2));
                if (in >> w >> h && w > 0 && h > 0) sh.setDesktop(w, h);
            } else if (auto said = explainPush(line)) {
                io.err(*said);
                sh.setNotice(*said);
            } else if (line.rfind("IS ", 0) != 0 && line.rfind("HV ", 0) != 0) {
                io.err("agent: " + line);
            }
        };
        v.onPicture = [&](const VideoDecoder& d, size_t bytes, double latencyMs) {
            figures.picture(clock.monotonic(), bytes, latencyMs);
            if (!toI420(d.lastFrame(), &work, &sws)) return;
            work.connection = connection;
            sh.putPicture(work);
            if (!shown) {
                shown = true;
                sh.setStatus("");
            }
        };
        v.onTurn = [&](MessageLink& l, const ReceiverStats& st) {
            if (sh.stop) return false;
            const double now = clock.monotonic();
            // Anything said on the link counts, but only "P" is always answered.
            if (now - lastProbe >= 1.0) {
                lastProbe = now;
                l.send("P " + std::to_string(++probe) + "\n");
            }
            if (sh.takeAskDesktop() || now - lastAskD >= 5.0) {
                lastAskD = now;
                l.send("D 0 0\n");
            }
            if (now - lastAnswer > opt.silentSeconds) {
                silent = true;
                return false;
            }
            if (now - lastFigures >= 0.5) {
                lastFigures = now;
                figures.counts(st);
                sh.setFigures(figures.line(now));
            }
            return true;
        };
        std::unique_ptr<MessageLink> owner = std::make_unique<SharedLink>(link);
        if (opt.vd) {
            SessionOptions s;
            s.phoneId = opt.phoneId;
            s.vdWidth = opt.vd->first;
            s.vdHeight = opt.vd->second;
            s.video = v;
            runSession(owner, s, io);
        } else {
            runVideo(owner, v, io, nullptr);
        }
        sh.setLink(nullptr);
        if (sh.stop) break;
        const std::string msg = (silent ? agent + " stopped answering" : agent + " closed the connection") +
                                " — trying again";
        io.err(msg);
        sh.setStatus(msg);
        sleepUnlessStopped(sh, opt.retrySeconds);
    }
    sws_freeContext(sws);
}

// The picture fitted into `w`×`h` with its proportions kept, centred.
SDL_Rect fit(int picW, int picH, int w, int h) {
    if (picW <= 0 || picH <= 0 || w <= 0 || h <= 0) return SDL_Rect{0, 0, w, h};
    const double s = std::min(static_cast<double>(w) / picW, static_cast<double>(h) / picH);
    const int cw = std::max(1, static_cast<int>(picW * s + 0.5)), ch = std::max(1, static_cast<int>(picH * s + 0.5));
    return SDL_Rect{(w - cw) / 2, (h - ch) / 2, cw, ch};
}

class ViewWindow {
public:
    ViewWindow(const ViewOptions& opt, const Output& io, Shared& sh)
        // Typed texts are numbered from the clock, so a restarted viewer's numbers are new to the agent.
        : opt_(opt), io_(io), sh_(sh), input_(static_cast<int64_t>(SystemClock().now() * 1000) % 1000000000) {}
    ~ViewWindow() {
        if (tex_) SDL_DestroyTexture(tex_);
        if (ren_) SDL_DestroyRenderer(ren_);
        if (win_) SDL_DestroyWindow(win_);
    }

    bool open(std::string* why) {
        win_ = SDL_CreateWindow("Vellomark", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 640, 360,
                                SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
        if (!win_) return *why = SDL_GetError(), false;
        ren_ = SDL_CreateRenderer(win_, -1, 0);
        if (!ren_) ren_ = SDL_CreateRenderer(win_, -1, SDL_RENDERER_SOFTWARE);
        if (!ren_) return *why = SDL_GetError(), false;
        std::string fontWhy;
        if (!text_.open(13, &fontWhy)) io_.err("the figures go to the title bar: " + fontWhy);
        updateTitle();
        return true;
    }

    // Runs until the window is closed.
    void loop() {
        SystemClock clock;
        bool running = true;
        while (running) {
            SDL_Event e;
            if (SDL_WaitEventTimeout(&e, 50)) {
                do {
                    running = handle(e, clock.monotonic()) && running;
                } while (SDL_PollEvent(&e));
            }
            if (sh_.connection() != connection_) {
                // A new connection: the agent let go of everything when the old one ended.
                connection_ = sh_.connection();
                input_.forget();
            }
            sh_.send(input_.take(clock.monotonic()));
            refresh();
        }
        std::vector<std::string> last = input_.releaseAll();
        last.push_back("R 0");
        sh_.send(last);
        if (input_.grabbed()) grab(false);
    }

private:
    bool handle(const SDL_Event& e, double now) {
        if (e.type == SDL_QUIT) return false;
        if (e.type == sh_.wakeEvent) {
            sh_.woken();
            return true;
        }
        if (e.type == SDL_WINDOWEVENT &&
            (e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED || e.window.event == SDL_WINDOWEVENT_EXPOSED))
            dirty_ = true;
        if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_CLOSE) return false;
        switch (input_.handle(e, now)) {
            case ViewAction::ToggleFigures:
                figuresOn_ = !figuresOn_;
                dirty_ = true;
                updateTitle();
                break;
            case ViewAction::TogglePointerMode:
                if (input_.grabbed()) grab(false);
                input_.setRelative(!input_.relative());
                updateTitle();
                break;
            case ViewAction::Grab:
                grab(true);
                break;
            case ViewAction::ReleaseGrab:
                grab(false);
                break;
            case ViewAction::None:
                break;
        }
        return true;
    }

    void grab(bool on) {
        SDL_SetRelativeMouseMode(on ? SDL_TRUE : SDL_FALSE);
        SDL_SetWindowKeyboardGrab(win_, on ? SDL_TRUE : SDL_FALSE);
        input_.setGrabbed(on);
        updateTitle();
    }

    void updateTitle() {
        // Plain ASCII: a window manager in a C locale shows nothing else reliably.
        std::string t = "Vellomark - " + opt_.host;
        if (picture_.w > 0) t += " - " + std::to_string(picture_.w) + "x" + std::to_string(picture_.h);
        if (input_.grabbed()) {
            t += " - pointer held: Ctrl+Alt releases it";
        } else {
            t += input_.relative() ? " - click to hold the pointer, F2 absolute" : " - F2 relative pointer";
            t += figuresOn_ ? ", F1 hides figures" : ", F1 figures";
        }
        if (figuresOn_ && !text_.ready() && !figures_.empty()) t += " - " + figures_;
        if (t != title_) {
            title_ = t;
            SDL_SetWindowTitle(win_, t.c_str());
        }
    }

    // Sizes the window to a new picture size, smaller where the screen is smaller.
    void followSize(int w, int h) {
        SDL_Rect usable{0, 0, w, h};
        SDL_GetDisplayUsableBounds(std::max(0, SDL_GetWindowDisplayIndex(win_)), &usable);
        int top = 0, left = 0, bottom = 0, right = 0;
        SDL_GetWindowBordersSize(win_, &top, &left, &bottom, &right);
        const SDL_Rect r = fit(w, h, std::min(w, usable.w - left - right), std::min(h, usable.h - top - bottom));
        SDL_SetWindowSize(win_, r.w, r.h);
    }

    void refresh() {
        if (sh_.takePicture(picture_)) {
            if (picture_.w != texW_ || picture_.h != texH_ || picture_.connection != shownConnection_) {
                if (picture_.w != texW_ || picture_.h != texH_) {
                    if (tex_) SDL_DestroyTexture(tex_);
                    SDL_SetYUVConversionMode(picture_.fullRange ? SDL_YUV_CONVERSION_JPEG
                                             : picture_.bt709   ? SDL_YUV_CONVERSION_BT709
                                                                : SDL_YUV_CONVERSION_BT601);
                    tex_ = SDL_CreateTexture(ren_, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING, picture_.w,
                                             picture_.h);
                    texW_ = picture_.w;
                    texH_ = picture_.h;
                    followSize(texW_, texH_);
                    sh_.askDesktop();
                    updateTitle();
                }
                shownConnection_ = picture_.connection;
                io_.out("showing " + std::to_string(texW_) + "x" + std::to_string(texH_));
            }
            if (tex_)
                SDL_UpdateYUVTexture(tex_, nullptr, picture_.y.data(), picture_.w, picture_.u.data(),
                                     (picture_.w + 1) / 2, picture_.v.data(), (picture_.w + 1) / 2);
            dirty_ = true;
        }
        const std::string status = sh_.status(), notice = sh_.notice();
        std::string figures = figuresOn_ ? sh_.figures() : std::string();
        if (status != status_ || notice != notice_ || figures != figures_) {
            status_ = status;
            notice_ = notice;
            figures_ = figures;
            dirty_ = true;
            updateTitle();
        }
        // Window points to desktop points, for the pointer lines.
        int ww = 0, wh = 0;
        SDL_GetWindowSize(win_, &ww, &wh);
        ViewGeometry g;
        g.content = fit(texW_, texH_, ww, wh);
        auto [dw, dh] = sh_.desktop();
        g.desktopW = dw > 0 ? dw : texW_;
        g.desktopH = dh > 0 ? dh : texH_;
        input_.setGeometry(g);
        if (dirty_) draw(ww);
    }

    void draw(int windowW) {
        dirty_ = false;
        int ow = 0, oh = 0;
        SDL_GetRendererOutputSize(ren_, &ow, &oh);
        SDL_SetRenderDrawColor(ren_, 0, 0, 0, 255);
        SDL_RenderClear(ren_);
        if (tex_) {
            const SDL_Rect at = fit(texW_, texH_, ow, oh);
            SDL_RenderCopy(ren_, tex_, nullptr, &at);
        }
        const int scale = windowW > 0 ? std::max(1, ow / windowW) : 1;
        SDL_RenderSetScale(ren_, static_cast<float>(scale), static_cast<float>(scale));
        if (figuresOn_) text_.line(ren_, figures_.empty() ? "no figures yet" : figures_, 0, 0, ow / scale);
        if (!notice_.empty()) text_.line(ren_, notice_, 0, oh / scale - 60, ow / scale);
        if (!status_.empty()) {
            if (tex_) {
                SDL_SetRenderDrawBlendMode(ren_, SDL_BLENDMODE_BLEND);
                SDL_SetRenderDrawColor(ren_, 0, 0, 0, 140);
                SDL_RenderFillRect(ren_, nullptr);
            }
            text_.centred(ren_, status_, ow / scale, oh / scale);
        }
        SDL_RenderSetScale(ren_, 1, 1);
        SDL_RenderPresent(ren_);
    }

    const ViewOptions& opt_;
    const Output& io_;
    Shared& sh_;
    ViewInput input_;
    SDL_Window* win_ = nullptr;
    SDL_Renderer* ren_ = nullptr;
    SDL_Texture* tex_ = nullptr;
    int texW_ = 0, texH_ = 0;
    TextPainter text_;
    Picture picture_;
    uint64_t connection_ = 0, shownConnection_ = 0;
    bool figuresOn_ = false, dirty_ = true;
    std::string title_, status_, notice_, figures_;
};

}  // namespace

int runView(const ViewOptions& opt, const Output& io) {
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        io.err(std::string("cannot open a window: ") + SDL_GetError());
        return kExitNoWindow;
    }
    Shared sh;
    sh.wakeEvent = SDL_RegisterEvents(1);
    if (sh.wakeEvent == static_cast<Uint32>(-1)) sh.wakeEvent = 0;
    int rc = 0;
    {
        ViewWindow window(opt, io, sh);
        std::string why;
        if (!window.open(&why)) {
            io.err("cannot open a window: " + why);
            rc = kExitNoWindow;
        } else {
            std::thread video([&] { videoThread(opt, io, sh); });
            window.loop();
            sh.stop = true;
            video.join();
        }
    }
    SDL_Quit();
    return rc;
}

}  // namespace vm::phone
