// Screen capture: display choice and waiting, stream size, the per-frame path into
// the encoder, restarts and the debounced reaction to display changes.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "video/capture_fakes.h"

namespace vm::testing {
namespace {

using video::Capture;

constexpr uint32_t kOther = 1;  // vendor of an ordinary screen

TEST(CaptureStart, ChoosesTheVirtualDisplayEvenWhenItIsNotMain) {
    CaptureRig rig;
    rig.displays.add(1, kOther, 800, 600);
    rig.displays.add(2, 7, 640, 480);
    rig.displays.add(3, platform::kVirtualVendor, 160, 120, 2.0);
    rig.displays.mainID = 1;
    rig.screenCapture.displays = {1, 2, 3};
    const double t0 = rig.clock.now();

    rig.capture->start(true);

    auto st = rig.screenCapture.last();
    EXPECT_EQ(st.id, 3u);
    EXPECT_EQ(st.config.width, 320);
    EXPECT_EQ(st.config.height, 240);
    EXPECT_TRUE(st.config.scalesToFit);
    EXPECT_EQ(st.config.minFrameIntervalValue, 1);
    EXPECT_EQ(st.config.minFrameIntervalTimescale, 120);
    EXPECT_EQ(st.config.queueDepth, 3);
    EXPECT_TRUE(st.config.showsCursor);
    ASSERT_TRUE(st.queue);
    EXPECT_EQ(st.queue->label(), "capture");
    EXPECT_EQ(rig.capture->capturing(), 3u);
    EXPECT_EQ(rig.capture->capturingSize(), std::make_pair(320, 240));
    EXPECT_TRUE(rig.capture->running());
    EXPECT_EQ(rig.encoder->startedW(), 320);
    EXPECT_EQ(rig.encoder->startedH(), 240);
    EXPECT_EQ(rig.screenCapture.listCalls.load(), 1);
    EXPECT_DOUBLE_EQ(rig.clock.now(), t0);  // found at the first look, no waiting
    const std::string text = rig.logText();
    EXPECT_NE(text.find("캡처 시작 320×240 (논리 160×120 @2.0x) 콜백 상한 120fps · 화면 60Hz\n"), std::string::npos)
        << text;
    EXPECT_EQ(text.find("가상 화면이"), std::string::npos);
}

TEST(CaptureStart, WithoutVirtualDisplaySettlesForTheMainOneOnTheFifteenthLook) {
    CaptureRig rig;
    rig.displays.add(1, kOther, 320, 240);
    rig.displays.add(2, kOther, 160, 120, 2.0);
    rig.displays.mainID = 2;
    rig.screenCapture.displays = {1, 2};
    const double t0 = rig.clock.now();

    rig.capture->start(true);

    EXPECT_EQ(rig.screenCapture.last().id, 2u);
    EXPECT_EQ(rig.screenCapture.listCalls.load(), 15);
    EXPECT_DOUBLE_EQ(rig.clock.now() - t0, 14.0);
    const std::string text = rig.logText();
    EXPECT_EQ(countOf(text, "가상 화면이 15초째 안 보인다 — 있는 화면으로 간다\n"), 1) << text;
    EXPECT_EQ(countOf(text, "가상 화면이"), 1);
}

TEST(CaptureStart, WaitsForDisplaysAndLogsTheFirstAndEveryTwentiethLook) {
    CaptureRig rig;
    rig.oneDisplay(5, true, 320, 240);
    rig.screenCapture.script.push_back(std::nullopt);  // listing refused
    for (int i = 0; i < 19; ++i) rig.screenCapture.script.push_back(std::vector<DisplayID>{});

    rig.capture->start(true);

    EXPECT_EQ(rig.screenCapture.listCalls.load(), 21);
    EXPECT_EQ(rig.screenCapture.last().id, 5u);
    const std::string text = rig.logText();
    EXPECT_EQ(countOf(text, "디스플레이 없음 — 대기 중 (1회째)\n"), 1) << text;
    EXPECT_EQ(countOf(text, "디스플레이 없음 — 대기 중 (20회째)\n"), 1);
    EXPECT_EQ(countOf(text, "디스플레이 없음"), 2);
}

TEST(CaptureStart, StreamFailureIsThrownAndALaterStartWorks) {
    CaptureRig rig;
    rig.oneDisplay(5, true, 320, 240);
    rig.screenCapture.startFailures = 1;

    EXPECT_THROW(rig.capture->start(true), std::runtime_error);
    EXPECT_FALSE(rig.capture->running());
    EXPECT_EQ(rig.logText().find("캡처 시작 "), std::string::npos);

    rig.capture->start(true);
    EXPECT_TRUE(rig.capture->running());
    EXPECT_EQ(rig.screenCapture.live(), 1);
}

TEST(CaptureStart, DestroyingTheCaptureEndsAStartStillWaitingForADisplay) {
    CaptureRig rig;  // no displays at all
    std::atomic<bool> threw{false};
    std::thread waiter([&] {
        try {
            rig.capture->start(true);
        } catch (const std::runtime_error&) {
            threw = true;
        }
    });
    while (rig.screenCapture.listCalls.load() < 3) std::this_thread::yield();
    rig.capture.reset();
    waiter.join();
    EXPECT_TRUE(threw.load());
    EXPECT_EQ(rig.screenCapture.startedCount(), 0u);
}

TEST(CaptureDisplays, PickDisplayPrefersVirtualThenMainThenFirst) {
    CaptureRig rig;
    rig.displays.add(1, kOther, 100, 100);
    rig.displays.add(2, kOther, 100, 100);
    rig.displays.add(3, platform::kVirtualVendor, 100, 100);
    rig.displays.mainID = 2;

    EXPECT_FALSE(rig.capture->pickDisplay({}).has_value());
    EXPECT_EQ(rig.capture->pickDisplay({1, 2, 3}), std::optional<DisplayID>(3));
    EXPECT_EQ(rig.capture->pickDisplay({1, 2}), std::optional<DisplayID>(2));
    EXPECT_EQ(rig.capture->pickDisplay({1}), std::optional<DisplayID>(1));
}

TEST(CaptureDisplays, PreferredDisplayLooksAtTheActiveList) {
    CaptureRig rig;
    EXPECT_EQ(rig.capture->preferredDisplay(), 0u);

    rig.displays.add(1, kOther, 100, 100);
    rig.displays.add(2, kOther, 100, 100);
    rig.displays.mainID = 2;
    EXPECT_EQ(rig.capture->preferredDisplay(), 2u);

    rig.displays.add(9, platform::kVirtualVendor, 100, 100);
    EXPECT_EQ(rig.capture->preferredDisplay(), 9u);

    rig.displays.entries.back().active = false;
    EXPECT_EQ(rig.capture->preferredDisplay(), 2u);
}

TEST(CaptureSize, OutputIsAtMost2560By2048AndEven) {
    EXPECT_EQ(Capture::outputSize(2561, 1441), std::make_pair(2560, 1440));
    EXPECT_EQ(Capture::outputSize(3024, 1964), std::make_pair(2560, 1964));
    EXPECT_EQ(Capture::outputSize(5120, 2880), std::make_pair(2560, 2048));
    EXPECT_EQ(Capture::outputSize(641, 481), std::make_pair(640, 480));
    EXPECT_EQ(Capture::outputSize(1170, 2532), std::make_pair(1170, 2048));
}

TEST(CaptureSize, AnOddLargeDisplayStreamsAtTheLimit) {
    CaptureRig rig;
    rig.oneDisplay(4, true, 2561, 1441);
    rig.capture->start(true);
    EXPECT_EQ(rig.screenCapture.last().config.width, 2560);
    EXPECT_EQ(rig.screenCapture.last().config.height, 1440);
    EXPECT_EQ(rig.capture->capturingSize(), std::make_pair(2560, 1440));
    EXPECT_NE(rig.logText().find("캡처 시작 2560×1440 (논리 2561×1441 @1.0x)"), std::string::npos);
}

TEST(CaptureSize, PixelSizeFromTheModeOrTheScreensOrOneToOne) {
    CaptureRig rig;
    rig.displays.add(1, kOther, 1512, 982, 2.0);          // with a mode
    rig.displays.add(2, kOther, 800, 600, 1.0, false);     // no mode, screen at 2x (late)
    rig.displays.add(3, kOther, 1024, 768, 1.0, false);    // no mode, no screen
    rig.displays.screenList = {{2, 2.0}, {3, 0.0}};

    auto a = rig.capture->pixelSize(1);
    EXPECT_EQ(a.w, 3024);
    EXPECT_EQ(a.h, 1964);
    EXPECT_DOUBLE_EQ(a.scale, 2.0);

    rig.displays.screensHiddenFor = 3;
    double t0 = rig.clock.now();
    auto b = rig.capture->pixelSize(2);
    EXPECT_EQ(b.w, 1600);
    EXPECT_EQ(b.h, 1200);
    EXPECT_DOUBLE_EQ(b.scale, 2.0);
    EXPECT_NEAR(rig.clock.now() - t0, 0.3, 1e-5);
    EXPECT_EQ(rig.logText().find("픽셀 크기를 못 읽었다"), std::string::npos);

    const int looksBefore = rig.displays.screenLooks;
    t0 = rig.clock.now();
    auto c = rig.capture->pixelSize(3);  // a screen with scale 0 does not count
    EXPECT_EQ(c.w, 1024);
    EXPECT_EQ(c.h, 768);
    EXPECT_DOUBLE_EQ(c.scale, 1.0);
    EXPECT_EQ(rig.displays.screenLooks - looksBefore, 10);
    EXPECT_NEAR(rig.clock.now() - t0, 0.9, 1e-5);
    EXPECT_EQ(countOf(rig.logText(), "⚠︎ 픽셀 크기를 못 읽었다 — 1배로 진행한다 (화질이 떨어진다)\n"), 1);
}

TEST(CaptureStart, StartLineShowsFractionalScaleAndMissingRefresh) {
    CaptureRig rig;
    rig.displays.add(1, platform::kVirtualVendor, 200, 100, 1.5);
    rig.displays.mainID = 1;
    rig.screenCapture.displays = {1};
    rig.capture->start(true);
    EXPECT_NE(rig.logText().find("캡처 시작 300×150 (논리 200×100 @1.5x) 콜백 상한 120fps · 화면 60Hz\n"),
              std::string::npos)
        << rig.logText();

    CaptureRig bare;
    bare.displays.add(1, platform::kVirtualVendor, 160, 120, 1.0, false);
    bare.displays.screenList = {{1, 2.0}};
    bare.screenCapture.displays = {1};
    bare.capture->start(true);
    EXPECT_NE(bare.logText().find("캡처 시작 320×240 (논리 160×120 @2.0x) 콜백 상한 120fps · 화면 -1Hz\n"),
              std::string::npos)
        << bare.logText();
}

TEST(CaptureReconfigure, TenCallbacksMakeOneCheckASecondAfterTheLast) {
    HeldQueue mainQueue;
    CaptureRig rig(&mainQueue);
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);
    rig.displays.setMode(3, 400, 300);

    for (int i = 0; i < 10; ++i) rig.capture->displayReconfigured();
    ASSERT_EQ(mainQueue.held.size(), 10u);
    for (const auto& item : mainQueue.held) EXPECT_DOUBLE_EQ(item.first, Capture::kReconfigureDelay);
    EXPECT_EQ(rig.screenCapture.startedCount(), 1u);  // nothing happens before the delay

    const int activeBefore = rig.displays.activeCalls;
    mainQueue.runAll();

    EXPECT_EQ(rig.displays.activeCalls - activeBefore, 1);
    const std::string text = rig.logText();
    EXPECT_EQ(countOf(text, "화면이 바뀌었다 — 3@320×240 → 3@400×300 로 옮겨 탄다\n"), 1) << text;
    EXPECT_EQ(rig.screenCapture.startedCount(), 2u);
    EXPECT_EQ(rig.screenCapture.last().config.width, 400);
    EXPECT_EQ(rig.screenCapture.live(), 1);
    EXPECT_EQ(rig.screenCapture.maxLive(), 1);
    EXPECT_EQ(rig.encoder->startedW(), 400);
}

TEST(CaptureReconfigure, SameDisplayAtTheSameSizeChangesNothing) {
    CaptureRig rig;  // no main queue: the check runs at once
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);

    rig.capture->displayReconfigured();

    EXPECT_EQ(rig.logText().find("화면이 바뀌었다"), std::string::npos);
    EXPECT_EQ(rig.screenCapture.startedCount(), 1u);
    EXPECT_TRUE(rig.capture->running());
}

TEST(CaptureReconfigure, MovesOverToANewVirtualDisplay) {
    CaptureRig rig;
    rig.displays.add(1, kOther, 320, 240);
    rig.displays.mainID = 1;
    rig.screenCapture.displays = {1};
    rig.capture->start(true);  // settles for the main display
    ASSERT_EQ(rig.capture->capturing(), 1u);

    rig.displays.add(8, platform::kVirtualVendor, 195, 422, 2.0);
    rig.screenCapture.displays = {1, 8};
    rig.capture->displayReconfigured();

    EXPECT_NE(rig.logText().find("화면이 바뀌었다 — 1@320×240 → 8@390×844 로 옮겨 탄다\n"), std::string::npos)
        << rig.logText();
    EXPECT_EQ(rig.screenCapture.last().id, 8u);
    EXPECT_EQ(rig.capture->capturing(), 8u);
    EXPECT_EQ(rig.screenCapture.live(), 1);
    EXPECT_EQ(rig.screenCapture.maxLive(), 1);
}

TEST(CaptureFrames, WithoutAPhoneThePictureIsHeldButNotEncoded) {
    CaptureRig rig;
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);
    ASSERT_TRUE(rig.sink->targets().empty());

    std::shared_ptr<const platform::Nv12Image> lastImage;
    for (int i = 0; i < 5; ++i) {
        auto s = CaptureRig::picture(320, 240, 1000 * i);
        lastImage = s.image;
        rig.screenCapture.deliver(s);
    }
    platform::CaptureSample idle;
    idle.status = 1;
    rig.screenCapture.deliver(idle);
    platform::CaptureSample audio = CaptureRig::picture(320, 240, 9999, std::nullopt);
    audio.screenOutput = false;
    rig.screenCapture.deliver(audio);

    EXPECT_EQ(rig.stats.capCB.load(), 7);
    EXPECT_EQ(rig.stats.capPix.load(), 5);
    {
        std::lock_guard<std::mutex> g(rig.encoder->lock);
        EXPECT_EQ(rig.encoder->lastPixelBuffer, lastImage);
        EXPECT_EQ(rig.encoder->lastPTS, 4000);
    }
    EXPECT_EQ(rig.stats.encSubmit.load(), 0);
    EXPECT_EQ(rig.stats.dropRate.load(), 0);
    EXPECT_EQ(rig.stats.skippedFrames.load(), 0);
    EXPECT_EQ(rig.encoder->frameCount(), 0);
    std::lock_guard<std::mutex> g(rig.stats.capStatusLock);
    EXPECT_EQ(rig.stats.capStatus, (std::map<int, int64_t>{{0, 5}, {1, 1}}));
}

TEST(CaptureFrames, WithAPhoneEveryPictureReachesTheEncoder) {
    CaptureRig rig;
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);
    PhoneSocket phone;
    rig.registerPhone(phone);
    ASSERT_EQ(rig.sink->targets().size(), 1u);

    for (int i = 0; i < 3; ++i) {
        rig.clock.advance(0.05);  // well apart, so pacing keeps every one
        rig.screenCapture.deliver(CaptureRig::picture(320, 240, 50'000 * i));
    }

    EXPECT_EQ(rig.stats.capPix.load(), 3);
    EXPECT_EQ(rig.stats.skippedFrames.load(), 0);
    // Well spaced, so none is paced out; one arriving while the codec is busy is counted apart.
    EXPECT_EQ(rig.stats.dropRate.load(), 0);
    EXPECT_EQ(rig.stats.encSubmit.load() + rig.stats.encBusy.load(), 3);
    EXPECT_GE(rig.stats.encSubmit.load(), 1);

    // Let the codec hand over what it took before the rig is torn down.
    for (int i = 0; i < 1000 && rig.encoder->frameCount() < rig.stats.encSubmit.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(CaptureFrames, GapsBetweenCallbacksAndTheLastSampleTimeAreKept) {
    CaptureRig rig;
    rig.oneDisplay(3, true, 160, 120, 2.0);
    const double created = rig.capture->lastSampleAt();
    EXPECT_DOUBLE_EQ(created, rig.clock.now());
    rig.capture->start(true);

    for (int i = 0; i < 3; ++i) {
        rig.clock.advance(0.01);
        rig.screenCapture.deliver(CaptureRig::picture(320, 240, i));
    }

    EXPECT_EQ(rig.stats.capGapCount.load(), 2);
    EXPECT_NEAR(rig.stats.capGapMS.load(), 20.0, 1e-6);
    EXPECT_DOUBLE_EQ(rig.capture->lastSampleAt(), rig.clock.now());
    EXPECT_GT(rig.capture->lastSampleAt(), created);
}

TEST(CaptureRestart, ACapturerStopIsLoggedAndRestartsOnce) {
    CaptureRig rig;  // restarts run in place
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);
    auto first = rig.screenCapture.last();

    first.onStop("보기 권한이 사라졌다");

    const std::string text = rig.logText();
    EXPECT_EQ(countOf(text, "⚠︎ 캡처 스트림 정지: 보기 권한이 사라졌다 — 재시작한다\n"), 1) << text;
    EXPECT_EQ(rig.screenCapture.startedCount(), 2u);
    EXPECT_EQ(rig.screenCapture.live(), 1);
    EXPECT_TRUE(rig.capture->running());

    // A late report from the stream we already replaced changes nothing.
    first.onStop("늦은 보고");
    EXPECT_EQ(rig.logText().find("늦은 보고"), std::string::npos);
    EXPECT_EQ(rig.screenCapture.startedCount(), 2u);
}

TEST(CaptureRestart, RequestsWhileOneIsQueuedShareIt) {
    HeldQueue tasks;
    CaptureRig rig(nullptr, &tasks);
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);

    rig.capture->restartAsync();
    rig.capture->restartAsync();
    rig.capture->restartAsync();
    EXPECT_EQ(tasks.held.size(), 1u);
    tasks.runAll();
    EXPECT_EQ(rig.screenCapture.startedCount(), 2u);

    rig.capture->restartAsync();  // a new request after the restart ran queues again
    EXPECT_EQ(tasks.held.size(), 1u);
    tasks.runAll();
    EXPECT_EQ(rig.screenCapture.startedCount(), 3u);
    EXPECT_EQ(rig.screenCapture.live(), 1);
}

TEST(CaptureRestart, TriggersDuringTheWaitForTheVirtualDisplayJoinTheRestartUnderWay) {
    HeldQueue tasks;
    CaptureRig rig(nullptr, &tasks);
    rig.displays.add(1, kOther, 320, 240);
    rig.displays.add(3, platform::kVirtualVendor, 160, 120, 2.0);
    rig.displays.mainID = 1;
    rig.screenCapture.displays = {1, 3};
    rig.capture->start(true);
    ASSERT_EQ(rig.screenCapture.last().id, 3u);
    auto first = rig.screenCapture.last();

    // BYE: the virtual display goes, its stream stops, and the restart waits for a
    // virtual display that may still come. Meanwhile the layout change is noticed
    // and the watchdog finds the capture silent.
    {
        std::lock_guard<std::mutex> g(rig.displays.mu);
        rig.displays.entries.pop_back();
    }
    rig.screenCapture.displays = {1};
    const int looksBefore = rig.screenCapture.listCalls.load();
    rig.screenCapture.onList = [&](int look) {
        if (look == looksBefore + 5) rig.capture->reconfigureCheck();
        if (look == looksBefore + 10) rig.capture->restartAsync();
    };
    const double t0 = rig.clock.now();
    first.onStop("디스플레이가 사라졌다");
    while (!tasks.held.empty()) tasks.runAll();

    EXPECT_EQ(rig.screenCapture.startedCount(), 2u);  // one restart, not one per trigger
    EXPECT_EQ(rig.screenCapture.last().id, 1u);
    EXPECT_LE(rig.clock.now() - t0, 15.0);  // video is back within one wait
    const std::string text = rig.logText();
    EXPECT_EQ(countOf(text, "화면이 바뀌었다 — 3@320×240 → 1@320×240"), 1) << text;
    EXPECT_EQ(countOf(text, "가상 화면이 15초째 안 보인다"), 1);
    rig.screenCapture.deliver(CaptureRig::picture(320, 240, 1));
    EXPECT_EQ(rig.stats.capPix.load(), 1);
    EXPECT_EQ(rig.screenCapture.live(), 1);

    // A change after the restart chose its display gets a restart of its own.
    rig.screenCapture.onList = nullptr;
    rig.capture->restartAsync();
    EXPECT_EQ(tasks.held.size(), 1u);
    tasks.runAll();
    EXPECT_EQ(rig.screenCapture.startedCount(), 3u);
}

TEST(CaptureRestart, OverlappingRestartsNeverLeaveTwoStreams) {
    CaptureRig rig;
    rig.oneDisplay(3, true, 160, 120, 2.0);
    rig.capture->start(true);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) rig.capture->restart();
        });
    for (auto& t : threads) t.join();

    EXPECT_EQ(rig.screenCapture.startedCount(), 21u);
    EXPECT_EQ(rig.screenCapture.live(), 1);
    EXPECT_EQ(rig.screenCapture.maxLive(), 1);
}

}  // namespace
}  // namespace vm::testing
