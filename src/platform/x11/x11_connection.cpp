#include "platform/x11/x11_connection.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace vm::platform::x11 {

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
    if (fd_ >= 0) ::close(fd_);
}

void Wakeup::wake() {
    if (fd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void Wakeup::drain() {
    if (fd_ < 0) return;
    uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(fd_, &count, sizeof count);
}

Connection::Connection(const std::string& display) {
    const char* env = std::getenv("DISPLAY");
    display_ = display.empty() ? (env ? env : "") : display;
    int screenNum = 0;
    c_ = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNum);
    if (!c_ || xcb_connection_has_error(c_)) {
        if (c_) xcb_disconnect(c_);
        c_ = nullptr;
        throw std::runtime_error("cannot connect to X display \"" + display_ + "\"");
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c_));
    for (int i = 0; i < screenNum && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) {
        xcb_disconnect(c_);
        c_ = nullptr;
        throw std::runtime_error("X display \"" + display_ + "\" has no screen");
    }
    screen_ = it.data;
}

Connection::~Connection() {
    if (c_) xcb_disconnect(c_);
}

xcb_atom_t Connection::atom(const std::string& name) {
    auto it = atoms_.find(name);
    if (it != atoms_.end()) return it->second;
    xcb_intern_atom_cookie_t ck = xcb_intern_atom(c_, 0, static_cast<uint16_t>(name.size()), name.c_str());
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c_, ck, nullptr);
    xcb_atom_t a = r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    if (a != XCB_ATOM_NONE) atoms_.emplace(name, a);
    return a;
}

bool Connection::hasExtension(const std::string& name) {
    xcb_query_extension_cookie_t ck = xcb_query_extension(c_, static_cast<uint16_t>(name.size()), name.c_str());
    xcb_query_extension_reply_t* r = xcb_query_extension_reply(c_, ck, nullptr);
    bool present = r && r->present;
    std::free(r);
    return present;
}

}  // namespace vm::platform::x11
