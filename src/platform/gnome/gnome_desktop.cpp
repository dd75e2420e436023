#include "platform/gnome/gnome_desktop.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "base/log.h"
#include "base/settings.h"
#include "platform/avahi_advertiser.h"
#include "platform/gnome/gnome_bus.h"
#include "platform/gnome/gnome_capture.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/gnome/gnome_events.h"
#include "platform/gnome/gnome_remote_desktop.h"
#include "platform/gnome/gnome_session_services.h"
#include "platform/gnome/gnome_shell_extension.h"
#include "platform/gnome/gnome_windows.h"

namespace vm::platform::gnome {

namespace {

constexpr const char* kRemoteDesktopName = "org.gnome.Mutter.RemoteDesktop";

bool commandIsSuper(const Locations& locations) {
    Settings settings(locations.supportDir + "/settings.json");
    return settings.string("commandKey").value_or("") == "super";
}

}  // namespace

// The installer puts the extension in the user's extension folder; the shell enables
// it here when it already knows the folder (always after the next login).
void GnomeDesktop::enableExtension() {
    std::string err;
    Variant r = bus_->call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions", "EnableExtension",
                           g_variant_new("(s)", kExtensionUuid), &err, 3000);
    if (!r) return;
    for (int i = 0; i < 20 && !shell_->present(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (shell_->present()) log_.logLine(std::string("GNOME Shell 확장 ") + kExtensionUuid + " 을 켰다\n");
}

GnomeDesktop::GnomeDesktop(Locations locations, Logger& log) : locations_(std::move(locations)), log_(log) {
    bus_ = std::make_unique<Bus>();
    for (const char* name : {kRemoteDesktopName, kMutterScreenCast, "org.gnome.Mutter.DisplayConfig"})
        if (!bus_->nameHasOwner(name))
            throw std::runtime_error(std::string("the session bus has no ") + name + " (is this GNOME on Wayland?)");
    shell_ = std::make_unique<ShellExtension>(log_, *bus_);
    if (!shell_->present()) enableExtension();
    if (!shell_->present())
        log_.logLine(std::string("⚠︎ GNOME Shell 확장 ") + kExtensionUuid + " 이 켜져 있지 않다 — 창·앱·작업 공간 없이 간다\n");
    displays_ = std::make_unique<GnomeDisplays>(log_, *bus_);
    GnomeDisplays* d = displays_.get();
    remote_ = std::make_unique<RemoteDesktop>(
        log_, *bus_,
        RemoteDesktop::Monitors{[d] { return d->primaryConnector(); },
                                [d](const std::string& c) { return d->originOf(c); }});
    windows_ = std::make_unique<GnomeWindows>(*shell_);
    events_ = std::make_unique<GnomeEvents>(log_, *remote_, *shell_, *displays_, commandIsSuper(locations_));
    pasteboard_ = std::make_unique<GnomePasteboard>(*remote_);
    inputSources_ = std::make_unique<GnomeInputSources>(*bus_, *shell_);
    session_ = std::make_unique<GnomeSession>(*bus_);
    capture_ = std::make_unique<GnomeCapture>(log_, *bus_, *displays_);
}

GnomeDesktop::~GnomeDesktop() {
    // Users of the bus go first; the bus (and with it every session of ours) last.
    capture_.reset();
    session_.reset();
    inputSources_.reset();
    pasteboard_.reset();
    events_.reset();
    windows_.reset();
    remote_.reset();
    displays_.reset();
    shell_.reset();
    bus_.reset();
}

Displays& GnomeDesktop::displays() { return *displays_; }
Accessibility& GnomeDesktop::accessibility() { return *events_; }
Events& GnomeDesktop::events() { return *events_; }
Pasteboard& GnomeDesktop::pasteboard() { return *pasteboard_; }
InputSources& GnomeDesktop::inputSources() { return *inputSources_; }
ScreenCapture& GnomeDesktop::capture() { return *capture_; }
Workspace& GnomeDesktop::workspace() { return *windows_; }
WindowServer& GnomeDesktop::windowServer() { return *windows_; }
WindowElements& GnomeDesktop::windowElements() { return *windows_; }
Session& GnomeDesktop::session() { return *session_; }

ServiceAdvertiser& GnomeDesktop::advertiser() {
    if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>();
    return *advertiser_;
}

void GnomeDesktop::exitProcess(int status) {
    // mutter ends our sessions (and the virtual monitor) when our connection goes.
    ::_exit(status);
}

bool GnomeDesktop::answers() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!wayland || !*wayland) return false;
    return Bus::sessionNameAnswers(kRemoteDesktopName);
}

}  // namespace vm::platform::gnome
