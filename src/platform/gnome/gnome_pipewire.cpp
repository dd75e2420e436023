#include "platform/gnome/gnome_pipewire.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>

#include <mutex>
#include <stdexcept>
#include <string>

namespace vm::platform::gnome {

struct PipeWireStream::Impl {
    PipeWireStream* owner = nullptr;
    OnFrame onFrame;
    OnEnd onEnd;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook streamListener{};
    spa_hook coreListener{};
    spa_video_info_raw format{};
    bool ended = false;

    void end(const std::string& why) {
        owner->streaming_ = false;
        if (ended) return;
        ended = true;
        if (onEnd) onEnd(why);
    }

    static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* self = static_cast<Impl*>(data);
        if (state == PW_STREAM_STATE_STREAMING) self->owner->streaming_ = true;
        else if (state == PW_STREAM_STATE_ERROR) self->end(error ? error : "stream error");
        else if (state == PW_STREAM_STATE_UNCONNECTED) self->end("the node went away");
        else self->owner->streaming_ = false;
    }

    static void onParamChanged(void* data, uint32_t id, const spa_pod* param) {
        auto* self = static_cast<Impl*>(data);
        if (!param || id != SPA_PARAM_Format) return;
        uint32_t mediaType = 0, mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
            mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        if (spa_format_video_raw_parse(param, &self->format) < 0) return;
        self->owner->width_ = static_cast<int>(self->format.size.width);
        self->owner->height_ = static_cast<int>(self->format.size.height);
        uint8_t buf[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof buf);
        const spa_pod* params[2];
        params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
        params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
        pw_stream_update_params(self->stream, params, 2);
    }

    static void onProcess(void* data) {
        auto* self = static_cast<Impl*>(data);
        // Only the newest buffer matters; older ones go straight back.
        pw_buffer* newest = nullptr;
        while (pw_buffer* b = pw_stream_dequeue_buffer(self->stream)) {
            if (newest) pw_stream_queue_buffer(self->stream, newest);
            newest = b;
        }
        if (!newest) return;
        spa_buffer* sb = newest->buffer;
        auto* header = static_cast<spa_meta_header*>(spa_buffer_find_meta_data(sb, SPA_META_Header, sizeof(spa_meta_header)));
        const bool corrupt = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
        if (!corrupt && sb->n_datas > 0 && sb->datas[0].data && sb->datas[0].chunk && sb->datas[0].chunk->size > 0) {
            const spa_data& d = sb->datas[0];
            Frame f;
            f.width = static_cast<int>(self->format.size.width);
            f.height = static_cast<int>(self->format.size.height);
            f.stride = d.chunk->stride > 0 ? d.chunk->stride : f.width * 4;
            f.pixels = static_cast<const uint8_t*>(d.data) + d.chunk->offset;
            const bool fits = d.chunk->offset + size_t(f.stride) * f.height <= d.maxsize;
            if (f.width > 0 && f.height > 0 && fits && self->onFrame) self->onFrame(f);
        }
        pw_stream_queue_buffer(self->stream, newest);
    }

    static void onCoreError(void* data, uint32_t id, int, int, const char* message) {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE) self->end(message ? message : "PipeWire error");
    }
};

namespace {

const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = PipeWireStream::Impl::onStateChanged;
    e.param_changed = PipeWireStream::Impl::onParamChanged;
    e.process = PipeWireStream::Impl::onProcess;
    return e;
}();

const pw_core_events kCoreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = PipeWireStream::Impl::onCoreError;
    return e;
}();

std::once_flag gInit;

}  // namespace

PipeWireStream::PipeWireStream(uint32_t nodeId, int width, int height, OnFrame onFrame, OnEnd onEnd)
    : impl_(std::make_unique<Impl>()) {
    std::call_once(gInit, [] { pw_init(nullptr, nullptr); });
    Impl& m = *impl_;
    m.owner = this;
    m.onFrame = std::move(onFrame);
    m.onEnd = std::move(onEnd);
    m.loop = pw_thread_loop_new("vm-pipewire", nullptr);
    if (!m.loop) throw std::runtime_error("cannot make a PipeWire loop");
    m.context = pw_context_new(pw_thread_loop_get_loop(m.loop), nullptr, 0);
    if (!m.context || pw_thread_loop_start(m.loop) < 0) {
        if (m.context) pw_context_destroy(m.context);
        pw_thread_loop_destroy(m.loop);
        throw std::runtime_error("cannot start a PipeWire loop");
    }
    pw_thread_loop_lock(m.loop);
    m.core = pw_context_connect(m.context, nullptr, 0);
    if (!m.core) {
        pw_thread_loop_unlock(m.loop);
        pw_thread_loop_stop(m.loop);
        pw_context_destroy(m.context);
        pw_thread_loop_destroy(m.loop);
        throw std::runtime_error("cannot reach the PipeWire daemon");
    }
    pw_core_add_listener(m.core, &m.coreListener, &kCoreEvents, &m);
    m.stream = pw_stream_new(m.core, "vellomark-capture",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(m.stream, &m.streamListener, &kStreamEvents, &m);

    uint8_t buf[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buf, sizeof buf);
    spa_rectangle size = SPA_RECTANGLE(uint32_t(width), uint32_t(height));
    spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(16384, 16384);
    spa_rectangle defSize = SPA_RECTANGLE(1920, 1080);
    spa_fraction zero = SPA_FRACTION(0, 1), rate = SPA_FRACTION(60, 1), minRate = SPA_FRACTION(0, 1),
                 maxRate = SPA_FRACTION(1000, 1);
    spa_pod_frame f;
    spa_pod_builder_push_object(&b, &f, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA), 0);
    if (width > 0 && height > 0) spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
    else spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize), 0);
    spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&zero), SPA_FORMAT_VIDEO_maxFramerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate), 0);
    const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &f))};
    const int rc = pw_stream_connect(m.stream, PW_DIRECTION_INPUT, nodeId,
                                     static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                     params, 1);
    pw_thread_loop_unlock(m.loop);
    if (rc < 0) {
        teardown();
        throw std::runtime_error("cannot connect to PipeWire node " + std::to_string(nodeId));
    }
}

PipeWireStream::~PipeWireStream() { teardown(); }

void PipeWireStream::teardown() {
    if (!impl_) return;
    Impl& m = *impl_;
    pw_thread_loop_lock(m.loop);
    m.onFrame = nullptr;
    m.onEnd = nullptr;
    if (m.stream) pw_stream_destroy(m.stream);
    if (m.core) pw_core_disconnect(m.core);
    pw_thread_loop_unlock(m.loop);
    pw_thread_loop_stop(m.loop);
    pw_context_destroy(m.context);
    pw_thread_loop_destroy(m.loop);
    impl_.reset();
}

}  // namespace vm::platform::gnome
