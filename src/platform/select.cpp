#include <cstdlib>
#include <stdexcept>
#include <string>

#include "base/log.h"
#include "platform/headless/headless_desktop.h"
#include "platform/platform.h"

namespace vm::platform {

std::unique_ptr<Platform> makePlatform(Logger& log) {
    const char* forced = std::getenv("VELLOMARK_PLATFORM");
    std::string choice = forced ? forced : "";
    std::string why;
    if (choice.empty()) {
        const char* display = std::getenv("DISPLAY");
        if (display && display[0]) {
            // The X11 backend is not part of this build yet; the in-memory desktop stands in.
            why = "DISPLAY=" + std::string(display) + " 이지만 x11 백엔드가 아직 없다";
        } else {
            why = "디스플레이 서버 없음";
        }
        choice = "headless";
    } else if (choice == "headless") {
        why = "VELLOMARK_PLATFORM";
    } else if (choice == "x11") {
        throw std::runtime_error("VELLOMARK_PLATFORM=x11: this build has no X11 backend yet");
    } else {
        throw std::runtime_error("VELLOMARK_PLATFORM=" + choice + ": unknown backend (use headless or x11)");
    }
    auto p = headless::HeadlessDesktop::fromEnvironment(Locations::fromEnvironment());
    log.logLine("플랫폼 — " + choice + " (" + why + ")\n");
    return p;
}

}  // namespace vm::platform
