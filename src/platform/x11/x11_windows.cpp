#include "platform/x11/x11_windows.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "base/log.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_icons.h"

namespace vm::platform::x11 {

namespace {

// Replies whose errors are dropped here rather than queued as events.
Reply<xcb_get_property_reply_t> propertyReply(xcb_connection_t* c, xcb_get_property_cookie_t ck) {
    xcb_generic_error_t* e = nullptr;
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(c, ck, &e));
    std::free(e);
    return r;
}

Reply<xcb_get_geometry_reply_t> geometryReply(xcb_connection_t* c, xcb_get_geometry_cookie_t ck) {
    xcb_generic_error_t* e = nullptr;
    Reply<xcb_get_geometry_reply_t> r(xcb_get_geometry_reply(c, ck, &e));
    std::free(e);
    return r;
}

Reply<xcb_translate_coordinates_reply_t> translateReply(xcb_connection_t* c, xcb_translate_coordinates_cookie_t ck) {
    xcb_generic_error_t* e = nullptr;
    Reply<xcb_translate_coordinates_reply_t> r(xcb_translate_coordinates_reply(c, ck, &e));
    std::free(e);
    return r;
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, uint32_t longs = 1024) {
    return xcb_get_property(c, 0, w, prop, XCB_GET_PROPERTY_TYPE_ANY, 0, longs);
}

std::vector<uint32_t> values32(xcb_get_property_reply_t* r) {
    if (!r || r->format != 32) return {};
    const int n = xcb_get_property_value_length(r) / 4;
    if (n <= 0) return {};
    const auto* p = static_cast<const uint32_t*>(xcb_get_property_value(r));
    return std::vector<uint32_t>(p, p + n);
}

std::string text8(xcb_get_property_reply_t* r) {
    if (!r || r->format != 8) return {};
    const int n = xcb_get_property_value_length(r);
    if (n <= 0) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(r)), static_cast<size_t>(n));
}

bool has(const std::vector<uint32_t>& list, xcb_atom_t a) {
    return a != XCB_ATOM_NONE && std::find(list.begin(), list.end(), a) != list.end();
}

bool containsTerminalWord(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    static constexpr std::array<const char*, 10> kWords = {"term",       "konsole", "alacritty", "kitty",   "tilix",
                                                           "terminator", "xterm",   "urxvt",     "wezterm", "foot"};
    for (const char* w : kWords)
        if (s.find(w) != std::string::npos) return true;
    return false;
}

// X window coordinates are 16-bit; keep requests where they mean what they say.
int32_t clampCoordinate(double v) { return static_cast<int32_t>(std::lround(std::clamp(v, -30000.0, 30000.0))); }
uint32_t clampLength(double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 1.0, 30000.0))); }

constexpr uint32_t kSourcePager = 2;  // "the request comes from a pager or similar tool"
// North-west gravity: x and y place the outer frame's top-left corner.
constexpr uint32_t kNorthWestGravity = 1;
// Which fields of _NET_MOVERESIZE_WINDOW count.
constexpr uint32_t kMoveX = 1u << 8, kMoveY = 1u << 9, kMoveWidth = 1u << 10, kMoveHeight = 1u << 11;
constexpr uint32_t kIconicState = 3;

}  // namespace

X11Windows::X11Windows(Logger& log, const std::string& display, Displays& displays)
    : log_(log), displays_(displays), conn_(display) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    // Interned once now, so later calls find them without a round trip.
    for (const char* name :
         {"_NET_CLIENT_LIST", "_NET_CLIENT_LIST_STACKING", "_NET_ACTIVE_WINDOW", "_NET_WM_PID", "_NET_WM_NAME",
          "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DOCK",
          "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN",
          "_NET_WM_STATE_FULLSCREEN", "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ", "WM_STATE",
          "_NET_FRAME_EXTENTS", "_NET_WM_ICON", "_NET_MOVERESIZE_WINDOW"})
        conn_.atom(name);
}

X11Windows::~X11Windows() = default;

int32_t X11Windows::classKey(const std::string& basis) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char b : basis) {
        h ^= b;
        h *= 16777619u;
    }
    return static_cast<int32_t>(0x40000000u | (h & 0x3FFFFFFFu));
}

bool X11Windows::usableLocked() {
    drainLocked();
    if (!xcb_connection_has_error(conn_.get())) return true;
    if (!lostLogged_.exchange(true))
        log_.logLine("⚠︎ X 서버 연결이 끊겼다 — 앱과 창을 더는 읽을 수 없다\n");
    return false;
}

void X11Windows::drainLocked() {
    // Errors of requests without replies (a window that vanished) arrive as events; nothing else is selected.
    while (xcb_generic_event_t* ev = xcb_poll_for_event(conn_.get())) std::free(ev);
}

std::vector<xcb_window_t> X11Windows::clientListLocked(bool stacking) {
    xcb_connection_t* c = conn_.get();
    const xcb_atom_t prop = conn_.atom(stacking ? "_NET_CLIENT_LIST_STACKING" : "_NET_CLIENT_LIST");
    auto r = propertyReply(c, askProperty(c, conn_.root(), prop, 1u << 16));
    std::vector<uint32_t> ids = values32(r.get());
    return std::vector<xcb_window_t>(ids.begin(), ids.end());
}

std::vector<X11Windows::Client> X11Windows::describeLocked(const std::vector<xcb_window_t>& windows) {
    xcb_connection_t* c = conn_.get();
    const xcb_atom_t pidAtom = conn_.atom("_NET_WM_PID"), nameAtom = conn_.atom("_NET_WM_NAME"),
                     typeAtom = conn_.atom("_NET_WM_WINDOW_TYPE"), stateAtom = conn_.atom("_NET_WM_STATE"),
                     wmStateAtom = conn_.atom("WM_STATE");
    // Every request first, then the replies: one round trip for the whole list.
    struct Asked {
        xcb_get_property_cookie_t pid, cls, name, legacyName, type, state, wmState;
    };
    std::vector<Asked> asked;
    asked.reserve(windows.size());
    for (xcb_window_t w : windows)
        asked.push_back(Asked{askProperty(c, w, pidAtom, 1), askProperty(c, w, XCB_ATOM_WM_CLASS),
                              askProperty(c, w, nameAtom), askProperty(c, w, XCB_ATOM_WM_NAME),
                              askProperty(c, w, typeAtom), askProperty(c, w, stateAtom),
                              askProperty(c, w, wmStateAtom, 2)});
    const xcb_atom_t normal = conn_.atom("_NET_WM_WINDOW_TYPE_NORMAL"), dock = conn_.atom("_NET_WM_WINDOW_TYPE_DOCK"),
                     desktop = conn_.atom("_NET_WM_WINDOW_TYPE_DESKTOP"),
                     notification = conn_.atom("_NET_WM_WINDOW_TYPE_NOTIFICATION"),
                     hiddenAtom = conn_.atom("_NET_WM_STATE_HIDDEN"), fullAtom = conn_.atom("_NET_WM_STATE_FULLSCREEN"),
                     maxV = conn_.atom("_NET_WM_STATE_MAXIMIZED_VERT"),
                     maxH = conn_.atom("_NET_WM_STATE_MAXIMIZED_HORZ");

    std::vector<Client> out;
    out.reserve(windows.size());
    for (size_t i = 0; i < windows.size(); ++i) {
        Client cl;
        cl.window = windows[i];
        auto pidReply = propertyReply(c, asked[i].pid);
        auto clsReply = propertyReply(c, asked[i].cls);
        auto nameReply = propertyReply(c, asked[i].name);
        auto legacyReply = propertyReply(c, asked[i].legacyName);
        auto typeReply = propertyReply(c, asked[i].type);
        auto stateReply = propertyReply(c, asked[i].state);
        auto wmStateReply = propertyReply(c, asked[i].wmState);

        // WM_CLASS is "instance\0class\0".
        const std::string cls = text8(clsReply.get());
        const size_t nul = cls.find('\0');
        cl.instance = cls.substr(0, nul);
        if (nul != std::string::npos) cl.cls = cls.substr(nul + 1, cls.find('\0', nul + 1) - nul - 1);
        cl.title = text8(nameReply.get());
        if (cl.title.empty()) cl.title = text8(legacyReply.get());

        const std::vector<uint32_t> types = values32(typeReply.get());
        cl.desktopElement = has(types, dock) || has(types, desktop);
        cl.ordinary = types.empty() || has(types, normal);
        cl.notification = has(types, notification);
        const std::vector<uint32_t> state = values32(stateReply.get());
        const std::vector<uint32_t> wmState = values32(wmStateReply.get());
        cl.hidden = has(state, hiddenAtom) || (!wmState.empty() && wmState[0] == kIconicState);
        cl.fullScreen = has(state, fullAtom);
        cl.maximized = has(state, maxV) || has(state, maxH);

        // A process id only counts when it can be one; the class keys sit above every real one.
        const std::vector<uint32_t> pid = values32(pidReply.get());
        if (!pid.empty() && pid[0] > 0 && pid[0] < 0x40000000u)
            cl.key = static_cast<int32_t>(pid[0]);
        else if (!cl.cls.empty())
            cl.key = classKey(cl.cls);
        else if (!cl.instance.empty())
            cl.key = classKey(cl.instance);
        else
            cl.key = classKey("window " + std::to_string(cl.window));
        out.push_back(std::move(cl));
    }
    return out;
}

std::vector<X11Windows::Client> X11Windows::appClientsLocked(int32_t key, bool stacking) {
    std::vector<Client> out;
    for (Client& cl : describeLocked(clientListLocked(stacking)))
        if (cl.key == key && !cl.desktopElement) out.push_back(std::move(cl));
    return out;
}

std::optional<X11Windows::Client> X11Windows::clientLocked(ElementRef ref) {
    if (ref == 0 || ref > 0xFFFFFFFFu || !usableLocked()) return std::nullopt;
    const auto w = static_cast<xcb_window_t>(ref);
    const std::vector<xcb_window_t> list = clientListLocked(false);
    // Only the window manager's own clients: never the root, a frame or someone's popup.
    if (std::find(list.begin(), list.end(), w) == list.end()) return std::nullopt;
    std::vector<Client> d = describeLocked({w});
    if (d.empty() || d[0].desktopElement) return std::nullopt;
    return d[0];
}

X11Windows::Extents X11Windows::extentsLocked(xcb_window_t window) {
    xcb_connection_t* c = conn_.get();
    auto r = propertyReply(c, askProperty(c, window, conn_.atom("_NET_FRAME_EXTENTS"), 4));
    const std::vector<uint32_t> v = values32(r.get());
    Extents e;
    if (v.size() >= 4)
        e = Extents{std::min(v[0], 4096u), std::min(v[1], 4096u), std::min(v[2], 4096u), std::min(v[3], 4096u)};
    return e;
}

std::vector<std::optional<Rect>> X11Windows::framesLocked(const std::vector<xcb_window_t>& windows) {
    xcb_connection_t* c = conn_.get();
    const xcb_atom_t extentsAtom = conn_.atom("_NET_FRAME_EXTENTS");
    struct Asked {
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t extents;
    };
    std::vector<Asked> asked;
    asked.reserve(windows.size());
    for (xcb_window_t w : windows)
        asked.push_back(Asked{xcb_get_geometry(c, w), xcb_translate_coordinates(c, w, conn_.root(), 0, 0),
                              askProperty(c, w, extentsAtom, 4)});
    std::vector<std::optional<Rect>> out;
    out.reserve(windows.size());
    for (const Asked& a : asked) {
        auto g = geometryReply(c, a.geometry);
        auto t = translateReply(c, a.origin);
        auto x = propertyReply(c, a.extents);
        if (!g || !t) {
            out.emplace_back(std::nullopt);
            continue;
        }
        const std::vector<uint32_t> v = values32(x.get());
        double l = 0, r = 0, top = 0, b = 0;
        if (v.size() >= 4) {
            l = std::min(v[0], 4096u), r = std::min(v[1], 4096u), top = std::min(v[2], 4096u),
            b = std::min(v[3], 4096u);
        }
        // The translated origin lies inside the client's own border; the frame wraps border and decorations.
        const double bw = g->border_width;
        out.emplace_back(
            Rect{t->dst_x - bw - l, t->dst_y - bw - top, g->width + 2 * bw + l + r, g->height + 2 * bw + top + b});
    }
    return out;
}

xcb_window_t X11Windows::activeWindowLocked() {
    xcb_connection_t* c = conn_.get();
    auto r = propertyReply(c, askProperty(c, conn_.root(), conn_.atom("_NET_ACTIVE_WINDOW"), 1));
    const std::vector<uint32_t> v = values32(r.get());
    return v.empty() ? xcb_window_t{XCB_WINDOW_NONE} : v[0];
}

void X11Windows::sendLocked(xcb_window_t window, const char* message, const uint32_t (&data)[5]) {
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = window;
    ev.type = conn_.atom(message);
    for (int i = 0; i < 5; ++i) ev.data.data32[i] = data[i];
    xcb_send_event(conn_.get(), 0, conn_.root(),
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&ev));
}

void X11Windows::activateWindowLocked(xcb_window_t window) {
    // An iconic client comes back when mapped (the window manager sees a map request);
    // the activation then raises and focuses it, switching workspace when needed.
    xcb_map_window(conn_.get(), window);
    sendLocked(window, "_NET_ACTIVE_WINDOW", {kSourcePager, XCB_CURRENT_TIME, activeWindowLocked(), 0, 0});
}

void X11Windows::setStateLocked(xcb_window_t window, bool on, const char* state, const char* state2) {
    sendLocked(
        window, "_NET_WM_STATE",
        {on ? 1u : 0u, conn_.atom(state), state2 ? conn_.atom(state2) : xcb_atom_t{XCB_ATOM_NONE}, kSourcePager, 0});
}

bool X11Windows::settle(const std::function<bool()>& check) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleMillis);
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(conn_.mutex());
            if (!usableLocked()) return false;
            if (check()) return true;
        }
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Workspace

std::vector<RunningApp> X11Windows::runningApps() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!usableLocked()) return {};
    std::vector<RunningApp> apps;
    std::map<int32_t, size_t> index;
    for (const Client& cl : describeLocked(clientListLocked(false))) {
        if (cl.desktopElement) continue;
        auto [it, fresh] = index.emplace(cl.key, apps.size());
        if (fresh) {
            RunningApp app;
            app.pid = cl.key;
            if (!cl.cls.empty())
                app.name = cl.cls;
            else if (!cl.title.empty())
                app.name = cl.title;
            app.bundleID = cl.instance.empty() ? cl.cls : cl.cls.empty() ? cl.instance : cl.instance + "." + cl.cls;
            // Only panels, dialogs and the like so far: an app without a place among ordinary windows.
            app.policy = ActivationPolicy::accessory;
            apps.push_back(std::move(app));
        }
        if (cl.ordinary) apps[it->second].policy = ActivationPolicy::regular;
    }
    return apps;
}

std::optional<int32_t> X11Windows::frontmostApp() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!usableLocked()) return std::nullopt;
    const xcb_window_t active = activeWindowLocked();
    if (active == XCB_WINDOW_NONE) return std::nullopt;
    std::vector<Client> d = describeLocked({active});
    if (d.empty() || d[0].desktopElement) return std::nullopt;
    return d[0].key;
}

bool X11Windows::activate(int32_t pid, bool allWindows) {
    {
        std::lock_guard<std::mutex> lk(conn_.mutex());
        if (!usableLocked()) return false;
        const std::vector<Client> mine = appClientsLocked(pid, true);  // bottom to top
        if (mine.empty()) return false;
        if (allWindows) {
            // Bottom to top, so they all end above the others in their own order.
            for (const Client& cl : mine) activateWindowLocked(cl.window);
        } else {
            const Client* target = &mine.back();
            for (auto it = mine.rbegin(); it != mine.rend(); ++it)
                if (!it->hidden) {
                    target = &*it;
                    break;
                }
            activateWindowLocked(target->window);
        }
        xcb_flush(conn_.get());
    }
    // The window manager acts on its own time; a read right after should see the app in front.
    settle([this, pid] {
        const xcb_window_t active = activeWindowLocked();
        if (active == XCB_WINDOW_NONE) return false;
        std::vector<Client> d = describeLocked({active});
        return !d.empty() && d[0].key == pid;
    });
    return true;
}

std::optional<RgbaImage> X11Windows::appIcon(int32_t pid) {
    std::vector<std::vector<uint32_t>> icons;
    {
        std::lock_guard<std::mutex> lk(conn_.mutex());
        if (!usableLocked()) return std::nullopt;
        xcb_connection_t* c = conn_.get();
        const xcb_atom_t iconAtom = conn_.atom("_NET_WM_ICON");
        std::vector<xcb_get_property_cookie_t> asked;
        for (const Client& cl : appClientsLocked(pid, false))
            asked.push_back(askProperty(c, cl.window, iconAtom, kMaxIconLongs));
        for (auto ck : asked) {
            auto r = propertyReply(c, ck);
            std::vector<uint32_t> v = values32(r.get());
            if (!v.empty()) icons.push_back(std::move(v));
        }
    }
    std::optional<RgbaImage> best;
    for (const auto& data : icons) {
        std::optional<RgbaImage> img = largestIcon(data);
        if (img && (!best || img->width * img->height > best->width * best->height)) best = std::move(img);
    }
    if (!best) return std::nullopt;
    return scaleIcon(*best, kIconSide);
}

std::string X11Windows::loginName() {
    const uid_t uid = ::getuid();
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name && *found->pw_name)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user && *user ? user : std::to_string(uid);
}

// WindowServer

std::vector<WindowInfo> X11Windows::windowList() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!usableLocked()) return {};
    std::vector<xcb_window_t> order = clientListLocked(true);
    std::reverse(order.begin(), order.end());  // the window manager lists bottom to top
    std::vector<Client> clients = describeLocked(order);
    std::vector<xcb_window_t> shown;
    for (const Client& cl : clients)
        if (!cl.desktopElement) shown.push_back(cl.window);
    const std::vector<std::optional<Rect>> frames = framesLocked(shown);
    std::vector<WindowInfo> out;
    size_t i = 0;
    for (const Client& cl : clients) {
        if (cl.desktopElement) continue;
        WindowInfo info;
        // Notifications float above ordinary windows the way status windows do.
        info.layer = cl.notification ? 25 : 0;
        info.ownerPID = cl.key;
        info.number = cl.window;
        info.bounds = frames[i++];
        if (info.bounds) out.push_back(info);  // a window gone between the two reads is left out
    }
    return out;
}

// WindowElements

std::optional<std::vector<ElementRef>> X11Windows::appWindows(int32_t pid) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!usableLocked()) return std::nullopt;
    std::vector<Client> mine = appClientsLocked(pid, true);
    if (mine.empty()) return std::nullopt;  // no such app
    std::vector<ElementRef> out;
    for (auto it = mine.rbegin(); it != mine.rend(); ++it) out.push_back(it->window);
    return out;
}

std::optional<Point> X11Windows::position(ElementRef window) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!clientLocked(window)) return std::nullopt;
    const auto f = framesLocked({static_cast<xcb_window_t>(window)});
    if (!f[0]) return std::nullopt;
    return Point{f[0]->x, f[0]->y};
}

std::optional<Size> X11Windows::size(ElementRef window) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!clientLocked(window)) return std::nullopt;
    const auto f = framesLocked({static_cast<xcb_window_t>(window)});
    if (!f[0]) return std::nullopt;
    return Size{f[0]->width, f[0]->height};
}

std::optional<bool> X11Windows::minimized(ElementRef window) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    const auto cl = clientLocked(window);
    if (!cl) return std::nullopt;
    return cl->hidden;
}

std::optional<bool> X11Windows::fullScreen(ElementRef window) {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    const auto cl = clientLocked(window);
    if (!cl) return std::nullopt;
    return cl->fullScreen;
}

bool X11Windows::setFullScreen(ElementRef window, bool on) {
    const auto w = static_cast<xcb_window_t>(window);
    {
        std::lock_guard<std::mutex> lk(conn_.mutex());
        const auto cl = clientLocked(window);
        if (!cl) return false;
        if (cl->fullScreen == on) return true;
        setStateLocked(w, on, "_NET_WM_STATE_FULLSCREEN");
        xcb_flush(conn_.get());
    }
    return settle([this, w, on] {
        std::vector<Client> d = describeLocked({w});
        return !d.empty() && d[0].fullScreen == on;
    });
}

bool X11Windows::setSize(ElementRef window, Size size) {
    if (!std::isfinite(size.width) || !std::isfinite(size.height)) return false;
    const auto w = static_cast<xcb_window_t>(window);
    const uint32_t outerW = clampLength(size.width), outerH = clampLength(size.height);
    Rect before;
    {
        std::lock_guard<std::mutex> lk(conn_.mutex());
        const auto cl = clientLocked(window);
        if (!cl) return false;
        const auto f = framesLocked({w});
        if (!f[0]) return false;
        before = *f[0];
        if (std::lround(before.width) == outerW && std::lround(before.height) == outerH) return true;
        // A maximised window keeps its size until it is one no more.
        if (cl->maximized) setStateLocked(w, false, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
        const Extents e = extentsLocked(w);
        const uint32_t dw = e.left + e.right, dh = e.top + e.bottom;
        const uint32_t clientW = outerW > dw ? outerW - dw : 1, clientH = outerH > dh ? outerH - dh : 1;
        // The position goes along unchanged: window managers differ in where a size-only
        // request leaves a window (openbox reads its frame origin as the client's).
        sendLocked(w, "_NET_MOVERESIZE_WINDOW",
                   {kNorthWestGravity | kMoveX | kMoveY | kMoveWidth | kMoveHeight | (kSourcePager << 12),
                    static_cast<uint32_t>(clampCoordinate(before.x)), static_cast<uint32_t>(clampCoordinate(before.y)),
                    clientW, clientH});
        xcb_flush(conn_.get());
    }
    std::optional<Rect> after;
    const bool exact = settle([this, w, outerW, outerH, &after] {
        after = framesLocked({w})[0];
        return after && std::lround(after->width) == outerW && std::lround(after->height) == outerH;
    });
    // Size hints (steps, limits) may round the request; any change counts as done.
    return exact || (after && (after->width != before.width || after->height != before.height));
}

bool X11Windows::setPosition(ElementRef window, Point position) {
    if (!std::isfinite(position.x) || !std::isfinite(position.y)) return false;
    const auto w = static_cast<xcb_window_t>(window);
    const int32_t x = clampCoordinate(position.x), y = clampCoordinate(position.y);
    Rect before;
    {
        std::lock_guard<std::mutex> lk(conn_.mutex());
        const auto cl = clientLocked(window);
        if (!cl) return false;
        const auto f = framesLocked({w});
        if (!f[0]) return false;
        before = *f[0];
        if (std::lround(before.x) == x && std::lround(before.y) == y) return true;
        if (cl->maximized) setStateLocked(w, false, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
        // Frame coordinates as they are: the window manager adds its decorations itself (and
        // keeps track of them better than a client-side sum would across full-screen changes).
        sendLocked(w, "_NET_MOVERESIZE_WINDOW",
                   {kNorthWestGravity | kMoveX | kMoveY | (kSourcePager << 12), static_cast<uint32_t>(x),
                    static_cast<uint32_t>(y), 0, 0});
        xcb_flush(conn_.get());
    }
    std::optional<Rect> after;
    const bool exact = settle([this, w, x, y, &after] {
        after = framesLocked({w})[0];
        return after && std::lround(after->x) == x && std::lround(after->y) == y;
    });
    // A window the manager keeps in place (or on screen) did not move: that is a failure.
    return exact || (after && (after->x != before.x || after->y != before.y));
}

bool X11Windows::revealApp(int32_t pid) {
    {
        std::lock_guard<std::mutex> lk(conn_.mutex());
        if (!usableLocked()) return false;
        const std::vector<Client> mine = appClientsLocked(pid, true);
        if (mine.empty()) return false;
        bool any = false;
        for (const Client& cl : mine)
            if (cl.hidden) {
                activateWindowLocked(cl.window);
                any = true;
            }
        // Nothing hidden: a launcher click just brings the app forward.
        if (!any) activateWindowLocked(mine.back().window);
        xcb_flush(conn_.get());
    }
    settle([this, pid] {
        for (const Client& cl : appClientsLocked(pid, false))
            if (cl.hidden) return false;
        return true;
    });
    return true;
}

bool X11Windows::focusedIsTerminal() {
    std::lock_guard<std::mutex> lk(conn_.mutex());
    if (!usableLocked()) return false;
    xcb_window_t w = activeWindowLocked();
    if (w == XCB_WINDOW_NONE) {
        xcb_generic_error_t* e = nullptr;
        Reply<xcb_get_input_focus_reply_t> f(
            xcb_get_input_focus_reply(conn_.get(), xcb_get_input_focus(conn_.get()), &e));
        std::free(e);
        if (!f || f->focus == XCB_WINDOW_NONE || f->focus == XCB_INPUT_FOCUS_POINTER_ROOT || f->focus == conn_.root())
            return false;
        w = f->focus;
    }
    std::vector<Client> d = describeLocked({w});
    return !d.empty() && (containsTerminalWord(d[0].instance) || containsTerminalWord(d[0].cls));
}

}  // namespace vm::platform::x11
