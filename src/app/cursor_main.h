#pragma once
// The input side: finishes its start-up, then takes one control message at a
// time from the inbox, runs the periodic sweeps and routes every line.
#include <functional>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "control/ctl_inbox.h"
#include "control/ctl_send.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "pairing/pair_store.h"
#include "platform/platform.h"

namespace vm {

struct CursorDeps {
    const Clock& clock;
    Logger& log;
    platform::Platform& platform;
    const HookTables& hooks;
    CtlInbox& inbox;
    PhoneState& phone;
    CtlSender& sender;
    PairStore& pairStore;
};

class CursorMain {
public:
    explicit CursorMain(CursorDeps deps) : d_(deps) {}

    // Start-up, then the message loop; never returns.
    [[noreturn]] void run();
    // The start-up steps before the loop (displays back on, SIGTERM path, permission log).
    void startUp();
    // One pass of the loop, waiting at most `popTimeout` seconds for a message.
    void pass(double popTimeout = 1.0);

    // Turns physical displays back on (start-up and SIGTERM). The display policy fills it.
    std::function<void()> physicalDisplaysOn;
    // The command dispatcher that receives every line the control side does not consume.
    std::function<void(const std::string& line)> handle;

private:
    void route(const CtlMsg& msg, const std::vector<std::string>& lines);

    CursorDeps d_;
};

}  // namespace vm
