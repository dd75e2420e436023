#pragma once
// The small floating window that asks the user to allow a phone: its name, the
// six-digit code in large type, Deny and Allow. It stays above other windows on
// every workspace, has no taskbar entry and does not take the focus when it
// appears. Return and Escape deny; Allow must be clicked.
#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace vm::ui {

class PairPanel {
public:
    static constexpr int kWidth = 360;
    static constexpr int kHeight = 168;

    PairPanel(const std::string& name, const std::string& code, std::function<void()> allow,
              std::function<void()> deny);
    ~PairPanel();  // closes the window
    PairPanel(const PairPanel&) = delete;
    PairPanel& operator=(const PairPanel&) = delete;

    // Centres the window on the screen and shows it without activating it.
    void show();
    GtkWidget* window() const { return window_; }

    void allowClicked() { if (onAllow) onAllow(); }
    void denyClicked() { if (onDeny) onDeny(); }

    std::function<void()> onAllow;
    std::function<void()> onDeny;

private:
    GtkWidget* window_ = nullptr;
};

}  // namespace vm::ui
