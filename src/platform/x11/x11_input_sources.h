#pragma once
// Keyboard input sources on X: the XKB groups. Each group is one source, named
// "xkb:LAYOUT" or "xkb:LAYOUT(VARIANT)" after the layouts the keymap was built from;
// selecting one locks that group. A watcher thread on a connection of its own reports
// changes of the locked group and of the layout list.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/x11/x11_connection.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {

class X11InputSources final : public InputSources {
public:
    X11InputSources(Logger& log, const std::string& display);
    ~X11InputSources() override;

    std::vector<InputSourceInfo> enabled() override;
    std::optional<std::string> current() override;
    int select(const std::string& id) override;
    void watch(std::function<void()> onChange) override;
    std::string language(const std::string& id) override;

private:
    // The source ids, one per group in group order (call with `c`'s mutex held).
    static std::vector<std::string> groupIds(Connection& c);
    static std::optional<uint32_t> lockedGroup(Connection& c);
    void run();

    Logger& log_;
    std::string display_;
    Connection conn_;
    bool xkb_ = false;

    std::mutex watchMu_;
    std::vector<std::function<void()>> callbacks_;
    std::unique_ptr<Connection> watchConn_;
    uint8_t watchXkbEvent_ = 0;
    Wakeup wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vm::platform::x11
