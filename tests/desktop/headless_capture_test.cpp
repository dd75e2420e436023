// Capture of the in-memory desktop: pictures that change and show the pointer,
// idle samples when nothing changed, the queue depth, stopping, a stream whose
// display goes away; and the service advertiser without a daemon.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/dispatch.h"
#include "platform/avahi_advertiser.h"
#include "platform/headless/headless_capture.h"
#include "platform/headless/headless_desktop.h"
#include "platform/headless/headless_framebuffer.h"

using namespace vm;
using namespace vm::platform;
using namespace vm::platform::headless;
using namespace std::chrono_literals;

namespace {

std::unique_ptr<HeadlessDesktop> desk(const std::string& scene) {
    ::unsetenv("VELLOMARK_HEADLESS_TRACE");
    return std::make_unique<HeadlessDesktop>(Locations{}, Scene::parse(scene));
}

// Collects samples from the capture queue and lets a test wait for them.
class Collector {
public:
    void add(const CaptureSample& s) {
        std::lock_guard<std::mutex> lk(mu_);
        samples_.push_back(s);
        cv_.notify_all();
    }
    // Waits (up to a generous bound, so a slow machine does not fail) until `pred` holds.
    bool waitFor(const std::function<bool(const std::vector<CaptureSample>&)>& pred) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, 20s, [&] { return pred(samples_); });
    }
    std::vector<CaptureSample> samples() {
        std::lock_guard<std::mutex> lk(mu_);
        return samples_;
    }
    void reset() {
        std::lock_guard<std::mutex> lk(mu_);
        samples_.clear();
    }
    std::function<void(const CaptureSample&)> callback() {
        return [this](const CaptureSample& s) { add(s); };
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<CaptureSample> samples_;
};

size_t completeCount(const std::vector<CaptureSample>& v) {
    size_t n = 0;
    for (const auto& s : v)
        if (s.status == static_cast<int>(FrameStatus::complete) && s.image) ++n;
    return n;
}

std::shared_ptr<const Nv12Image> lastImage(const std::vector<CaptureSample>& v) {
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        if (it->image) return it->image;
    return nullptr;
}

CaptureConfig config(int w, int h) {
    CaptureConfig c;
    c.width = w;
    c.height = h;
    return c;
}

struct Box {
    int minX = 1 << 30, minY = 1 << 30, maxX = -1, maxY = -1;
    bool empty() const { return maxX < 0; }
};

// Where the picture is pure white: only the pointer's fill is drawn that way.
Box whiteBox(const Nv12Image& img) {
    Box b;
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
            if (img.luma[static_cast<size_t>(y) * img.lumaStride + x] == Framebuffer::kWhite) {
                b.minX = std::min(b.minX, x);
                b.minY = std::min(b.minY, y);
                b.maxX = std::max(b.maxX, x);
                b.maxY = std::max(b.maxY, y);
            }
    return b;
}

// The arrow's white lies below and right of its tip, within the arrow's scaled size.
void expectPointerAt(const Nv12Image& img, double tipX, double tipY, double scale) {
    Box b = whiteBox(img);
    ASSERT_FALSE(b.empty()) << "no pointer drawn";
    EXPECT_GE(b.minX, tipX);
    EXPECT_GE(b.minY, tipY);
    EXPECT_LE(b.maxX, tipX + Framebuffer::kArrowWide * scale);
    EXPECT_LE(b.maxY, tipY + Framebuffer::kArrowHigh * scale);
    // Big enough to be an arrow, not a stray pixel.
    EXPECT_GE(b.maxY - b.minY, static_cast<int>(8 * scale));
}

const char* kOneDisplay = R"({"displays":[{"width":640,"height":360}],"pointer":{"x":100,"y":80}})";

}  // namespace

TEST(HeadlessCapture, ShareableDisplaysAreTheActiveOnes) {
    auto d = desk(R"({"displays":[{"width":640,"height":360},{"width":800,"height":600,"online":false},
                                   {"width":320,"height":200}]})");
    std::string err;
    auto list = d->capture().shareableDisplays(&err);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(*list, d->activeDisplays());
    EXPECT_EQ(list->size(), 2u);
    d->captureDesk().setShareableError("no permission");
    EXPECT_FALSE(d->capture().shareableDisplays(&err).has_value());
    EXPECT_EQ(err, "no permission");
}

TEST(HeadlessCapture, StartingRefusesWhatCannotBeCaptured) {
    auto d = desk(kOneDisplay);
    auto q = std::make_shared<SerialQueue>("capture");
    auto noop = [](const CaptureSample&) {};
    auto noStop = [](const std::string&) {};
    EXPECT_THROW(d->capture().startStream(99, config(640, 360), q, noop, noStop), std::runtime_error);
    EXPECT_THROW(d->capture().startStream(d->mainDisplay(), config(0, 360), q, noop, noStop), std::runtime_error);
    EXPECT_THROW(d->capture().startStream(d->mainDisplay(), config(640, 1 << 20), q, noop, noStop),
                 std::runtime_error);
    EXPECT_THROW(d->capture().startStream(d->mainDisplay(), config(640, 360), nullptr, noop, noStop),
                 std::runtime_error);
    d->captureDesk().setStartError("capture refused");
    try {
        d->capture().startStream(d->mainDisplay(), config(640, 360), q, noop, noStop);
        FAIL() << "started despite the knob";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "capture refused");
    }
    EXPECT_EQ(d->captureDesk().liveStreams(), 0);
}

TEST(HeadlessCapture, FramesKeepChangingAndAreVideoRangeNv12) {
    auto d = desk(kOneDisplay);
    auto q = std::make_shared<SerialQueue>("capture");
    Collector got;
    auto stream = d->capture().startStream(d->mainDisplay(), config(640, 360), q, got.callback(),
                                           [](const std::string&) {});
    ASSERT_TRUE(got.waitFor([](const auto& v) { return completeCount(v) >= 3; }));
    stream->stop(nullptr);
    auto v = got.samples();
    std::vector<std::shared_ptr<const Nv12Image>> images;
    int64_t lastPts = 0;
    for (const auto& s : v) {
        EXPECT_TRUE(s.screenOutput);
        ASSERT_TRUE(s.status.has_value());
        EXPECT_GT(s.ptsMicros, lastPts);  // presentation times move on
        lastPts = s.ptsMicros;
        if (*s.status == static_cast<int>(FrameStatus::complete)) {
            ASSERT_NE(s.image, nullptr);
            images.push_back(s.image);
        } else {
            EXPECT_EQ(*s.status, static_cast<int>(FrameStatus::idle));
            EXPECT_EQ(s.image, nullptr);
        }
    }
    ASSERT_GE(images.size(), 3u);
    for (const auto& img : images) {
        ASSERT_EQ(img->width, 640);
        ASSERT_EQ(img->height, 360);
        ASSERT_GE(img->lumaStride, 640);
        ASSERT_EQ(img->luma.size(), static_cast<size_t>(img->lumaStride) * 360);
        ASSERT_EQ(img->chroma.size(), static_cast<size_t>(img->chromaStride) * 180);
        for (uint8_t y : img->luma) ASSERT_TRUE(y >= 16 && y <= 235);
        for (uint8_t c : img->chroma) ASSERT_TRUE(c >= 16 && c <= 240);
    }
    // Consecutive complete frames differ: the desktop keeps moving.
    for (size_t i = 1; i < images.size(); ++i) EXPECT_NE(images[i]->luma, images[i - 1]->luma) << i;
}

TEST(HeadlessCapture, ThePointerIsDrawnWhereItLiesAndFollowsIt) {
    auto d = desk(kOneDisplay);
    d->captureDesk().setAnimating(false);
    auto q = std::make_shared<SerialQueue>("capture");
    Collector got;
    auto stream = d->capture().startStream(d->mainDisplay(), config(640, 360), q, got.callback(),
                                           [](const std::string&) {});
    ASSERT_TRUE(got.waitFor([](const auto& v) { return completeCount(v) >= 1; }));
    auto first = lastImage(got.samples());
    expectPointerAt(*first, 100, 80, 1.0);

    got.reset();
    d->setPointer(Point{400, 200});
    ASSERT_TRUE(got.waitFor([](const auto& v) { return completeCount(v) >= 1; }));
    auto moved = lastImage(got.samples());
    expectPointerAt(*moved, 400, 200, 1.0);
    stream->stop(nullptr);

    // Off the display: no pointer at all.
    auto other = desk(R"({"displays":[{"width":640,"height":360},{"width":640,"height":360}],
                          "pointer":{"x":900,"y":10}})");
    Collector none;
    auto s2 = other->capture().startStream(other->mainDisplay(), config(640, 360), q, none.callback(),
                                           [](const std::string&) {});
    ASSERT_TRUE(none.waitFor([](const auto& v) { return completeCount(v) >= 1; }));
    s2->stop(nullptr);
    EXPECT_TRUE(whiteBox(*lastImage(none.samples())).empty());
}

TEST(HeadlessCapture, TheHiDPIPointerIsScaledToTheOutput) {
    auto d = desk(R"({"displays":[{"width":320,"height":180,"scale":2}],"pointer":{"x":50,"y":40}})");
    auto q = std::make_shared<SerialQueue>("capture");
    Collector got;
    auto stream = d->capture().startStream(d->mainDisplay(), config(640, 360), q, got.callback(),
                                           [](const std::string&) {});
    ASSERT_TRUE(got.waitFor([](const auto& v) { return completeCount(v) >= 1; }));
    stream->stop(nullptr);
    expectPointerAt(*lastImage(got.samples()), 100, 80, 2.0);
}

TEST(HeadlessCapture, NothingChangingGivesIdleSamplesUntilThePointerMoves) {
    auto d = desk(kOneDisplay);
    d->captureDesk().setAnimating(false);
    auto q = std::make_shared<SerialQueue>("capture");
    Collector got;
    auto stream = d->capture().startStream(d->mainDisplay(), config(320, 180), q, got.callback(),
                                           [](const std::string&) {});
    ASSERT_TRUE(got.waitFor([](const auto& v) { return v.size() >= 6; }));
    auto v = got.samples();
    EXPECT_EQ(completeCount(v), 1u);  // the first picture only
    for (size_t i = 1; i < v.size(); ++i) {
        EXPECT_EQ(v[i].status, std::optional<int>(static_cast<int>(FrameStatus::idle)));
        EXPECT_EQ(v[i].image, nullptr);
    }
    got.reset();
    d->setPointer(Point{300, 100});
    ASSERT_TRUE(got.waitFor([](const auto& v) { return completeCount(v) >= 1; }));
    stream->stop(nullptr);
}

TEST(HeadlessCapture, AtMostTheQueueDepthIsPendingTheRestIsDropped) {
    auto d = desk(kOneDisplay);
    auto q = std::make_shared<SerialQueue>("capture");
    std::promise<void> release;
    auto gate = release.get_future().share();
    q->async([gate] { gate.wait(); });  // the consumer is stuck

    std::atomic<int> delivered{0};
    std::promise<int> atMarker;
    CaptureConfig c = config(320, 180);
    c.queueDepth = 2;
    auto stream = d->capture().startStream(d->mainDisplay(), c, q,
                                           [&](const CaptureSample&) { ++delivered; }, [](const std::string&) {});
    // Wait until the producer has been turned away a few times.
    auto until = std::chrono::steady_clock::now() + 20s;
    while (d->captureDesk().droppedSamples() < 4 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(5ms);
    ASSERT_GE(d->captureDesk().droppedSamples(), 4);
    // Queued behind whatever the producer managed to queue while the consumer was stuck.
    q->async([&] { atMarker.set_value(delivered.load()); });
    release.set_value();
    EXPECT_EQ(atMarker.get_future().get(), 2);
    stream->stop(nullptr);
}

TEST(HeadlessCapture, NoCallbackAfterStopReturns) {
    auto d = desk(kOneDisplay);
    auto q = std::make_shared<SerialQueue>("capture");
    std::atomic<bool> stopped{false};
    std::atomic<int> late{0}, seen{0};
    auto stream = d->capture().startStream(
        d->mainDisplay(), config(320, 180), q,
        [&](const CaptureSample&) {
            if (stopped.load()) ++late;
            ++seen;
            std::this_thread::sleep_for(2ms);  // a slow consumer keeps samples queued
        },
        [&](const std::string&) { ++late; });
    auto until = std::chrono::steady_clock::now() + 20s;
    while (seen.load() < 5 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_GE(seen.load(), 5);
    EXPECT_TRUE(stream->stop(nullptr));
    stopped.store(true);
    EXPECT_EQ(d->captureDesk().liveStreams(), 0);
    // Drain whatever was still queued, then make sure none of it reached the callback.
    q->sync([] {});
    d->removeDisplay(d->mainDisplay());  // would stop a live stream with an error
    q->sync([] {});
    EXPECT_EQ(late.load(), 0);
    EXPECT_TRUE(stream->stop(nullptr));  // a second stop is harmless
}

TEST(HeadlessCapture, AStreamMayStopItselfFromItsCallback) {
    auto d = desk(kOneDisplay);
    auto q = std::make_shared<SerialQueue>("capture");
    std::unique_ptr<CaptureStream> stream;
    std::mutex mu;
    std::atomic<int> calls{0};
    std::promise<void> done;
    {
        std::lock_guard<std::mutex> lk(mu);
        stream = d->capture().startStream(
            d->mainDisplay(), config(320, 180), q,
            [&](const CaptureSample&) {
                if (++calls == 1) {
                    std::lock_guard<std::mutex> l2(mu);
                    stream->stop(nullptr);
                    done.set_value();
                }
            },
            [](const std::string&) {});
    }
    EXPECT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
    q->sync([] {});
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(d->captureDesk().liveStreams(), 0);
}

TEST(HeadlessCapture, TheStreamStopsWithAnErrorWhenItsDisplayGoes) {
    auto d = desk(kOneDisplay);
    VirtualDisplayDescriptor desc;
    desc.name = "Phone Screen";
    desc.maxPixelsWide = desc.maxPixelsHigh = 2048;
    desc.vendorID = kVirtualVendor;
    auto vd = d->createVirtualDisplay(desc);
    VirtualDisplaySettings settings;
    settings.modes.push_back(VirtualDisplayModeRequest{400, 300, 60});
    ASSERT_TRUE(vd->applySettings(settings));

    auto q = std::make_shared<SerialQueue>("capture");
    Collector got;
    std::promise<std::string> stoppedWith;
    auto stream = d->capture().startStream(vd->displayID(), config(800, 600), q, got.callback(),
                                           [&](const std::string& e) { stoppedWith.set_value(e); });
    ASSERT_TRUE(got.waitFor([](const auto& v) { return completeCount(v) >= 1; }));
    EXPECT_EQ(lastImage(got.samples())->width, 800);
    vd.reset();
    auto f = stoppedWith.get_future();
    ASSERT_EQ(f.wait_for(20s), std::future_status::ready);
    EXPECT_FALSE(f.get().empty());
    EXPECT_EQ(d->captureDesk().liveStreams(), 0);
    q->sync([] {});
    size_t after = got.samples().size();
    q->sync([] {});
    EXPECT_EQ(got.samples().size(), after);
    EXPECT_TRUE(stream->stop(nullptr));
}

TEST(HeadlessCapture, DroppingTheDesktopStopsItsStreams) {
    auto d = desk(kOneDisplay);
    auto q = std::make_shared<SerialQueue>("capture");
    std::atomic<int> calls{0};
    auto stream = d->capture().startStream(d->mainDisplay(), config(320, 180), q,
                                           [&](const CaptureSample&) { ++calls; }, [](const std::string&) {});
    auto until = std::chrono::steady_clock::now() + 20s;
    while (calls.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    d.reset();
    q->sync([] {});
    int settled = calls.load();
    q->sync([] {});
    EXPECT_EQ(calls.load(), settled);
    EXPECT_TRUE(stream->stop(nullptr));
}

TEST(HeadlessFramebuffer, FitsTheDisplayIntoTheOutputKeepingItsShape) {
    FrameContent c;
    c.pointsWide = 1000;
    c.pointsHigh = 500;
    ContentPlacement p = Framebuffer::place(800, 800, c);
    EXPECT_DOUBLE_EQ(p.scale, 0.8);
    EXPECT_DOUBLE_EQ(p.x, 0);
    EXPECT_DOUBLE_EQ(p.y, 200);  // bars above and below
    Framebuffer fb;
    auto img = fb.render(800, 800, c);
    EXPECT_EQ(img->luma[0], Framebuffer::kBlack);                    // in the bar
    EXPECT_NE(img->luma[static_cast<size_t>(400) * 800 + 400], Framebuffer::kBlack);  // on the display
    // Odd sizes lose their odd pixel.
    auto odd = fb.render(801, 451, c);
    EXPECT_EQ(odd->width, 800);
    EXPECT_EQ(odd->height, 450);
    auto blank = Nv12Image::make(7, 5);
    EXPECT_EQ(blank->width, 6);
    EXPECT_EQ(blank->height, 4);
    EXPECT_EQ(blank->chroma.size(), static_cast<size_t>(blank->chromaStride) * 2);
}

TEST(AvahiAdvertiser, WithoutADaemonPublishFailsAtOnceWithAReason) {
    const char* old = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string saved = old ? old : "";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vellomark-test-bus", 1);
    AvahiAdvertiser adv;
    std::string err;
    EXPECT_FALSE(adv.publish("_vellomark._udp", 47823, &err));
    EXPECT_NE(err.find("Avahi"), std::string::npos) << err;
    EXPECT_GT(err.size(), std::string("Avahi: ").size());
    EXPECT_TRUE(adv.serviceName().empty());
    // Asking again tries again, and fails the same way.
    std::string again;
    EXPECT_FALSE(adv.publish("_vellomark._udp", 47823, &again));
    EXPECT_FALSE(again.empty());
    if (old) ::setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    else ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
