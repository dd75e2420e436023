// The headless desktop's scene file (named by VELLOMARK_HEADLESS_SCENE): parsed, then
// a desktop built from it and asked what the agent asks at start (displays, modes,
// apps, windows, input sources). A scene it refuses is an error message, never a crash.
#include <stdexcept>

#include "fuzz/rig.h"
#include "platform/workspace.h"

using namespace vm;
using platform::headless::HeadlessDesktop;
using platform::headless::Scene;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<HeadlessDesktop> desk;
    try {
        desk = std::make_unique<HeadlessDesktop>(fuzz::World::locations(), Scene::parse(std::string(fuzz::asText(data, size))));
    } catch (const std::runtime_error&) {
        return 0;
    }
    auto& d = desk->displays();
    for (auto id : d.onlineDisplays()) {
        d.bounds(id);
        d.currentMode(id);
        d.modes(id, true);
        d.vendorNumber(id);
        d.physicalSizeMM(id);
    }
    d.mainDisplay();
    desk->inputSources().enabled();
    desk->inputSources().current();
    for (const auto& app : desk->workspace().runningApps()) {
        desk->workspace().appIcon(app.pid);
        desk->windowElements().appWindows(app.pid);
    }
    desk->windowServer().windowList();
    desk->workspace().frontmostApp();
    return 0;
}
