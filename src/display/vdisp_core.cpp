#include "display/vdisp_core.h"

#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace vm {

namespace {

std::string vformat(const char* fmt, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string strf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// The number after "scale=" in the first word that starts with it; nullopt when absent or unreadable.
std::optional<double> scaleIn(const std::string& answer) {
    size_t at = 0;
    while (at <= answer.size()) {
        size_t end = answer.find(' ', at);
        if (end == std::string::npos) end = answer.size();
        std::string_view word(answer.data() + at, end - at);
        if (word.substr(0, 6) == "scale=") {
            std::string_view num = word.substr(6);
            double v = 0;
            auto [p, ec] = std::from_chars(num.data(), num.data() + num.size(), v);
            if (ec != std::errc{} || p != num.data() + num.size() || !std::isfinite(v)) return std::nullopt;
            return v;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string scaleText(double value) {
    if (value <= 0) return "판정 불가";
    return strf("%.1fx", value);
}

}  // namespace

VDispCore::VDispCore(const Clock& clock, Logger& log, platform::Displays& displays, MainQueue* mainQueue,
                     std::function<void(double)> spin, std::string serialFilePath, std::string lockFilePath)
    : clock_(clock),
      log_(log),
      displays_(displays),
      mainQueue_(mainQueue),
      spin_(std::move(spin)),
      serialPath_(std::move(serialFilePath)),
      lockPath_(std::move(lockFilePath)) {
    auto rng = std::make_shared<std::mt19937>(std::random_device{}());
    random_ = [rng] { return static_cast<uint32_t>((*rng)()); };
}

VDispCore::~VDispCore() {
    // The timer's body reaches into this object: stop it before anything else goes.
    gEnforceTimer.reset();
    gTarget = nullptr;
    alive_ = false;
    gVDisp.reset();
    if (gLockFd >= 0) ::close(gLockFd);
}

void VDispCore::logf(const char* fmt, ...) const {
    va_list ap;
    va_start(ap, fmt);
    std::string text = vformat(fmt, ap);
    va_end(ap);
    log_.vdispLog(text);
}

std::optional<platform::DisplayID> VDispCore::displayID() const {
    if (!gVDisp) return std::nullopt;
    return gVDisp->displayID();
}

void VDispCore::spinRunLoop(double seconds) {
    if (spin_) spin_(seconds);
    else clock_.sleep(seconds);
}

std::optional<platform::VirtualDisplaySettings> VDispCore::makeSettings(uint32_t w, uint32_t h) const {
    if (!displays_.virtualDisplaySupported()) return std::nullopt;
    platform::VirtualDisplaySettings s;
    s.hiDPI = true;
    s.modes.push_back({w, h, kRefreshHz});
    return s;
}

// ---- creation lock and serial file ----

void VDispCore::takeCreationLock() {
    if (gLockFd == -1) gLockFd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (gLockFd < 0) {
        // Without the file there is nothing to wait on; go on as the blocking failure would.
        logf("⚠︎ 잠금 대기 실패 — 그냥 진행한다");
        return;
    }
    // Once held, the lock stays ours: taking it again on the same descriptor succeeds at once.
    if (::flock(gLockFd, LOCK_EX | LOCK_NB) == 0) return;
    logf("다른 vdisp 인스턴스가 이미 돌고 있다 — 그게 끝날 때까지 대기");
    int rc;
    do {
        rc = ::flock(gLockFd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) logf("⚠︎ 잠금 대기 실패 — 그냥 진행한다");
}

uint32_t VDispCore::readSerial() const {
    std::ifstream in(serialPath_, std::ios::binary);
    if (!in) return 0;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = trimmed(ss.str());
    // A sign would make strtoull wrap a negative number into a huge one.
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (end == text.c_str()) return 0;
    return static_cast<uint32_t>(v & 0xFFFFFFFFull);
}

std::string VDispCore::writeSerial(uint32_t serial) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target(serialPath_);
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
        if (ec) return ec.message();
    }
    char text[16];
    int n = std::snprintf(text, sizeof text, "0x%X\n", serial);
    // A reader never sees half a number.
    return writeFileAtomically(serialPath_, std::string_view(text, static_cast<size_t>(n)), 0644);
}

// ---- creation ----

int32_t VDispCore::vdispCreate() {
    if (gVDisp) {
        logf("가상 화면이 이미 있다 — 그대로 쓴다");
        return 0;
    }
    // A call from a nested run-loop spin of a creation in progress would build a
    // second display and tangle the attempts; the outer one decides.
    if (creating_) return 1;
    creating_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{creating_};

    takeCreationLock();

    uint32_t remembered = readSerial();
    if (remembered != 0) logf("지난번에 성공한 serial=0x%X 를 먼저 써 본다", remembered);
    else remembered = kDefaultSerial;

    std::unique_ptr<platform::VirtualDisplay> made;
    uint32_t W = kPointsWide, H = kPointsHigh;
    platform::DisplayID id = 0;
    double scale = -1;
    double widthMM = 0, heightMM = 0;

    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int n = attempt + 1;
        const uint32_t serial = attempt == 0 ? remembered : (random_() | 1u);

        // The size may change during the waits of an earlier attempt; each attempt takes it afresh.
        W = kPointsWide;
        H = kPointsHigh;
        auto settings = makeSettings(W, H);
        if (!settings) {
            logf("⚠︎ CGVirtualDisplay 계열 클래스를 못 찾음 — 이 macOS 에서는 못 쓴다");
            logf("시도 %d/%d: 생성 실패", n, kAttempts);
            continue;
        }
        gMaxPoints = std::max<uint32_t>(1024, std::max(W, H));

        platform::VirtualDisplayDescriptor d;
        d.name = kDisplayName;
        d.maxPixelsWide = gMaxPoints * 2;
        d.maxPixelsHigh = gMaxPoints * 2;
        d.widthMM = static_cast<double>(W * 2) / kPixelsPerMM;
        d.heightMM = static_cast<double>(H * 2) / kPixelsPerMM;
        d.serialNum = serial;
        d.productID = kProductID;
        d.vendorID = kVendorID;
        // The window server may end the display after this object is gone; the
        // handler holds only the logger, which lives for the process.
        Logger* log = &log_;
        d.terminationHandler = [log] { log->vdispLog("가상 디스플레이 종료됨"); };

        std::unique_ptr<platform::VirtualDisplay> display = displays_.createVirtualDisplay(d);
        if (!display) {
            logf("⚠︎ 생성 실패");
            logf("시도 %d/%d: 생성 실패", n, kAttempts);
            continue;
        }
        if (!display->applySettings(*settings)) {
            logf("⚠︎ 설정 적용 실패");
            display.reset();
            logf("시도 %d/%d: 생성 실패", n, kAttempts);
            continue;
        }
        const platform::DisplayID thisID = display->displayID();

        if (!display->scalesBacking()) {
            // This desktop shows the display pixel for pixel: nothing to probe, nothing to enforce.
            logf("시도 %d/%d: id=%u — 이 데스크톱은 배율을 두지 않는다 (1.0x, %ux%u px)", n, kAttempts, thisID, W * 2,
                 H * 2);
            made = std::move(display);
            id = thisID;
            scale = 1.0;
            widthMM = d.widthMM;
            heightMM = d.heightMM;
            break;
        }

        gTarget = display.get();
        armEnforcing();
        spinRunLoop(0.7);

        // Scale probe: a fresh look (a child process where the platform needs one)
        // tells the true backing scale; the agent's own view of modes can lag.
        const double deadline = clock_.monotonic() + 5.0;
        int asks = 0;
        std::optional<std::string> lastAnswer;
        std::optional<double> windowStart;
        double low = -1;
        double value = -1;
        for (;;) {
            std::optional<std::string> answer = askChild(thisID);
            ++asks;
            if (answer) {
                lastAnswer = answer;
                if (auto v = scaleIn(*answer)) {
                    if (*v >= 2.0) {
                        value = *v;
                        break;
                    }
                    if (*v > 0) {
                        low = *v;
                        if (!windowStart) windowStart = clock_.monotonic();
                        else if (clock_.monotonic() - *windowStart >= 2.0) {
                            value = *v;
                            break;
                        }
                    }
                }
            }
            if (clock_.monotonic() >= deadline) {
                value = low;
                break;
            }
            spinRunLoop(0.15);
        }

        logf("시도 %d/%d: id=%u serial=0x%X 배율=%s", n, kAttempts, thisID, serial, scaleText(value).c_str());
        logf("    진단: %s (조회 %d회)", lastAnswer ? lastAnswer->c_str() : "자식이 아무것도 안 돌려줬다", asks);

        if (value >= 2.0) {
            if (serial != remembered) {
                std::string err = writeSerial(serial);
                if (!err.empty()) logf("⚠︎ serial 저장 실패: %s", err.c_str());
            }
        } else if (value <= 0) {
            logf("⚠︎ %.0f초 동안 배율을 못 읽었다 — 실패로 치지 않고 이 화면을 그대로 쓴다", 5.0);
        } else if (attempt == kAttempts - 1) {
            logf("⚠︎ 재시도를 다 썼는데도 2.0x 가 아니다 — 이 화면으로 그냥 진행한다 (루프는 계속 지킨다)");
        } else {
            logf("배율이 2.0x 가 아님이 확인됐다 — 버리고 새 serial 로 다시 만든다");
            gTarget = nullptr;
            display.reset();
            spinRunLoop(1.0);
            continue;
        }
        made = std::move(display);
        id = thisID;
        scale = value;
        widthMM = d.widthMM;
        heightMM = d.heightMM;
        break;
    }

    if (!made) {
        stopEnforcing();
        logf("⚠︎ 가상 디스플레이를 끝내 못 만들었다 — 종료");
        return 1;
    }

    auto current = displays_.currentMode(id);
    logf("주사율 요청 %.0fHz → 실제 %.0fHz", kRefreshHz, current ? current->refresh : -1.0);
    logf("가상 디스플레이 준비됨 — id=%u  %ux%u pt (%ux%u px)  %.0f×%.0fmm  상한 %u pt  배율 %s  재지정 %d회", id,
         W, H, W * 2, H * 2, widthMM, heightMM, gMaxPoints,
         scaleText(scale).c_str(), gReselects);
    logModes(id);
    makeMain(id);
    spinRunLoop(0.5);
    platform::DisplayID mainID = displays_.mainDisplay();
    logf("주 화면 확인: CGMainDisplayID=%u (우리 것=%s)", mainID, mainID == id ? "예" : "아니오");

    gVDisp = std::move(made);
    gTarget = gVDisp.get();
    alive_ = true;
    return 0;
}

void VDispCore::logModes(platform::DisplayID id) {
    auto modes = displays_.modes(id, true);
    if (!modes) {
        logf("모드: (목록 NULL)");
        return;
    }
    std::string line = "모드: ";
    char buf[64];
    for (const auto& m : *modes) {
        std::snprintf(buf, sizeof buf, "%zux%zu", static_cast<size_t>(m.width), static_cast<size_t>(m.height));
        line += buf;
        if (m.pixelWidth != m.width) line += "@2x";
        line += ' ';
    }
    log_.vdispLog(line);
}

void VDispCore::makeMain(platform::DisplayID id) {
    std::vector<platform::DisplayID> active = displays_.activeDisplays(16);
    if (active.empty()) {
        logf("⚠︎ 디스플레이 목록을 못 읽음 — 주 화면 설정 건너뜀");
        return;
    }
    std::unique_ptr<platform::DisplayConfig> config = displays_.beginConfiguration();
    if (!config) {
        logf("⚠︎ 디스플레이 설정 시작 실패");
        return;
    }
    // The display at (0, 0) is the main one; the others go far to the right so the
    // pointer and new windows stay on the virtual display.
    constexpr int32_t kFirstX = 4000, kStep = 3000;
    int32_t x = kFirstX;
    uint32_t others = 0;
    for (platform::DisplayID other : active) {
        if (other == id) continue;
        config->stopMirroring(other);
    }
    config->setOrigin(id, 0, 0);
    for (platform::DisplayID other : active) {
        if (other == id) continue;
        config->setOrigin(other, x, 0);
        x += kStep;
        ++others;
    }
    int status = config->complete(true);
    logf("주 화면 → id=%u, 물리 %u대는 x=%d 밖으로 (status %d)", id, others, kFirstX, status);
}

// ---- resizing ----

int32_t VDispCore::vdispSetSize(uint32_t width, uint32_t height) {
    if (std::min(width, height) < 360 || std::max(width, height) > 4096) {
        logf("⚠︎ 말이 안 되는 크기 %ux%u — 무시", width, height);
        return 0;
    }
    const uint32_t w = width / 2, h = height / 2;
    const uint32_t oldW = kPointsWide, oldH = kPointsHigh;
    if (w == oldW && h == oldH) return 0;
    logf("크기 요청 %ux%u → %ux%u pt (%ux%u px)", oldW, oldH, w, h, w * 2, h * 2);
    kPointsWide = w;
    kPointsHigh = h;
    if (!gVDisp) return 2;
    if (w > gMaxPoints || h > gMaxPoints) {
        logf("상한 %u pt 를 넘는다 — 다시 만들어야 한다", gMaxPoints);
        return 2;
    }
    auto settings = makeSettings(w, h);
    if (settings && gVDisp->applySettings(*settings)) {
        if (gVDisp->scalesBacking()) armEnforcing();
        logf("모드 교체 %ux%u pt @2x — 같은 화면(id=%u), 재생성 없음", w, h, gVDisp->displayID());
        return 1;
    }
    logf("⚠︎ 모드 교체 실패 — 다시 만들어야 한다");
    return 2;
}

// ---- keeping the HiDPI mode ----

void VDispCore::armEnforcing() {
    if (!gEnforceTimer && mainQueue_)
        gEnforceTimer = std::make_unique<RepeatingTimer>(*mainQueue_, 0.2, 0.2, [this] { enforceTick(); });
    gSettled = false;
    gConsecutive = 0;
    gFastUntil = clock_.monotonic() + 5.0;
}

void VDispCore::stopEnforcing() {
    if (gEnforceTimer) {
        gEnforceTimer->cancel();
        gEnforceTimer.reset();
    }
    gTarget = nullptr;
}

void VDispCore::enforceTick() {
    if (!gTarget) return;
    ++gTick;
    const bool fast = gFastUntil && *gFastUntil > clock_.monotonic();
    if (!fast && gTick % 10 != 0) return;

    const bool wasSettled = gSettled;
    const uint32_t W = kPointsWide, H = kPointsHigh;
    const platform::DisplayID id = gTarget->displayID();
    auto modes = displays_.modes(id, true);
    if (!modes) {
        if (!gModesNullLogged) {
            gModesNullLogged = true;
            logf("⚠︎ CGDisplayCopyAllDisplayModes 가 NULL — 강제 루프가 이 프로세스에서 모드를 못 본다");
        }
        return;
    }
    auto wanted = std::find_if(modes->begin(), modes->end(), [&](const platform::DisplayMode& m) {
        return m.width == W && m.height == H && m.pixelWidth == 2 * W;
    });
    if (wanted == modes->end()) {
        if (wasSettled) {
            logf("@2x 모드 %ux%u 가 목록에서 사라졌다 — 설정을 다시 건다", W, H);
            if (auto settings = makeSettings(W, H)) gTarget->applySettings(*settings);
        }
        return;
    }
    auto current = displays_.currentMode(id);
    if (current && current->width == W && current->height == H && current->pixelWidth == 2 * W) {
        gConsecutive = 0;
        gSettled = true;
        return;
    }
    if (gConsecutive >= 3) {
        char want[96];
        std::snprintf(want, sizeof want, "pt=%ux%u px=%ux%u", W, H, 2 * W, 2 * H);
        auto answer = askChild(id);
        if (answer && answer->find(want) != std::string::npos) {
            // Our reading of the current mode is stale; re-selecting would only flicker.
            if (gConsecutive == 3)
                logf("현재 모드 읽기가 낡았다 — 자식은 @2x 라고 한다 (%s). 다시 고르지 않는다", answer->c_str());
            ++gConsecutive;
            gSettled = true;
            return;
        }
        if (gConsecutive >= 10 && gConsecutive % 10 != 0) return;
    }
    std::unique_ptr<platform::DisplayConfig> config = displays_.beginConfiguration();
    if (!config) return;
    config->setMode(id, *wanted);
    int status = config->complete(true);
    ++gConsecutive;
    ++gReselects;
    logf("HiDPI 모드 다시 지정 → %ux%u @2x (status %d, 누적 %d회)", W, H, status, gReselects);
    if (status == 0) gSettled = true;
}

// ---- releasing ----

void VDispCore::vdispDestroy() {
    if (!gVDisp) return;
    logf("가상 화면을 놓는다 — 창이 물리 화면으로 옮겨간다 (수명 중 HiDPI 재지정 %d회)", gReselects);
    stopEnforcing();
    alive_ = false;
    gVDisp.reset();
    spinRunLoop(1.0);
}

// ---- diagnostics ----

std::optional<std::string> VDispCore::askChild(platform::DisplayID id) {
    auto out = displays_.inspectInChild(id, [this](platform::DisplayID d) { return inspectLine(d); });
    if (!out) return std::nullopt;
    std::string t = trimmed(*out);
    if (t.empty()) return std::nullopt;
    return t;
}

std::string VDispCore::inspectLineFor(platform::Displays& displays, platform::DisplayID id) {
    std::vector<platform::ScreenInfo> screens = displays.screens();
    bool matched = false;
    double ns = 0;
    std::string ids;
    for (const auto& s : screens) {
        if (!matched && s.number == id) {
            matched = true;
            ns = s.backingScale;
        }
        ids += strf("%s%u:%.1f", ids.empty() ? "" : ",", s.number, s.backingScale);
    }
    if (ids.empty()) ids = "-";

    std::optional<platform::DisplayMode> mode = displays.currentMode(id);
    double modeScale = 0;
    size_t ptW = 0, ptH = 0, pxW = 0, pxH = 0;
    uint32_t ioFlags = 0;
    if (mode) {
        ptW = mode->width;
        ptH = mode->height;
        pxW = mode->pixelWidth;
        pxH = mode->pixelHeight;
        ioFlags = mode->ioFlags;
        if (mode->width != 0 && mode->pixelWidth != 0)
            modeScale = static_cast<double>(mode->pixelWidth) / static_cast<double>(mode->width);
    }
    platform::Size mm = displays.physicalSizeMM(id);
    const double scale = matched ? ns : modeScale;

    return strf("scale=%.3f ns=%.3f mode=%.3f matched=%d screens=%lu ids=%s pt=%zux%zu px=%zux%zu "
                "ioflags=0x%X mm=%.0fx%.0f online=%d\n",
                scale, ns, modeScale, matched ? 1 : 0, static_cast<unsigned long>(screens.size()), ids.c_str(),
                ptW, ptH, pxW, pxH, ioFlags, mm.width, mm.height, displays.isOnline(id) ? 1 : 0);
}

int VDispCore::vdispInspect(platform::Displays& displays, platform::DisplayID id) {
    std::string line = inspectLineFor(displays, id);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace vm
