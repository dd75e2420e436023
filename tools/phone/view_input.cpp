#include "phone/view_input.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/base64.h"

namespace vm::phone {

namespace {

constexpr int kLeftCtrl = 224, kLeftAlt = 226, kLeftGui = 227;
constexpr int kRightCtrl = 228, kRightAlt = 230, kRightGui = 231;

bool isModifier(int usage) { return usage >= kLeftCtrl && usage <= kRightGui; }

// Up to two decimals, no trailing zeros: "12", "-3.5", "0.25".
std::string num(double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

std::optional<std::string> buttonName(uint8_t b) {
    switch (b) {
        case SDL_BUTTON_LEFT: return "L";
        case SDL_BUTTON_RIGHT: return "R";
        case SDL_BUTTON_MIDDLE: return "M";
        default: return std::nullopt;
    }
}

}  // namespace

void ViewInput::setRelative(bool on) {
    relative_ = on;
    if (!on) grabbed_ = false;
}

std::pair<double, double> ViewInput::toDesktop(int x, int y) const {
    const SDL_Rect& c = geo_.content;
    if (c.w <= 0 || c.h <= 0 || geo_.desktopW <= 0 || geo_.desktopH <= 0) return {0, 0};
    const double fx = std::clamp((x - c.x + 0.5) / c.w, 0.0, 1.0);
    const double fy = std::clamp((y - c.y + 0.5) / c.h, 0.0, 1.0);
    // Whole points: the pointer sits on the point the window pixel shows.
    return {std::min(std::floor(fx * geo_.desktopW), geo_.desktopW - 1),
            std::min(std::floor(fy * geo_.desktopH), geo_.desktopH - 1)};
}

bool ViewInput::modHeld(std::initializer_list<int> usages) const {
    for (int u : usages)
        if (mods_.count(u)) return true;
    return false;
}

void ViewInput::flushMove() {
    if (pendingAt_) {
        // A click where the pointer already is needs no move first.
        if (pendingAt_ != sentAt_) out_.push_back("A " + num(pendingAt_->first) + " " + num(pendingAt_->second));
        sentAt_ = pendingAt_;
        pendingAt_.reset();
    }
    if (pendingDx_ != 0 || pendingDy_ != 0) {
        out_.push_back("M " + num(pendingDx_) + " " + num(pendingDy_) + " " + std::to_string(moveSeq_++));
        pendingDx_ = pendingDy_ = 0;
    }
}

void ViewInput::flushText() {
    if (pendingText_.empty()) return;
    out_.push_back("T " + std::to_string(textSeq_++) + " " + base64Encode(pendingText_));
    pendingText_.clear();
}

void ViewInput::emit(const std::string& line) {
    flushMove();
    flushText();
    out_.push_back(line);
}

void ViewInput::moveTo(int x, int y) {
    flushText();
    pendingAt_ = toDesktop(x, y);
}

void ViewInput::moveBy(double dx, double dy) {
    const SDL_Rect& c = geo_.content;
    if (c.w <= 0 || c.h <= 0) return;
    flushText();
    // Whole points go out, the rest waits for the next motion, so slow motion still adds up.
    restDx_ += dx * geo_.desktopW / c.w;
    restDy_ += dy * geo_.desktopH / c.h;
    const double wx = std::trunc(restDx_), wy = std::trunc(restDy_);
    restDx_ -= wx;
    restDy_ -= wy;
    pendingDx_ += wx;
    pendingDy_ += wy;
}

// A key pressed without Control, Alt or the logo key may type text: it waits for
// the text event SDL sends right after it, and goes out as "K" only if none comes.
void ViewInput::resolveKey() {
    if (!pendingKey_) return;
    const int usage = *pendingKey_;
    pendingKey_.reset();
    for (auto& [m, st] : mods_) {
        if (!st.sent) {
            emit("K " + std::to_string(m) + " 1");
            st.sent = true;
        }
    }
    emit("K " + std::to_string(usage) + " 1");
    keysDown_.insert(usage);
}

void ViewInput::keyDown(int usage) {
    for (auto& [m, st] : mods_) st.alone = false;
    if (isModifier(usage)) {
        mods_[usage] = Mod{};
        return;
    }
    pendingKey_ = usage;
    // With Control, left Alt or the logo key held it is a shortcut, never text (right
    // Alt is AltGr, which types on many layouts).
    if (modHeld({kLeftCtrl, kRightCtrl, kLeftAlt, kLeftGui, kRightGui})) resolveKey();
}

void ViewInput::keyUp(int usage) {
    if (isModifier(usage)) {
        auto it = mods_.find(usage);
        if (it == mods_.end()) return;
        if (it->second.sent) {
            emit("K " + std::to_string(usage) + " 0");
        } else if (it->second.alone) {
            // A lone tap (the logo key opens the launcher): press and release it.
            emit("K " + std::to_string(usage) + " 1");
            emit("K " + std::to_string(usage) + " 0");
        }
        mods_.erase(it);
        return;
    }
    if (keysDown_.erase(usage)) {
        emit("K " + std::to_string(usage) + " 0");
    } else {
        typed_.erase(usage);
    }
}

void ViewInput::buttonDown(const std::string& name, double now) {
    // The agent lets go of any other button a press finds down, unless it is a hold.
    for (auto& [other, b] : buttons_) {
        if (other != name && !b.hold) {
            emit("H " + other + " 1");
            b.hold = true;
            b.renewedAt = now;
        }
    }
    if (buttons_.count(name)) buttonUp(name);
    emit("B " + name + " 1");
    buttons_[name] = Button{now, false, now};
}

void ViewInput::buttonUp(const std::string& name) {
    auto it = buttons_.find(name);
    if (it == buttons_.end()) return;
    emit((it->second.hold ? "H " : "B ") + name + " 0");
    buttons_.erase(it);
}

void ViewInput::renewHolds(double now) {
    for (auto& [name, b] : buttons_) {
        if ((!b.hold && now - b.pressedAt >= kHoldAfter) || (b.hold && now - b.renewedAt >= kRenewEvery)) {
            emit("H " + name + " 1");
            b.hold = true;
            b.renewedAt = now;
        }
    }
}

ViewAction ViewInput::handle(const SDL_Event& e, double now) {
    if (pendingKey_ && e.type != SDL_TEXTINPUT) resolveKey();
    switch (e.type) {
        case SDL_MOUSEMOTION:
            if (!relative_) {
                moveTo(e.motion.x, e.motion.y);
            } else if (grabbed_) {
                moveBy(e.motion.xrel, e.motion.yrel);
            }
            return ViewAction::None;
        case SDL_MOUSEBUTTONDOWN: {
            auto name = buttonName(e.button.button);
            if (!name) return ViewAction::None;
            if (relative_ && !grabbed_) {
                // The click that takes the pointer is the window's, not the desktop's.
                grabbed_ = true;
                return ViewAction::Grab;
            }
            if (!relative_) moveTo(e.button.x, e.button.y);
            buttonDown(*name, now);
            return ViewAction::None;
        }
        case SDL_MOUSEBUTTONUP: {
            auto name = buttonName(e.button.button);
            if (!name) return ViewAction::None;
            if (!relative_) moveTo(e.button.x, e.button.y);
            buttonUp(*name);
            return ViewAction::None;
        }
        case SDL_MOUSEWHEEL: {
            if (relative_ && !grabbed_) return ViewAction::None;
            double x = e.wheel.preciseX, y = e.wheel.preciseY;
            if (e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED) {
                x = -x;
                y = -y;
            }
            // The wheel's up is the scroll's positive vertical; its right is the negative horizontal.
            if (x != 0 || y != 0) emit("S " + num(-x * kWheelPixels) + " " + num(y * kWheelPixels));
            return ViewAction::None;
        }
        case SDL_KEYDOWN: {
            const int usage = e.key.keysym.scancode;
            if (usage == SDL_SCANCODE_F1 || usage == SDL_SCANCODE_F2) {
                if (e.key.repeat) return ViewAction::None;
                return usage == SDL_SCANCODE_F1 ? ViewAction::ToggleFigures : ViewAction::TogglePointerMode;
            }
            // Held keys repeat on the desktop's side, as the phone's do.
            if (e.key.repeat || usage < 4 || usage > 255) return ViewAction::None;
            keyDown(usage);
            if (grabbed_ && modHeld({kLeftCtrl, kRightCtrl}) && modHeld({kLeftAlt, kRightAlt})) {
                // The release chord: neither key is the desktop's.
                for (int m : {kLeftCtrl, kRightCtrl, kLeftAlt, kRightAlt})
                    if (mods_.count(m) && !mods_[m].sent) mods_.erase(m);
                grabbed_ = false;
                return ViewAction::ReleaseGrab;
            }
            return ViewAction::None;
        }
        case SDL_TEXTINPUT:
            if (pendingKey_) {
                typed_.insert(*pendingKey_);
                pendingKey_.reset();
            }
            flushMove();
            pendingText_ += e.text.text;
            if (pendingText_.size() >= kMaxTextBytes) flushText();
            return ViewAction::None;
        case SDL_KEYUP: {
            const int usage = e.key.keysym.scancode;
            if (usage >= 4 && usage <= 255) keyUp(usage);
            return ViewAction::None;
        }
        case SDL_WINDOWEVENT:
            // Releases that happen elsewhere never reach us.
            if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST) {
                auto lines = releaseAll();
                out_.insert(out_.end(), lines.begin(), lines.end());
                if (grabbed_) {
                    grabbed_ = false;
                    return ViewAction::ReleaseGrab;
                }
            }
            return ViewAction::None;
        default:
            return ViewAction::None;
    }
}

std::vector<std::string> ViewInput::take(double now) {
    resolveKey();
    renewHolds(now);
    flushMove();
    flushText();
    std::vector<std::string> lines;
    lines.swap(out_);
    return lines;
}

std::vector<std::string> ViewInput::releaseAll() {
    pendingKey_.reset();
    flushMove();
    flushText();
    std::vector<std::string> lines;
    lines.swap(out_);
    for (int u : keysDown_) lines.push_back("K " + std::to_string(u) + " 0");
    for (const auto& [m, st] : mods_)
        if (st.sent) lines.push_back("K " + std::to_string(m) + " 0");
    for (const auto& [name, b] : buttons_) lines.push_back((b.hold ? "H " : "B ") + name + " 0");
    forget();
    return lines;
}

void ViewInput::forget() {
    pendingKey_.reset();
    keysDown_.clear();
    typed_.clear();
    mods_.clear();
    buttons_.clear();
}

}  // namespace vm::phone
