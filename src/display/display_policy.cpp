#include "display/display_policy.h"

#include "base/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>

namespace vm {

using platform::DisplayID;

namespace {

// Whole units of a double, clamped into uint32 (NaN and negatives give 0).
uint32_t wholeU32(double v) {
    if (!(v >= 1.0)) return 0;
    if (v >= 4294967295.0) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(v);
}

int32_t clampI32(uint64_t v) {
    return v > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                          : static_cast<int32_t>(v);
}

std::string sizeText(uint32_t w, uint32_t h) { return std::to_string(w) + "×" + std::to_string(h); }

template <class It>
std::string bracketList(It first, It last) {
    std::string s = "[";
    for (It it = first; it != last; ++it) {
        if (it != first) s += ", ";
        s += std::to_string(*it);
    }
    return s + "]";
}

// The state file we write is a few identifiers long; anything beyond this is not ours.
constexpr size_t kStateFileReadLimit = 4096;

}  // namespace

std::vector<uint32_t> parsePhysicalOffIds(const std::string& text) {
    std::vector<uint32_t> ids;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (i < text.size()) {
        while (i < text.size() && blank(text[i])) ++i;
        size_t start = i;
        while (i < text.size() && !blank(text[i])) ++i;
        if (start == i) continue;
        const std::string_view piece(text.data() + start, i - start);
        if (piece.size() > 10) continue;  // more digits than any 32-bit number
        uint64_t v = 0;
        bool ok = true;
        for (char c : piece) {
            if (c < '0' || c > '9') {
                ok = false;
                break;
            }
            v = v * 10 + static_cast<uint64_t>(c - '0');
        }
        // 0 names no display.
        if (!ok || v == 0 || v > std::numeric_limits<uint32_t>::max()) continue;
        ids.push_back(static_cast<uint32_t>(v));
    }
    return ids;
}

DisplayPolicy::DisplayPolicy(DisplayPolicyDeps deps) : d_(std::move(deps)) {
    if (!d_.physicalOffPath.empty()) {
        std::error_code ec;
        auto parent = std::filesystem::path(d_.physicalOffPath).parent_path();
        if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    }
}

// ---- Small helpers -------------------------------------------------------

bool DisplayPolicy::vdispAlive() const {
    return hooksSet() && d_.hooks.vdispHooks->alive && d_.hooks.vdispHooks->alive();
}

void DisplayPolicy::vdispCreate() const {
    if (hooksSet() && d_.hooks.vdispHooks->create) d_.hooks.vdispHooks->create();
}

void DisplayPolicy::vdispDestroy() const {
    if (hooksSet() && d_.hooks.vdispHooks->destroy) d_.hooks.vdispHooks->destroy();
}

bool DisplayPolicy::isVirtual(uint32_t id) { return d_.displays.isAgentVirtual(id); }

void DisplayPolicy::gatherLater(double delay) {
    if (!d_.gatherWindows) return;
    // The gatherer, not the policy, goes into the queue: it outlives nothing it needs.
    auto gather = d_.gatherWindows;
    auto task = [gather] { gather(std::nullopt, true); };
    if (d_.globalQueue) d_.globalQueue->asyncAfter(delay, std::move(task));
    else task();
}

std::vector<uint32_t> DisplayPolicy::physicalOff() {
    std::lock_guard<std::mutex> lk(physicalLock_);
    return physicalOff_;
}

// ---- Which displays there are ----------------------------------------------

std::vector<uint32_t> DisplayPolicy::activeDisplays() { return d_.displays.activeDisplays(); }

std::optional<DisplayPair> DisplayPolicy::twoDisplays() {
    const auto active = activeDisplays();
    if (active.size() < 2) return std::nullopt;
    std::optional<uint32_t> virt, phys;
    for (uint32_t id : active) {
        if (isVirtual(id)) {
            if (!virt) virt = id;
        } else if (!phys) {
            phys = id;
        }
    }
    if (!virt || !phys) return std::nullopt;
    return DisplayPair{*virt, *phys};
}

bool DisplayPolicy::mainIsVirtual() {
    const uint32_t main = d_.displays.mainDisplay();
    if (auto pair = twoDisplays()) return main == pair->virt;
    return main != 0 && isVirtual(main);
}

// ---- Creating and releasing the virtual display ----------------------------

void DisplayPolicy::ensureVDisp() {
    // A locked screen or another user's session: the phone has been told, and the
    // monitor stays as it is until the screen is ours again.
    if (!d_.phone.phoneWantsScreen.load() || !hooksSet() || screenBlocked() || vdispAlive()) return;
    vm::onMain(d_.mainQueue, [this] { createVDisp(); });
}

void DisplayPolicy::createVDisp() {
    std::unique_lock<TryLock> lk(d_.vdispLock, std::try_to_lock);
    if (!lk.owns_lock()) return;  // another display procedure runs; the next trigger retries
    // The screen may have been locked while this waited in the queue.
    if (vdispAlive() || screenBlocked()) return;
    size_t count = 0;
    for (uint32_t id : activeDisplays())
        if (!isVirtual(id)) ++count;
    hadPhysicalAtCreate_.store(count > 0);
    std::string line = "폰이 돌아왔다 — 가상 화면을 다시 세운다";
    if (count > 0) line += " (물리 화면 " + std::to_string(count) + "대를 맡아 둔다)";
    log(line);
    vdispCreate();
    setMain(true, true);
    physicalDisplaysOff();
    gatherLater(1.0);
}

void DisplayPolicy::phoneTraffic() {
    if (screenBlocked()) return;
    ensureVDisp();
    if (d_.phone.phoneWantsScreen.load() && !mainIsVirtual()) setMain(true, true);
    if (d_.phone.phoneWantsScreen.load() && vdispAlive()) physicalDisplaysOff();
}

void DisplayPolicy::sweepVDispGrace() {
    double until = vdispGraceUntil_.load();
    if (!(until > 0) || !(d_.clock.now() > until)) return;
    // HELLO may clear the grace at the same moment; only one of us acts on it.
    if (!vdispGraceUntil_.compare_exchange_strong(until, 0.0)) return;
    if (d_.phone.phoneWantsScreen.load() || !vdispAlive()) return;
    log("새 연결이 조작 화면으로 안 들어왔다 — 가상 화면을 놓는다");
    vm::onMain(d_.mainQueue, [this] {
        std::unique_lock<TryLock> lk(d_.vdispLock, std::try_to_lock);
        if (!lk.owns_lock()) return;
        if (vdispAlive() && !d_.phone.phoneWantsScreen.load()) {
            physicalDisplaysOn();
            vdispDestroy();
        }
    });
}

void DisplayPolicy::quietPhone(double silence) {
    if (silence > kMainBackAfter && mainIsVirtual()) {
        physicalDisplaysOn();
        setMain(false, false);
    }
    const bool had = hadPhysicalAtCreate_.load();
    const double limit = had ? kQuietLimitWithMonitor : kQuietLimitAlone;
    if (!(silence > limit) || !vdispAlive()) return;
    vm::onMain(d_.mainQueue, [this, limit, had] {
        std::unique_lock<TryLock> lk(d_.vdispLock, std::try_to_lock);
        if (!lk.owns_lock()) return;
        // The phone may have spoken while this waited in the queue.
        const double quiet = d_.clock.now() - d_.phone.phoneLastSeen.load();
        if (!(quiet > limit) || !vdispAlive()) return;
        physicalDisplaysOn();
        vdispDestroy();
        std::string line = "폰이 " + std::to_string(static_cast<int>(limit)) + "초 넘게 조용하다 — 가상 화면을 없앴다";
        if (had) line += " (모니터가 있어 짧게 기다렸다)";
        log(line);
    });
}

// ---- The main display --------------------------------------------------------

void DisplayPolicy::setMain(bool toVirtual, bool gather) {
    auto pair = twoDisplays();
    if (!pair) return;
    const bool virtMain = d_.displays.mainDisplay() == pair->virt;
    if (virtMain == toVirtual) return;
    auto cfg = d_.displays.beginConfiguration();
    if (!cfg) return;
    const uint32_t target = toVirtual ? pair->virt : pair->phys;
    const uint32_t other = toVirtual ? pair->phys : pair->virt;
    uint64_t width = 0;
    if (auto mode = d_.displays.currentMode(target)) width = mode->pixelWidth;
    // A display that does not say its pixels still has a width in points.
    if (width == 0) width = wholeU32(d_.displays.bounds(target).width);
    cfg->setOrigin(target, 0, 0);
    cfg->setOrigin(other, clampI32(width), 0);
    const int status = cfg->complete(true);
    if (status != 0) {
        log("주 화면 전환 실패");
        return;
    }
    log(std::string("주 화면 → ") + (toVirtual ? "가상" : "물리"));
    if (gather) {
        // Windows keep arriving while the system moves things around; sweep three times.
        gatherLater(1.0);
        gatherLater(4.0);
        gatherLater(10.0);
    }
}

// ---- Physical displays off and on -------------------------------------------

bool DisplayPolicy::physicalDisplaysOff() {
    std::lock_guard<std::mutex> lk(physicalLock_);
    if (!physicalOff_.empty()) return true;
    const auto active = activeDisplays();
    std::vector<uint32_t> physical;
    bool haveVirtual = false;
    for (uint32_t id : active) {
        if (isVirtual(id)) haveVirtual = true;
        else physical.push_back(id);
    }
    // Never leave the user without a screen.
    if (!haveVirtual) return false;
    if (physical.empty()) return true;
    const double now = d_.clock.now();
    const double since = now - physicalOffTriedAt_;
    // A clock set back does not hold the next attempt back for as long as it jumped.
    if (since >= 0 && since < kOffRetryAfter) return false;
    physicalOffTriedAt_ = now;
    auto cfg = d_.displays.beginConfiguration();
    if (!cfg) return false;
    int err = 0;
    for (uint32_t id : physical) {
        int e = cfg->setEnabled(id, false);
        if (e != 0) err = e;
    }
    if (err == 0) {
        // Only for this session: a log-out brings the displays back whatever happens to us.
        err = cfg->complete(false);
        if (err == 0) {
            physicalOff_ = physical;
            writeStateFile(physicalOff_);
            log("물리 화면을 껐다 — " + bracketList(physical.begin(), physical.end()) +
                " · 창은 macOS 가 가상 화면으로 옮긴다");
            return true;
        }
    }
    cfg->cancel();
    log("⚠︎ 물리 화면 끄기 실패 (" + std::to_string(err) + ") — 창 모으기로 대신한다");
    return false;
}

void DisplayPolicy::physicalDisplaysOn() {
    std::lock_guard<std::mutex> lk(physicalLock_);
    std::set<uint32_t> wanted(physicalOff_.begin(), physicalOff_.end());
    for (uint32_t id : readStateFile()) wanted.insert(id);
    if (wanted.empty()) return;
    auto cfg = d_.displays.beginConfiguration();
    if (!cfg) return;  // state and file stay, so the next call tries again
    // Identifiers that no longer exist just fail inside the transaction.
    for (uint32_t id : wanted) cfg->setEnabled(id, true);
    const int status = cfg->complete(false);
    if (status == 0) {
        physicalOff_.clear();
        if (!d_.physicalOffPath.empty()) ::unlink(d_.physicalOffPath.c_str());
        // The window server brings them back a moment later; callers go on once one is there.
        for (int i = 0; i < 20; ++i) {
            const auto active = activeDisplays();
            if (std::any_of(active.begin(), active.end(), [&](uint32_t id) { return wanted.count(id) > 0; })) break;
            d_.clock.sleep(0.1);
        }
    }
    // A failed completion switched nothing on: the list and the file stay for the next call,
    // or the displays would stay dark with nobody remembering them.
    std::string line = "물리 화면을 켰다 — " + bracketList(wanted.begin(), wanted.end());
    if (status != 0) line += " ⚠︎ 설정 완료 실패";
    log(line);
}

std::vector<uint32_t> DisplayPolicy::readStateFile() const {
    if (d_.physicalOffPath.empty()) return {};
    int fd = ::open(d_.physicalOffPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return {};
    std::string text(kStateFileReadLimit, '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return parsePhysicalOffIds(text);
}

void DisplayPolicy::writeStateFile(const std::vector<uint32_t>& ids) const {
    if (d_.physicalOffPath.empty()) return;
    std::string text;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) text += ' ';
        text += std::to_string(ids[i]);
    }
    // A crash leaves the old list or the new one, never half of one.
    writeFileAtomically(d_.physicalOffPath, text, 0644);
}

// ---- Size and resolution -----------------------------------------------------

std::pair<uint32_t, uint32_t> DisplayPolicy::currentDisplaySize() {
    const uint32_t main = d_.displays.mainDisplay();
    if (main == 0) return {0, 0};
    const auto b = d_.displays.bounds(main);
    const uint32_t w = wholeU32(b.width), h = wholeU32(b.height);
    if (w > 0 && h > 0) return {w, h};
    if (auto mode = d_.displays.currentMode(main)) return {mode->width, mode->height};
    return {0, 0};
}

std::pair<uint32_t, uint32_t> DisplayPolicy::setDisplayMode(uint32_t width, uint32_t height) {
    const uint32_t main = d_.displays.mainDisplay();
    if (main != 0 && isVirtual(main)) {
        log("해상도 변경 무시 — 가상 디스플레이는 HiDPI 고정이다");
        return currentDisplaySize();
    }
    // Without the 1x twins of HiDPI modes: a point size should pick the sharp one.
    const auto modes = main != 0 ? d_.displays.modes(main, false) : std::nullopt;
    if (!modes) return currentDisplaySize();
    const auto current = d_.displays.currentMode(main);
    if (current && current->width == width && current->height == height) {
        log("해상도 이미 " + sizeText(width, height));
        return currentDisplaySize();
    }
    std::vector<platform::DisplayMode> candidates;
    for (const auto& m : *modes)
        if (m.width == width && m.height == height) candidates.push_back(m);
    std::vector<platform::DisplayMode> hiDPI;
    for (const auto& m : candidates)
        if (m.pixelWidth > m.width) hiDPI.push_back(m);
    if (!hiDPI.empty()) candidates = std::move(hiDPI);
    if (candidates.empty()) {
        log("해상도 " + sizeText(width, height) + " 모드 없음");
        return currentDisplaySize();
    }
    const platform::DisplayMode* best = &candidates.front();
    for (const auto& m : candidates)
        if (m.refresh > best->refresh) best = &m;  // strictly higher: the earlier one wins ties
    auto cfg = d_.displays.beginConfiguration();
    if (!cfg) return currentDisplaySize();
    cfg->setMode(main, *best);
    const int status = cfg->complete(true);
    std::string line = "해상도 " + (current ? sizeText(current->width, current->height) : sizeText(0, 0)) + " → " +
                       sizeText(width, height) + " (실픽셀 " + sizeText(best->pixelWidth, best->pixelHeight) +
                       (best->pixelWidth > best->width ? ", HiDPI" : "") + ") @" +
                       std::to_string(wholeU32(best->refresh)) + "Hz (status " + std::to_string(status) + ")";
    log(line);
    return currentDisplaySize();
}

}  // namespace vm
