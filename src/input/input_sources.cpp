#include "input/input_sources.h"

#include <vector>

namespace vm {

namespace {

constexpr uint16_t kVkControl = 59;
constexpr int kHidControl = 224;
constexpr double kControlRepairWait = 0.150;
constexpr int kControlRepairAttempts = 3;
// A change notice this soon after our own selection is that selection arriving.
constexpr double kOwnSwitchWindow = 1.0;

}  // namespace

InputSourceSwitcher::InputSourceSwitcher(const Clock& clock, Logger& log, platform::InputSources& sources,
                                         platform::Events& events, MainQueue& mainQueue,
                                         std::function<void(const std::string& line)> sendToReadyPeers,
                                         std::function<bool()> phoneHoldsControl)
    : clock_(clock),
      log_(log),
      sources_(sources),
      events_(events),
      mainQueue_(mainQueue),
      sendToReadyPeers_(std::move(sendToReadyPeers)),
      phoneHoldsControl_(std::move(phoneHoldsControl)) {}

void InputSourceSwitcher::switchInputSource() {
    // Input sources belong to the main thread.
    if (!mainQueue_.isCurrent()) {
        mainQueue_.async([this] { switchInputSource(); });
        return;
    }

    std::vector<platform::InputSourceInfo> list;
    for (auto& s : sources_.enabled()) {
        if (s.keyboard && s.selectCapable) list.push_back(std::move(s));
    }
    if (list.size() < 2) {
        log_.logLine("입력 소스가 1개뿐 — 전환할 대상이 없다\n");
        return;
    }

    std::string cur = sources_.current().value_or("");
    size_t nextIndex = 0;  // the first one also when the current source is not in the list
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].id == cur) {
            nextIndex = (i + 1) % list.size();
            break;
        }
    }
    const std::string& next = list[nextIndex].id;
    ownSwitchUntil_ = clock_.now() + kOwnSwitchWindow;
    int status = sources_.select(next);
    log_.logLine("입력 소스 " + cur + " → " + next + " (status " + std::to_string(status) + ")\n");

    // Give the system a moment to settle on the new source before telling the phones.
    // The change notice may have told them already; a refused selection still gets its answer.
    mainQueue_.asyncAfter(0.05, [this, status] {
        std::string tag = inputSourceTag();
        if (tag != lastInputSourceTag_ || status != 0) announce(tag);
    });
}

void InputSourceSwitcher::announce(const std::string& tag) {
    lastInputSourceTag_ = tag;
    if (sendToReadyPeers_) sendToReadyPeers_("IS " + tag + "\n");
}

std::string InputSourceSwitcher::inputSourceTag() {
    if (!mainQueue_.isCurrent()) {
        std::lock_guard<std::mutex> lk(inputSourceLock_);
        return inputSourceCached_;
    }
    auto id = sources_.current();
    if (!id) return "en";
    // The phone knows two keyboards: Korean, and everything else as English.
    std::string tag = sources_.language(*id) == "ko" ? "ko" : "en";
    std::lock_guard<std::mutex> lk(inputSourceLock_);
    inputSourceCached_ = tag;
    return tag;
}

void InputSourceSwitcher::startInputSourceWatch() {
    // The first tag is only remembered; phones ask with "IS?" when they want it.
    mainQueue_.async([this] { lastInputSourceTag_ = inputSourceTag(); });
    sources_.watch([this] {
        mainQueue_.async([this] {
            std::string tag = inputSourceTag();
            if (tag == lastInputSourceTag_) return;
            if (clock_.now() < ownSwitchUntil_) {
                ownSwitchUntil_ = 0;  // ours, and now announced
            } else {
                log_.logLine("입력 소스 바뀜 → " + tag + " — 폰에 IS\n");
            }
            announce(tag);
        });
    });
}

void InputSourceSwitcher::switchSpace(int delta) {
    bool right = delta > 0;
    spaceQueue_.async([this, right] {
        pressSpaceKey(right);
        log_.logLine(right ? "공간 오른쪽\n" : "공간 왼쪽\n");
    });
}

void InputSourceSwitcher::pressSpaceKey(bool right) {
    namespace ev = platform::ev;
    events_.switchWorkspace(right);  // one that cannot be made is skipped; the repair below still looks

    // The system sometimes keeps Control down after the shortcut; let it go again,
    // unless the phone is the one holding it.
    clock_.sleep(kControlRepairWait);
    for (int n = 1; events_.sessionModifierFlags() & ev::kFlagControl; ++n) {
        if (phoneHoldsControl_ && phoneHoldsControl_()) break;
        platform::KeyEvent e;
        e.type = ev::kFlagsChanged;
        e.vk = kVkControl;
        e.hid = kHidControl;
        e.down = false;
        e.flags = 0;
        e.hidSystemSource = true;
        events_.postKey(e);
        log_.logLine("공간 이동 뒤 ⌃ 가 눌린 채 남았다 — 다시 뗀다 (" + std::to_string(n) + "번째)\n");
        if (n >= kControlRepairAttempts) break;
        clock_.sleep(kControlRepairWait);
    }
}

}  // namespace vm
