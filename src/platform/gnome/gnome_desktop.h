#pragma once
// GNOME on Wayland: every seam service built on mutter's D-Bus interfaces
// (RemoteDesktop, ScreenCast, DisplayConfig), PipeWire and our shell extension,
// all over one session-bus connection. This class only checks what the session
// offers, builds the services in order and hands them out.
#include <memory>
#include <string>

#include "platform/platform.h"

namespace vm {
class Logger;
}

namespace vm::platform::gnome {

class Bus;
class RemoteDesktop;
class ShellExtension;
class GnomeDisplays;
class GnomeCapture;
class GnomeWindows;
class GnomeEvents;
class GnomePasteboard;
class GnomeInputSources;
class GnomeSession;

class GnomeDesktop final : public Platform {
public:
    // Throws std::runtime_error with one readable line when the session bus or
    // mutter's remote-desktop interface cannot be reached. A missing extension is
    // logged; windows and apps are then empty.
    GnomeDesktop(Locations locations, Logger& log);
    ~GnomeDesktop() override;

    const char* name() const override { return "gnome"; }
    const Locations& locations() const override { return locations_; }
    Displays& displays() override;
    Accessibility& accessibility() override;
    Events& events() override;
    Pasteboard& pasteboard() override;
    InputSources& inputSources() override;
    ScreenCapture& capture() override;
    ServiceAdvertiser& advertiser() override;
    Workspace& workspace() override;
    WindowServer& windowServer() override;
    WindowElements& windowElements() override;
    Session& session() override;
    [[noreturn]] void exitProcess(int status) override;

    // Whether this is a GNOME Wayland session: WAYLAND_DISPLAY is set and mutter's
    // remote-desktop interface answers on the session bus.
    static bool answers();

private:
    void enableExtension();
    Locations locations_;
    Logger& log_;
    std::unique_ptr<Bus> bus_;
    std::unique_ptr<ShellExtension> shell_;
    std::unique_ptr<GnomeDisplays> displays_;
    std::unique_ptr<RemoteDesktop> remote_;
    std::unique_ptr<GnomeWindows> windows_;
    std::unique_ptr<GnomeEvents> events_;
    std::unique_ptr<GnomePasteboard> pasteboard_;
    std::unique_ptr<GnomeInputSources> inputSources_;
    std::unique_ptr<GnomeSession> session_;
    std::unique_ptr<GnomeCapture> capture_;
    std::unique_ptr<ServiceAdvertiser> advertiser_;
};

}  // namespace vm::platform::gnome
