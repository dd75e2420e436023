#include "platform/gnome/gnome_windows.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <set>

namespace vm::platform::gnome {

std::vector<RunningApp> GnomeWindows::runningApps() {
    std::vector<RunningApp> out;
    for (const ShellApp& a : shell_.apps().value_or(std::vector<ShellApp>{})) {
        RunningApp r;
        r.pid = a.pid;
        r.name = a.name.empty() ? std::nullopt : std::optional<std::string>(a.name);
        // Desktop-file ids stand in for bundle ids ("org.gnome.Terminal.desktop" → "org.gnome.Terminal").
        r.bundleID = a.id.size() > 8 && a.id.compare(a.id.size() - 8, 8, ".desktop") == 0 ? a.id.substr(0, a.id.size() - 8) : a.id;
        r.policy = a.windows > 0 ? ActivationPolicy::regular : ActivationPolicy::accessory;
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<int32_t> GnomeWindows::frontmostApp() {
    for (const ShellApp& a : shell_.apps().value_or(std::vector<ShellApp>{}))
        if (a.focused) return a.pid;
    return std::nullopt;
}

bool GnomeWindows::activate(int32_t pid, bool allWindows) { return shell_.activateApp(pid, allWindows); }

std::optional<RgbaImage> GnomeWindows::appIcon(int32_t pid) { return shell_.appIcon(pid, kIconSize); }

std::string GnomeWindows::loginName() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return pw->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : "";
}

std::vector<WindowInfo> GnomeWindows::windowList() {
    std::vector<WindowInfo> out;
    auto wins = shell_.windows().value_or(std::vector<ShellWindow>{});
    // Front to back, as window servers list them.
    for (auto it = wins.rbegin(); it != wins.rend(); ++it) {
        WindowInfo w;
        w.layer = 0;
        w.ownerPID = it->pid > 0 ? std::optional<int32_t>(it->pid) : std::nullopt;
        w.number = static_cast<uint32_t>(it->id);
        w.bounds = it->frame;
        out.push_back(w);
    }
    return out;
}

std::optional<ShellWindow> GnomeWindows::find(ElementRef window) {
    auto wins = shell_.windows();
    if (!wins) return std::nullopt;
    for (const auto& w : *wins)
        if (w.id == window) return w;
    return std::nullopt;
}

std::optional<std::vector<ElementRef>> GnomeWindows::appWindows(int32_t pid) {
    auto wins = shell_.windows();
    if (!wins) return std::nullopt;
    std::vector<ElementRef> out;
    for (auto it = wins->rbegin(); it != wins->rend(); ++it)
        if (it->pid == pid) out.push_back(it->id);
    return out;
}

std::optional<Point> GnomeWindows::position(ElementRef window) {
    auto w = find(window);
    if (!w) return std::nullopt;
    return Point{w->frame.x, w->frame.y};
}

std::optional<Size> GnomeWindows::size(ElementRef window) {
    auto w = find(window);
    if (!w) return std::nullopt;
    return Size{w->frame.width, w->frame.height};
}

std::optional<bool> GnomeWindows::minimized(ElementRef window) {
    auto w = find(window);
    if (!w) return std::nullopt;
    return w->minimized;
}

std::optional<bool> GnomeWindows::fullScreen(ElementRef window) {
    auto w = find(window);
    if (!w) return std::nullopt;
    return w->fullscreen;
}

bool GnomeWindows::setFullScreen(ElementRef window, bool on) { return shell_.setFullscreen(window, on); }

bool GnomeWindows::setSize(ElementRef window, Size s) {
    auto w = find(window);
    if (!w) return false;
    return shell_.moveResize(window, Rect{w->frame.x, w->frame.y, s.width, s.height});
}

bool GnomeWindows::setPosition(ElementRef window, Point p) {
    auto w = find(window);
    if (!w) return false;
    return shell_.moveResize(window, Rect{p.x, p.y, w->frame.width, w->frame.height});
}

bool GnomeWindows::revealApp(int32_t pid) { return shell_.activateApp(pid, true); }

}  // namespace vm::platform::gnome
