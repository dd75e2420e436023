#include "video/x265_session.h"

#include <x265.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "video/video_wire.h"

namespace vm::video {

struct X265Session::Handles {
    const x265_api* api = nullptr;
    x265_param* param = nullptr;
    x265_encoder* enc = nullptr;
    x265_picture* pic = nullptr;
    x265_picture* picOut = nullptr;

    ~Handles() {
        if (!api) return;
        if (enc) api->encoder_close(enc);
        if (pic) api->picture_free(pic);
        if (picOut) api->picture_free(picOut);
        if (param) api->param_free(param);
    }
};

namespace {

constexpr int kQpMin = 10;
constexpr int kQpMax = 51;
constexpr int kFirstQp = 32;          // before any picture has been measured
constexpr int kKeyQpOffset = 3;       // a key picture without a measured cost: the P quantiser plus this
// A key picture is never finer than the predicted ones by more than this: a finer one
// costs several times the encoding time and wire time of its neighbours, and the tail
// latency is made of exactly those pictures.
constexpr int kKeyQpBelowP = 3;
constexpr int kQpFallMost = 4;        // a predicted picture's quantiser sinks at most this much per picture
constexpr double kSettleFrames = 8;   // the bucket's excess is worked off over about this many pictures
constexpr double kKeySeconds = 0.15;  // a key picture gets about this much of a second's rate …
constexpr double kKeyBufferShare = 0.75;  // … and never more than this share of the bucket
constexpr double kIntervalWeight = 0.1;
constexpr double kPSizeWeight = 0.1;  // how fast the smoothed size of a predicted picture follows
// While the predicted pictures are small enough to go out back to back, a key picture
// aims to be too (a paced one spends about 20 ms more on the wire than its neighbours)…
constexpr double kUnpacedBits = static_cast<double>(kUnpacedChunks * kChunkSize) * 8.0;
constexpr double kUnpacedAim = 0.85;  // of it, since a picture's size is only predicted
// … but for that it is never made coarser than the predicted ones by more than this.
constexpr int kKeyQpAboveP = 6;

double log2Of(double v) { return std::log(v) / std::log(2.0); }

}  // namespace

std::unique_ptr<X265Session> X265Session::open(const X265Config& config, std::string* error) {
    std::unique_ptr<X265Session> s(new X265Session());
    s->config_ = config;
    s->h_ = std::make_unique<Handles>();
    Handles& h = *s->h_;
    h.api = x265_api_get(0);  // the library's own (8-bit) build
    if (!h.api) {
        *error = "x265 8비트 API 없음";
        return nullptr;
    }
    h.param = h.api->param_alloc();
    if (!h.param || h.api->param_default_preset(h.param, "ultrafast", "zerolatency") < 0) {
        *error = "x265 기본값 실패";
        return nullptr;
    }
    x265_param* p = h.param;
    p->logLevel = X265_LOG_ERROR;
    p->sourceWidth = config.width;
    p->sourceHeight = config.height;
    p->internalCsp = X265_CSP_I420;
    p->fpsNum = static_cast<uint32_t>(std::max(1, config.fps));
    p->fpsDenom = 1;
    p->bframes = 0;
    p->lookaheadDepth = 0;
    p->bOpenGOP = 0;
    p->bRepeatHeaders = 0;  // parameter sets travel in their own datagram
    p->bAnnexB = 1;
    p->bEmitInfoSEI = 0;
    // Key frames come when the caller asks (by the clock), never on x265's own count or
    // its guess at a scene cut, so the rate control always knows what it is sizing.
    p->bIntraRefresh = config.intraRefresh ? 1 : 0;
    p->keyframeMax = config.intraRefresh ? std::max(2, config.refreshFrames) : 1'000'000;
    p->keyframeMin = 0;
    p->scenecutThreshold = 0;
    p->rc.rateControlMode = X265_RC_CQP;
    p->rc.qp = kFirstQp;
    p->rc.aqMode = X265_AQ_NONE;
    // An intra block stops splitting once its parts already cost more than it: the same
    // decisions on screen pictures here, at a sixth to a quarter less time per key picture.
    p->bEnableSplitRdSkip = 1;
    // Screen pictures are video-range BT.709; said in the stream so a decoder shows the right colours.
    const char* vui[][2] = {{"range", "limited"}, {"colorprim", "bt709"}, {"transfer", "bt709"},
                            {"colormatrix", "bt709"}};
    for (const auto& kv : vui) {
        if (h.api->param_parse(p, kv[0], kv[1]) != 0) {
            *error = std::string("x265 설정 거부: ") + kv[0];
            return nullptr;
        }
    }
    h.enc = h.api->encoder_open(p);
    if (!h.enc) {
        *error = "x265 세션 열기 실패";
        return nullptr;
    }
    h.pic = h.api->picture_alloc();
    h.picOut = h.api->picture_alloc();
    if (!h.pic || !h.picOut) {
        *error = "x265 그림 할당 실패";
        return nullptr;
    }
    h.api->picture_init(p, h.pic);
    h.api->picture_init(p, h.picOut);

    x265_nal* nals = nullptr;
    uint32_t count = 0;
    if (h.api->encoder_headers(h.enc, &nals, &count) < 0) {
        *error = "x265 파라미터 세트 없음";
        return nullptr;
    }
    for (uint32_t i = 0; i < count; ++i)
        s->headers_.insert(s->headers_.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    const size_t chroma = static_cast<size_t>(config.width / 2) * static_cast<size_t>(config.height / 2);
    s->cb_.resize(chroma);
    s->cr_.resize(chroma);
    return s;
}

X265Session::~X265Session() = default;

void X265Session::setRates(const X265Rates& rates) {
    if (config_.rates.buffer > 0 && rates.buffer > 0)
        fullness_ *= static_cast<double>(rates.buffer) / static_cast<double>(config_.rates.buffer);
    config_.rates = rates;
    // A new level brings its own frame-rate cap: the spacing is measured afresh from
    // the next picture on rather than drifting over from the old one.
    interval_ = 0;
}

int X265Session::chooseQp(bool key, double at) {
    const double rate = static_cast<double>(std::max<int64_t>(1, config_.rates.average));
    const double buffer = static_cast<double>(std::max<int64_t>(1, config_.rates.buffer));
    // The bucket drains at the rate for the time that really passed.
    if (lastAt_ > 0 && at > lastAt_) {
        const double gap = at - lastAt_;
        fullness_ = std::max(0.0, fullness_ - rate * gap);
        interval_ = interval_ == 0 ? gap : interval_ + kIntervalWeight * (gap - interval_);
    }
    lastAt_ = at;
    const double interval = interval_ > 0 ? interval_ : 1.0 / std::max(1, config_.fps);
    const double perFrame = rate * interval;
    double target = 0;
    double cost = 0;
    if (key) {
        target = std::clamp(rate * kKeySeconds, perFrame, std::max(perFrame, buffer * kKeyBufferShare - fullness_));
        cost = costI_;
    } else {
        target = std::max(perFrame * 0.25, perFrame - fullness_ / kSettleFrames);
        cost = costP_;
    }
    auto qpFor = [cost](double bits) { return static_cast<int>(std::lround(6.0 * log2Of(cost / bits))); };
    int qp = 0;
    if (cost > 0) {
        qp = qpFor(target);
    } else {
        qp = lastPQp_ > 0 ? lastPQp_ + (key ? kKeyQpOffset : 0) : kFirstQp + (key ? kKeyQpOffset : 0);
    }
    if (!key && lastPQp_ > 0) qp = std::max(qp, lastPQp_ - kQpFallMost);
    if (key && lastPQp_ > 0) {
        qp = std::max(qp, lastPQp_ - kKeyQpBelowP);
        if (cost > 0 && pBits_ > 0 && pBits_ <= kUnpacedBits)
            qp = std::max(qp, std::min(qpFor(kUnpacedBits * kUnpacedAim), lastPQp_ + kKeyQpAboveP));
    }
    return std::clamp(qp, kQpMin, kQpMax);
}

void X265Session::learn(bool key, int qp, double bits) {
    fullness_ += bits;
    const double cost = std::max(1.0, bits) * std::pow(2.0, qp / 6.0);
    double& c = key ? costI_ : costP_;
    c = c == 0 ? cost : 0.5 * c + 0.5 * cost;
    lastQp_ = qp;
    if (!key) {
        lastPQp_ = qp;
        pBits_ = pBits_ == 0 ? bits : pBits_ + kPSizeWeight * (bits - pBits_);
    }
}

bool X265Session::encode(const platform::Nv12Image& im, bool forceKey, double at, Output* out) {
    Handles& h = *h_;
    const int w = config_.width, hgt = config_.height;
    // x265 takes planar chroma only.
    for (int y = 0; y < hgt / 2; ++y) {
        const uint8_t* src = im.chroma.data() + static_cast<size_t>(y) * static_cast<size_t>(im.chromaStride);
        uint8_t* u = cb_.data() + static_cast<size_t>(y) * static_cast<size_t>(w / 2);
        uint8_t* v = cr_.data() + static_cast<size_t>(y) * static_cast<size_t>(w / 2);
        for (int x = 0; x < w / 2; ++x) {
            u[x] = src[2 * x];
            v[x] = src[2 * x + 1];
        }
    }
    x265_picture* pic = h.pic;
    pic->planes[0] = const_cast<uint8_t*>(im.luma.data());
    pic->planes[1] = cb_.data();
    pic->planes[2] = cr_.data();
    pic->stride[0] = im.lumaStride;
    pic->stride[1] = w / 2;
    pic->stride[2] = w / 2;
    pic->pts = pts_++;
    // The first picture of a session is a key picture whatever was asked.
    const bool key = forceKey || pts_ == 1;
    const int qp = chooseQp(key, at);
    pic->sliceType = forceKey ? X265_TYPE_IDR : X265_TYPE_AUTO;
    pic->forceqp = qp + 1;  // x265 counts it from one (zero: its own choice)

    x265_nal* nals = nullptr;
    uint32_t count = 0;
    int rc = h.api->encoder_encode(h.enc, &nals, &count, pic, h.picOut);
    if (rc < 0) return false;
    out->annexB.clear();
    out->key = false;
    if (rc == 0) return true;
    for (uint32_t i = 0; i < count; ++i)
        out->annexB.insert(out->annexB.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    out->key = IS_X265_TYPE_I(h.picOut->sliceType);
    learn(out->key, qp, static_cast<double>(out->annexB.size()) * 8.0);
    return true;
}

}  // namespace vm::video
