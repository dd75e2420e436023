#include "ui/status_icon.h"

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>

namespace vm::ui {

namespace {

constexpr const char kDescription[] = "Vellomark";

// GtkStatusIcon is the XEmbed tray; GTK 3 marks it deprecated but it is the only
// way onto a tray that has no StatusNotifierItem host.
G_GNUC_BEGIN_IGNORE_DEPRECATIONS
void popUp(GtkStatusIcon* icon, GtkWidget* menu, guint button, guint32 time) {
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, gtk_status_icon_position_menu, icon, button, time);
}
G_GNUC_END_IGNORE_DEPRECATIONS

}  // namespace

bool StatusIcon::watcherPresent() {
    GError* err = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &err);
    if (!bus) {
        g_clear_error(&err);
        return false;
    }
    GVariant* r = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                              "org.freedesktop.DBus", "NameHasOwner",
                                              g_variant_new("(s)", "org.kde.StatusNotifierWatcher"),
                                              G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &err);
    bool owned = false;
    if (r) {
        gboolean b = FALSE;
        g_variant_get(r, "(b)", &b);
        owned = b;
        g_variant_unref(r);
    }
    g_clear_error(&err);
    g_object_unref(bus);
    return owned;
}

StatusIcon::StatusIcon(GtkWidget* menu, std::function<void()> onOpen, const std::string& iconDir)
    : menu_(menu), onOpen_(std::move(onOpen)) {
    if (watcherPresent()) {
        AppIndicator* ind = app_indicator_new("vellomark", "vellomark-phone-symbolic",
                                              APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
        if (!iconDir.empty()) app_indicator_set_icon_theme_path(ind, iconDir.c_str());
        app_indicator_set_title(ind, kDescription);
        app_indicator_set_menu(ind, GTK_MENU(menu_));
        app_indicator_set_status(ind, APP_INDICATOR_STATUS_ACTIVE);
        indicator_ = ind;
        return;
    }
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GtkStatusIcon* icon = gtk_status_icon_new_from_icon_name("vellomark-phone-symbolic");
    gtk_status_icon_set_title(icon, kDescription);
    gtk_status_icon_set_tooltip_text(icon, kDescription);
    gtk_status_icon_set_name(icon, "vellomark");
    G_GNUC_END_IGNORE_DEPRECATIONS
    // Either button opens the menu, as a status item does.
    auto open = +[](GtkStatusIcon* i, guint button, guint time, gpointer self) {
        auto* me = static_cast<StatusIcon*>(self);
        if (me->onOpen_) me->onOpen_();
        popUp(i, me->menu_, button, time);
    };
    g_signal_connect(icon, "popup-menu", G_CALLBACK(open), this);
    g_signal_connect(icon, "activate", G_CALLBACK(+[](GtkStatusIcon* i, gpointer self) {
                         auto* me = static_cast<StatusIcon*>(self);
                         if (me->onOpen_) me->onOpen_();
                         popUp(i, me->menu_, 1, gtk_get_current_event_time());
                     }),
                     this);
    trayIcon_ = icon;
}

StatusIcon::~StatusIcon() {
    if (indicator_) g_object_unref(indicator_);
    if (trayIcon_) g_object_unref(trayIcon_);
}

void StatusIcon::setIcon(const std::string& iconName) {
    if (indicator_) {
        app_indicator_set_icon_full(static_cast<AppIndicator*>(indicator_), iconName.c_str(), kDescription);
    } else if (trayIcon_) {
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        gtk_status_icon_set_from_icon_name(static_cast<GtkStatusIcon*>(trayIcon_), iconName.c_str());
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
}

}  // namespace vm::ui
