#pragma once
// Apps and windows on GNOME, through our shell extension: the running apps (keyed
// by pid), their icons and activation, the window list, and window elements (an
// element is mutter's window id).
#include <string>

#include "platform/workspace.h"
#include "platform/gnome/gnome_shell_extension.h"

namespace vm::platform::gnome {

class GnomeWindows final : public Workspace, public WindowServer, public WindowElements {
public:
    explicit GnomeWindows(ShellExtension& shell) : shell_(shell) {}

    std::vector<RunningApp> runningApps() override;
    std::optional<int32_t> frontmostApp() override;
    bool activate(int32_t pid, bool allWindows) override;
    std::optional<RgbaImage> appIcon(int32_t pid) override;
    std::string loginName() override;

    std::vector<WindowInfo> windowList() override;

    std::optional<std::vector<ElementRef>> appWindows(int32_t pid) override;
    std::optional<Point> position(ElementRef window) override;
    std::optional<Size> size(ElementRef window) override;
    std::optional<bool> minimized(ElementRef window) override;
    std::optional<bool> fullScreen(ElementRef window) override;
    bool setFullScreen(ElementRef window, bool on) override;
    bool setSize(ElementRef window, Size size) override;
    bool setPosition(ElementRef window, Point position) override;
    bool revealApp(int32_t pid) override;

    static constexpr int kIconSize = 64;

private:
    std::optional<ShellWindow> find(ElementRef window);
    ShellExtension& shell_;
};

}  // namespace vm::platform::gnome
