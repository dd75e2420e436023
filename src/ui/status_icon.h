#pragma once
// The status item: a StatusNotifierItem (through libayatana-appindicator) when the
// session has a StatusNotifierWatcher, otherwise an XEmbed tray icon that pops
// the same menu up itself.
#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace vm::ui {

class StatusIcon {
public:
    // `menu` is the GtkMenu to show; `onOpen` runs just before the menu is shown
    // where the toolkit lets us know (the XEmbed icon; a StatusNotifierItem host
    // draws the menu itself, so there it never runs).
    // `iconDir`: an extra icon theme folder for the notifier host; empty for none.
    StatusIcon(GtkWidget* menu, std::function<void()> onOpen, const std::string& iconDir);
    ~StatusIcon();
    StatusIcon(const StatusIcon&) = delete;
    StatusIcon& operator=(const StatusIcon&) = delete;

    // Shows the named icon of the theme, with "Vellomark" as its description.
    void setIcon(const std::string& iconName);
    // Whether the menu is drawn by a StatusNotifierItem host (and opening goes unseen).
    bool notifierItem() const { return indicator_ != nullptr; }

    // Whether a StatusNotifierWatcher owns its name on the session bus.
    static bool watcherPresent();

private:
    GtkWidget* menu_;
    std::function<void()> onOpen_;
    void* indicator_ = nullptr;  // AppIndicator*
    void* trayIcon_ = nullptr;   // GtkStatusIcon*
};

}  // namespace vm::ui
