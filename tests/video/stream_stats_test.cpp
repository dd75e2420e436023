// The video service main: start-up order and its log lines, the first capture
// with retries, and the 2-second statistics lines with the capture watchdog.
#include <gtest/gtest.h>

#include "video/capture_fakes.h"
#include "video/stream_main.h"

namespace vm::testing {
namespace {

using video::StatNumbers;
using video::StreamMain;

struct StreamRig {
    CaptureRig c;
    FakeAdvertiser advertiser;
    MainQueue mainQueue;
    InlineQueue inlineTasks;
    std::unique_ptr<StreamMain> stream;

    explicit StreamRig(bool ownThread = false) {
        c.oneDisplay(3, true, 160, 120, 2.0);
        stream = std::make_unique<StreamMain>(video::StreamMainDeps{
            c.clock, c.log, c.displays, advertiser, *c.encoder, *c.sink, *c.capture, c.stats, c.key, mainQueue,
            ownThread ? nullptr : &inlineTasks});
    }
    ~StreamRig() { stream.reset(); }
    std::string logText() { return c.logText(); }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return out;
}

// Index of the first line starting with `prefix`, or -1.
int lineIndex(const std::vector<std::string>& ls, const std::string& prefix) {
    for (size_t i = 0; i < ls.size(); ++i)
        if (ls[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
    return -1;
}

TEST(StreamStatLines, FormatEveryNumberInItsPlace) {
    StatNumbers n;
    n.interval = 2.0;
    n.capGapMS = 100;
    n.capGapCount = 4;
    n.capHandlerMS = 9;
    n.capCB = 3;
    n.encMS = 30;
    n.encCount = 6;
    n.sendMS = 4;
    n.sendCount = 2;
    n.fragSum = 14;
    n.capPix = 2;
    n.capStatus = {{7, 2}, {0, 3}, {1, 1}};
    n.dropRate = 4;
    n.levelNow = 3;
    n.skipped = 5;
    n.encSubmit = 6;
    n.encDone = 6;
    n.encCallErrN = 1;
    n.encCallErrLast = -12902;
    n.frames = 3;
    n.bytes = 250'000;
    n.hasClients = true;

    auto l = StreamMain::formatStatLines(n);
    EXPECT_EQ(l[0],
              "구간 2.00s  캡처간격 25.0ms  콜백체류 3.0ms  인코딩 5.0ms  송신 2.0ms(조각 7개)  ·  콜백 1.5/초 중 "
              "픽셀 1.0/초\n");
    EXPECT_EQ(l[1],
              "  상태[complete 3 idle 1 상태7 2] 버림: 율 4(단계 3·상한 20fps) 전송중 5 · VT 투입 6 완료 6 "
              "(투입오류 1/-12902 콜백오류 0/0) 데이터없음 0\n");
    EXPECT_EQ(l[2], "1.5 fps  1.0 Mbps  건너뜀 5  클라이언트=있음\n");
}

TEST(StreamStatLines, EmptyIntervalPrintsZeroAveragesAndNoClient) {
    StatNumbers n;
    n.interval = 0.5;
    n.capCB = 1;  // a single callback: no gap to average
    auto l = StreamMain::formatStatLines(n);
    EXPECT_EQ(l[0],
              "구간 0.50s  캡처간격 0.0ms  콜백체류 0.0ms  인코딩 0.0ms  송신 0.0ms(조각 0개)  ·  콜백 2.0/초 중 "
              "픽셀 0.0/초\n");
    EXPECT_EQ(l[1],
              "  상태[] 버림: 율 0(단계 0·상한 60fps) 전송중 0 · VT 투입 0 완료 0 (투입오류 0/0 콜백오류 0/0) "
              "데이터없음 0\n");
    EXPECT_EQ(l[2], "0.0 fps  0.0 Mbps  건너뜀 0  클라이언트=없음\n");
}

TEST(StreamStatLines, StatusNamesAndUnknownValues) {
    EXPECT_EQ(StreamMain::statusSummary({}), "");
    EXPECT_EQ(StreamMain::statusSummary({{5, 1}, {4, 2}, {3, 3}, {2, 4}}), "blank 4 suspended 3 started 2 stopped 1");
    EXPECT_EQ(StreamMain::statusSummary({{7, 9}}), "상태7 9");
    EXPECT_EQ(StreamMain::statusSummary({{-1, 1}, {0, 2}}), "상태-1 1 complete 2");
}

TEST(StreamStatTick, FirstTickUsesTheMinimumIntervalAndCountersAreReset) {
    StreamRig r;
    auto& s = r.c.stats;
    s.capCB = 3;
    s.capPix = 2;
    s.capGapMS = 12.0;
    s.capGapCount = 0;  // gaps only count between callbacks
    s.skippedFrames = 4;
    s.encCallErrN = 2;
    s.encCallErrLast = -7;
    s.encCbErrLast = -9;
    s.countStatus(7);
    s.countStatus(7);
    s.countStatus(0);

    r.stream->statTick();

    auto ls = lines(r.logText());
    int i = lineIndex(ls, "구간 ");
    ASSERT_GE(i, 0) << r.logText();
    ASSERT_LT(i + 2, static_cast<int>(ls.size()));
    EXPECT_EQ(ls[i].rfind("구간 0.00s  캡처간격 0.0ms", 0), 0u) << ls[i];
    EXPECT_NE(ls[i].find("콜백 3000.0/초 중 픽셀 2000.0/초"), std::string::npos) << ls[i];
    EXPECT_EQ(ls[i + 1].rfind("  상태[complete 1 상태7 2] 버림:", 0), 0u) << ls[i + 1];
    EXPECT_NE(ls[i + 1].find("전송중 4 "), std::string::npos);
    EXPECT_NE(ls[i + 1].find("(투입오류 2/-7 콜백오류 0/-9)"), std::string::npos);
    EXPECT_EQ(ls[i + 2], "0.0 fps  0.0 Mbps  건너뜀 4  클라이언트=없음");

    EXPECT_EQ(s.capCB.load(), 0);
    EXPECT_EQ(s.capPix.load(), 0);
    EXPECT_EQ(s.capGapMS.load(), 0.0);
    EXPECT_EQ(s.skippedFrames.load(), 0);
    EXPECT_EQ(s.encCallErrN.load(), 0);
    EXPECT_EQ(s.encCallErrLast.load(), -7);  // the last error is kept
    EXPECT_EQ(s.encCbErrLast.load(), -9);
    {
        std::lock_guard<std::mutex> g(s.capStatusLock);
        EXPECT_TRUE(s.capStatus.empty());
    }

    r.c.clock.advance(2.0);
    r.stream->statTick();
    ls = lines(r.logText());
    EXPECT_EQ(countOf(r.logText(), "구간 2.00s  캡처간격 0.0ms"), 1) << r.logText();
    EXPECT_EQ(countOf(r.logText(), "  상태[] 버림: 율 0"), 1);
}

TEST(StreamStatTick, ALateTickReportsTheLongInterval) {
    StreamRig r;
    r.stream->statTick();
    r.c.clock.advance(3600.0);  // the machine slept
    r.c.stats.capCB = 7200;
    r.stream->statTick();
    EXPECT_NE(r.logText().find("구간 3600.00s"), std::string::npos);
    EXPECT_NE(r.logText().find("콜백 2.0/초"), std::string::npos);
}

TEST(StreamWatchdog, DoesNotFireWithoutReceivers) {
    StreamRig r;
    r.c.capture->start(true);
    r.c.clock.advance(10.0);
    r.stream->statTick();
    EXPECT_EQ(r.logText().find("캡처 무응답"), std::string::npos);
    EXPECT_EQ(r.c.screenCapture.startedCount(), 1u);
    EXPECT_NE(r.logText().find("클라이언트=없음"), std::string::npos);
}

TEST(StreamWatchdog, RestartsASilentCaptureOncePerFiveSeconds) {
    StreamRig r;
    r.c.capture->start(true);
    PhoneSocket phone;
    r.c.clock.advance(6.5);
    r.c.registerPhone(phone);  // registrations last 5 s, so the phone registers anew

    r.stream->statTick();
    std::string text = r.logText();
    EXPECT_EQ(countOf(text, "⚠︎ 캡처 무응답 6초 — 재시작한다\n"), 1) << text;
    EXPECT_EQ(r.c.screenCapture.startedCount(), 2u);
    EXPECT_DOUBLE_EQ(r.c.capture->lastSampleAt(), r.c.clock.now());
    EXPECT_NE(text.find("클라이언트=있음"), std::string::npos);

    r.c.clock.advance(2.0);
    r.c.registerPhone(phone);
    r.stream->statTick();
    EXPECT_EQ(countOf(r.logText(), "캡처 무응답"), 1);
    EXPECT_EQ(r.c.screenCapture.startedCount(), 2u);

    r.c.clock.advance(3.5);  // 5.5 s since the reset
    r.c.registerPhone(phone);
    r.stream->statTick();
    EXPECT_EQ(countOf(r.logText(), "⚠︎ 캡처 무응답 5초 — 재시작한다\n"), 1);
    EXPECT_EQ(r.c.screenCapture.startedCount(), 3u);
    EXPECT_EQ(r.c.screenCapture.live(), 1);
}

TEST(StreamStart, LogsInOrderAndAdvertisesTheVideoPort) {
    StreamRig r;
    r.c.key.current();
    const uint16_t port = r.c.sink->boundPort();

    r.stream->start();

    EXPECT_TRUE(r.stream->firstCaptureStarted());
    ASSERT_EQ(r.advertiser.published.size(), 1u);
    EXPECT_EQ(r.advertiser.published[0].first, "_vellomark._udp");
    EXPECT_EQ(r.advertiser.published[0].second, port);

    auto ls = lines(r.logText());
    const int listening = lineIndex(ls, "listening udp/" + std::to_string(port));
    const int started = lineIndex(ls, "캡처 시작 320×240");
    const int attempt = lineIndex(ls, "캡처 시작됨 (시도 1회)");
    const int bonjour = lineIndex(ls, "Bonjour 알림 시작 — _vellomark._udp:" + std::to_string(port));
    const int sealed = lineIndex(ls, "영상 봉인 켜짐 — 세션키 번호 " + std::to_string(r.c.key.keyID()) +
                                         ", 조각 1161+16B");
    ASSERT_GE(listening, 0) << r.logText();
    EXPECT_LT(listening, started);
    EXPECT_LT(started, attempt);
    EXPECT_LT(attempt, bonjour);
    EXPECT_LT(bonjour, sealed);
    EXPECT_EQ(ls[static_cast<size_t>(bonjour)], "Bonjour 알림 시작 — _vellomark._udp:" + std::to_string(port));

    // The display-change reaction is registered and reaches the capture.
    ASSERT_EQ(r.c.displays.callbacks.size(), 1u);
    r.c.displays.setMode(3, 640, 480);
    r.c.displays.fireReconfigure();
    EXPECT_NE(r.logText().find("화면이 바뀌었다 — 3@320×240 → 3@640×480 로 옮겨 탄다"), std::string::npos);
    EXPECT_EQ(r.c.screenCapture.startedCount(), 2u);
}

TEST(StreamStart, AMissingDiscoveryDaemonIsLoggedAndNotFatal) {
    StreamRig r;
    r.advertiser.failWith = "Daemon not running";
    r.stream->start();
    const std::string text = r.logText();
    EXPECT_NE(text.find("⚠︎ Bonjour 알림 실패 — Daemon not running\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Bonjour 알림 시작"), std::string::npos);
    EXPECT_NE(text.find("영상 봉인 켜짐"), std::string::npos);
    EXPECT_TRUE(r.stream->firstCaptureStarted());
}

TEST(StreamStart, FirstCaptureRetriesEveryThreeSecondsUntilItWorks) {
    StreamRig r;
    r.c.screenCapture.startFailures = 10;
    const double t0 = r.c.clock.now();

    r.stream->start();

    EXPECT_TRUE(r.stream->firstCaptureStarted());
    EXPECT_DOUBLE_EQ(r.c.clock.now() - t0, 30.0);
    const std::string text = r.logText();
    EXPECT_EQ(countOf(text, "캡처 대기중(시도 1): stream refused\n"), 1) << text;
    EXPECT_EQ(countOf(text, "캡처 대기중(시도 10): stream refused\n"), 1);
    EXPECT_EQ(countOf(text, "캡처 대기중"), 2);
    EXPECT_EQ(countOf(text, "→ 시스템 설정 > 개인정보 보호 및 보안 > 화면 및 시스템 오디오 기록 에서 videod 허용\n"), 1);
    EXPECT_EQ(countOf(text, "캡처 시작됨 (시도 11회)\n"), 1);
    EXPECT_EQ(r.c.screenCapture.live(), 1);
}

TEST(StreamStart, FirstCaptureOnItsOwnThreadAndTheTimersOnTheMainLoop) {
    StreamRig r(/*ownThread=*/true);
    r.mainQueue.adoptCurrentThread();
    r.stream->start();
    // The statistics timer fires after 2 s of real time on the main loop.
    r.mainQueue.spinRunLoop(2.3);
    EXPECT_TRUE(r.stream->firstCaptureStarted());
    const std::string text = r.logText();
    EXPECT_EQ(countOf(text, "캡처 시작됨 (시도 1회)"), 1) << text;
    EXPECT_GE(countOf(text, "구간 "), 1);
    EXPECT_GE(countOf(text, "클라이언트=없음"), 1);
}

}  // namespace
}  // namespace vm::testing
