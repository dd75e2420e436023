// The in-memory desktop's input side: posted events, the pointer, the screens,
// the pasteboard, input sources and workspaces.
#include <algorithm>
#include <cctype>

#include "platform/chords.h"
#include "platform/headless/headless_desktop.h"

namespace vm::platform::headless {

// --- screens and coordinates ---

std::vector<Rect> HeadlessDesktop::framesLocked() const {
    // Global display points, the main display first.
    std::vector<Rect> frames;
    auto add = [&](const HeadlessDisplay& d) {
        frames.push_back(Rect{double(d.x), double(d.y), double(d.width), double(d.height)});
    };
    DisplayID main = mainLocked();
    if (const HeadlessDisplay* m = findLocked(main)) add(*m);
    for (const auto& d : displays_)
        if (activeLocked(d) && d.id != main) add(d);
    return frames;
}

std::vector<Rect> HeadlessDesktop::screenFrames() {
    std::lock_guard<std::mutex> lk(mu_);
    return framesLocked();
}

Point HeadlessDesktop::mouseLocation() {
    std::lock_guard<std::mutex> lk(mu_);
    return pointer_;
}

Point HeadlessDesktop::pointer() const {
    std::lock_guard<std::mutex> lk(mu_);
    return pointer_;
}

void HeadlessDesktop::setPointer(Point global) {
    std::lock_guard<std::mutex> lk(mu_);
    pointer_ = global;
}

// --- posting ---

void HeadlessDesktop::recordLocked(RecordedEvent r) {
    if (trace_) trace_->append(toJsonLine(r));
    record_.push_back(std::move(r));
    while (record_.size() > kRecordLimit) record_.pop_front();
}

static bool isMouseType(int t) {
    switch (t) {
        case ev::kLeftMouseDown: case ev::kLeftMouseUp: case ev::kRightMouseDown: case ev::kRightMouseUp:
        case ev::kMouseMoved: case ev::kLeftMouseDragged: case ev::kRightMouseDragged:
        case ev::kOtherMouseDown: case ev::kOtherMouseUp:
            return true;
        default:
            return false;
    }
}

bool HeadlessDesktop::postMouse(const MouseEvent& e) {
    std::lock_guard<std::mutex> lk(mu_);
    // A real window server cannot make a mouse event of another type.
    if (eventCreationFails_ || !isMouseType(e.type)) return false;
    RecordedEvent r;
    r.kind = "mouse";
    r.type = e.type;
    r.x = e.point.x;
    r.y = e.point.y;
    r.button = e.button;
    r.clickState = e.clickState;
    recordLocked(std::move(r));
    pointer_ = e.point;
    return true;
}

bool HeadlessDesktop::postKey(const KeyEvent& e) {
    std::lock_guard<std::mutex> lk(mu_);
    if (eventCreationFails_) return false;
    if (e.type != ev::kKeyDown && e.type != ev::kKeyUp && e.type != ev::kFlagsChanged) return false;
    RecordedEvent r;
    r.kind = "key";
    r.type = e.type;
    r.vk = e.vk;
    r.flags = e.flags;
    r.text = utf8FromUtf16(e.text);
    r.hidSystemSource = e.hidSystemSource;
    recordLocked(std::move(r));
    if (e.type == ev::kFlagsChanged) {
        uint64_t next = e.flags & kModifierMask;
        if (stuckReleases_ > 0 && (stuckFlags_ & postedFlags_ & ~next)) {
            next |= stuckFlags_ & postedFlags_;
            if (--stuckReleases_ == 0) stuckFlags_ = 0;
        }
        postedFlags_ = next;
    }
    // Control+Arrow is the desktop's own shortcut for the neighbouring workspace.
    if (e.type == ev::kKeyDown && (e.flags & ev::kFlagControl)) {
        if (e.vk == chords::kVkRightArrow) space_ = std::min(space_ + 1, spaces_ - 1);
        if (e.vk == chords::kVkLeftArrow) space_ = std::max(space_ - 1, 0);
    }
    return true;
}

bool HeadlessDesktop::postScroll(const ScrollEvent& e) {
    std::lock_guard<std::mutex> lk(mu_);
    if (eventCreationFails_) return false;
    RecordedEvent r;
    r.kind = "scroll";
    r.type = ev::kScrollWheel;
    // A scroll lands wherever the pointer is.
    r.x = pointer_.x;
    r.y = pointer_.y;
    r.wheel1 = e.wheel1;
    r.wheel2 = e.wheel2;
    recordLocked(std::move(r));
    return true;
}

// --- the desktop's own actions, performed as this desktop's shortcuts ---

bool HeadlessDesktop::typeText(const std::u16string& text) { return chords::typeText(*this, text); }
bool HeadlessDesktop::paste() { return chords::paste(*this); }
bool HeadlessDesktop::switchWorkspace(bool right) { return chords::switchWorkspace(*this, right); }
bool HeadlessDesktop::appSwitcher(SwitcherStep step, uint64_t flags) { return chords::appSwitcher(*this, step, flags); }

uint64_t HeadlessDesktop::sessionModifierFlags() {
    std::lock_guard<std::mutex> lk(mu_);
    return postedFlags_ | userFlags_;
}

void HeadlessDesktop::setSessionFlags(uint64_t flags) {
    std::lock_guard<std::mutex> lk(mu_);
    userFlags_ = flags & kModifierMask;
}

void HeadlessDesktop::stickFlags(uint64_t flags, int releases) {
    std::lock_guard<std::mutex> lk(mu_);
    stuckFlags_ = releases > 0 ? flags & kModifierMask : 0;
    stuckReleases_ = std::max(releases, 0);
}

void HeadlessDesktop::setEventCreationFails(bool fails) {
    std::lock_guard<std::mutex> lk(mu_);
    eventCreationFails_ = fails;
}

std::vector<RecordedEvent> HeadlessDesktop::recorded() const {
    std::lock_guard<std::mutex> lk(mu_);
    return std::vector<RecordedEvent>(record_.begin(), record_.end());
}

void HeadlessDesktop::clearRecord() {
    std::lock_guard<std::mutex> lk(mu_);
    record_.clear();
}

// --- spaces ---

int HeadlessDesktop::space() const {
    std::lock_guard<std::mutex> lk(mu_);
    return space_;
}

int HeadlessDesktop::spaceCount() const {
    std::lock_guard<std::mutex> lk(mu_);
    return spaces_;
}

void HeadlessDesktop::setSpace(int index) {
    std::lock_guard<std::mutex> lk(mu_);
    space_ = std::clamp(index, 0, spaces_ - 1);
}

// --- pasteboard ---

std::optional<std::string> HeadlessDesktop::string(const std::string& type) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = pasteboard_.find(type);
    if (it == pasteboard_.end()) return std::nullopt;
    return it->second;
}

void HeadlessDesktop::clear() {
    std::lock_guard<std::mutex> lk(mu_);
    pasteboard_.clear();
    ++changeCount_;
}

void HeadlessDesktop::setString(const std::string& type, const std::string& value) {
    std::lock_guard<std::mutex> lk(mu_);
    pasteboard_[type] = value;
    ++changeCount_;
}

int64_t HeadlessDesktop::changeCount() {
    std::lock_guard<std::mutex> lk(mu_);
    return changeCount_;
}

void HeadlessDesktop::setPasteboardAsOtherApp(const std::string& type, const std::string& value) {
    std::lock_guard<std::mutex> lk(mu_);
    pasteboard_.clear();
    ++changeCount_;
    pasteboard_[type] = value;
    ++changeCount_;
}

// --- input sources ---

std::vector<InputSourceInfo> HeadlessDesktop::enabled() {
    std::lock_guard<std::mutex> lk(mu_);
    return sources_;
}

std::optional<std::string> HeadlessDesktop::current() {
    std::lock_guard<std::mutex> lk(mu_);
    if (currentSource_.empty()) return std::nullopt;
    return currentSource_;
}

int HeadlessDesktop::selectLocked(const std::string& id, bool& changed) {
    changed = false;
    auto it = std::find_if(sources_.begin(), sources_.end(), [&](const InputSourceInfo& s) { return s.id == id; });
    if (it == sources_.end() || !it->selectCapable) return kUnknownSourceStatus;
    // Only keyboard sources become the current keyboard input source.
    if (!it->keyboard) return kUnknownSourceStatus;
    changed = currentSource_ != id;
    currentSource_ = id;
    return 0;
}

int HeadlessDesktop::select(const std::string& id) {
    bool changed = false;
    int status;
    {
        std::lock_guard<std::mutex> lk(mu_);
        status = selectLocked(id, changed);
    }
    if (changed) notifyWatchers();
    return status;
}

int HeadlessDesktop::selectByUser(const std::string& id) { return select(id); }

void HeadlessDesktop::watch(std::function<void()> onChange) {
    if (!onChange) return;
    std::lock_guard<std::mutex> lk(mu_);
    watchers_.push_back(std::move(onChange));
}

std::string HeadlessDesktop::language(const std::string& id) {
    std::string lower = id;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("korean") != std::string::npos || lower.find("hangul") != std::string::npos) return "ko";
    return "en";
}

void HeadlessDesktop::notifyWatchers() {
    // Called without the lock so a watcher may read the desktop (or select again).
    std::vector<std::function<void()>> copy;
    {
        std::lock_guard<std::mutex> lk(mu_);
        copy = watchers_;
    }
    for (auto& w : copy) w();
}

}  // namespace vm::platform::headless
