// Screen capture against a real Xorg: the pixels of a window we paint come back
// as the right Y'CbCr, a still screen gives idle samples, and a display that is
// switched off ends its stream.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_displays.h"
#include "x11/x_server.h"

namespace vm::platform::x11 {
namespace {

using test::xRun;

struct Collector {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<CaptureSample> samples;
    std::vector<std::string> stops;

    void add(const CaptureSample& s) {
        std::lock_guard<std::mutex> lk(mu);
        samples.push_back(s);
        cv.notify_all();
    }
    void stopped(const std::string& e) {
        std::lock_guard<std::mutex> lk(mu);
        stops.push_back(e);
        cv.notify_all();
    }
    // Waits (up to `seconds`) until `pred` holds under the lock.
    template <class P>
    bool waitFor(P pred, double seconds = 5) {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return pred(); });
    }
    size_t completeCount() {
        size_t n = 0;
        for (const auto& s : samples) n += s.image ? 1 : 0;
        return n;
    }
};

// A BT.709 video-range colour, as the capture promises.
struct YCbCr {
    double y, cb, cr;
};
YCbCr bt709(int r, int g, int b) {
    const double yf = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219.0 / 255 * yf, 128 + 224.0 / 255 * (b - yf) / 1.8556, 128 + 224.0 / 255 * (r - yf) / 1.5748};
}

class X11CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        VM_REQUIRE_X();
        log = std::make_unique<Logger>(test::xFolder() + "/logs-capture", clock);
        displays = std::make_unique<X11Displays>(*log, "");
        capture = std::make_unique<X11Capture>(*log, "", *displays);
        queue = std::make_shared<SerialQueue>("capture-test");
    }
    std::unique_ptr<CaptureStream> start(DisplayID id, int w, int h, Collector& c) {
        CaptureConfig cfg;
        cfg.width = w;
        cfg.height = h;
        cfg.minFrameIntervalTimescale = 60;
        return capture->startStream(
            id, cfg, queue, [&c](const CaptureSample& s) { c.add(s); }, [&c](const std::string& e) { c.stopped(e); });
    }
    SystemClock clock;
    std::unique_ptr<Logger> log;
    std::unique_ptr<X11Displays> displays;
    std::unique_ptr<X11Capture> capture;
    std::shared_ptr<SerialQueue> queue;
};

TEST_F(X11CaptureTest, PaintedWindowComesBackAsItsColourAndStillScreenIsIdle) {
    const int r = 0x33, g = 0x99, b = 0xCC;
    Connection painter("");
    xcb_connection_t* c = painter.get();
    const xcb_window_t win = xcb_generate_id(c);
    const uint32_t values[] = {uint32_t(r) << 16 | uint32_t(g) << 8 | b, 1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, win, painter.root(), 100, 100, 300, 200, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                      values);
    xcb_map_window(c, win);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // the server has drawn it
    xRun("xdotool mousemove 1800 1000");

    const DisplayID main = displays->mainDisplay();
    const YCbCr want = bt709(r, g, b);
    {
        Collector got;
        auto stream = start(main, 1920, 1080, got);
        ASSERT_TRUE(got.waitFor([&] { return !got.samples.empty(); }));
        CaptureSample first;
        {
            std::lock_guard<std::mutex> lk(got.mu);
            first = got.samples.front();
        }
        ASSERT_TRUE(first.image) << "the first sample is a picture";
        EXPECT_EQ(first.status, static_cast<int>(FrameStatus::complete));
        const Nv12Image& im = *first.image;
        ASSERT_EQ(im.width, 1920);
        ASSERT_EQ(im.height, 1080);
        EXPECT_NEAR(im.luma[size_t(200) * im.lumaStride + 250], want.y, 6);
        EXPECT_NEAR(im.chroma[size_t(100) * im.chromaStride + 250], want.cb, 6);
        EXPECT_NEAR(im.chroma[size_t(100) * im.chromaStride + 251], want.cr, 6);
        EXPECT_GT(std::fabs(im.luma[size_t(200) * im.lumaStride + 90] - want.y), 20) << "left of the window";

        // Nothing changes: the samples turn idle (five in a row).
        auto idleRun = [&] {
            size_t n = 0;
            for (auto it = got.samples.rbegin(); it != got.samples.rend() && !it->image; ++it)
                n += it->status == static_cast<int>(FrameStatus::idle) ? 1 : 0;
            return n >= 5;
        };
        EXPECT_TRUE(got.waitFor(idleRun));
        // A pointer that moves is a change.
        size_t before;
        {
            std::lock_guard<std::mutex> lk(got.mu);
            before = got.completeCount();
        }
        xRun("xdotool mousemove 1700 900");
        EXPECT_TRUE(got.waitFor([&] { return got.completeCount() > before; }));

        ASSERT_TRUE(stream->stop(nullptr));
        size_t after;
        {
            std::lock_guard<std::mutex> lk(got.mu);
            after = got.samples.size();
        }
        queue->sync([] {});  // whatever was queued runs now, and must not deliver
        std::lock_guard<std::mutex> lk(got.mu);
        EXPECT_EQ(got.samples.size(), after);
        EXPECT_TRUE(got.stops.empty());
    }
    {
        // Scaled to half: the same colour at half the place.
        Collector got;
        auto stream = start(main, 960, 540, got);
        ASSERT_TRUE(got.waitFor([&] { return got.completeCount() > 0; }));
        std::lock_guard<std::mutex> lk(got.mu);
        const Nv12Image& im = *got.samples.front().image;
        EXPECT_EQ(im.width, 960);
        EXPECT_NEAR(im.luma[size_t(100) * im.lumaStride + 125], want.y, 6);
        EXPECT_NEAR(im.chroma[size_t(50) * im.chromaStride + 124], want.cb, 6);
    }
    xcb_destroy_window(c, win);
    xcb_flush(c);
}

TEST_F(X11CaptureTest, StreamEndsWhenItsDisplayIsSwitchedOff) {
    xRun("xrandr --addmode DUMMY2 1280x720 2>/dev/null; xrandr --output DUMMY2 --mode 1280x720 --right-of DUMMY0");
    DisplayID second = 0;
    for (DisplayID id : displays->activeDisplays())
        if (id != displays->mainDisplay()) second = id;
    ASSERT_NE(second, 0u);
    auto shareable = capture->shareableDisplays(nullptr);
    ASSERT_TRUE(shareable);
    EXPECT_EQ(shareable->size(), 2u);

    Collector got;
    auto stream = start(second, 1280, 720, got);
    EXPECT_TRUE(got.waitFor([&] { return got.completeCount() > 0; }));
    xRun("xrandr --output DUMMY2 --off");
    EXPECT_TRUE(got.waitFor([&] { return !got.stops.empty(); }));
    stream->stop(nullptr);
    {
        std::lock_guard<std::mutex> lk(got.mu);
        ASSERT_EQ(got.stops.size(), 1u);
        EXPECT_NE(got.stops.front().find("no longer available"), std::string::npos) << got.stops.front();
    }
    xRun("xrandr --delmode DUMMY2 1280x720 2>/dev/null");  // a no-op once the dummy calls DUMMY2 connected
    // A display that is not there cannot be captured at all.
    EXPECT_THROW(start(second, 1280, 720, got), std::runtime_error);
}

}  // namespace
}  // namespace vm::platform::x11
