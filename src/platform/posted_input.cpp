#include "platform/posted_input.h"

namespace vm::platform {

int shortcutHid(int hid, bool commandIsSuper) {
    if (!commandIsSuper && hid == kHidSuperL) return kHidControlL;
    if (!commandIsSuper && hid == kHidSuperR) return kHidControlR;
    return hid;
}

HeldKeys::HeldKeys(std::function<void(int, bool)> post, std::function<int(int)> codeForHid)
    : post_(std::move(post)), codeForHid_(std::move(codeForHid)) {}

void HeldKeys::hold(int code, int holder) {
    auto& holders = held_[code];
    if (holders.empty()) post_(code, true);
    holders.insert(holder);
}

void HeldKeys::letGo(int code, int holder) {
    auto it = held_.find(code);
    if (it == held_.end() || !it->second.erase(holder)) return;
    if (!it->second.empty()) return;
    post_(code, false);
    held_.erase(it);
}

void HeldKeys::dropHolder(int holder) {
    std::vector<int> keys;
    for (const auto& [k, holders] : held_)
        if (holders.count(holder)) keys.push_back(k);
    for (int k : keys) letGo(k, holder);
}

std::vector<int> HeldKeys::heldOf(Mod m) const {
    int left = 0, right = 0;
    switch (m) {
        case Mod::shift: left = kHidShiftL, right = kHidShiftR; break;
        case Mod::control: left = kHidControlL, right = kHidControlR; break;
        case Mod::alt: left = kHidAltL, right = kHidAltR; break;
        case Mod::super: left = kHidSuperL, right = kHidSuperR; break;
    }
    std::vector<int> out;
    for (int hid : {left, right}) {
        const int k = codeForHid_(hid);
        if (k && held_.count(k)) out.push_back(k);
    }
    return out;
}

bool HeldKeys::holds(Mod m) const { return !heldOf(m).empty(); }

void HeldKeys::withModifiers(const std::set<Mod>& want, const std::function<void()>& action) {
    std::vector<int> released, pressed;
    const std::pair<Mod, int> leftKeys[] = {
        {Mod::shift, kHidShiftL}, {Mod::control, kHidControlL}, {Mod::alt, kHidAltL}, {Mod::super, kHidSuperL}};
    for (const auto& [m, hid] : leftKeys) {
        const std::vector<int> have = heldOf(m);
        if (!want.count(m)) {
            for (int k : have) {
                post_(k, false);
                released.push_back(k);
            }
        } else if (have.empty()) {
            if (const int k = codeForHid_(hid)) {
                post_(k, true);
                pressed.push_back(k);
            }
        }
    }
    action();
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) post_(*it, false);
    for (int k : released) post_(k, true);
}

bool HeldKeys::postKey(const KeyEvent& e, int code, bool commandIsSuper) {
    switch (e.type) {
        case ev::kFlagsChanged:
            if (e.down) hold(code, e.hid);
            else letGo(code, e.hid);
            return true;
        case ev::kKeyDown: {
            std::set<Mod> want;
            if (e.flags & ev::kFlagShift) want.insert(Mod::shift);
            if (e.flags & ev::kFlagControl) want.insert(Mod::control);
            if (e.flags & ev::kFlagOption) want.insert(Mod::alt);
            if (e.flags & ev::kFlagCommand) want.insert(commandIsSuper ? Mod::super : Mod::control);
            bool same = true;
            for (Mod m : {Mod::shift, Mod::control, Mod::alt, Mod::super})
                if ((want.count(m) > 0) != holds(m)) same = false;
            if (same) hold(code, e.hid);
            else withModifiers(want, [&] { hold(code, e.hid); });
            return true;
        }
        case ev::kKeyUp:
            letGo(code, e.hid);
            return true;
        default:
            return false;
    }
}

void HeldKeys::switcherStep(SwitcherStep step, uint64_t flags, int alt, int tab) {
    switch (step) {
        case SwitcherStep::hold:
            // The switcher is Alt+Tab here; a held Command stand-in would turn it into another chord.
            dropHolder(kHidSuperL);
            dropHolder(kHidSuperR);
            hold(alt, kSwitcherHolder);
            break;
        case SwitcherStep::tabDown: hold(tab, kHidTab); break;
        case SwitcherStep::tabUp: letGo(tab, kHidTab); break;
        case SwitcherStep::release:
            letGo(alt, kSwitcherHolder);
            // The key-up that ended the gesture was not posted as such; what the phone no
            // longer holds goes up here.
            if (!(flags & ev::kFlagOption)) {
                dropHolder(kHidAltL);
                dropHolder(kHidAltR);
            }
            if (!(flags & ev::kFlagCommand)) {
                dropHolder(kHidSuperL);
                dropHolder(kHidSuperR);
            }
            break;
    }
}

void HeldKeys::releaseAll() {
    for (const auto& [k, holders] : held_) post_(k, false);
    held_.clear();
}

Point ClickRun::place(const MouseEvent& e, bool down) {
    if (e.clickState >= 2 && haveFirstPress_) return firstPress_;
    if (down) {
        firstPress_ = e.point;
        haveFirstPress_ = e.clickState == 1;
    }
    return e.point;
}

}  // namespace vm::platform
