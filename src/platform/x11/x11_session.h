#pragma once
// The graphics session's facts on a Linux desktop: logind on the system bus (the
// session's Active and LockedHint), else the desktop's screensaver on the session
// bus (GetActive), else nothing — then the session counts as an unlocked one on
// the console. A worker thread finds the source and carries the change signals;
// every D-Bus call has a short timeout, so no caller waits long.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/workspace.h"

namespace vm {
class Logger;
}

namespace vm::platform::x11 {

class X11Session final : public Session {
public:
    enum class Source { none, logind, screensaver };
    static constexpr int kCallTimeoutMillis = 200;

    explicit X11Session(Logger& log);
    ~X11Session() override;
    X11Session(const X11Session&) = delete;
    X11Session& operator=(const X11Session&) = delete;

    std::optional<bool> onConsole() override;
    std::optional<bool> locked() override;
    void watchLock(std::function<void(bool locked)> onChange) override;

    // Where the facts come from (none until the worker has looked).
    Source source() const;

    struct State;

private:
    // One answer kept for a moment, so a busy caller does not cost a bus round trip each time.
    struct Fact {
        bool known = false;
        std::optional<bool> value;
        std::chrono::steady_clock::time_point at;
    };
    std::optional<bool> cachedFact(Fact& fact, const std::function<std::optional<bool>()>& ask);

    std::unique_ptr<State> s_;
    std::mutex factMu_;
    Fact onConsole_, locked_;
};

}  // namespace vm::platform::x11
