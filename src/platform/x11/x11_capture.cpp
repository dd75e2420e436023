#include "platform/x11/x11_capture.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/dispatch.h"
#include "base/log.h"
#include "platform/nv12_scaler.h"
#include "platform/capture_worker.h"
#include "platform/x11/x11_connection.h"

namespace vm::platform::x11 {

namespace {

// Largest output edge a stream accepts; beyond it the request is refused rather
// than allocating gigabytes per frame.
constexpr int kMaxOutputEdge = 16384;
// How often the stream looks at its display even without a RandR notification.
constexpr auto kRecheck = std::chrono::seconds(1);
// Reads that fail in a row (with the display still listed) before the stream gives up.
constexpr int kMaxFailedReads = 60;

int64_t monotonicMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// The root window's pixels as 32-bit little-endian xRGB, or an empty string with the reason.
std::string pixelFormatProblem(Connection& conn) {
    const xcb_setup_t* setup = xcb_get_setup(conn.get());
    const uint8_t depth = conn.screen()->root_depth;
    if (depth != 24 && depth != 32) return "root depth " + std::to_string(depth) + " is not 24 or 32";
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return "the server sends big-endian pixels";
    bool bpp32 = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == depth) bpp32 = it.data->bits_per_pixel == 32;
    if (!bpp32) return "pixels of depth " + std::to_string(depth) + " are not 32 bits wide";
    for (auto d = xcb_screen_allowed_depths_iterator(conn.screen()); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == conn.screen()->root_visual &&
                (v.data->red_mask != 0xFF0000 || v.data->green_mask != 0xFF00 || v.data->blue_mask != 0xFF))
                return "the root visual is not RGB in 8-bit channels";
    return "";
}

struct Area {
    int x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Area&) const = default;
    bool empty() const { return w <= 0 || h <= 0; }
};

Area areaOf(const Rect& r) {
    return Area{static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)),
                static_cast<int>(std::lround(r.width)), static_cast<int>(std::lround(r.height))};
}

bool overlaps(const Area& a, int x, int y, int w, int h) {
    return x < a.x + a.w && a.x < x + w && y < a.y + a.h && a.y < y + h;
}

}  // namespace

struct X11Capture::Stream final : CaptureWorker {
    Displays* displays = nullptr;
    DisplayID id = 0;
    CaptureConfig config;
    std::shared_ptr<SerialQueue> queue;

    std::unique_ptr<Connection> conn;
    const xcb_query_extension_reply_t* damageExt = nullptr;
    const xcb_query_extension_reply_t* fixesExt = nullptr;
    const xcb_query_extension_reply_t* randrExt = nullptr;
    xcb_damage_damage_t damage = 0;

    bool useShm = false;
    xcb_shm_seg_t seg = 0;
    int shmId = -1;
    uint8_t* shmAddr = nullptr;
    size_t shmSize = 0;
    bool shmAttached = false;
    Reply<xcb_get_image_reply_t> plainImage;  // the last GetImage answer, when there is no MIT-SHM

    Area area;
    Nv12Scaler scaler;

    std::vector<uint32_t> cursor;
    int cursorW = 0, cursorH = 0, hotX = 0, hotY = 0;
    bool cursorStale = true;
    int pointerX = -1, pointerY = -1;

    Wakeup wake;

    ~Stream() override;
    void setUp(bool shm);
    bool makeSegment(size_t bytes);
    void dropSegment();
    void run();
    bool drainEvents(bool& dirty, bool& look);
    // Reads the area into memory; nullptr on failure.
    const uint8_t* read(int& stride);
    void drawCursor(uint8_t* pixels, int stride);
    void deliver(CaptureSample sample);
    void wakeUp() override { wake.wake(); }
};

X11Capture::Stream::~Stream() {
    dropSegment();
    if (conn && damage) xcb_damage_destroy(conn->get(), damage);
    if (conn) xcb_flush(conn->get());
}

void X11Capture::Stream::setUp(bool shm) {
    xcb_connection_t* c = conn->get();
    const std::string problem = pixelFormatProblem(*conn);
    if (!problem.empty()) throw std::runtime_error("cannot capture this X screen: " + problem);
    damageExt = xcb_get_extension_data(c, &xcb_damage_id);
    fixesExt = xcb_get_extension_data(c, &xcb_xfixes_id);
    randrExt = xcb_get_extension_data(c, &xcb_randr_id);
    if (fixesExt && fixesExt->present) {
        std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
        xcb_xfixes_select_cursor_input(c, conn->root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    } else {
        fixesExt = nullptr;
    }
    if (damageExt && damageExt->present && fixesExt) {
        std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        damage = xcb_generate_id(c);
        // The bounding box is enough to tell whether our rectangle was touched.
        xcb_damage_create(c, damage, conn->root(), XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
    } else {
        damageExt = nullptr;
    }
    if (randrExt && randrExt->present) {
        std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
        xcb_randr_select_input(c, conn->root(),
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    } else {
        randrExt = nullptr;
    }
    useShm = shm;
    if (useShm) {
        std::free(xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr));
        seg = xcb_generate_id(c);
    }
    xcb_flush(c);
    if (wake.fd() < 0) throw std::runtime_error("cannot make an eventfd for the capture stream");
}

bool X11Capture::Stream::makeSegment(size_t bytes) {
    if (shmAddr && shmSize >= bytes) return true;
    dropSegment();
    xcb_connection_t* c = conn->get();
    shmId = ::shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shmId < 0) return false;
    void* addr = ::shmat(shmId, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        ::shmctl(shmId, IPC_RMID, nullptr);
        shmId = -1;
        return false;
    }
    shmAddr = static_cast<uint8_t*>(addr);
    shmSize = bytes;
    xcb_generic_error_t* e = xcb_request_check(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(shmId), 0));
    shmAttached = e == nullptr;
    std::free(e);
    // Once the server holds it, the segment goes away with the last of us.
    ::shmctl(shmId, IPC_RMID, nullptr);
    if (!shmAttached) {
        dropSegment();
        return false;
    }
    return true;
}

void X11Capture::Stream::dropSegment() {
    if (shmAttached && conn) xcb_shm_detach(conn->get(), seg);
    shmAttached = false;
    if (shmAddr) ::shmdt(shmAddr);
    shmAddr = nullptr;
    shmSize = 0;
    shmId = -1;
}

bool X11Capture::Stream::drainEvents(bool& dirty, bool& look) {
    xcb_connection_t* c = conn->get();
    while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
        const uint8_t type = ev->response_type & 0x7F;
        if (damageExt && type == damageExt->first_event + XCB_DAMAGE_NOTIFY) {
            auto* d = reinterpret_cast<xcb_damage_notify_event_t*>(ev);
            if (overlaps(area, d->area.x, d->area.y, d->area.width, d->area.height)) dirty = true;
        } else if (fixesExt && type == fixesExt->first_event + XCB_XFIXES_CURSOR_NOTIFY) {
            cursorStale = true;
            if (config.showsCursor) dirty = true;
        } else if (randrExt && (type == randrExt->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                type == randrExt->first_event + XCB_RANDR_NOTIFY)) {
            look = true;
        }
        std::free(ev);
    }
    return !xcb_connection_has_error(c);
}

const uint8_t* X11Capture::Stream::read(int& stride) {
    xcb_connection_t* c = conn->get();
    const auto x = static_cast<int16_t>(area.x), y = static_cast<int16_t>(area.y);
    const auto w = static_cast<uint16_t>(area.w), h = static_cast<uint16_t>(area.h);
    stride = area.w * 4;
    if (useShm) {
        if (!makeSegment(size_t(stride) * area.h)) return nullptr;
        Reply<xcb_shm_get_image_reply_t> r(xcb_shm_get_image_reply(
            c, xcb_shm_get_image(c, conn->root(), x, y, w, h, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, seg, 0), nullptr));
        return r ? shmAddr : nullptr;
    }
    plainImage.reset(xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, conn->root(), x, y, w, h, ~0u),
                                         nullptr));
    if (!plainImage || xcb_get_image_data_length(plainImage.get()) < stride * area.h) return nullptr;
    return xcb_get_image_data(plainImage.get());
}

void X11Capture::Stream::drawCursor(uint8_t* pixels, int stride) {
    xcb_connection_t* c = conn->get();
    if (!fixesExt) return;
    if (cursorStale) {
        Reply<xcb_xfixes_get_cursor_image_reply_t> r(
            xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
        if (!r) return;
        const uint32_t* img = xcb_xfixes_get_cursor_image_cursor_image(r.get());
        const int n = xcb_xfixes_get_cursor_image_cursor_image_length(r.get());
        if (n < r->width * r->height) return;
        cursor.assign(img, img + r->width * r->height);
        cursorW = r->width;
        cursorH = r->height;
        hotX = r->xhot;
        hotY = r->yhot;
        cursorStale = false;
    }
    const int left = pointerX - hotX - area.x, top = pointerY - hotY - area.y;
    for (int cy = std::max(0, -top); cy < cursorH && top + cy < area.h; ++cy) {
        uint8_t* row = pixels + size_t(top + cy) * stride;
        for (int cx = std::max(0, -left); cx < cursorW && left + cx < area.w; ++cx) {
            const uint32_t s = cursor[size_t(cy) * cursorW + cx];
            const uint32_t a = s >> 24;
            if (a == 0) continue;
            uint8_t* px = row + size_t(left + cx) * 4;
            // Premultiplied: source plus what shows through.
            for (int ch = 0; ch < 3; ++ch) {
                const uint32_t sc = (s >> (8 * ch)) & 0xFF;
                px[ch] = static_cast<uint8_t>(std::min<uint32_t>(255, sc + (px[ch] * (255 - a) + 127) / 255));
            }
        }
    }
}

void X11Capture::Stream::deliver(CaptureSample sample) {
    deliverSample(out, *queue, config.queueDepth, std::move(sample));
}

void X11Capture::Stream::run() {
    using SteadyClock = std::chrono::steady_clock;
    double interval = config.minFrameIntervalTimescale > 0 && config.minFrameIntervalValue > 0
                          ? double(config.minFrameIntervalValue) / config.minFrameIntervalTimescale
                          : 0;
    interval = std::clamp(interval, 1.0 / kMaxRate, 10.0);
    const auto step = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(interval));
    xcb_connection_t* c = conn->get();
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake.fd(), POLLIN, 0}};
    auto next = SteadyClock::now();
    auto lastLook = next;
    bool first = true, dirty = true, look = false;
    int failedReads = 0;
    while (!quitting()) {
        // Wait for the next tick, taking in events as they come.
        bool alive = true;
        while (!quitting()) {
            alive = drainEvents(dirty, look);
            const auto now = SteadyClock::now();
            if (!alive || now >= next) break;
            fds[0].revents = fds[1].revents = 0;
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
            ::poll(fds, 2, static_cast<int>(wait));
        }
        if (quitting()) break;
        if (!alive) {
            finish("The connection to the X server was lost");
            break;
        }
        const auto now = SteadyClock::now();
        next += step;
        if (next <= now) next = now + step;  // after a stall, no burst of catch-up frames

        if (look || now - lastLook >= kRecheck) {
            look = false;
            lastLook = now;
            const Area a = areaOf(displays->bounds(id));
            if (a.empty()) {
                finish("The display " + std::to_string(id) + " being captured is no longer available");
                break;
            }
            if (!(a == area)) {
                area = a;
                dirty = true;
            }
        }

        Reply<xcb_query_pointer_reply_t> ptr(xcb_query_pointer_reply(c, xcb_query_pointer(c, conn->root()), nullptr));
        if (ptr && (ptr->root_x != pointerX || ptr->root_y != pointerY)) {
            pointerX = ptr->root_x;
            pointerY = ptr->root_y;
            dirty = true;  // a pointer that moved is a change, drawn or not
        }

        CaptureSample sample;
        sample.ptsMicros = monotonicMicros();
        if (!first && !dirty && damage) {
            sample.status = static_cast<int>(FrameStatus::idle);
            deliver(std::move(sample));
            continue;
        }
        // Changes from here on show in the next round.
        if (damage) xcb_damage_subtract(c, damage, XCB_NONE, XCB_NONE);
        dirty = false;
        int stride = 0;
        const uint8_t* pixels = read(stride);
        if (!pixels) {
            // Most likely the layout is changing under us; look again before giving up.
            dirty = look = true;
            if (++failedReads >= kMaxFailedReads) {
                finish("Reading the display " + std::to_string(id) + " from the X server keeps failing");
                break;
            }
            continue;
        }
        failedReads = 0;
        if (config.showsCursor && ptr) drawCursor(const_cast<uint8_t*>(pixels), stride);
        std::shared_ptr<Nv12Image> img = scaler.convert(pixels, area.w, area.h, stride, config.width, config.height, config.scalesToFit);
        if (!img) {
            dirty = true;
            continue;
        }
        sample.status = static_cast<int>(FrameStatus::complete);
        sample.image = img;
        first = false;
        deliver(std::move(sample));
    }
    running.store(false);
}

X11Capture::X11Capture(Logger& log, const std::string& display, Displays& displays)
    : log_(log), display_(display), displays_(displays), conn_(std::make_unique<Connection>(display)) {
    hasShm_ = conn_->hasExtension("MIT-SHM");
}

X11Capture::~X11Capture() { workers_.stopAll(); }

std::optional<std::vector<DisplayID>> X11Capture::shareableDisplays(std::string* error) {
    {
        std::lock_guard<std::mutex> lk(conn_->mutex());
        if (xcb_connection_has_error(conn_->get())) {
            if (error) *error = "the connection to the X server was lost";
            return std::nullopt;
        }
    }
    return displays_.activeDisplays(64);
}

std::unique_ptr<CaptureStream> X11Capture::startStream(DisplayID id, const CaptureConfig& config,
                                                       std::shared_ptr<SerialQueue> queue,
                                                       std::function<void(const CaptureSample&)> onSample,
                                                       std::function<void(const std::string& error)> onStop) {
    if (!queue) throw std::runtime_error("no queue for the capture stream");
    if (config.width < 2 || config.height < 2 || config.width > kMaxOutputEdge || config.height > kMaxOutputEdge)
        throw std::runtime_error("invalid output size " + std::to_string(config.width) + "x" +
                                 std::to_string(config.height));
    const Area area = areaOf(displays_.bounds(id));
    if (area.empty()) throw std::runtime_error("display " + std::to_string(id) + " cannot be captured");

    auto st = std::make_shared<Stream>();
    st->displays = &displays_;
    st->id = id;
    st->config = config;
    st->config.width &= ~1;
    st->config.height &= ~1;
    st->config.queueDepth = std::clamp(config.queueDepth, 1, 8);
    st->queue = std::move(queue);
    st->out->onSample = std::move(onSample);
    st->out->onStop = std::move(onStop);
    st->area = area;
    st->conn = std::make_unique<Connection>(display_);
    st->setUp(hasShm_);
    if (!hasShm_ && !shmNoted_.exchange(true))
        log_.streamLog("⚠︎ X 서버에 MIT-SHM 이 없다 — 화면을 GetImage 로 읽는다 (느림)\n");
    if (st->useShm && !st->makeSegment(size_t(area.w) * 4 * area.h)) {
        // A server elsewhere (ssh) has the extension but cannot see our memory.
        st->useShm = false;
        if (!shmNoted_.exchange(true))
            log_.streamLog("⚠︎ MIT-SHM 공유 메모리를 X 서버에 붙이지 못했다 — 화면을 GetImage 로 읽는다 (느림)\n");
    }
    if (!st->damage) log_.streamLog("⚠︎ X 서버에 DAMAGE 가 없다 — 바뀐 게 없어도 매번 화면을 읽는다\n");
    // The thread keeps the state alive until it ends, even if the stream is dropped from its stop handler.
    st->launch([st] { st->run(); });
    workers_.add(st);
    return std::make_unique<WorkerStream>(st);
}

}  // namespace vm::platform::x11
