#pragma once
// The platform seam: the operating-system services the agent calls, as small
// interfaces. The core includes nothing of the OS beyond POSIX; a backend
// (headless, x11) implements these. Later services are added as further
// accessors on Platform, each returning its own interface.
#include <cstdint>
#include <memory>
#include <string>

namespace vm {
class Logger;
}

namespace vm::platform {

// Where the agent keeps its files (the XDG conventions on Linux).
struct Locations {
    std::string home;         // the user's home folder
    std::string logDir;       // ~/.local/state/vellomark
    std::string supportDir;   // ~/.local/share/vellomark (pairings, state files)
    std::string groupDir;     // ~/.local/share/vellomark/group (status file and outbox)
    std::string receivedDir;  // ~/Vellomark
    std::string runtimeDir;   // $XDG_RUNTIME_DIR/vellomark (local control socket)

    // From HOME and the XDG_* variables; HOME missing falls back to the password database.
    static Locations fromEnvironment();
};

class Displays {
public:
    virtual ~Displays() = default;
    // Number of online displays (physical and virtual), as the window server counts them.
    virtual uint32_t onlineCount() = 0;
};

class Accessibility {
public:
    virtual ~Accessibility() = default;
    // Whether this process may post input events; `prompt` asks the user when it may not.
    virtual bool isTrusted(bool prompt) = 0;
};

class Platform {
public:
    virtual ~Platform() = default;
    virtual const char* name() const = 0;
    virtual const Locations& locations() const = 0;
    virtual Displays& displays() = 0;
    virtual Accessibility& accessibility() = 0;
    // Ends the process at once with `status` (no destructors run; logs are already written).
    [[noreturn]] virtual void exitProcess(int status) = 0;
};

// Picks the backend: VELLOMARK_PLATFORM=headless|x11 when set, otherwise x11 when a
// display server answers, otherwise headless. Logs the choice once. Throws
// std::runtime_error with a readable message when the chosen backend cannot start.
std::unique_ptr<Platform> makePlatform(Logger& log);

}  // namespace vm::platform
