#include "ui/desktop_ui.h"

#include <gtk/gtk.h>


#include "ui/glib_main_loop.h"

namespace vm::ui {

bool isDesktopBackend(const std::string& platformName) { return platformName == "x11" || platformName == "gnome"; }

bool initToolkit(std::string* reason) {
    static bool ready = false;
    if (ready) return true;
    g_set_prgname("vellomark");
    if (!g_get_application_name() || std::string(g_get_application_name()) != "Vellomark")
        g_set_application_name("Vellomark");
    ready = gtk_init_check(nullptr, nullptr);
    if (ready) return true;
    if (reason) *reason = "GTK could not open the display";
    return false;
}


DesktopUi::DesktopUi(MainQueue& mainQueue, CtlInbox& inbox, MenuSources sources, MenuActions actions)
    : loop_(std::make_unique<GlibMainLoop>(mainQueue)) {
    menuBar_ = std::make_unique<MenuBar>(inbox, std::move(sources), std::move(actions));
    menuBar_->install();
}

DesktopUi::~DesktopUi() = default;

}  // namespace vm::ui
