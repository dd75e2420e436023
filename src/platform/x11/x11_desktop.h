#pragma once
// The real desktop on an X server: every seam service built on XCB. Each service
// lives in a class (and file) of its own with its own connection; this class only
// checks what the server offers, builds them in order and hands them out.
#include <memory>
#include <string>

#include "platform/platform.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {

class X11Displays;
class X11Capture;
class X11Windows;
class X11Session;
class X11Events;
class X11Pasteboard;
class X11InputSources;

class X11Desktop final : public Platform {
public:
    // Connects to `display` ("" = $DISPLAY). Throws std::runtime_error with one
    // readable line when the server cannot be reached or lacks what the agent needs
    // (XTEST, RandR 1.3 or newer). A missing MIT-SHM is logged; capture then reads
    // with plain GetImage.
    X11Desktop(Locations locations, Logger& log, const std::string& display);
    ~X11Desktop() override;

    const char* name() const override { return "x11"; }
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

    // Whether `display` ("" = $DISPLAY) answers an X connection.
    static bool answers(const std::string& display);

private:
    Locations locations_;
    Logger& log_;
    std::unique_ptr<X11Displays> displays_;
    std::unique_ptr<X11Windows> windows_;
    std::unique_ptr<X11Session> session_;
    std::unique_ptr<X11Events> events_;
    std::unique_ptr<X11Pasteboard> pasteboard_;
    std::unique_ptr<X11InputSources> inputSources_;
    std::unique_ptr<X11Capture> capture_;
    std::unique_ptr<ServiceAdvertiser> advertiser_;
};

}  // namespace vm::platform::x11
