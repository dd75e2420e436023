#include "platform/x11/x11_desktop.h"

#include <unistd.h>
#include <xcb/randr.h>

#include <cstdlib>
#include <stdexcept>

#include "base/log.h"
#include "base/settings.h"
#include "platform/avahi_advertiser.h"
#include "platform/x11/x11_capture.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_displays.h"
#include "platform/x11/x11_events.h"
#include "platform/x11/x11_input_sources.h"
#include "platform/x11/x11_pasteboard.h"
#include "platform/x11/x11_session.h"
#include "platform/x11/x11_windows.h"

namespace vm::platform::x11 {

namespace {

// What the agent cannot do without; throws the one line the user sees.
void checkServer(Connection& c) {
    const std::string where = "X display \"" + c.displayName() + "\"";
    if (!c.hasExtension("XTEST")) throw std::runtime_error(where + " lacks the XTEST extension (needed to post input)");
    if (!c.hasExtension("RANDR")) throw std::runtime_error(where + " lacks the RandR extension (needed for displays)");
    xcb_randr_query_version_cookie_t ck = xcb_randr_query_version(c.get(), 1, 6);
    xcb_randr_query_version_reply_t* v = xcb_randr_query_version_reply(c.get(), ck, nullptr);
    const uint32_t major = v ? v->major_version : 0, minor = v ? v->minor_version : 0;
    std::free(v);
    if (major < 1 || (major == 1 && minor < 3))
        throw std::runtime_error(where + " has RandR " + std::to_string(major) + "." + std::to_string(minor) +
                                 "; the agent needs RandR 1.3 or newer");
    // A missing MIT-SHM is the capture's to report: it reads with GetImage instead.
}

// The phone's Command key as Super instead of Control, when the user asked for it.
bool commandIsSuper(const Locations& locations) {
    Settings settings(locations.supportDir + "/settings.json");
    return settings.string("commandKey").value_or("") == "super";
}

}  // namespace

X11Desktop::X11Desktop(Locations locations, Logger& log, const std::string& display)
    : locations_(std::move(locations)), log_(log) {
    {
        Connection probe(display);
        checkServer(probe);
    }
    displays_ = std::make_unique<X11Displays>(log_, display);
    windows_ = std::make_unique<X11Windows>(log_, display, *displays_);
    session_ = std::make_unique<X11Session>(log_);
    events_ = std::make_unique<X11Events>(log_, display, *displays_, *windows_, commandIsSuper(locations_));
    pasteboard_ = std::make_unique<X11Pasteboard>(log_, display);
    inputSources_ = std::make_unique<X11InputSources>(log_, display);
    capture_ = std::make_unique<X11Capture>(log_, display, *displays_);
}

X11Desktop::~X11Desktop() = default;

Displays& X11Desktop::displays() { return *displays_; }
Accessibility& X11Desktop::accessibility() { return *events_; }
Events& X11Desktop::events() { return *events_; }
Pasteboard& X11Desktop::pasteboard() { return *pasteboard_; }
InputSources& X11Desktop::inputSources() { return *inputSources_; }
ScreenCapture& X11Desktop::capture() { return *capture_; }
Workspace& X11Desktop::workspace() { return *windows_; }
WindowServer& X11Desktop::windowServer() { return *windows_; }
WindowElements& X11Desktop::windowElements() { return *windows_; }
Session& X11Desktop::session() { return *session_; }

ServiceAdvertiser& X11Desktop::advertiser() {
    if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>();
    return *advertiser_;
}

void X11Desktop::exitProcess(int status) {
    // X keeps an output on after its client is gone; the agent's display goes with it.
    if (displays_) displays_->removeVirtualDisplays();
    ::_exit(status);
}

bool X11Desktop::answers(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr);
    const bool ok = c && !xcb_connection_has_error(c);
    if (c) xcb_disconnect(c);
    return ok;
}

}  // namespace vm::platform::x11
