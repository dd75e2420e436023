#pragma once
// The agent's remote-desktop session with mutter: the virtual pointer and keyboard
// every posted event goes through, and the clipboard. It records one monitor (mutter
// places absolute pointer motion relative to a stream) and is made again, warmed up,
// whenever mutter ends it (a recorded monitor that goes away ends the session).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/geometry.h"
#include "platform/gnome/gnome_bus.h"

namespace vm {
class Logger;
}

namespace vm::platform::gnome {

class ScreenCastSession;

class RemoteDesktop {
public:
    // The monitor to record when a session is made (its connector, "" for the
    // primary), and where a monitor's top-left is now in global points.
    struct Monitors {
        std::function<std::string()> primary;
        std::function<std::optional<Point>(const std::string& connector)> originOf;
    };
    // Opens the session at once (so the devices exist before the first event).
    // Throws std::runtime_error when mutter refuses.
    RemoteDesktop(Logger& log, Bus& bus, Monitors monitors);
    ~RemoteDesktop();

    bool moveTo(Point p);
    bool button(int evdevButton, bool down);
    bool axis(double dx, double dy);
    bool keycode(int evdev, bool down);
    bool keysym(uint32_t sym, bool down);

    // Clipboard through the session: what we offer when asked, and reading the owner's text.
    void offerText(std::optional<std::string> text);
    std::optional<std::string> readText();
    // Moves on whenever the selection changes hands (ours or another client's).
    int64_t selectionChanges() const { return selectionChanges_.load(); }

    // A session is open now (makes it again when mutter ended the last one).
    bool ensure();

private:
    bool openLocked();
    void closeLocked();
    bool notify(const char* method, GVariant* args);
    void onSelectionTransfer(const std::string& mime, uint32_t serial);
    void setSelectionLocked();

    Logger& log_;
    Bus& bus_;
    Monitors monitors_;
    std::mutex mu_;
    std::string session_;  // object path, "" when none
    std::unique_ptr<ScreenCastSession> cast_;
    std::string stream_;
    std::string connector_;  // the recorded monitor
    std::atomic<bool> dead_{false};
    std::vector<unsigned> subs_;
    bool warnedOpen_ = false;
    std::atomic<bool> warnedNotify_{false};

    std::mutex clipMu_;
    std::optional<std::string> offered_;
    bool othersOffer_ = false;
    std::atomic<int64_t> selectionChanges_{0};
};

}  // namespace vm::platform::gnome
