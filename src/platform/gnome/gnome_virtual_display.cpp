#include "platform/gnome/gnome_virtual_display.h"

#include <algorithm>
#include <set>

#include "base/log.h"
#include "platform/gnome/gnome_capture.h"
#include "platform/gnome/gnome_displays.h"

namespace vm::platform::gnome {

namespace {
constexpr double kAppearSeconds = 5.0;
}

GnomeVirtualDisplay::GnomeVirtualDisplay(GnomeDisplays& displays, VirtualDisplayDescriptor descriptor)
    : displays_(displays), descriptor_(std::move(descriptor)) {}

GnomeVirtualDisplay::~GnomeVirtualDisplay() {
    if (frames_ && listener_) frames_->remove(listener_);
    if (!connector_.empty()) displays_.markVirtual(connector_, false);
    // Capture may still hold the frames; the monitor goes now all the same.
    if (frames_) frames_->close();
    frames_.reset();
}

DisplayID GnomeVirtualDisplay::displayID() const { return connector_.empty() ? 0 : displays_.idOf(connector_); }

bool GnomeVirtualDisplay::applySettings(const VirtualDisplaySettings& settings) {
    if (settings.modes.empty()) return false;
    const auto& mode = settings.modes.front();
    const int factor = settings.hiDPI ? 2 : 1;
    const int w = int(mode.width) * factor, h = int(mode.height) * factor;
    if (w < 2 || h < 2 || uint32_t(w) > descriptor_.maxPixelsWide || uint32_t(h) > descriptor_.maxPixelsHigh) return false;
    if (!frames_ || frames_->ended() || w != pixelW_ || h != pixelH_) {
        std::set<std::string> before;
        for (const auto& m : displays_.state().monitors) before.insert(m.connector);
        if (frames_ && listener_) frames_->remove(listener_);
        if (frames_) frames_->close();
        if (!connector_.empty()) {
            displays_.markVirtual(connector_, false);
            before.erase(connector_);
        }
        frames_.reset();
        connector_.clear();
        try {
            frames_ = FrameSource::virtualMonitor(displays_.bus(), w, h, CursorMode::embedded);
        } catch (const std::exception& e) {
            displays_.log().vdispLog(std::string("⚠︎ 가상 모니터를 만들지 못했다 — ") + e.what());
            return false;
        }
        const auto connector = displays_.waitNewConnector(before, kAppearSeconds);
        if (!connector) {
            displays_.log().vdispLog("⚠︎ 가상 모니터가 나타나지 않았다");
            frames_.reset();
            return false;
        }
        connector_ = *connector;
        pixelW_ = w;
        pixelH_ = h;
        displays_.markVirtual(connector_, true, descriptor_.serialNum);
        displays_.setVirtualFrames(connector_, frames_);
        auto onEnd = descriptor_.terminationHandler;
        listener_ = frames_->add({nullptr, [onEnd](const std::string&) {
                                      if (onEnd) onEnd();
                                  }});
    }
    return ensureScale(factor);
}

bool GnomeVirtualDisplay::ensureScale(double scale) {
    const MonitorState s = displays_.state();
    const auto* l = s.logicalOf(connector_);
    if (l && l->scale == scale) return true;
    auto cfg = displays_.beginConfiguration();
    const DisplayID id = displayID();
    cfg->setMode(id, DisplayMode{uint32_t(pixelW_ / scale), uint32_t(pixelH_ / scale), uint32_t(pixelW_),
                                 uint32_t(pixelH_), 0, 0});
    cfg->setEnabled(id, true);
    return cfg->complete(false) == 0;
}

}  // namespace vm::platform::gnome
