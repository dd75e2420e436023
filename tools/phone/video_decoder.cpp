#include "phone/video_decoder.h"

#include <png.h>

#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "video/video_wire.h"

namespace vm::phone {

struct VideoDecoder::Impl {
    const AVCodec* codec = nullptr;
    AVCodecContext* ctx = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* last = nullptr;
    ~Impl() {
        av_frame_free(&last);
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
};

VideoDecoder::VideoDecoder() : impl_(std::make_unique<Impl>()) {
    impl_->codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (!impl_->codec) return;
    impl_->ctx = avcodec_alloc_context3(impl_->codec);
    // One thread and low delay: a picture comes out for every frame that goes in.
    impl_->ctx->thread_count = 1;
    impl_->ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(impl_->ctx, impl_->codec, nullptr) < 0) avcodec_free_context(&impl_->ctx);
    impl_->pkt = av_packet_alloc();
    impl_->frame = av_frame_alloc();
    impl_->last = av_frame_alloc();
}

VideoDecoder::~VideoDecoder() = default;

static void appendStartCode(Bytes& out, const uint8_t* p, size_t n) {
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    size_t at = out.size();
    out.resize(at + 4 + n);
    std::memcpy(out.data() + at, kStart, 4);
    if (n) std::memcpy(out.data() + at + 4, p, n);
}

std::optional<Bytes> VideoDecoder::toAnnexB(const Bytes& in) {
    Bytes out;
    out.reserve(in.size() + 16);
    size_t at = 0;
    while (at < in.size()) {
        if (in.size() - at < 4) return std::nullopt;
        uint32_t len = (uint32_t{in[at]} << 24) | (uint32_t{in[at + 1]} << 16) | (uint32_t{in[at + 2]} << 8) |
                       in[at + 3];
        at += 4;
        if (len == 0 || len > in.size() - at) return std::nullopt;
        appendStartCode(out, in.data() + at, len);
        at += len;
    }
    return out;
}

bool VideoDecoder::hasKeyFrame(const Bytes& in) {
    size_t at = 0;
    while (in.size() - at >= 5) {
        uint32_t len = (uint32_t{in[at]} << 24) | (uint32_t{in[at + 1]} << 16) | (uint32_t{in[at + 2]} << 8) |
                       in[at + 3];
        at += 4;
        if (len == 0 || len > in.size() - at) return false;
        int type = (in[at] >> 1) & 0x3f;
        if (type >= 16 && type <= 23) return true;
        at += len;
    }
    return false;
}

bool VideoDecoder::setParams(const Bytes& payload) {
    auto sets = video::parseParamSetPayload(payload);
    if (!sets || sets->empty()) return false;
    Bytes annexB;
    for (const auto& s : *sets) {
        if (s.empty()) return false;
        appendStartCode(annexB, s.data(), s.size());
    }
    if (annexB != paramsAnnexB_) {
        paramsAnnexB_ = std::move(annexB);
        paramsSent_ = false;
    }
    return true;
}

DecodeResult VideoDecoder::decode(const Bytes& frame) {
    DecodeResult r;
    r.keyFrame = hasKeyFrame(frame);
    if (!impl_->ctx) {
        r.error = true;
        return r;
    }
    if (paramsAnnexB_.empty() || (needKey_ && !r.keyFrame)) {
        r.skipped = true;
        return r;
    }
    auto annexB = toAnnexB(frame);
    if (!annexB) {
        r.error = true;
        needKey_ = true;
        return r;
    }
    // A key frame (and the first frame) carries the parameter sets in front.
    const size_t pre = (r.keyFrame || !paramsSent_) ? paramsAnnexB_.size() : 0;
    paramsSent_ = true;
    needKey_ = false;

    AVPacket* pkt = impl_->pkt;
    av_packet_unref(pkt);
    if (av_new_packet(pkt, static_cast<int>(pre + annexB->size())) < 0) {
        r.error = true;
        return r;
    }
    if (pre) std::memcpy(pkt->data, paramsAnnexB_.data(), pre);
    std::memcpy(pkt->data + pre, annexB->data(), annexB->size());
    if (avcodec_send_packet(impl_->ctx, pkt) < 0) {
        r.error = true;
        needKey_ = true;
        return r;
    }
    for (;;) {
        int rc = avcodec_receive_frame(impl_->ctx, impl_->frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
        if (rc < 0) {
            r.error = true;
            needKey_ = true;
            break;
        }
        if (impl_->frame->decode_error_flags || (impl_->frame->flags & AV_FRAME_FLAG_CORRUPT)) r.error = true;
        r.decoded = true;
        width_ = impl_->frame->width;
        height_ = impl_->frame->height;
        av_frame_unref(impl_->last);
        av_frame_move_ref(impl_->last, impl_->frame);
    }
    return r;
}

const AVFrame* VideoDecoder::lastFrame() const {
    const AVFrame* f = impl_->last;
    return f && f->width > 0 && f->height > 0 ? f : nullptr;
}

bool VideoDecoder::savePng(const std::string& path, std::string* error) const {
    const AVFrame* f = impl_->last;
    if (!f || f->width <= 0 || f->height <= 0) {
        if (error) *error = "no picture decoded yet";
        return false;
    }
    const int w = f->width, h = f->height;
    SwsContext* sws = sws_getContext(w, h, static_cast<AVPixelFormat>(f->format), w, h, AV_PIX_FMT_RGB24,
                                     SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws) {
        if (error) *error = "cannot convert the picture to RGB";
        return false;
    }
    // The colours the stream says (screens are BT.709), not the converter's BT.601 default.
    const int space = f->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_ITU709 : f->colorspace;
    sws_setColorspaceDetails(sws, sws_getCoefficients(space), f->color_range == AVCOL_RANGE_JPEG ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    std::vector<uint8_t> rgb(static_cast<size_t>(w) * h * 3);
    uint8_t* dst[4] = {rgb.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {w * 3, 0, 0, 0};
    sws_scale(sws, f->data, f->linesize, 0, h, dst, dstStride);
    sws_freeContext(sws);

    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) {
        if (error) *error = "cannot write " + path;
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(fp);
        if (error) *error = "PNG encoding failed";
        return false;
    }
    png_init_io(png, fp);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < h; ++y) png_write_row(png, rgb.data() + static_cast<size_t>(y) * w * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    bool ok = std::fclose(fp) == 0;
    if (!ok && error) *error = "cannot write " + path;
    return ok;
}

}  // namespace vm::phone
