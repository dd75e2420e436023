#include "video/stream_main.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <limits>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/capture.h"
#include "platform/displays.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"
#include "video/video_wire.h"

namespace vm::video {

namespace {

__attribute__((format(printf, 1, 2))) std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        std::vector<char> buf(static_cast<size_t>(n) + 1);
        std::vsnprintf(buf.data(), buf.size(), fmt, ap2);
        out.assign(buf.data(), static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

// Counters are 64-bit; the lines print them as plain ints.
int asInt(int64_t v) {
    return static_cast<int>(std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

double average(double sum, int64_t count) { return count > 0 ? sum / static_cast<double>(count) : 0.0; }

}  // namespace

StreamMain::StreamMain(StreamMainDeps deps) : d_(deps) {}

StreamMain::~StreamMain() {
    stopping_.store(true);
    idrTimer_.reset();
    statTimer_.reset();
    if (firstCaptureThread_.joinable()) firstCaptureThread_.join();
}

void StreamMain::start() {
    idrTimer_ = std::make_unique<RepeatingTimer>(d_.mainQueue, kIdrInterval, kIdrInterval,
                                                 [&enc = d_.encoder] { enc.idrTick(); });
    d_.log.streamLog("listening udp/" + std::to_string(d_.sink.boundPort()) + "\n");

    d_.displays.onReconfigure([&cap = d_.capture] { cap.displayReconfigured(); });

    if (d_.taskQueue) d_.taskQueue->async([this] { firstCapture(); });
    else firstCaptureThread_ = std::thread([this] { firstCapture(); });

    statTimer_ = std::make_unique<RepeatingTimer>(d_.mainQueue, kStatInterval, kStatInterval, [this] { statTick(); });

    const uint16_t port = d_.sink.boundPort();
    std::string err;
    if (d_.advertiser.publish(kServiceType, port, &err)) {
        d_.log.streamLog(std::string("Bonjour 알림 시작 — ") + kServiceType + ":" + std::to_string(port) + "\n");
    } else {
        // Without a discovery daemon the phone can still connect by address.
        d_.log.streamLog("⚠︎ Bonjour 알림 실패 — " + (err.empty() ? std::string("알 수 없는 오류") : err) + "\n");
    }

    d_.log.streamLog("영상 봉인 켜짐 — 세션키 번호 " + std::to_string(d_.key.keyID()) + ", 조각 " +
                     std::to_string(kChunkSize) + "+" + std::to_string(kTagSize) + "B\n");
}

void StreamMain::firstCapture() {
    for (int n = 1; !stopping_.load(); ++n) {
        std::string why;
        try {
            d_.capture.start(true);
            d_.log.streamLog("캡처 시작됨 (시도 " + std::to_string(n) + "회)\n");
            firstCaptureDone_.store(true);
            return;
        } catch (const std::exception& e) {
            why = e.what();
        } catch (...) {
            why = "알 수 없는 오류";
        }
        if (n == 1 || n % 10 == 0) d_.log.streamLog("캡처 대기중(시도 " + std::to_string(n) + "): " + why + "\n");
        if (n == 1) d_.log.streamLog("→ 시스템 설정 > 개인정보 보호 및 보안 > 화면 및 시스템 오디오 기록 에서 videod 허용\n");
        if (stopping_.load()) return;
        d_.clock.sleep(kCaptureRetryWait);
    }
}

std::string StreamMain::statusSummary(const std::map<int, int64_t>& capStatus) {
    static const char* const kNames[] = {"complete", "idle", "blank", "suspended", "started", "stopped"};
    std::string out;
    for (const auto& [status, count] : capStatus) {
        if (!out.empty()) out += ' ';
        if (status >= 0 && status < 6) out += kNames[status];
        else out += "상태" + std::to_string(status);
        out += ' ';
        out += std::to_string(count);
    }
    return out;
}

std::array<std::string, 3> StreamMain::formatStatLines(const StatNumbers& n) {
    const double interval = n.interval > 0 ? n.interval : 0.001;
    const int level = std::clamp(n.levelNow, 0, static_cast<int>(Encoder::LEVELS.size()) - 1);
    std::array<std::string, 3> lines;
    lines[0] = format(
        "구간 %.2fs  캡처간격 %.1fms  콜백체류 %.1fms  인코딩 %.1fms  송신 %.1fms(조각 %.0f개)  ·  콜백 %.1f/초 중 픽셀 "
        "%.1f/초\n",
        interval, average(n.capGapMS, n.capGapCount), average(n.capHandlerMS, n.capCB), average(n.encMS, n.encCount),
        average(n.sendMS, n.sendCount), average(static_cast<double>(n.fragSum), n.sendCount),
        static_cast<double>(n.capCB) / interval, static_cast<double>(n.capPix) / interval);
    lines[1] = format(
        "  상태[%s] 버림: 율 %d(단계 %d·상한 %dfps) 전송중 %d · VT 투입 %d 완료 %d (투입오류 %d/%d 콜백오류 %d/%d) "
        "데이터없음 %d\n",
        statusSummary(n.capStatus).c_str(), asInt(n.dropRate), n.levelNow, Encoder::LEVELS[level].first,
        asInt(n.skipped), asInt(n.encSubmit), asInt(n.encDone), asInt(n.encCallErrN), n.encCallErrLast,
        asInt(n.encCbErrN), n.encCbErrLast, asInt(n.emitNoData));
    lines[2] = format("%.1f fps  %.1f Mbps  건너뜀 %d  클라이언트=%s\n", static_cast<double>(n.frames) / interval,
                      static_cast<double>(n.bytes) * 8.0 / interval / 1'000'000.0, asInt(n.skipped),
                      n.hasClients ? "있음" : "없음");
    return lines;
}

void StreamMain::statTick() {
    VideoStats& s = d_.stats;
    StatNumbers n;

    // The first tick creates the reference point, so it reports the minimum interval.
    const double now = d_.clock.referenceNow();
    if (!lastStatAt_) lastStatAt_ = now;
    n.interval = std::max(now - *lastStatAt_, 0.001);
    lastStatAt_ = now;

    const int64_t frames = d_.encoder.frameCount();
    const int64_t bytes = d_.encoder.byteCount();
    n.frames = frames - lastFrames_;
    n.bytes = bytes - lastBytes_;
    lastFrames_ = frames;
    lastBytes_ = bytes;
    n.skipped = s.skippedFrames.exchange(0);

    n.hasClients = !d_.sink.targets().empty();
    if (n.hasClients) {
        const double silent = d_.clock.now() - d_.capture.lastSampleAt();
        if (silent > kWatchdogSilence) {
            d_.log.streamLog("⚠︎ 캡처 무응답 " + std::to_string(static_cast<int64_t>(silent)) + "초 — 재시작한다\n");
            // Reset first, so a silent capture is restarted at most once per 5 seconds.
            d_.capture.setLastSampleAt(d_.clock.now());
            d_.capture.restartAsync();
        }
    }

    // Each counter is read and reset in one step, so a count landing mid-tick goes to the next line.
    n.capGapMS = s.capGapMS.exchange(0);
    n.capGapCount = s.capGapCount.exchange(0);
    n.capHandlerMS = s.capHandlerMS.exchange(0);
    n.capCB = s.capCB.exchange(0);
    n.capPix = s.capPix.exchange(0);
    n.encMS = s.encMS.exchange(0);
    n.encCount = s.encCount.exchange(0);
    n.sendMS = s.sendMS.exchange(0);
    n.sendCount = s.sendCount.exchange(0);
    n.fragSum = s.fragSum.exchange(0);
    {
        std::lock_guard<std::mutex> g(s.capStatusLock);
        n.capStatus.swap(s.capStatus);
    }
    n.dropRate = s.dropRate.exchange(0);
    n.levelNow = s.levelNow.load();
    n.encSubmit = s.encSubmit.exchange(0);
    n.encDone = s.encDone.exchange(0);
    n.encCallErrN = s.encCallErrN.exchange(0);
    n.encCallErrLast = s.encCallErrLast.load();
    n.encCbErrN = s.encCbErrN.exchange(0);
    n.encCbErrLast = s.encCbErrLast.load();
    n.emitNoData = s.emitNoData.exchange(0);

    for (const auto& line : formatStatLines(n)) d_.log.streamLog(line);
}

}  // namespace vm::video
