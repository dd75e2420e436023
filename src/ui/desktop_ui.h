#pragma once
// The agent's desktop interface: the status menu and the pairing panel on GTK,
// with GLib's main loop running the main queue. Only desktop backends start it;
// on the headless backend GTK is never initialised.
#include <memory>
#include <string>

#include "ui/menu_bar.h"

namespace vm {
class MainQueue;
}

namespace vm::ui {

class GlibMainLoop;

// Whether the interface belongs on this backend (x11, gnome).
bool isDesktopBackend(const std::string& platformName);

// Initialises GTK for the process; false (with a reason) when it cannot open the
// display. Main thread, once.
bool initToolkit(std::string* reason);

class DesktopUi {
public:
    // Makes GLib's loop the main queue's and installs the status menu.
    DesktopUi(MainQueue& mainQueue, CtlInbox& inbox, MenuSources sources, MenuActions actions);
    ~DesktopUi();
    MenuBar& menuBar() { return *menuBar_; }

private:
    std::unique_ptr<GlibMainLoop> loop_;
    std::unique_ptr<MenuBar> menuBar_;
};

}  // namespace vm::ui
