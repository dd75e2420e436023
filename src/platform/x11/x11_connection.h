#pragma once
// One XCB connection to the X server, owned by one service of the X11 backend.
// Each service (events, displays, capture, windows, clipboard, input sources) has
// its own, so no thread waits on another's round trip; calls on one connection
// are serialised by its mutex.
#include <xcb/xcb.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vm::platform::x11 {

// An XCB reply, freed with free() as XCB wants; null when the request failed.
struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

// Wakes a thread that waits in poll() on its X connection (to stop it, or to
// look at new work): one eventfd, written to wake, emptied by the waiter.
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;
    int fd() const { return fd_; }  // -1 when none could be made
    void wake();
    void drain();

private:
    int fd_ = -1;
};

class Connection {
public:
    // Connects to `display` ("" = $DISPLAY). Throws std::runtime_error naming the display when it cannot.
    explicit Connection(const std::string& display);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* get() const { return c_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    const std::string& displayName() const { return display_; }
    // The atom for `name`, interned once and remembered. Call with mutex() held (or before sharing).
    xcb_atom_t atom(const std::string& name);
    // Serialises use of the connection between threads.
    std::mutex& mutex() { return mu_; }
    // Whether the server has the extension `name` (e.g. "XTEST", "RANDR", "MIT-SHM").
    bool hasExtension(const std::string& name);

private:
    std::string display_;
    xcb_connection_t* c_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    std::map<std::string, xcb_atom_t> atoms_;
    std::mutex mu_;
};

}  // namespace vm::platform::x11
