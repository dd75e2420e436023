#pragma once
// The X clipboard (the CLIPBOARD selection) as the general pasteboard. What we set
// is served by a thread of our own, on its own connection and hidden window, for as
// long as we own the selection; large values go out in INCR steps. Reading while
// another client owns it asks that client. The change count moves once per clear or
// set, and once for every owner change another client makes (seen through XFixes).
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
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

class X11Pasteboard final : public Pasteboard {
public:
    X11Pasteboard(Logger& log, const std::string& display);
    ~X11Pasteboard() override;

    std::optional<std::string> string(const std::string& type) override;
    void clear() override;
    void setString(const std::string& type, const std::string& value) override;
    int64_t changeCount() override;

private:
    // One value going out in INCR steps to a requestor.
    struct Transfer {
        xcb_window_t requestor = 0;
        xcb_atom_t property = 0;
        xcb_atom_t type = 0;
        std::string data;
        size_t offset = 0;
        std::chrono::steady_clock::time_point lastStep;
    };

    void run();
    void handle(xcb_generic_event_t* ev);
    void answer(const xcb_selection_request_event_t& req);
    void step(const xcb_property_notify_event_t& pn);
    void takeOwnership(xcb_window_t owner);  // call with dataMu_ held
    // Reader side, with conn_'s mutex held.
    std::optional<std::string> fetch(xcb_atom_t target);
    xcb_generic_event_t* waitFor(xcb_window_t window, uint8_t type, xcb_atom_t property,
                                 std::chrono::steady_clock::time_point deadline);

    Logger& log_;
    Connection conn_;   // reads what other clients own
    Connection owner_;  // owns the selection; its events go to the thread
    xcb_window_t readWin_ = 0, ownWin_ = 0;
    xcb_atom_t clipboard_ = 0, targets_ = 0, utf8_ = 0, text_ = 0, plainUtf8_ = 0, incr_ = 0, kdeHint_ = 0,
               readProp_ = 0;
    uint8_t xfixesEvent_ = 0;  // 0 when the server has no XFixes
    uint32_t maxChunk_ = 0;

    std::mutex dataMu_;
    bool owning_ = false;
    std::map<std::string, std::string> values_;
    std::deque<xcb_window_t> expected_;  // owners we set, oldest first: their XFixes notices are ours
    std::atomic<int64_t> count_{0};

    std::vector<Transfer> transfers_;  // the thread's own
    Wakeup wake_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vm::platform::x11
