#pragma once
// One mutter screen-cast session: a plain one (its own Start/Stop), or the one
// linked to a remote-desktop session (started and stopped with it). Streams record
// a monitor or a new virtual monitor; each gets a PipeWire node once started.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/gnome/gnome_bus.h"

namespace vm::platform::gnome {

inline constexpr const char* kMutterScreenCast = "org.gnome.Mutter.ScreenCast";

// How mutter shows the pointer in a stream.
enum class CursorMode : uint32_t { hidden = 0, embedded = 1, metadata = 2 };

class ScreenCastSession {
public:
    // `remoteDesktopId` links the session to that remote-desktop session ("" for a
    // plain one). `onClosed` runs on the bus thread when mutter ends a plain session.
    // Throws std::runtime_error when mutter refuses.
    ScreenCastSession(Bus& bus, const std::string& remoteDesktopId, std::function<void()> onClosed = {});
    // Stops a plain session.
    ~ScreenCastSession();
    ScreenCastSession(const ScreenCastSession&) = delete;
    ScreenCastSession& operator=(const ScreenCastSession&) = delete;

    // The new stream's object path, or "" with `error`. `connector` "" is the primary monitor.
    std::string recordMonitor(const std::string& connector, CursorMode cursor, std::string* error);
    std::string recordVirtual(CursorMode cursor, std::string* error);
    // Starts a plain session; false with `error`.
    bool start(std::string* error);
    // The PipeWire node of `stream`, waiting at most `seconds` for mutter to announce it.
    std::optional<uint32_t> waitNode(const std::string& stream, double seconds);
    bool closed() const;
    const std::string& path() const { return path_; }

private:
    Bus& bus_;
    std::string path_;
    bool linked_ = false;
    std::function<void()> onClosed_;
    std::vector<unsigned> subs_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::string, uint32_t> nodes_;
    bool closed_ = false;
    bool stopped_ = false;
};

}  // namespace vm::platform::gnome
