// The in-memory desktop's display services: lists, modes, bounds, configuration
// transactions, virtual displays and reconfiguration callbacks.
#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/headless/headless_capture.h"
#include "platform/headless/headless_desktop.h"
#include "platform/headless/headless_workspace.h"
#include "platform/headless/headless_lifetime.h"

namespace vm::platform::headless {

// Pixels per millimetre of a display the scene gives no size for (96 dpi).
static constexpr double kPixelsPerMM = 3.78;

// The 1x twin of a HiDPI mode: same points, one pixel per point.
static DisplayMode lowResTwin(const DisplayMode& m) {
    DisplayMode t = m;
    t.pixelWidth = m.width;
    t.pixelHeight = m.height;
    return t;
}

static bool isHiDPI(const DisplayMode& m) { return m.pixelWidth > m.width; }

// The modes a display offers; with twins, each HiDPI mode is followed by its 1x twin.
static std::vector<DisplayMode> modeList(const HeadlessDisplay& d, bool twins) {
    std::vector<DisplayMode> primary = d.modes.empty() ? std::vector<DisplayMode>{d.mode()} : d.modes;
    std::vector<DisplayMode> out;
    for (const auto& m : primary) {
        out.push_back(m);
        if (!twins || !isHiDPI(m)) continue;
        DisplayMode t = lowResTwin(m);
        if (std::find(primary.begin(), primary.end(), t) == primary.end() &&
            std::find(out.begin(), out.end(), t) == out.end())
            out.push_back(t);
    }
    return out;
}

static bool sameMode(const DisplayMode& a, const DisplayMode& b) {
    return a.width == b.width && a.height == b.height && a.pixelWidth == b.pixelWidth &&
           a.pixelHeight == b.pixelHeight && std::fabs(a.refresh - b.refresh) < 1e-6;
}

static void setCurrent(HeadlessDisplay& d, const DisplayMode& m) {
    d.width = m.width;
    d.height = m.height;
    d.scale = m.width ? static_cast<double>(m.pixelWidth) / m.width : 1.0;
    d.refresh = m.refresh;
}

// --- transactions and virtual displays handed out ---

class HeadlessConfig final : public DisplayConfig {
public:
    explicit HeadlessConfig(std::shared_ptr<LifeToken> life) : life_(std::move(life)) {}
    void setMode(DisplayID id, const DisplayMode& mode) override {
        HeadlessDesktop::ConfigOp op;
        op.kind = HeadlessDesktop::ConfigOp::mode;
        op.id = id;
        op.newMode = mode;
        ops_.push_back(op);
    }
    void stopMirroring(DisplayID id) override {
        HeadlessDesktop::ConfigOp op;
        op.kind = HeadlessDesktop::ConfigOp::stopMirroring;
        op.id = id;
        ops_.push_back(op);
    }
    void setOrigin(DisplayID id, int32_t x, int32_t y) override {
        HeadlessDesktop::ConfigOp op;
        op.kind = HeadlessDesktop::ConfigOp::origin;
        op.id = id;
        op.x = x;
        op.y = y;
        ops_.push_back(op);
    }
    int setEnabled(DisplayID id, bool enabled) override {
        int status = HeadlessDesktop::kIllegalArgument;
        life_->with([&](HeadlessDesktop& d) { status = d.configSetEnabled(id); });
        if (status != 0) return status;
        HeadlessDesktop::ConfigOp op;
        op.kind = HeadlessDesktop::ConfigOp::enabled;
        op.id = id;
        op.on = enabled;
        ops_.push_back(op);
        return 0;
    }
    int complete(bool permanent) override {
        if (done_) return HeadlessDesktop::kIllegalArgument;
        done_ = true;
        int status = HeadlessDesktop::kIllegalArgument;
        life_->with([&](HeadlessDesktop& d) { status = d.applyConfig(ops_, permanent); });
        ops_.clear();
        return status;
    }
    void cancel() override {
        done_ = true;
        ops_.clear();
    }

private:
    std::shared_ptr<LifeToken> life_;
    std::vector<HeadlessDesktop::ConfigOp> ops_;
    bool done_ = false;
};

class HeadlessVirtualDisplay final : public VirtualDisplay {
public:
    HeadlessVirtualDisplay(std::shared_ptr<LifeToken> life, DisplayID id) : life_(std::move(life)), id_(id) {}
    ~HeadlessVirtualDisplay() override {
        life_->with([&](HeadlessDesktop& d) { d.removeVirtual(id_); });
    }
    bool applySettings(const VirtualDisplaySettings& settings) override {
        bool ok = false;
        life_->with([&](HeadlessDesktop& d) { ok = d.applyVirtualSettings(id_, settings); });
        return ok;
    }
    DisplayID displayID() const override { return id_; }

private:
    std::shared_ptr<LifeToken> life_;
    DisplayID id_;
};

// --- layout ---

HeadlessDisplay* HeadlessDesktop::findLocked(DisplayID id) {
    for (auto& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

const HeadlessDisplay* HeadlessDesktop::findLocked(DisplayID id) const {
    for (const auto& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

DisplayID HeadlessDesktop::mainLocked() const {
    for (const auto& d : displays_)
        if (activeLocked(d) && d.x == 0 && d.y == 0) return d.id;
    for (const auto& d : displays_)
        if (activeLocked(d)) return d.id;
    return 0;
}

int32_t HeadlessDesktop::rightEdgeLocked() const {
    int64_t edge = 0;
    for (const auto& d : displays_)
        if (activeLocked(d)) edge = std::max<int64_t>(edge, int64_t{d.x} + d.width);
    return static_cast<int32_t>(std::min<int64_t>(edge, std::numeric_limits<int32_t>::max()));
}

void HeadlessDesktop::settleLayoutLocked() {
    // Global coordinates are the main display's: whatever the transaction left,
    // the main display's top-left is the origin.
    if (HeadlessDisplay* main = findLocked(mainLocked())) {
        int64_t dx = main->x, dy = main->y;
        if (dx || dy)
            for (auto& d : displays_) {
                d.x = static_cast<int32_t>(std::clamp<int64_t>(d.x - dx, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
                d.y = static_cast<int32_t>(std::clamp<int64_t>(d.y - dy, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
            }
    }
    // A pointer left on a display that went away jumps to the nearest place on one that is there.
    bool onScreen = false;
    double bestDist = std::numeric_limits<double>::infinity();
    Point best = pointer_;
    for (const auto& d : displays_) {
        if (!activeLocked(d) || d.width == 0 || d.height == 0) continue;
        double minX = d.x, minY = d.y, maxX = d.x + double(d.width) - 1, maxY = d.y + double(d.height) - 1;
        if (pointer_.x >= minX && pointer_.x < minX + d.width && pointer_.y >= minY && pointer_.y < minY + d.height) {
            onScreen = true;
            break;
        }
        Point p{std::clamp(pointer_.x, minX, maxX), std::clamp(pointer_.y, minY, maxY)};
        double dist = std::hypot(p.x - pointer_.x, p.y - pointer_.y);
        if (dist < bestDist) {
            bestDist = dist;
            best = p;
        }
    }
    if (!onScreen && std::isfinite(bestDist)) pointer_ = best;
    // Windows stay with their display, and those of a display that went away land on the main one.
    std::map<DisplayID, Rect> frames;
    for (const auto& d : displays_)
        if (activeLocked(d)) frames[d.id] = Rect{double(d.x), double(d.y), double(d.width), double(d.height)};
    std::vector<DisplayMove> moves;
    auto mainFrame = frames.find(mainLocked());
    for (const auto& [id, before] : lastFrames_) {
        auto now = frames.find(id);
        if (now != frames.end()) {
            if (now->second.x != before.x || now->second.y != before.y) moves.push_back({before, now->second, false});
        } else if (mainFrame != frames.end()) {
            moves.push_back({before, mainFrame->second, true});
        }
    }
    lastFrames_ = std::move(frames);
    if (workspace_) workspace_->followDisplays(moves);
}

void HeadlessDesktop::notifyReconfigure() {
    std::vector<std::function<void()>> copy;
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++reconfigureCount_;
        copy = reconfigureCallbacks_;
    }
    capture_->displaysChanged();
    for (auto& cb : copy) cb();
}

// --- lists and facts ---

uint32_t HeadlessDesktop::onlineCount() {
    std::lock_guard<std::mutex> lk(mu_);
    uint32_t n = 0;
    for (const auto& d : displays_)
        if (activeLocked(d)) ++n;
    return n;
}

std::vector<DisplayID> HeadlessDesktop::activeDisplays(uint32_t max) {
    std::lock_guard<std::mutex> lk(mu_);
    // The main display comes first, as the window server lists them.
    std::vector<DisplayID> out;
    DisplayID main = mainLocked();
    if (main && max > 0) out.push_back(main);
    for (const auto& d : displays_)
        if (out.size() < max && activeLocked(d) && d.id != main) out.push_back(d.id);
    return out;
}

std::vector<DisplayID> HeadlessDesktop::onlineDisplays(uint32_t max) {
    // Mirroring is never set up here, so the online displays are the active ones.
    return activeDisplays(max);
}

DisplayID HeadlessDesktop::mainDisplay() {
    std::lock_guard<std::mutex> lk(mu_);
    return mainLocked();
}

bool HeadlessDesktop::isOnline(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    return d && activeLocked(*d);
}

uint32_t HeadlessDesktop::vendorNumber(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    return d ? d->vendor : 0;
}

// This desktop recognises the agent's virtual display by the vendor number the agent gave it.
bool HeadlessDesktop::isAgentVirtual(DisplayID id) { return vendorNumber(id) == kVirtualVendor; }

uint32_t HeadlessDesktop::productNumber(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    return d ? d->product : 0;
}

uint32_t HeadlessDesktop::serialNumber(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    return d ? d->serial : 0;
}

Rect HeadlessDesktop::bounds(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    if (!d || !d->settingsApplied) return Rect{};
    return Rect{double(d->x), double(d->y), double(d->width), double(d->height)};
}

std::optional<DisplayMode> HeadlessDesktop::currentMode(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    if (!d || !d->settingsApplied || d->width == 0) return std::nullopt;
    return d->mode();
}

std::optional<std::vector<DisplayMode>> HeadlessDesktop::modes(DisplayID id, bool includeLowResDuplicates) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    if (!d) return std::nullopt;
    if (!d->settingsApplied) return std::vector<DisplayMode>{};
    return modeList(*d, includeLowResDuplicates);
}

Size HeadlessDesktop::physicalSizeMM(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    if (!d) return Size{};
    if (d->mm) return *d->mm;
    return Size{d->pixelWidth() / kPixelsPerMM, d->pixelHeight() / kPixelsPerMM};
}

std::vector<ScreenInfo> HeadlessDesktop::screens() {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<ScreenInfo> out;
    DisplayID main = mainLocked();
    auto add = [&](const HeadlessDisplay& d) {
        out.push_back(ScreenInfo{d.id, d.width ? double(d.pixelWidth()) / d.width : 1.0});
    };
    if (const HeadlessDisplay* m = findLocked(main)) add(*m);
    for (const auto& d : displays_)
        if (activeLocked(d) && d.id != main) add(d);
    return out;
}

std::optional<DisplaySnapshot> HeadlessDesktop::snapshot(DisplayID id) const {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessDisplay* d = findLocked(id);
    if (!d || !activeLocked(*d) || d->width == 0 || d->height == 0) return std::nullopt;
    DisplaySnapshot s;
    s.id = d->id;
    s.vendor = d->vendor;
    s.width = d->width;
    s.height = d->height;
    s.pixelWidth = d->pixelWidth();
    s.pixelHeight = d->pixelHeight();
    double px = pointer_.x - d->x, py = pointer_.y - d->y;
    if (px >= 0 && py >= 0 && px < d->width && py < d->height) s.pointer = Point{px, py};
    return s;
}

// --- configuration ---

std::unique_ptr<DisplayConfig> HeadlessDesktop::beginConfiguration() {
    std::lock_guard<std::mutex> lk(mu_);
    if (beginFails_) return nullptr;
    return std::make_unique<HeadlessConfig>(life_);
}

int HeadlessDesktop::configSetEnabled(DisplayID id) {
    std::lock_guard<std::mutex> lk(mu_);
    if (enableFailure_ != 0) return enableFailure_;
    return findLocked(id) ? 0 : kIllegalArgument;
}

int HeadlessDesktop::applyConfig(const std::vector<ConfigOp>& ops, bool permanent) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        std::vector<HeadlessDisplay> next = displays_;
        auto find = [&](DisplayID id) -> HeadlessDisplay* {
            for (auto& d : next)
                if (d.id == id) return &d;
            return nullptr;
        };
        for (const auto& op : ops) {
            // A display that went away in the meantime is passed over, as the window server does.
            HeadlessDisplay* d = find(op.id);
            if (!d) continue;
            switch (op.kind) {
                case ConfigOp::mode: {
                    auto all = modeList(*d, true);
                    auto it = std::find_if(all.begin(), all.end(),
                                           [&](const DisplayMode& m) { return sameMode(m, op.newMode); });
                    if (it == all.end() || !d->settingsApplied) return kIllegalArgument;
                    setCurrent(*d, *it);
                    break;
                }
                case ConfigOp::stopMirroring:
                    break;  // nothing here is ever mirrored
                case ConfigOp::origin:
                    d->x = op.x;
                    d->y = op.y;
                    break;
                case ConfigOp::enabled:
                    d->online = op.on;
                    break;
            }
        }
        auto activeCount = [](const std::vector<HeadlessDisplay>& list) {
            return std::count_if(list.begin(), list.end(), [](const HeadlessDisplay& d) { return activeLocked(d); });
        };
        // Switching off every display would leave a desktop nobody can reach.
        if (activeCount(displays_) > 0 && activeCount(next) == 0) return kIllegalArgument;
        for (size_t i = 0; i < next.size(); ++i) {
            const auto &a = displays_[i], &b = next[i];
            if (a.x != b.x || a.y != b.y || a.online != b.online || !(a.mode() == b.mode())) changed = true;
        }
        displays_ = std::move(next);
        settleLayoutLocked();
        lastPermanent_ = permanent;
        ++completed_;
    }
    if (changed) notifyReconfigure();
    return 0;
}

void HeadlessDesktop::onReconfigure(std::function<void()> callback) {
    if (!callback) return;
    std::lock_guard<std::mutex> lk(mu_);
    reconfigureCallbacks_.push_back(std::move(callback));
}

// --- virtual displays ---

std::unique_ptr<VirtualDisplay> HeadlessDesktop::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
    std::lock_guard<std::mutex> lk(mu_);
    if (virtualCreationFails_ || descriptor.maxPixelsWide == 0 || descriptor.maxPixelsHigh == 0) return nullptr;
    HeadlessDisplay d;
    d.id = nextDisplayID_++;
    d.width = d.height = 0;
    d.vendor = descriptor.vendorID;
    d.product = descriptor.productID;
    d.serial = descriptor.serialNum;
    d.name = descriptor.name;
    d.isVirtual = true;
    d.settingsApplied = false;  // appears once it has a mode
    d.maxPixelsWide = descriptor.maxPixelsWide;
    d.maxPixelsHigh = descriptor.maxPixelsHigh;
    if (descriptor.widthMM > 0 && descriptor.heightMM > 0) d.mm = Size{descriptor.widthMM, descriptor.heightMM};
    if (virtualAtOneX_ > 0) {
        d.stuckAtOneX = true;
        --virtualAtOneX_;
    }
    displays_.push_back(d);
    if (descriptor.terminationHandler) terminationHandlers_[d.id] = descriptor.terminationHandler;
    return std::make_unique<HeadlessVirtualDisplay>(life_, d.id);
}

bool HeadlessDesktop::applyVirtualSettings(DisplayID id, const VirtualDisplaySettings& settings) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        HeadlessDisplay* d = findLocked(id);
        if (!d || !d->isVirtual || settings.modes.empty()) return false;
        std::vector<DisplayMode> modes;
        uint32_t factor = settings.hiDPI ? 2 : 1;
        for (const auto& wanted : settings.modes) {
            if (wanted.width == 0 || wanted.height == 0 || wanted.width > 32768 || wanted.height > 32768) return false;
            if (uint64_t{wanted.width} * factor > d->maxPixelsWide || uint64_t{wanted.height} * factor > d->maxPixelsHigh)
                return false;
            DisplayMode m{wanted.width, wanted.height, wanted.width * factor, wanted.height * factor,
                          wanted.refreshRate > 0 ? wanted.refreshRate : 60.0, 0};
            if (std::find(modes.begin(), modes.end(), m) == modes.end()) modes.push_back(m);
        }
        d->modes = modes;
        setCurrent(*d, d->stuckAtOneX && settings.hiDPI ? lowResTwin(modes.front()) : modes.front());
        if (!d->settingsApplied) {
            // A new display appears to the right of the others.
            d->x = rightEdgeLocked();
            d->y = 0;
            d->settingsApplied = true;
        }
        settleLayoutLocked();
    }
    notifyReconfigure();
    return true;
}

void HeadlessDesktop::removeVirtual(DisplayID id) {
    bool wasActive = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = std::find_if(displays_.begin(), displays_.end(),
                               [&](const HeadlessDisplay& d) { return d.id == id && d.isVirtual; });
        if (it == displays_.end()) return;
        wasActive = activeLocked(*it);
        displays_.erase(it);
        terminationHandlers_.erase(id);
        settleLayoutLocked();
    }
    if (wasActive) notifyReconfigure();
}

bool HeadlessDesktop::terminateVirtualDisplay(DisplayID id) {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lk(mu_);
        const HeadlessDisplay* d = findLocked(id);
        if (!d || !d->isVirtual) return false;
        auto it = terminationHandlers_.find(id);
        if (it != terminationHandlers_.end()) handler = it->second;
    }
    removeVirtual(id);
    if (handler) handler();
    return true;
}

DisplayID HeadlessDesktop::addDisplay(HeadlessDisplay display) {
    DisplayID id;
    {
        std::lock_guard<std::mutex> lk(mu_);
        display.id = id = nextDisplayID_++;
        display.isVirtual = false;
        display.settingsApplied = true;
        if (display.width == 0 || display.height == 0) return 0;
        if (display.name.empty()) display.name = "Display " + std::to_string(id);
        display.x = rightEdgeLocked();
        display.y = 0;
        displays_.push_back(display);
        settleLayoutLocked();
    }
    notifyReconfigure();
    return id;
}

bool HeadlessDesktop::removeDisplay(DisplayID id) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = std::find_if(displays_.begin(), displays_.end(), [&](const HeadlessDisplay& d) { return d.id == id; });
        if (it == displays_.end()) return false;
        displays_.erase(it);
        terminationHandlers_.erase(id);
        settleLayoutLocked();
    }
    notifyReconfigure();
    return true;
}

std::optional<std::string> HeadlessDesktop::inspectInChild(DisplayID id,
                                                           const std::function<std::string(DisplayID)>& inProcess) {
    // This desktop's view of modes never lags, so no child process is needed.
    if (!inProcess) return std::nullopt;
    std::string text = inProcess(id);
    const char* ws = " \t\r\n";
    size_t a = text.find_first_not_of(ws);
    if (a == std::string::npos) return std::nullopt;
    size_t b = text.find_last_not_of(ws);
    return text.substr(a, b - a + 1);
}

// --- knobs ---

void HeadlessDesktop::setEnableFailure(int code) {
    std::lock_guard<std::mutex> lk(mu_);
    enableFailure_ = code;
}

void HeadlessDesktop::setBeginConfigurationFails(bool fails) {
    std::lock_guard<std::mutex> lk(mu_);
    beginFails_ = fails;
}

std::optional<bool> HeadlessDesktop::lastCompletionPermanent() const {
    std::lock_guard<std::mutex> lk(mu_);
    return lastPermanent_;
}

int HeadlessDesktop::completedTransactions() const {
    std::lock_guard<std::mutex> lk(mu_);
    return completed_;
}

void HeadlessDesktop::setVirtualDisplayCreationFails(bool fails) {
    std::lock_guard<std::mutex> lk(mu_);
    virtualCreationFails_ = fails;
}

void HeadlessDesktop::setNextVirtualDisplaysAtOneX(int count) {
    std::lock_guard<std::mutex> lk(mu_);
    virtualAtOneX_ = std::max(count, 0);
}

int HeadlessDesktop::reconfigureCount() const {
    std::lock_guard<std::mutex> lk(mu_);
    return reconfigureCount_;
}

}  // namespace vm::platform::headless
