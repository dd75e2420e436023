#pragma once
// A platform::Events that records every posted event; the pointer, the screens
// and the session modifier flags are set by the test.
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/chords.h"
#include "platform/platform.h"

namespace vm::testing {

class RecordingEvents final : public platform::Events {
public:
    bool postMouse(const platform::MouseEvent& e) override {
        std::lock_guard<std::mutex> lk(mu);
        mouse.push_back(e);
        return true;
    }
    bool postKey(const platform::KeyEvent& e) override {
        std::lock_guard<std::mutex> lk(mu);
        keys.push_back(e);
        return true;
    }
    bool postScroll(const platform::ScrollEvent& e) override {
        std::lock_guard<std::mutex> lk(mu);
        scrolls.push_back(e);
        return true;
    }
    // The desktop's actions arrive as the classic chords, so tests see their key events.
    bool typeText(const std::u16string& text) override { return platform::chords::typeText(*this, text); }
    bool paste() override { return platform::chords::paste(*this); }
    bool switchWorkspace(bool right) override { return platform::chords::switchWorkspace(*this, right); }
    bool appSwitcher(platform::SwitcherStep step, uint64_t flags) override {
        return platform::chords::appSwitcher(*this, step, flags);
    }
    platform::Point mouseLocation() override { return location; }
    std::vector<platform::Rect> screenFrames() override { return frames; }
    uint64_t sessionModifierFlags() override { return sessionFlags; }

    std::vector<platform::KeyEvent> keyList() {
        std::lock_guard<std::mutex> lk(mu);
        return keys;
    }

    std::mutex mu;
    std::vector<platform::MouseEvent> mouse;
    std::vector<platform::KeyEvent> keys;
    std::vector<platform::ScrollEvent> scrolls;
    platform::Point location{0, 0};
    std::vector<platform::Rect> frames;
    uint64_t sessionFlags = 0;
};

}  // namespace vm::testing
