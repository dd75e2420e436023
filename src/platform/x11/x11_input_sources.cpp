#include "platform/x11/x11_input_sources.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon-x11.h>
// xcb/xkb.h names a struct member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit

#include <cstdlib>
#include <map>

#include "base/log.h"
#include "platform/linux_keys.h"

namespace vm::platform::x11 {

namespace {

constexpr int kUnknownSource = -50;
constexpr size_t kMaxGroups = 4;  // XKB has no more

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        const size_t at = s.find(sep, from);
        out.push_back(s.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) return out;
        from = at + 1;
    }
}

std::string sourceId(const std::string& layout, const std::string& variant) {
    return "xkb:" + layout + (variant.empty() ? "" : "(" + variant + ")");
}

// "pc+us+kr(kr104):2+inet(evdev)" → one id per group, by the ":N" group index.
std::vector<std::string> idsFromSymbols(const std::string& symbols) {
    std::vector<std::string> ids;
    for (const std::string& part : split(symbols, '+')) {
        std::string name = part;
        size_t group = 1;
        if (const size_t colon = name.find(':'); colon != std::string::npos) {
            group = std::strtoul(name.c_str() + colon + 1, nullptr, 10);
            name.resize(colon);
        }
        std::string layout = name, variant;
        if (const size_t paren = name.find('('); paren != std::string::npos) {
            layout = name.substr(0, paren);
            variant = name.substr(paren + 1, name.size() - paren - 2);
        }
        // Shared pieces every keymap includes are not layouts of their own.
        if (layout.empty() || layout == "pc" || layout == "inet" || layout == "group" || layout == "compose" ||
            layout == "level3" || layout == "ctrl" || layout == "capslock" || layout == "altwin" || layout == "terminate")
            continue;
        if (group == 0 || group > kMaxGroups) continue;
        if (ids.size() < group) ids.resize(group);
        if (ids[group - 1].empty()) ids[group - 1] = sourceId(layout, variant);
    }
    std::erase_if(ids, [](const std::string& s) { return s.empty(); });
    return ids;
}

}  // namespace

X11InputSources::X11InputSources(Logger& log, const std::string& display)
    : log_(log), display_(display), conn_(display) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    xkb_ = xkb_x11_setup_xkb_extension(conn_.get(), XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                       XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr) == 1;
    if (!xkb_) log_.logLine("⚠︎ X 서버에 XKB 가 없다 — 입력 소스를 바꿀 수 없다\n");
}

X11InputSources::~X11InputSources() {
    stop_ = true;
    wake_.wake();
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> X11InputSources::groupIds(Connection& c) {
    xcb_connection_t* x = c.get();
    std::vector<std::string> ids;
    // setxkbmap and the desktops record the layouts they built the keymap from here.
    if (const xcb_atom_t names = c.atom("_XKB_RULES_NAMES"); names != XCB_ATOM_NONE) {
        xcb_get_property_reply_t* r =
            xcb_get_property_reply(x, xcb_get_property(x, 0, c.root(), names, XCB_ATOM_STRING, 0, 1024), nullptr);
        if (r && r->format == 8) {
            const std::string value(static_cast<const char*>(xcb_get_property_value(r)),
                                    static_cast<size_t>(xcb_get_property_value_length(r)));
            const std::vector<std::string> fields = split(value, '\0');  // rules, model, layouts, variants, options
            if (fields.size() >= 3 && !fields[2].empty()) {
                const std::vector<std::string> layouts = split(fields[2], ',');
                const std::vector<std::string> variants = fields.size() >= 4 ? split(fields[3], ',') : std::vector<std::string>{};
                for (size_t i = 0; i < layouts.size() && i < kMaxGroups; ++i)
                    ids.push_back(sourceId(layouts[i], i < variants.size() ? variants[i] : ""));
            }
        }
        std::free(r);
    }
    if (!ids.empty()) return ids;

    // Without that record, the keymap's own symbols name says the same.
    xcb_xkb_get_names_reply_t* n =
        xcb_xkb_get_names_reply(x, xcb_xkb_get_names(x, XCB_XKB_ID_USE_CORE_KBD, XCB_XKB_NAME_DETAIL_SYMBOLS), nullptr);
    xcb_atom_t symbols = XCB_ATOM_NONE;
    if (n && n->length >= 1 && (n->which & XCB_XKB_NAME_DETAIL_SYMBOLS))
        symbols = *static_cast<const xcb_atom_t*>(xcb_xkb_get_names_value_list(n));
    std::free(n);
    if (symbols == XCB_ATOM_NONE) return ids;
    xcb_get_atom_name_reply_t* a = xcb_get_atom_name_reply(x, xcb_get_atom_name(x, symbols), nullptr);
    if (a) ids = idsFromSymbols(std::string(xcb_get_atom_name_name(a), static_cast<size_t>(xcb_get_atom_name_name_length(a))));
    std::free(a);
    return ids;
}

std::optional<uint32_t> X11InputSources::lockedGroup(Connection& c) {
    xcb_xkb_get_state_reply_t* st =
        xcb_xkb_get_state_reply(c.get(), xcb_xkb_get_state(c.get(), XCB_XKB_ID_USE_CORE_KBD), nullptr);
    std::optional<uint32_t> g;
    if (st) g = st->lockedGroup;
    std::free(st);
    return g;
}

std::vector<InputSourceInfo> X11InputSources::enabled() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    std::vector<InputSourceInfo> out;
    if (!xkb_) return out;
    for (std::string& id : groupIds(conn_)) out.push_back(InputSourceInfo{std::move(id), true, true});
    return out;
}

std::optional<std::string> X11InputSources::current() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xkb_) return std::nullopt;
    const std::vector<std::string> ids = groupIds(conn_);
    const auto g = lockedGroup(conn_);
    if (!g || *g >= ids.size()) return std::nullopt;
    return ids[*g];
}

int X11InputSources::select(const std::string& id) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!xkb_) return kUnknownSource;
    const std::vector<std::string> ids = groupIds(conn_);
    size_t group = 0;
    while (group < ids.size() && ids[group] != id) ++group;
    if (group == ids.size()) return kUnknownSource;
    xcb_void_cookie_t ck = xcb_xkb_latch_lock_state_checked(conn_.get(), XCB_XKB_ID_USE_CORE_KBD, 0, 0, 1,
                                                            static_cast<uint8_t>(group), 0, 0, 0);
    if (xcb_generic_error_t* err = xcb_request_check(conn_.get(), ck)) {
        const int code = err->error_code;
        std::free(err);
        log_.logLine("입력 소스 " + id + " 를 고르지 못했다 (X 오류 " + std::to_string(code) + ")\n");
        return -code;
    }
    return 0;
}

void X11InputSources::watch(std::function<void()> onChange) {
    std::lock_guard<std::mutex> lk(watchMu_);
    callbacks_.push_back(std::move(onChange));
    if (thread_.joinable() || !xkb_) return;
    try {
        watchConn_ = std::make_unique<Connection>(display_);
    } catch (const std::exception& e) {
        log_.logLine(std::string("⚠︎ 입력 소스 감시용 X 연결을 열지 못했다: ") + e.what() + "\n");
        return;
    }
    xcb_connection_t* c = watchConn_->get();
    uint8_t base = 0;
    if (!xkb_x11_setup_xkb_extension(c, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &base, nullptr))
        return;
    watchXkbEvent_ = base;
    xcb_xkb_select_events_details_t details{};
    details.affectState = details.stateDetails = XCB_XKB_STATE_PART_GROUP_STATE | XCB_XKB_STATE_PART_GROUP_LOCK;
    const uint16_t all = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    const uint16_t parts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS;
    xcb_xkb_select_events_aux(c, XCB_XKB_ID_USE_CORE_KBD, all | XCB_XKB_EVENT_TYPE_STATE_NOTIFY, 0, all, parts, parts,
                              &details);
    // The layout list is read from a root property; a new keymap may come before it is rewritten.
    const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
    xcb_change_window_attributes(c, watchConn_->root(), XCB_CW_EVENT_MASK, mask);
    watchConn_->atom("_XKB_RULES_NAMES");  // interned before the thread uses the map
    xcb_flush(c);
    thread_ = std::thread([this] { run(); });
}

void X11InputSources::run() {
    Connection& w = *watchConn_;
    xcb_connection_t* c = w.get();
    const xcb_atom_t rulesNames = w.atom("_XKB_RULES_NAMES");
    auto snapshot = [&] {
        std::vector<std::string> s = groupIds(w);
        const auto g = lockedGroup(w);
        s.push_back(g ? std::to_string(*g) : "-");
        return s;
    };
    std::vector<std::string> last = snapshot();
    const int fd = xcb_get_file_descriptor(c);
    while (!stop_) {
        bool look = false;
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            const uint8_t type = ev->response_type & 0x7f;
            if (type == watchXkbEvent_) look = true;
            if (type == XCB_PROPERTY_NOTIFY && reinterpret_cast<xcb_property_notify_event_t*>(ev)->atom == rulesNames)
                look = true;
            std::free(ev);
        }
        if (xcb_connection_has_error(c)) {
            log_.logLine("⚠︎ 입력 소스 감시의 X 연결이 끊겼다\n");
            return;
        }
        if (look) {
            std::vector<std::string> now = snapshot();
            if (now != last) {
                last = std::move(now);
                std::vector<std::function<void()>> cbs;
                {
                    std::lock_guard<std::mutex> lk(watchMu_);
                    cbs = callbacks_;
                }
                for (auto& cb : cbs) cb();
            }
            continue;  // the round trips above may have queued more events
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
        ::poll(fds, wake_.fd() >= 0 ? 2 : 1, 1000);
    }
}

std::string X11InputSources::language(const std::string& id) { return layoutLanguage(id); }

}  // namespace vm::platform::x11
