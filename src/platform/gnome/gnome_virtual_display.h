#pragma once
// The agent's virtual display on GNOME: a screen-cast virtual monitor whose size is
// what our PipeWire consumer asks for. A new size means a new monitor (mutter sizes
// it once); the HiDPI request becomes the monitor's scale 2 in DisplayConfig.
#include <memory>
#include <string>

#include "platform/displays.h"

namespace vm::platform::gnome {

class GnomeDisplays;
class FrameSource;

class GnomeVirtualDisplay final : public VirtualDisplay {
public:
    GnomeVirtualDisplay(GnomeDisplays& displays, VirtualDisplayDescriptor descriptor);
    ~GnomeVirtualDisplay() override;

    bool applySettings(const VirtualDisplaySettings& settings) override;
    DisplayID displayID() const override;
    bool scalesBacking() const override { return true; }

private:
    bool ensureScale(double scale);

    GnomeDisplays& displays_;
    VirtualDisplayDescriptor descriptor_;
    std::shared_ptr<FrameSource> frames_;
    std::string connector_;
    int pixelW_ = 0, pixelH_ = 0;
    int listener_ = 0;
};

}  // namespace vm::platform::gnome
