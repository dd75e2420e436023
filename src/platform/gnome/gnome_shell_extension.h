#pragma once
// The client side of our GNOME Shell extension (extension/extension.js): windows,
// apps, workspaces, committing text and the pointer, over the session bus. Every
// call answers "nothing" when the extension is not there, and says so once in the log.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/workspace.h"

namespace vm {
class Logger;
}

namespace vm::platform::gnome {

class Bus;

inline constexpr const char* kExtensionBusName = "dev.brisval.Vellomark.Shell";
inline constexpr const char* kExtensionUuid = "vellomark@brisval.dev";

struct ShellWindow {
    uint64_t id = 0;
    int32_t pid = 0;
    std::string app;
    std::string title;
    Rect frame;
    bool minimized = false;
    bool fullscreen = false;
    int workspace = -1;  // -1: on every workspace
    bool focused = false;
};

struct ShellApp {
    std::string id;
    std::string name;
    int32_t pid = 0;
    int windows = 0;
    bool focused = false;
};

struct ShellPointer {
    Point at;
    uint32_t modifiers = 0;  // Clutter modifier mask
};

struct ShellInputSources {
    std::vector<std::string> ids;  // "xkb:us", "ibus:hangul" …
    std::string current;
};

class ShellExtension {
public:
    ShellExtension(Logger& log, Bus& bus);

    bool present();
    // Bottom to top.
    std::optional<std::vector<ShellWindow>> windows();
    std::optional<std::vector<ShellApp>> apps();
    std::optional<RgbaImage> appIcon(int32_t pid, int size);
    bool moveResize(uint64_t id, const Rect& frame);
    bool setFullscreen(uint64_t id, bool on);
    bool activateWindow(uint64_t id);
    bool activateApp(int32_t pid, bool allWindows);
    // Current index and count.
    std::optional<std::pair<int, int>> workspaces();
    bool switchWorkspace(int index);
    // False when no text field has the focus (nothing was entered).
    bool commitText(const std::string& utf8);
    std::optional<ShellPointer> pointer();
    std::optional<ShellInputSources> inputSources();
    bool selectInputSource(const std::string& id);

    // Parsers of the extension's JSON answers (nullopt on a wrong shape).
    static std::optional<std::vector<ShellWindow>> parseWindows(const std::string& json);
    static std::optional<std::vector<ShellApp>> parseApps(const std::string& json);

private:
    Logger& log_;
    Bus& bus_;
    std::atomic<bool> warned_{false};
};

}  // namespace vm::platform::gnome
