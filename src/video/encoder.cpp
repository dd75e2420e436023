#include "video/encoder.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <utility>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "base/settings.h"
#include "video/video_wire.h"
#include "video/x265_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace vm::video {

namespace {

constexpr int64_t kMaxRate = 12'000'000;     // bit/s: 750,000 bytes per half second
constexpr int kBufferBits = 6'000'000;       // the same half second, in bits
// Our own rate control (libx265) holds every half second to the level's rate; its bucket
// never exceeds the half-second limit above, so key frames stay in proportion to the level.
constexpr double kBufferSeconds = 0.5;
constexpr int kGopFrames = 300;
constexpr double kKeyEvery = 3.0;            // seconds between key frames at the latest
constexpr double kIdrSpacing = 0.4;          // seconds between forced key frames on request
constexpr int kMaxSide = 16384;
constexpr size_t kBigFrameChunks = 20;
constexpr const char* kSendQueueLabel = "vellomark.send";
constexpr const char* kEncodeQueueLabel = "vellomark.encode";
constexpr double kLongestPictureAge = 1.0;   // seconds a capture time may lie back; older reads as now

std::string avError(int code) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

X265Rates levelRates(int level) {
    const auto& row = Encoder::LEVELS[static_cast<size_t>(level)];
    return X265Rates{row.second, static_cast<int64_t>(std::min<double>(kBufferBits, row.second * kBufferSeconds))};
}

bool isHardware(const std::string& name) { return name != "libx265"; }

// Whether the picture's planes really hold width × height NV12 samples.
bool fits(const platform::Nv12Image& im, int width, int height) {
    if (im.width != width || im.height != height || width <= 0 || height <= 0) return false;
    if (im.lumaStride < width || im.chromaStride < width) return false;
    return im.luma.size() >= static_cast<size_t>(im.lumaStride) * static_cast<size_t>(height) &&
           im.chroma.size() >= static_cast<size_t>(im.chromaStride) * static_cast<size_t>(height / 2);
}

void appendU32(Bytes& out, uint32_t v) {
    size_t at = out.size();
    out.resize(at + 4);
    out[at] = static_cast<uint8_t>(v >> 24);
    out[at + 1] = static_cast<uint8_t>(v >> 16);
    out[at + 2] = static_cast<uint8_t>(v >> 8);
    out[at + 3] = static_cast<uint8_t>(v);
}

}  // namespace

// ---------------------------------------------------------------------------
// Byte-stream helpers

namespace hevc {

std::vector<Bytes> splitAnnexB(const uint8_t* p, size_t n) {
    std::vector<Bytes> nals;
    if (!p) return nals;
    // Offsets where a start code begins and where the NAL unit after it begins.
    std::vector<std::pair<size_t, size_t>> marks;
    for (size_t i = 0; i + 3 <= n;) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            size_t begin = (i > 0 && p[i - 1] == 0) ? i - 1 : i;
            marks.emplace_back(begin, i + 3);
            i += 3;
        } else {
            ++i;
        }
    }
    for (size_t k = 0; k < marks.size(); ++k) {
        size_t from = marks[k].second;
        size_t to = k + 1 < marks.size() ? marks[k + 1].first : n;
        // A NAL unit never ends in a zero byte; zeros there pad the stream.
        while (to > from && p[to - 1] == 0) --to;
        if (to > from) nals.emplace_back(p + from, p + to);
    }
    return nals;
}

std::vector<Bytes> parameterSets(const uint8_t* p, size_t n) {
    std::vector<Bytes> sets;
    if (!p || n < 4) return sets;
    bool annexB = (p[0] == 0 && p[1] == 0 && p[2] == 1) || (p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1);
    if (annexB) {
        for (Bytes& nal : splitAnnexB(p, n))
            if (isParameterSet(nalType(nal))) sets.push_back(std::move(nal));
        return sets;
    }
    // hvcC: a 22-byte configuration, then arrays of NAL units grouped by type.
    if (p[0] != 1 || n < 23) return sets;
    size_t at = 23;
    for (unsigned a = 0; a < p[22]; ++a) {
        if (n - at < 3) return {};
        unsigned count = (static_cast<unsigned>(p[at + 1]) << 8) | p[at + 2];
        at += 3;
        for (unsigned j = 0; j < count; ++j) {
            if (n - at < 2) return {};
            size_t len = (static_cast<size_t>(p[at]) << 8) | p[at + 1];
            at += 2;
            if (n - at < len) return {};
            Bytes nal(p + at, p + at + len);
            if (isParameterSet(nalType(nal))) sets.push_back(std::move(nal));
            at += len;
        }
    }
    return sets;
}

Bytes lengthPrefixedFrame(const uint8_t* p, size_t n) {
    Bytes out;
    for (const Bytes& nal : splitAnnexB(p, n)) {
        if (isParameterSet(nalType(nal))) continue;
        size_t at = out.size();
        appendU32(out, static_cast<uint32_t>(nal.size()));
        out.resize(at + 4 + nal.size());
        std::copy(nal.begin(), nal.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 4));
    }
    return out;
}

}  // namespace hevc

std::string levelLine(int level) {
    level = std::clamp(level, 0, static_cast<int>(Encoder::LEVELS.size()) - 1);
    const auto& row = Encoder::LEVELS[static_cast<size_t>(level)];
    return "품질 단계 " + std::to_string(level) + " — " + std::to_string(row.first) + "fps " +
           std::to_string(row.second / 1000000) + "Mbps";
}

std::optional<std::string> bigFrameLine(size_t size) {
    size_t chunks = chunkCount(size);
    if (chunks <= kBigFrameChunks) return std::nullopt;
    return "큰 프레임 " + std::to_string(size / 1024) + "KB, 조각 " + std::to_string(chunks) + "개";
}

// ---------------------------------------------------------------------------
// The session

struct Encoder::ParamSets {
    uint64_t id = 0;
    std::vector<Bytes> sets;
};

struct Encoder::Job {
    std::shared_ptr<const platform::Nv12Image> image;
    uint64_t captureTime = 0;  // microseconds since 1970
    double submittedAt = 0;    // monotonic seconds
    bool forceKey = false;
    bool counted = true;       // key frames on request bypass the counters
};

struct Encoder::Codec {
    AVCodecContext* ctx = nullptr;
    AVBufferRef* hwDevice = nullptr;
    AVBufferRef* hwFrames = nullptr;
    AVFrame* frame = nullptr;    // software input: YUV420P for libx265, NV12 otherwise
    AVFrame* hwFrame = nullptr;  // the uploaded copy (VAAPI)
    AVPacket* pkt = nullptr;
    std::string backend;
    int width = 0;
    int height = 0;
    int level = 0;  // the rates the session was opened with
    std::shared_ptr<const ParamSets> params;
    int64_t nextPts = 0;
    double lastKeyAt = -1e300;  // monotonic
    struct Submitted {
        uint64_t captureTime;
        double submittedAt;
        bool counted;
    };
    std::map<int64_t, Submitted> submitted;  // by presentation time, until its packet comes out
    std::unique_ptr<X265Session> x265;        // libx265 driven directly, instead of ctx
    bool intraRefresh = false;

    ~Codec() {
        av_packet_free(&pkt);
        av_frame_free(&hwFrame);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        av_buffer_unref(&hwFrames);
        av_buffer_unref(&hwDevice);
    }
};

Encoder::Encoder(EncoderDeps deps)
    : d_(std::move(deps)),
      sendQueue_(std::make_shared<SerialQueue>(kSendQueueLabel)),
      encodeQueue_(std::make_shared<SerialQueue>(kEncodeQueueLabel)) {}

Encoder::~Encoder() {
    // The encode queue goes first: its last task may still hand a frame to the send
    // queue. Tasks on it never read `encodeQueue_` itself, which is being reset here.
    encodeQueue_.reset();
    sendQueue_.reset();
    codec_.reset();
}

int Encoder::startedW() const { return startedW_.load(); }
int Encoder::startedH() const { return startedH_.load(); }
int64_t Encoder::frameCount() const { return frameCount_.load(); }
int64_t Encoder::byteCount() const { return byteCount_.load(); }
std::string Encoder::backendName() const {
    std::lock_guard<std::mutex> g(backendLock_);
    return backend_;
}

void Encoder::onSendQueue(std::function<void()> work) { sendQueue_->async(std::move(work)); }

std::unique_ptr<Encoder::Codec> Encoder::openBackend(const std::string& name, int width, int height, int level,
                                                     int* status, std::string* error) {
    auto c = std::make_unique<Codec>();
    c->backend = name;
    c->width = width;
    c->height = height;
    c->level = level;
    const auto& row = LEVELS[static_cast<size_t>(level)];
    if (name == "libx265") {
        // x265 through its own API, each picture sized by our rate control (x265_session.h).
        c->intraRefresh = d_.settings && d_.settings->boolean(kIntraRefreshKey).value_or(false);
        X265Config cfg;
        cfg.width = width;
        cfg.height = height;
        cfg.fps = row.first;
        cfg.rates = levelRates(level);
        // With intra refresh the moving column crosses the picture once per key-frame period.
        cfg.refreshFrames = static_cast<int>(row.first * kKeyEvery);
        cfg.intraRefresh = c->intraRefresh;
        c->x265 = X265Session::open(cfg, error);
        if (!c->x265) {
            *status = AVERROR_EXTERNAL;
            return nullptr;
        }
        auto sets = std::make_shared<ParamSets>();
        sets->sets = hevc::parameterSets(c->x265->headers().data(), c->x265->headers().size());
        sets->id = nextParamsID_.fetch_add(1);
        c->params = std::move(sets);
        return c;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (!codec) {
        *status = AVERROR_ENCODER_NOT_FOUND;
        *error = "인코더 없음";
        return nullptr;
    }

    c->ctx = avcodec_alloc_context3(codec);
    c->frame = av_frame_alloc();
    c->pkt = av_packet_alloc();
    if (!c->ctx || !c->frame || !c->pkt) {
        *status = AVERROR(ENOMEM);
        *error = avError(*status);
        return nullptr;
    }
    AVCodecContext* ctx = c->ctx;
    ctx->width = width;
    ctx->height = height;
    ctx->time_base = AVRational{1, row.first};
    ctx->framerate = AVRational{row.first, 1};
    ctx->gop_size = kGopFrames;
    ctx->max_b_frames = 0;
    ctx->bit_rate = row.second;
    ctx->rc_max_rate = kMaxRate;
    ctx->rc_buffer_size = kBufferBits;
    // Parameter sets travel in their own datagram, so they belong in extradata, not in frames.
    ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_CLOSED_GOP;
    ctx->color_range = AVCOL_RANGE_MPEG;
    // Said in the stream, so a decoder turns the pictures back into the right colours.
    ctx->colorspace = AVCOL_SPC_BT709;
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_BT709;

    AVPixelFormat inputFormat = AV_PIX_FMT_NV12;
    if (name == "hevc_nvenc") {
        ctx->pix_fmt = AV_PIX_FMT_NV12;
        av_opt_set(ctx->priv_data, "preset", "p1", 0);
        av_opt_set(ctx->priv_data, "tune", "ull", 0);
        av_opt_set(ctx->priv_data, "rc", "vbr", 0);
        av_opt_set_int(ctx->priv_data, "zerolatency", 1, 0);
        av_opt_set_int(ctx->priv_data, "delay", 0, 0);
        av_opt_set_int(ctx->priv_data, "forced-idr", 1, 0);
    } else if (name == "hevc_vaapi") {
        int rc = av_hwdevice_ctx_create(&c->hwDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        if (rc < 0) {
            *status = rc;
            *error = "VAAPI 장치 없음: " + avError(rc);
            return nullptr;
        }
        c->hwFrames = av_hwframe_ctx_alloc(c->hwDevice);
        if (!c->hwFrames) {
            *status = AVERROR(ENOMEM);
            *error = avError(*status);
            return nullptr;
        }
        auto* fc = reinterpret_cast<AVHWFramesContext*>(c->hwFrames->data);
        fc->format = AV_PIX_FMT_VAAPI;
        fc->sw_format = AV_PIX_FMT_NV12;
        fc->width = width;
        fc->height = height;
        fc->initial_pool_size = 8;
        rc = av_hwframe_ctx_init(c->hwFrames);
        if (rc < 0) {
            *status = rc;
            *error = "VAAPI 프레임 풀: " + avError(rc);
            return nullptr;
        }
        ctx->pix_fmt = AV_PIX_FMT_VAAPI;
        ctx->hw_frames_ctx = av_buffer_ref(c->hwFrames);
        av_opt_set(ctx->priv_data, "rc_mode", "VBR", 0);
        av_opt_set_int(ctx->priv_data, "async_depth", 1, 0);
        c->hwFrame = av_frame_alloc();
        if (!ctx->hw_frames_ctx || !c->hwFrame) {
            *status = AVERROR(ENOMEM);
            *error = avError(*status);
            return nullptr;
        }
    }

    int rc = avcodec_open2(ctx, codec, nullptr);
    if (rc < 0) {
        *status = rc;
        *error = avError(rc);
        return nullptr;
    }
    c->frame->format = inputFormat;
    c->frame->width = width;
    c->frame->height = height;
    rc = av_frame_get_buffer(c->frame, 0);
    if (rc < 0) {
        *status = rc;
        *error = avError(rc);
        return nullptr;
    }
    auto sets = std::make_shared<ParamSets>();
    sets->sets = hevc::parameterSets(ctx->extradata, ctx->extradata ? static_cast<size_t>(ctx->extradata_size) : 0);
    sets->id = nextParamsID_.fetch_add(1);
    c->params = std::move(sets);
    return c;
}

std::unique_ptr<Encoder::Codec> Encoder::openSession(int width, int height, int level, int* status) {
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide || width % 2 || height % 2) {
        *status = AVERROR(EINVAL);
        return nullptr;
    }
    std::vector<std::string> order;
    std::string chosen = backendName();
    if (!probed_) order = {"hevc_vaapi", "hevc_nvenc", "libx265"};
    else {
        order = {chosen};
        if (chosen != "libx265") order.push_back("libx265");
    }
    for (const std::string& name : order) {
        std::string error;
        int st = 0;
        // A missing GPU is an expected answer: our own line below says so, FFmpeg need not shout it on stderr.
        const int logLevel = av_log_get_level();
        if (isHardware(name)) av_log_set_level(AV_LOG_QUIET);
        auto c = openBackend(name, width, height, level, &st, &error);
        if (isHardware(name)) av_log_set_level(logLevel);
        if (c) {
            if (!probed_ || name != chosen) {
                {
                    std::lock_guard<std::mutex> g(backendLock_);
                    backend_ = name;
                }
                d_.log.streamLog("인코더 백엔드 — " + name +
                                 (isHardware(name) ? " (하드웨어)\n" : " (하드웨어 HEVC 없음)\n"));
            }
            probed_ = true;
            return c;
        }
        *status = st;
        if (isHardware(name)) {
            d_.log.streamLog("⚠︎ 하드웨어 인코더 " + name + " 열기 실패 — " + error + "\n");
        } else {
            d_.log.streamLog("⚠︎ 인코더 " + name + " 열기 실패 — " + error + "\n");
        }
    }
    return nullptr;
}

void Encoder::start(int width, int height) {
    int status = 0;
    bool ok = false;
    encodeQueue_->sync([&] {
        hasSession_.store(false);
        codec_.reset();
        sentParams_.store(0);
        auto c = openSession(width, height, 0, &status);
        if (!c) return;
        codec_ = std::move(c);
        levelStale_.store(true);
        startedW_.store(width);
        startedH_.store(height);
        hasSession_.store(true);
        ok = true;
    });
    if (ok) {
        d_.log.streamLog("인코더 준비 " + std::to_string(width) + "×" + std::to_string(height) + " HEVC " +
                         std::to_string(LEVELS[0].second / 1000000) + "Mbps\n");
        return;
    }
    d_.log.streamLog("인코더 생성 실패: " + std::to_string(status) + "\n");
    if (d_.exitProcess) d_.exitProcess(1);
}

void Encoder::encode(std::shared_ptr<const platform::Nv12Image> image, int64_t ptsMicros) {
    if (!hasSession_.load() || !image) return;
    int wanted = std::clamp(d_.sink.requestedLevel.load(), 0, static_cast<int>(LEVELS.size()) - 1);
    if (wanted != level_.load() || levelStale_.load()) {
        level_.store(wanted);
        levelStale_.store(false);
        d_.log.streamLog(levelLine(wanted));
    }
    {
        std::lock_guard<std::mutex> g(lock);
        lastPixelBuffer = image;
        lastPTS = ptsMicros;
    }
    int level = level_.load();
    d_.stats.levelNow.store(level);
    double now = d_.clock.referenceNow();
    double minSpacing = 0.95 / LEVELS[static_cast<size_t>(level)].first;
    if (now - lastFrameSent_.load() < minSpacing) {
        d_.stats.dropRate.fetch_add(1);
        return;
    }
    // The codec runs synchronously on its own queue; a picture arriving while it
    // is busy is dropped rather than queued, so latency never builds up. Counted
    // apart from the pacing drops: these say the encoder is too slow.
    int idle = 0;
    if (!inFlight_.compare_exchange_strong(idle, 1)) {
        d_.stats.encBusy.fetch_add(1);
        return;
    }
    lastFrameSent_.store(now);
    // The frame's time is its capture moment, so the latency the phone sees is honest.
    Job job{std::move(image), captureWallMicros(ptsMicros), d_.clock.monotonic(), false, true};
    d_.stats.encSubmit.fetch_add(1);
    encodeQueue_->async([this, job = std::move(job)] { runJob(job); });
}

uint64_t Encoder::captureWallMicros(int64_t ptsMicros) const {
    const uint64_t wall = d_.clock.nowMicros();
    const double age = d_.clock.monotonic() - static_cast<double>(ptsMicros) / 1e6;
    // A time stamp from another clock (or none) says nothing about the capture moment.
    if (!(age >= 0 && age <= kLongestPictureAge)) return wall;
    return wall - static_cast<uint64_t>(age * 1e6);
}

void Encoder::emitKeyframeNow() {
    std::shared_ptr<const platform::Nv12Image> held;
    {
        std::lock_guard<std::mutex> g(lock);
        held = lastPixelBuffer;
    }
    if (!hasSession_.load()) {
        d_.log.streamLog("IDR 요청 — 세션 없음");
        return;
    }
    if (!held) {
        d_.log.streamLog("IDR 요청 — 들고 있는 화면 없음");
        return;
    }
    d_.log.streamLog("IDR 요청 처리 → 키프레임 생성");
    inFlight_.fetch_add(1);
    Job job{std::move(held), d_.clock.nowMicros(), d_.clock.monotonic(), true, false};
    encodeQueue_->async([this, job = std::move(job)] { runJob(job); });
}

void Encoder::idrTick() {
    if (d_.sink.targets().empty()) return;
    double now = d_.clock.referenceNow();
    if (now - lastForcedIDR_.load() < kIdrSpacing) return;
    if (!d_.sink.idrRequested.exchange(false)) return;
    lastForcedIDR_.store(now);
    emitKeyframeNow();
}

void Encoder::applyLevel(int level) {
    Codec& old = *codec_;
    if (old.x265) {
        // The running session takes the new rates with its next picture: no new session, no key frame.
        old.level = level;
        old.x265->setRates(levelRates(level));
        return;
    }
    int status = 0;
    std::string error;
    // libavcodec cannot change the rates of a running session, so a new one takes
    // over; it starts with a key frame, and its parameter sets go out only if they differ.
    auto c = openBackend(old.backend, old.width, old.height, level, &status, &error);
    if (!c) {
        d_.log.streamLog("⚠︎ 품질 단계 적용 실패: " + std::to_string(status) + " " + error + "\n");
        old.level = level;  // keep encoding at the old rates instead of retrying every frame
        return;
    }
    if (c->params->sets == old.params->sets) c->params = old.params;
    codec_ = std::move(c);
}

void Encoder::runJob(const Job& job) {
    struct Out {
        Bytes annexB;
        bool key;
        Codec::Submitted info;
    };
    std::vector<Out> outs;
    bool released = false;
    auto release = [&] {
        if (!released) inFlight_.fetch_sub(1);
        released = true;
    };

    if (codec_ && job.counted && level_.load() != codec_->level) applyLevel(level_.load());
    Codec* c = codec_.get();
    if (!c) {
        release();
        return;
    }

    if (!fits(*job.image, c->width, c->height)) {
        // A picture of another size than the session (a capture restart racing
        // `start`) cannot be encoded here.
        if (job.counted) {
            d_.stats.encCallErrN.fetch_add(1);
            d_.stats.encCallErrLast.store(AVERROR(EINVAL));
        }
        release();
        return;
    }

    int rc = 0;
    if (c->x265) {
        // Periodic key frames by the clock, unless the intra column refreshes the picture.
        const bool key = job.forceKey || (!c->intraRefresh && d_.clock.monotonic() - c->lastKeyAt >= kKeyEvery);
        X265Session::Output out;
        if (!c->x265->encode(*job.image, key, job.submittedAt, &out)) {
            rc = AVERROR_EXTERNAL;
        } else if (!out.annexB.empty()) {
            outs.push_back(Out{std::move(out.annexB), out.key,
                               Codec::Submitted{job.captureTime, job.submittedAt, job.counted}});
        }
    }
    AVFrame* f = c->frame;
    if (!c->x265) rc = av_frame_make_writable(f);
    if (!c->x265 && rc >= 0) {
        const platform::Nv12Image& im = *job.image;
        for (int y = 0; y < c->height; ++y)
            std::memcpy(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0],
                        im.luma.data() + static_cast<size_t>(y) * static_cast<size_t>(im.lumaStride),
                        static_cast<size_t>(c->width));
        for (int y = 0; y < c->height / 2; ++y) {
            const uint8_t* src = im.chroma.data() + static_cast<size_t>(y) * static_cast<size_t>(im.chromaStride);
            if (f->format == AV_PIX_FMT_YUV420P) {
                uint8_t* u = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
                uint8_t* v = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
                for (int x = 0; x < c->width / 2; ++x) {
                    u[x] = src[2 * x];
                    v[x] = src[2 * x + 1];
                }
            } else {
                std::memcpy(f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1], src,
                            static_cast<size_t>(c->width));
            }
        }
        double now = d_.clock.monotonic();
        bool key = job.forceKey || now - c->lastKeyAt >= kKeyEvery;
        f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        f->key_frame = key ? 1 : 0;
        f->pts = c->nextPts++;
        AVFrame* input = f;
        if (c->hwFrames) {
            av_frame_unref(c->hwFrame);
            rc = av_hwframe_get_buffer(c->hwFrames, c->hwFrame, 0);
            if (rc >= 0) rc = av_hwframe_transfer_data(c->hwFrame, f, 0);
            if (rc >= 0) rc = av_frame_copy_props(c->hwFrame, f);
            input = c->hwFrame;
        }
        if (rc >= 0) {
            c->submitted[f->pts] = Codec::Submitted{job.captureTime, job.submittedAt, job.counted};
            rc = avcodec_send_frame(c->ctx, input);
            if (rc == AVERROR(EAGAIN)) {
                // Output is waiting; collect it below and then offer the picture again.
                while (avcodec_receive_packet(c->ctx, c->pkt) >= 0) {
                    auto it = c->submitted.find(c->pkt->pts);
                    if (it != c->submitted.end()) {
                        outs.push_back(Out{Bytes(c->pkt->data, c->pkt->data + c->pkt->size),
                                           (c->pkt->flags & AV_PKT_FLAG_KEY) != 0, it->second});
                        c->submitted.erase(it);
                    }
                    av_packet_unref(c->pkt);
                }
                rc = avcodec_send_frame(c->ctx, input);
            }
            if (rc < 0) c->submitted.erase(f->pts);
        }
    }
    if (rc < 0) {
        if (job.counted) {
            d_.stats.encCallErrN.fetch_add(1);
            d_.stats.encCallErrLast.store(rc);
        }
    } else if (!c->x265) {
        for (;;) {
            int r = avcodec_receive_packet(c->ctx, c->pkt);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) {
                if (job.counted) {
                    d_.stats.encCbErrN.fetch_add(1);
                    d_.stats.encCbErrLast.store(r);
                }
                break;
            }
            auto it = c->submitted.find(c->pkt->pts);
            Codec::Submitted info = it != c->submitted.end()
                                        ? it->second
                                        : Codec::Submitted{job.captureTime, job.submittedAt, job.counted};
            if (it != c->submitted.end()) c->submitted.erase(it);
            outs.push_back(Out{Bytes(c->pkt->data, c->pkt->data + c->pkt->size),
                               (c->pkt->flags & AV_PKT_FLAG_KEY) != 0, info});
            av_packet_unref(c->pkt);
        }
    }
    // Pictures left behind by the codec (it never gave them back) are forgotten.
    while (c->submitted.size() > 16) c->submitted.erase(c->submitted.begin());
    release();

    for (Out& out : outs) {
        if (out.info.counted) {
            const double ms = (d_.clock.monotonic() - out.info.submittedAt) * 1000.0;
            VideoStats::add(d_.stats.encMS, ms);
            d_.stats.encCount.fetch_add(1);
            if (out.key) {
                VideoStats::add(d_.stats.encKeyMS, ms);
                d_.stats.encKeyCount.fetch_add(1);
            }
            d_.stats.encDone.fetch_add(1);
            if (!encThreadLogged_.exchange(true)) {
                d_.log.streamLog("진단: VT 완료 콜백 큐 = " + std::string(kEncodeQueueLabel) +
                                 " (캡처 큐가 'capture' 다 — 같으면 캡처가 막힌다)\n");
            }
        }
        if (out.key) c->lastKeyAt = d_.clock.monotonic();
        if (c->params->sets.empty()) {
            // An encoder that keeps its parameter sets inside the stream: take them from there.
            auto sets = std::make_shared<ParamSets>();
            for (Bytes& nal : hevc::splitAnnexB(out.annexB.data(), out.annexB.size()))
                if (hevc::isParameterSet(hevc::nalType(nal))) sets->sets.push_back(std::move(nal));
            if (!sets->sets.empty()) {
                sets->id = nextParamsID_.fetch_add(1);
                c->params = std::move(sets);
            }
        }
        Bytes frame = hevc::lengthPrefixedFrame(out.annexB.data(), out.annexB.size());
        std::shared_ptr<const ParamSets> params = c->params;
        uint64_t captureTime = out.info.captureTime;
        sendQueue_->async([this, frame = std::move(frame), captureTime, params]() mutable {
            emit(std::move(frame), captureTime, std::move(params));
        });
    }
}

void Encoder::emit(Bytes frame, uint64_t captureTime, std::shared_ptr<const ParamSets> params) {
    if (params && !params->sets.empty() && sentParams_.load() != params->id) {
        Bytes payload = paramSetPayload(params->sets);
        d_.sink.setParamPayload(payload);
        d_.sink.sendParams(payload);
        sentParams_.store(params->id);
        d_.log.streamLog("파라미터 세트 " + std::to_string(params->sets.size()) + "개 전송\n");
    }
    if (frame.empty()) {
        d_.stats.emitNoData.fetch_add(1);
        return;
    }
    if (auto line = bigFrameLine(frame.size())) d_.log.streamLog(*line);
    d_.sink.sendFrame(frame, captureTime);
    frameCount_.fetch_add(1);
    byteCount_.fetch_add(static_cast<int64_t>(frame.size()));
}

std::optional<Bytes> Encoder::thumbnailJPEG(double maxW) {
    std::shared_ptr<const platform::Nv12Image> held;
    {
        std::lock_guard<std::mutex> g(lock);
        held = lastPixelBuffer;
    }
    if (!held || held->width <= 0 || held->height <= 0) return std::nullopt;
    if (!fits(*held, held->width, held->height) || held->width % 2 || held->height % 2) return std::nullopt;
    if (!std::isfinite(maxW) || maxW < 1) return std::nullopt;
    double scale = maxW / held->width;
    long dstW = std::lround(maxW);
    long dstH = std::max(1L, std::lround(held->height * scale));
    if (dstW > kMaxSide || dstH > kMaxSide) return std::nullopt;

    SwsContext* sws = sws_getContext(held->width, held->height, AV_PIX_FMT_NV12, static_cast<int>(dstW),
                                     static_cast<int>(dstH), AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!sws) return std::nullopt;
    // Screen pictures are video-range BT.709.
    const int* coeffs = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws, coeffs, 0, coeffs, 1, 0, 1 << 16, 1 << 16);
    int pitch = static_cast<int>(dstW) * 3;
    std::vector<uint8_t> rgb(static_cast<size_t>(pitch) * static_cast<size_t>(dstH));
    const uint8_t* srcPlanes[4] = {held->luma.data(), held->chroma.data(), nullptr, nullptr};
    const int srcStrides[4] = {held->lumaStride, held->chromaStride, 0, 0};
    uint8_t* dstPlanes[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int dstStrides[4] = {pitch, 0, 0, 0};
    int rows = sws_scale(sws, srcPlanes, srcStrides, 0, held->height, dstPlanes, dstStrides);
    sws_freeContext(sws);
    if (rows != dstH) return std::nullopt;

    tjhandle tj = tjInitCompress();
    if (!tj) return std::nullopt;
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    int rc = tjCompress2(tj, rgb.data(), static_cast<int>(dstW), pitch, static_cast<int>(dstH), TJPF_RGB, &jpeg,
                         &jpegSize, TJSAMP_420, 60, 0);
    std::optional<Bytes> out;
    if (rc == 0 && jpeg && jpegSize > 0) out = Bytes(jpeg, jpeg + jpegSize);
    tjFree(jpeg);
    tjDestroy(tj);
    return out;
}

}  // namespace vm::video
