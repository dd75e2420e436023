#include <cstdlib>
#include <stdexcept>
#include <string>

#include "base/log.h"
#include "platform/headless/headless_desktop.h"
#include "platform/platform.h"
#ifdef VELLOMARK_HAVE_X11
#include "platform/x11/x11_desktop.h"
#endif
#ifdef VELLOMARK_HAVE_GNOME
#include "platform/gnome/gnome_desktop.h"
#endif

namespace vm::platform {

namespace {

bool x11Answers([[maybe_unused]] const std::string& display) {
#ifdef VELLOMARK_HAVE_X11
    return x11::X11Desktop::answers(display);
#else
    return false;
#endif
}

bool gnomeAnswers() {
#ifdef VELLOMARK_HAVE_GNOME
    return gnome::GnomeDesktop::answers();
#else
    return false;
#endif
}

}  // namespace

std::unique_ptr<Platform> makePlatform(Logger& log) {
    const char* forced = std::getenv("VELLOMARK_PLATFORM");
    std::string choice = forced ? forced : "";
    std::string why;
    const char* display = std::getenv("DISPLAY");
    const std::string displayName = display ? display : "";
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (choice.empty()) {
        if (wayland && *wayland && gnomeAnswers()) {
            choice = "gnome";
            why = std::string("WAYLAND_DISPLAY=") + wayland;
        } else if (!displayName.empty() && x11Answers(displayName)) {
            choice = "x11";
            why = "DISPLAY=" + displayName;
        } else if (!displayName.empty()) {
            choice = "headless";
            why = "DISPLAY=" + displayName + " 가 응답하지 않는다";
        } else {
            choice = "headless";
            why = "디스플레이 서버 없음";
        }
    } else if (choice == "headless" || choice == "x11" || choice == "gnome") {
        why = "VELLOMARK_PLATFORM";
    } else {
        throw std::runtime_error("VELLOMARK_PLATFORM=" + choice + ": unknown backend (use headless, x11 or gnome)");
    }
    std::unique_ptr<Platform> p;
    if (choice == "x11") {
        if (displayName.empty()) throw std::runtime_error("VELLOMARK_PLATFORM=x11 but DISPLAY is not set");
#ifdef VELLOMARK_HAVE_X11
        p = std::make_unique<x11::X11Desktop>(Locations::fromEnvironment(), log, displayName);
#else
        throw std::runtime_error("VELLOMARK_PLATFORM=x11: this build has no X11 backend");
#endif
    } else if (choice == "gnome") {
#ifdef VELLOMARK_HAVE_GNOME
        p = std::make_unique<gnome::GnomeDesktop>(Locations::fromEnvironment(), log);
#else
        throw std::runtime_error("VELLOMARK_PLATFORM=gnome: this build has no GNOME backend");
#endif
    } else {
        p = headless::HeadlessDesktop::fromEnvironment(Locations::fromEnvironment());
    }
    log.logLine("플랫폼 — " + choice + " (" + why + ")\n");
    return p;
}

}  // namespace vm::platform
