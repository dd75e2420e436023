#include "platform/x11/x11_displays.h"

#include <atomic>
#include <cstring>
#include <csignal>
#include <cerrno>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <stdexcept>

#include "base/log.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_edid.h"

namespace vm::platform::x11 {

namespace {

constexpr double kPixelsPerMM = 3.78;
// Ids of the virtual monitors made on an enlarged framebuffer. X resource ids use
// 29 bits, so these never meet an output's id.
constexpr DisplayID kMonitorIdBase = 0x7E000000;
// The output property that marks an output the agent has used as its virtual
// display (vendor, product, serial); it stays, so the output counts as free later.
constexpr const char* kMarker = "_VELLOMARK_VIRTUAL";
constexpr uint16_t kSwapped = XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270;

uint32_t mmAt96Dpi(uint32_t px) { return static_cast<uint32_t>(std::lround(px * 25.4 / 96.0)); }

// libxcb's xcb_randr_set_monitor gets the request's length wrong and the connection
// closes on it; these are the same bytes, counted right.
xcb_void_cookie_t setMonitor(xcb_connection_t* c, xcb_window_t root, const xcb_randr_monitor_info_t& info) {
    static const xcb_protocol_request_t req = {3, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    xcb_randr_set_monitor_request_t head{};
    head.window = root;
    iovec parts[5];
    parts[2].iov_base = &head;
    parts[2].iov_len = sizeof head;
    parts[3].iov_base = nullptr;
    parts[3].iov_len = 0;
    parts[4].iov_base = const_cast<xcb_randr_monitor_info_t*>(&info);
    parts[4].iov_len = sizeof info;
    return xcb_void_cookie_t{xcb_send_request(c, XCB_REQUEST_CHECKED, parts + 2, &req)};
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// What a client must do to every void request whose failure matters.
bool checked(xcb_connection_t* c, xcb_void_cookie_t ck) {
    xcb_generic_error_t* e = xcb_request_check(c, ck);
    const bool ok = e == nullptr;
    std::free(e);
    return ok;
}

double refreshOf(const xcb_randr_mode_info_t& m) {
    double lines = m.vtotal;
    if (m.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN) lines *= 2;
    if (m.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE) lines /= 2;
    if (m.htotal == 0 || lines <= 0) return 0;
    return m.dot_clock / (m.htotal * lines);
}

DisplayMode toMode(const xcb_randr_mode_info_t& m) {
    return DisplayMode{m.width, m.height, m.width, m.height, refreshOf(m), 0};
}

// A reduced-blanking timing in the manner of CVT: a short fixed horizontal blank and
// at least 460 µs of vertical blank, with the clock chosen for the exact refresh.
xcb_randr_mode_info_t cvtTiming(uint16_t w, uint16_t h, double hz) {
    xcb_randr_mode_info_t m{};
    m.width = w;
    m.height = h;
    m.hsync_start = static_cast<uint16_t>(w + 48);
    m.hsync_end = static_cast<uint16_t>(w + 80);
    m.htotal = static_cast<uint16_t>(w + 160);
    const double linePeriod = (1.0 / hz - 460e-6) / h;
    const int vblank = std::max(3 + 10 + 6, static_cast<int>(460e-6 / linePeriod) + 1);
    m.vsync_start = static_cast<uint16_t>(h + 3);
    m.vsync_end = static_cast<uint16_t>(h + 13);
    m.vtotal = static_cast<uint16_t>(h + vblank);
    m.dot_clock = static_cast<uint32_t>(std::lround(double(m.htotal) * m.vtotal * hz));
    m.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_NEGATIVE;
    return m;
}

struct OutputRec {
    xcb_randr_output_t id = 0;
    std::string name;
    uint8_t connection = XCB_RANDR_CONNECTION_UNKNOWN;
    xcb_randr_crtc_t crtc = 0;
    std::vector<xcb_randr_crtc_t> crtcs;
    std::vector<xcb_randr_mode_t> modes;
    uint16_t preferred = 0;
    uint32_t mmW = 0, mmH = 0;
};

struct CrtcRec {
    xcb_randr_crtc_t id = 0;
    int32_t x = 0, y = 0;
    uint32_t w = 0, h = 0;
    xcb_randr_mode_t mode = 0;
    uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
    std::vector<xcb_randr_output_t> outputs;
};

// One reading of the server's RandR state.
struct Snapshot {
    bool ok = false;
    xcb_timestamp_t configTime = 0;
    uint32_t screenW = 0, screenH = 0;
    xcb_randr_output_t primary = 0;
    std::vector<OutputRec> outputs;
    std::vector<CrtcRec> crtcs;
    std::map<xcb_randr_mode_t, xcb_randr_mode_info_t> modes;
    std::map<xcb_randr_mode_t, std::string> modeNames;

    const OutputRec* output(xcb_randr_output_t id) const {
        for (const auto& o : outputs)
            if (o.id == id) return &o;
        return nullptr;
    }
    const CrtcRec* crtc(xcb_randr_crtc_t id) const {
        for (const auto& c : crtcs)
            if (c.id == id) return &c;
        return nullptr;
    }
    // The CRTC showing `output`, when it shows it with a mode.
    const CrtcRec* activeCrtc(xcb_randr_output_t output) const {
        const OutputRec* o = this->output(output);
        if (!o || !o->crtc) return nullptr;
        const CrtcRec* c = crtc(o->crtc);
        return c && c->mode ? c : nullptr;
    }
};

// A display as the lists show it.
struct Shown {
    DisplayID id = 0;
    int32_t x = 0, y = 0;
    uint32_t w = 0, h = 0;
};

struct CrtcPlan {
    xcb_randr_crtc_t crtc = 0;
    xcb_randr_mode_t mode = 0;
    uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
    int32_t x = 0, y = 0;
    std::vector<xcb_randr_output_t> outputs;
    bool needsPlace = false;  // switched on without an origin: goes right of the others
};

struct MonitorPlan {
    DisplayID id = 0;
    int32_t x = 0, y = 0;
    uint32_t w = 0, h = 0;
    bool needsPlace = false;
};

struct Plan {
    std::vector<CrtcPlan> crtcs;
    std::vector<MonitorPlan> monitors;
    std::optional<DisplayID> wantPrimary;  // asked to be at 0,0 by the transaction
    std::map<xcb_randr_output_t, std::pair<int32_t, int32_t>> origins;  // for displays still off

    CrtcPlan* holding(xcb_randr_output_t out) {
        for (auto& c : crtcs)
            if (std::find(c.outputs.begin(), c.outputs.end(), out) != c.outputs.end()) return &c;
        return nullptr;
    }
    MonitorPlan* monitor(DisplayID id) {
        for (auto& m : monitors)
            if (m.id == id) return &m;
        return nullptr;
    }
};

enum class PrimaryRule { atOrigin, keep };

struct Op {
    enum Kind { mode, mirror, origin, enabled } kind = mode;
    DisplayID id = 0;
    DisplayMode newMode;
    int32_t x = 0, y = 0;
    bool on = false;
};

// The server grabbed for one layout change, so nobody sees it half done.
struct Grab {
    xcb_connection_t* c;
    explicit Grab(xcb_connection_t* conn) : c(conn) { xcb_grab_server(c); }
    ~Grab() {
        xcb_ungrab_server(c);
        xcb_flush(c);
    }
};

}  // namespace

// Everything that talks to the server; shared with the transactions and virtual
// displays handed out, so they stay safe whatever is destroyed first.
class X11Displays::Impl {
public:
    Impl(Logger& log, const std::string& display);

    Logger& log;
    Connection conn;
    bool hasMonitors = false;  // RandR 1.5
    uint32_t minW = 1, minH = 1, maxW = 32767, maxH = 32767;

    struct Virtual {
        DisplayID id = 0;
        bool monitor = false;
        xcb_randr_output_t output = 0;
        xcb_randr_mode_t mode = 0;
        xcb_atom_t monitorName = 0;
        int32_t x = 0, y = 0;
        uint32_t w = 0, h = 0;
        bool shown = false;
        bool onServer = false;  // the monitor is set on the server
        bool primary = false;
        EdidIds ids;
        std::string name;
        uint32_t maxW = 0, maxH = 0;
    };
    std::map<DisplayID, Virtual> virtuals;  // guarded by conn.mutex()
    uint32_t nextMonitor = 1;

    // All below: call with conn.mutex() held.
    Snapshot read();
    // The last reading while nothing changed (queries come with every pointer move,
    // and a fresh reading is several round trips); at most half a second old.
    Snapshot readCached();
    // Moves on with every change of the layout, ours or another client's.
    std::atomic<uint64_t> generation{0};
    Snapshot cache;
    uint64_t cacheGeneration = 0;
    std::chrono::steady_clock::time_point cacheAt;
    std::vector<Shown> shown(const Snapshot& s);  // main first, then by position
    DisplayID mainOf(const Snapshot& s, const std::vector<Shown>& list);
    Plan planOf(const Snapshot& s);
    int applyOp(const Snapshot& s, Plan& p, const Op& op);
    // Applies the plan; call under a server grab.
    int commit(const Snapshot& s, Plan& p, PrimaryRule rule);
    std::optional<EdidIds> edidOf(xcb_randr_output_t out);
    void dropMode(xcb_randr_output_t out, xcb_randr_mode_t mode);

    int checkEnable(const std::vector<Op>& ops, const Op& next);
    int applyOps(const std::vector<Op>& ops);
    std::optional<DisplayID> createVirtual(const VirtualDisplayDescriptor& d);
    bool applyVirtual(DisplayID id, const VirtualDisplaySettings& settings);
    void removeVirtual(DisplayID id);
    void adoptLeftovers();

private:
    bool enableOutput(const Snapshot& s, Plan& p, const OutputRec& o, std::optional<xcb_randr_mode_t> mode);
    static bool size(const Snapshot& s, const CrtcPlan& c, uint32_t& w, uint32_t& h);
};

X11Displays::Impl::Impl(Logger& l, const std::string& display) : log(l), conn(display) {
    xcb_connection_t* c = conn.get();
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
    if (!ext || !ext->present)
        throw std::runtime_error("X display \"" + conn.displayName() + "\" lacks the RandR extension");
    Reply<xcb_randr_query_version_reply_t> v(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
    if (!v || (v->major_version == 1 && v->minor_version < 3))
        throw std::runtime_error("X display \"" + conn.displayName() + "\" has RandR older than 1.3");
    hasMonitors = v->major_version > 1 || v->minor_version >= 5;
    Reply<xcb_randr_get_screen_size_range_reply_t> range(
        xcb_randr_get_screen_size_range_reply(c, xcb_randr_get_screen_size_range(c, conn.root()), nullptr));
    if (range) {
        minW = range->min_width;
        minH = range->min_height;
        maxW = range->max_width;
        maxH = range->max_height;
    }
}

Snapshot X11Displays::Impl::readCached() {
    const uint64_t gen = generation.load();
    const auto now = std::chrono::steady_clock::now();
    if (cache.ok && cacheGeneration == gen && now - cacheAt < std::chrono::milliseconds(500)) return cache;
    cache = read();
    cacheGeneration = gen;
    cacheAt = now;
    return cache;
}

Snapshot X11Displays::Impl::read() {
    Snapshot s;
    xcb_connection_t* c = conn.get();
    const xcb_window_t root = conn.root();
    // Nothing is selected here; what comes are errors of requests nobody waits on.
    while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) std::free(ev);
    auto rc = xcb_randr_get_screen_resources_current(c, root);
    auto pc = xcb_randr_get_output_primary(c, root);
    auto gc = xcb_get_geometry(c, root);
    Reply<xcb_randr_get_screen_resources_current_reply_t> res(xcb_randr_get_screen_resources_current_reply(c, rc, nullptr));
    Reply<xcb_randr_get_output_primary_reply_t> prim(xcb_randr_get_output_primary_reply(c, pc, nullptr));
    Reply<xcb_get_geometry_reply_t> geo(xcb_get_geometry_reply(c, gc, nullptr));
    if (!res || !geo) return s;
    s.configTime = res->config_timestamp;
    s.screenW = geo->width;
    s.screenH = geo->height;
    s.primary = prim ? prim->output : 0;

    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(res.get());
    const int nModes = xcb_randr_get_screen_resources_current_modes_length(res.get());
    const uint8_t* names = xcb_randr_get_screen_resources_current_names(res.get());
    const int namesLen = xcb_randr_get_screen_resources_current_names_length(res.get());
    int at = 0;
    for (int i = 0; i < nModes; ++i) {
        s.modes[modes[i].id] = modes[i];
        const int n = std::min<int>(modes[i].name_len, std::max(0, namesLen - at));
        s.modeNames[modes[i].id] = std::string(reinterpret_cast<const char*>(names) + at, static_cast<size_t>(n));
        at += n;
    }

    const xcb_randr_output_t* outs = xcb_randr_get_screen_resources_current_outputs(res.get());
    const int nOuts = xcb_randr_get_screen_resources_current_outputs_length(res.get());
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
    const int nCrtcs = xcb_randr_get_screen_resources_current_crtcs_length(res.get());
    // All questions first, then all answers: two round trips whatever the number of outputs.
    std::vector<xcb_randr_get_output_info_cookie_t> oc;
    std::vector<xcb_randr_get_crtc_info_cookie_t> cc;
    for (int i = 0; i < nOuts; ++i) oc.push_back(xcb_randr_get_output_info(c, outs[i], s.configTime));
    for (int i = 0; i < nCrtcs; ++i) cc.push_back(xcb_randr_get_crtc_info(c, crtcs[i], s.configTime));
    for (int i = 0; i < nOuts; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> r(xcb_randr_get_output_info_reply(c, oc[static_cast<size_t>(i)], nullptr));
        if (!r) continue;  // gone in the meantime
        OutputRec o;
        o.id = outs[i];
        o.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(r.get())),
                      static_cast<size_t>(xcb_randr_get_output_info_name_length(r.get())));
        o.connection = r->connection;
        o.crtc = r->crtc;
        o.mmW = r->mm_width;
        o.mmH = r->mm_height;
        o.preferred = r->num_preferred;
        const xcb_randr_crtc_t* oc2 = xcb_randr_get_output_info_crtcs(r.get());
        o.crtcs.assign(oc2, oc2 + xcb_randr_get_output_info_crtcs_length(r.get()));
        const xcb_randr_mode_t* om = xcb_randr_get_output_info_modes(r.get());
        o.modes.assign(om, om + xcb_randr_get_output_info_modes_length(r.get()));
        s.outputs.push_back(std::move(o));
    }
    for (int i = 0; i < nCrtcs; ++i) {
        Reply<xcb_randr_get_crtc_info_reply_t> r(xcb_randr_get_crtc_info_reply(c, cc[static_cast<size_t>(i)], nullptr));
        if (!r) continue;
        CrtcRec k;
        k.id = crtcs[i];
        k.x = r->x;
        k.y = r->y;
        k.w = r->width;
        k.h = r->height;
        k.mode = r->mode;
        k.rotation = r->rotation ? r->rotation : uint16_t(XCB_RANDR_ROTATION_ROTATE_0);
        const xcb_randr_output_t* ko = xcb_randr_get_crtc_info_outputs(r.get());
        k.outputs.assign(ko, ko + xcb_randr_get_crtc_info_outputs_length(r.get()));
        s.crtcs.push_back(std::move(k));
    }
    s.ok = true;
    return s;
}

std::vector<Shown> X11Displays::Impl::shown(const Snapshot& s) {
    std::vector<Shown> list;
    if (!s.ok) return list;
    for (const auto& o : s.outputs)
        if (const CrtcRec* k = s.activeCrtc(o.id)) list.push_back(Shown{o.id, k->x, k->y, k->w, k->h});
    for (const auto& [id, v] : virtuals)
        if (v.monitor && v.shown) list.push_back(Shown{id, v.x, v.y, v.w, v.h});
    std::stable_sort(list.begin(), list.end(),
                     [](const Shown& a, const Shown& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
    const DisplayID main = mainOf(s, list);
    std::stable_partition(list.begin(), list.end(), [&](const Shown& d) { return d.id == main; });
    return list;
}

DisplayID X11Displays::Impl::mainOf(const Snapshot& s, const std::vector<Shown>& list) {
    auto isShown = [&](DisplayID id) {
        return std::any_of(list.begin(), list.end(), [&](const Shown& d) { return d.id == id; });
    };
    // A virtual monitor made main leaves no primary output behind.
    for (const auto& [id, v] : virtuals)
        if (v.monitor && v.shown && v.primary && (s.primary == 0 || !isShown(s.primary))) return id;
    if (s.primary && isShown(s.primary)) return s.primary;
    if (list.empty()) return 0;
    // The list is in position order here (or main-first, which starts with the same one).
    return list.front().id;
}

std::optional<EdidIds> X11Displays::Impl::edidOf(xcb_randr_output_t out) {
    xcb_connection_t* c = conn.get();
    const xcb_atom_t edid = conn.atom("EDID");
    if (edid == XCB_ATOM_NONE) return std::nullopt;
    Reply<xcb_randr_get_output_property_reply_t> r(xcb_randr_get_output_property_reply(
        c, xcb_randr_get_output_property(c, out, edid, XCB_ATOM_ANY, 0, 64, 0, 0), nullptr));
    if (!r || r->format != 8) return std::nullopt;
    return parseEdid(xcb_randr_get_output_property_data(r.get()),
                     static_cast<size_t>(xcb_randr_get_output_property_data_length(r.get())));
}

bool X11Displays::Impl::size(const Snapshot& s, const CrtcPlan& c, uint32_t& w, uint32_t& h) {
    auto it = s.modes.find(c.mode);
    if (it == s.modes.end()) return false;
    w = it->second.width;
    h = it->second.height;
    if (c.rotation & kSwapped) std::swap(w, h);
    return true;
}

Plan X11Displays::Impl::planOf(const Snapshot& s) {
    Plan p;
    for (const auto& k : s.crtcs) {
        CrtcPlan c;
        c.crtc = k.id;
        c.mode = k.mode;
        c.rotation = k.rotation;
        c.x = k.x;
        c.y = k.y;
        c.outputs = k.outputs;
        p.crtcs.push_back(std::move(c));
    }
    for (const auto& [id, v] : virtuals)
        if (v.monitor && v.shown) p.monitors.push_back(MonitorPlan{id, v.x, v.y, v.w, v.h, false});
    return p;
}

bool X11Displays::Impl::enableOutput(const Snapshot& s, Plan& p, const OutputRec& o,
                                     std::optional<xcb_randr_mode_t> mode) {
    if (!mode) {
        if (o.modes.empty()) return false;
        mode = o.modes.front();  // the preferred ones come first
    }
    for (xcb_randr_crtc_t id : o.crtcs) {
        auto it = std::find_if(p.crtcs.begin(), p.crtcs.end(), [&](const CrtcPlan& c) { return c.crtc == id; });
        if (it == p.crtcs.end() || it->mode != 0 || !it->outputs.empty()) continue;
        it->mode = *mode;
        it->rotation = XCB_RANDR_ROTATION_ROTATE_0;
        it->outputs = {o.id};
        it->needsPlace = true;
        if (auto at = p.origins.find(o.id); at != p.origins.end()) {
            it->x = at->second.first;
            it->y = at->second.second;
            it->needsPlace = false;
        }
        return s.modes.count(*mode) > 0;
    }
    return false;
}

int X11Displays::Impl::applyOp(const Snapshot& s, Plan& p, const Op& op) {
    if (op.id >= kMonitorIdBase) {
        MonitorPlan* m = p.monitor(op.id);
        if (!m) return kIllegalArgument;
        switch (op.kind) {
            case Op::origin:
                m->x = op.x;
                m->y = op.y;
                m->needsPlace = false;
                if (op.x == 0 && op.y == 0) p.wantPrimary = op.id;
                return 0;
            case Op::mode:
                return op.newMode.pixelWidth == m->w && op.newMode.pixelHeight == m->h ? 0 : kIllegalArgument;
            case Op::mirror:
                return 0;
            case Op::enabled:
                // A monitor has no CRTC to switch; it stays as long as its virtual display.
                return op.on ? 0 : kIllegalArgument;
        }
        return kIllegalArgument;
    }
    const OutputRec* o = s.output(op.id);
    if (!o) return kIllegalArgument;
    CrtcPlan* c = p.holding(o->id);
    if (c && c->mode == 0) c = nullptr;
    switch (op.kind) {
        case Op::enabled:
            if (!op.on) {
                if (c) {
                    c->outputs.erase(std::remove(c->outputs.begin(), c->outputs.end(), o->id), c->outputs.end());
                    if (c->outputs.empty()) c->mode = 0;
                }
                return 0;
            }
            if (c) return 0;
            return enableOutput(s, p, *o, std::nullopt) ? 0 : kCannotComplete;
        case Op::origin:
            if (op.x == 0 && op.y == 0) p.wantPrimary = o->id;
            if (!c) {
                // Kept for when the same transaction switches it on.
                p.origins[o->id] = {op.x, op.y};
                return 0;
            }
            c->x = op.x;
            c->y = op.y;
            c->needsPlace = false;
            return 0;
        case Op::mode: {
            if (!c) return kIllegalArgument;
            for (xcb_randr_mode_t m : o->modes) {
                auto it = s.modes.find(m);
                if (it == s.modes.end()) continue;
                const DisplayMode dm = toMode(it->second);
                if (dm.pixelWidth == op.newMode.pixelWidth && dm.pixelHeight == op.newMode.pixelHeight &&
                    dm.width == op.newMode.width && std::fabs(dm.refresh - op.newMode.refresh) < 0.01) {
                    c->mode = m;
                    return 0;
                }
            }
            return kIllegalArgument;
        }
        case Op::mirror: {
            if (!c || c->outputs.size() < 2) return 0;
            const xcb_randr_mode_t mode = c->mode;
            const uint16_t rotation = c->rotation;
            c->outputs.erase(std::remove(c->outputs.begin(), c->outputs.end(), o->id), c->outputs.end());
            if (!enableOutput(s, p, *o, mode)) return kCannotComplete;
            p.holding(o->id)->rotation = rotation;
            return 0;
        }
    }
    return kIllegalArgument;
}

int X11Displays::Impl::commit(const Snapshot& s, Plan& p, PrimaryRule rule) {
    // Whatever comes of it, the next query reads the server afresh.
    struct Changed {
        std::atomic<uint64_t>& g;
        ~Changed() { ++g; }
    } changed{generation};
    xcb_connection_t* c = conn.get();
    const xcb_window_t root = conn.root();
    // Switched-on displays without an origin go to the right of the others, one after another.
    auto rightEdge = [&] {
        int64_t edge = 0;
        uint32_t w, h;
        for (const auto& k : p.crtcs)
            if (k.mode && !k.needsPlace && size(s, k, w, h)) edge = std::max<int64_t>(edge, int64_t{k.x} + w);
        for (const auto& m : p.monitors)
            if (!m.needsPlace) edge = std::max<int64_t>(edge, int64_t{m.x} + m.w);
        return edge;
    };
    for (auto& k : p.crtcs)
        if (k.mode && k.needsPlace) {
            k.x = static_cast<int32_t>(std::min<int64_t>(rightEdge(), std::numeric_limits<int32_t>::max()));
            k.y = 0;
            k.needsPlace = false;
        }
    for (auto& m : p.monitors)
        if (m.needsPlace) {
            m.x = static_cast<int32_t>(std::min<int64_t>(rightEdge(), std::numeric_limits<int32_t>::max()));
            m.y = 0;
            m.needsPlace = false;
        }

    // The bounding box of what stays on, moved so it starts at the origin.
    int64_t minX = std::numeric_limits<int64_t>::max(), minY = minX, maxX = std::numeric_limits<int64_t>::min(),
            maxY = maxX;
    auto extend = [&](int64_t x, int64_t y, int64_t w, int64_t h) {
        minX = std::min(minX, x);
        minY = std::min(minY, y);
        maxX = std::max(maxX, x + w);
        maxY = std::max(maxY, y + h);
    };
    bool any = false;
    for (const auto& k : p.crtcs) {
        uint32_t w, h;
        if (!k.mode) continue;
        if (!size(s, k, w, h)) return kIllegalArgument;
        extend(k.x, k.y, w, h);
        any = true;
    }
    for (const auto& m : p.monitors) {
        extend(m.x, m.y, m.w, m.h);
        any = true;
    }
    // Nobody could reach a desktop with no display left.
    if (!any) return kIllegalArgument;
    const int64_t newW = maxX - minX, newH = maxY - minY;
    if (newW < 1 || newH < 1 || newW > maxW || newH > maxH) return kCannotComplete;
    for (auto& k : p.crtcs)
        if (k.mode) {
            k.x = static_cast<int32_t>(k.x - minX);
            k.y = static_cast<int32_t>(k.y - minY);
        }
    for (auto& m : p.monitors) {
        m.x = static_cast<int32_t>(m.x - minX);
        m.y = static_cast<int32_t>(m.y - minY);
    }
    if (std::any_of(p.crtcs.begin(), p.crtcs.end(), [](const CrtcPlan& k) { return k.mode && (k.x > 32767 || k.y > 32767); }))
        return kCannotComplete;

    // Which display is main afterwards.
    std::vector<Shown> after;
    for (const auto& k : p.crtcs) {
        uint32_t w, h;
        if (k.mode && !k.outputs.empty() && size(s, k, w, h)) after.push_back(Shown{k.outputs.front(), k.x, k.y, w, h});
    }
    for (const auto& m : p.monitors) after.push_back(Shown{m.id, m.x, m.y, m.w, m.h});
    std::stable_sort(after.begin(), after.end(),
                     [](const Shown& a, const Shown& b) { return a.x != b.x ? a.x < b.x : a.y < b.y; });
    auto present = [&](DisplayID id) {
        for (const auto& k : p.crtcs)
            if (k.mode && std::find(k.outputs.begin(), k.outputs.end(), id) != k.outputs.end()) return true;
        return p.monitor(id) != nullptr;
    };
    const DisplayID currentMain = mainOf(s, shown(s));
    DisplayID primary = 0;
    if (p.wantPrimary && present(*p.wantPrimary)) primary = *p.wantPrimary;
    if (!primary && rule == PrimaryRule::keep && currentMain && present(currentMain)) primary = currentMain;
    if (!primary)
        for (const auto& d : after)
            if (d.x == 0 && d.y == 0) {
                primary = d.id;
                break;
            }
    if (!primary && currentMain && present(currentMain)) primary = currentMain;
    if (!primary && !after.empty()) primary = after.front().id;

    // What changes on the server.
    std::vector<const CrtcPlan*> off, shrink, rest;
    for (const auto& k : p.crtcs) {
        const CrtcRec* was = s.crtc(k.crtc);
        if (!was) continue;
        const bool same = was->mode == k.mode && (k.mode == 0 || (was->x == k.x && was->y == k.y &&
                                                                  was->rotation == k.rotation && was->outputs == k.outputs));
        if (same) continue;
        if (!k.mode) off.push_back(&k);
        else if (std::all_of(k.outputs.begin(), k.outputs.end(), [&](xcb_randr_output_t o) {
                     return std::find(was->outputs.begin(), was->outputs.end(), o) != was->outputs.end();
                 }))
            shrink.push_back(&k);
        else rest.push_back(&k);
    }

    auto setScreen = [&](uint32_t w, uint32_t h) {
        return checked(c, xcb_randr_set_screen_size_checked(c, root, static_cast<uint16_t>(w), static_cast<uint16_t>(h),
                                                            mmAt96Dpi(w), mmAt96Dpi(h)));
    };
    auto setCrtc = [&](xcb_randr_crtc_t crtc, xcb_randr_mode_t mode, int32_t x, int32_t y, uint16_t rotation,
                       const std::vector<xcb_randr_output_t>& outs) {
        Reply<xcb_randr_set_crtc_config_reply_t> r(xcb_randr_set_crtc_config_reply(
            c,
            xcb_randr_set_crtc_config(c, crtc, XCB_CURRENT_TIME, s.configTime, static_cast<int16_t>(mode ? x : 0),
                                      static_cast<int16_t>(mode ? y : 0), mode,
                                      mode ? rotation : uint16_t(XCB_RANDR_ROTATION_ROTATE_0),
                                      mode ? static_cast<uint32_t>(outs.size()) : 0, outs.data()),
            nullptr));
        return r && r->status == XCB_RANDR_SET_CONFIG_SUCCESS;
    };

    const uint32_t bigW = std::max<uint32_t>(s.screenW, static_cast<uint32_t>(newW));
    const uint32_t bigH = std::max<uint32_t>(s.screenH, static_cast<uint32_t>(newH));
    bool ok = true;
    std::vector<const CrtcPlan*> done;
    // Enlarge first so every old and new CRTC fits while they move.
    if (bigW != s.screenW || bigH != s.screenH) ok = setScreen(bigW, bigH);
    for (auto* list : {&off, &shrink, &rest})
        for (const CrtcPlan* k : *list) {
            if (!ok) break;
            ok = setCrtc(k->crtc, k->mode, k->x, k->y, k->rotation, k->outputs);
            if (ok) done.push_back(k);
        }
    if (ok && (bigW != newW || bigH != newH)) ok = setScreen(static_cast<uint32_t>(newW), static_cast<uint32_t>(newH));
    if (!ok) {
        // Put back what was changed, as well as the server lets us.
        for (auto it = done.rbegin(); it != done.rend(); ++it)
            if (const CrtcRec* was = s.crtc((*it)->crtc); was && was->mode == 0)
                setCrtc(was->id, 0, 0, 0, was->rotation, was->outputs);
        for (auto it = done.rbegin(); it != done.rend(); ++it)
            if (const CrtcRec* was = s.crtc((*it)->crtc); was && was->mode != 0)
                setCrtc(was->id, was->mode, was->x, was->y, was->rotation, was->outputs);
        setScreen(s.screenW, s.screenH);
        log.vdispLog("⚠︎ RandR 구성 적용 실패 — 원래대로 되돌렸다");
        return kFailure;
    }

    // Monitors follow the layout; main is either an output or one of them.
    const bool monitorMain = p.monitor(primary) != nullptr;
    const xcb_randr_output_t primaryOutput = monitorMain ? XCB_NONE : primary;
    if (primaryOutput != s.primary) xcb_randr_set_output_primary(c, root, primaryOutput);
    for (const auto& m : p.monitors) {
        auto v = virtuals.find(m.id);
        if (v == virtuals.end()) continue;
        xcb_randr_monitor_info_t info{};
        info.name = v->second.monitorName;
        info.primary = m.id == primary ? 1 : 0;
        info.automatic = 0;
        info.nOutput = 0;
        info.x = static_cast<int16_t>(m.x);
        info.y = static_cast<int16_t>(m.y);
        info.width = static_cast<uint16_t>(m.w);
        info.height = static_cast<uint16_t>(m.h);
        info.width_in_millimeters = static_cast<uint32_t>(std::lround(m.w / kPixelsPerMM));
        info.height_in_millimeters = static_cast<uint32_t>(std::lround(m.h / kPixelsPerMM));
        // No outputs follow the header: the monitor only names an area. The server
        // refuses a name it already has, so the old one goes first.
        if (v->second.onServer) xcb_randr_delete_monitor(c, root, info.name);
        v->second.onServer = checked(c, setMonitor(c, root, info));
        if (!v->second.onServer) {
            log.vdispLog("⚠︎ 가상 모니터를 세우지 못했다");
            continue;
        }
        v->second.x = m.x;
        v->second.y = m.y;
        v->second.w = m.w;
        v->second.h = m.h;
        v->second.primary = m.id == primary;
    }
    if (!monitorMain)
        for (auto& [id, v] : virtuals) v.primary = false;
    return 0;
}

void X11Displays::Impl::dropMode(xcb_randr_output_t out, xcb_randr_mode_t mode) {
    ++generation;
    if (!mode) return;
    xcb_connection_t* c = conn.get();
    // Either may fail (the output gone, the mode used elsewhere); what is left is harmless.
    if (out) std::free(xcb_request_check(c, xcb_randr_delete_output_mode_checked(c, out, mode)));
    std::free(xcb_request_check(c, xcb_randr_destroy_mode_checked(c, mode)));
}

int X11Displays::Impl::checkEnable(const std::vector<Op>& ops, const Op& next) {
    std::lock_guard<std::mutex> lk(conn.mutex());
    Snapshot s = read();
    if (!s.ok) return kFailure;
    if (next.id < kMonitorIdBase ? !s.output(next.id) : !virtuals.count(next.id)) return kIllegalArgument;
    Plan p = planOf(s);
    for (const Op& op : ops) applyOp(s, p, op);
    const int st = applyOp(s, p, next);
    if (st != 0) return st;
    const bool any = !p.monitors.empty() ||
                     std::any_of(p.crtcs.begin(), p.crtcs.end(), [](const CrtcPlan& k) { return k.mode != 0; });
    return any ? 0 : kIllegalArgument;
}

int X11Displays::Impl::applyOps(const std::vector<Op>& ops) {
    std::lock_guard<std::mutex> lk(conn.mutex());
    Grab grab(conn.get());
    Snapshot s = read();
    if (!s.ok) return kFailure;
    Plan p = planOf(s);
    for (const Op& op : ops) {
        // A display that went away in the meantime is passed over.
        if (op.id < kMonitorIdBase ? !s.output(op.id) : !p.monitor(op.id)) continue;
        if (const int st = applyOp(s, p, op); st != 0) return st;
    }
    return commit(s, p, PrimaryRule::atOrigin);
}

std::optional<DisplayID> X11Displays::Impl::createVirtual(const VirtualDisplayDescriptor& d) {
    std::lock_guard<std::mutex> lk(conn.mutex());
    Snapshot s = read();
    if (!s.ok) return std::nullopt;
    Virtual v;
    v.ids = EdidIds{d.vendorID, d.productID, d.serialNum};
    v.name = d.name;
    v.maxW = d.maxPixelsWide;
    v.maxH = d.maxPixelsHigh;
    // A free output: one the driver offers for this (the dummy's spares, the
    // VIRTUAL outputs of others), unused, with a CRTC nobody uses, and either
    // unplugged or one we used before (the dummy driver calls an output connected
    // for good once it has been on). Our old one first, so the id stays the same.
    xcb_connection_t* c = conn.get();
    const xcb_atom_t marker = conn.atom(kMarker);
    int best = 0;
    for (const auto& o : s.outputs) {
        if (!(startsWith(o.name, "DUMMY") || startsWith(o.name, "VIRTUAL"))) continue;
        if (o.crtc || virtuals.count(o.id)) continue;
        const bool crtcFree = std::any_of(o.crtcs.begin(), o.crtcs.end(), [&](xcb_randr_crtc_t id) {
            const CrtcRec* k = s.crtc(id);
            return k && k->mode == 0 && k->outputs.empty();
        });
        if (!crtcFree) continue;
        Reply<xcb_randr_get_output_property_reply_t> r(xcb_randr_get_output_property_reply(
            c, xcb_randr_get_output_property(c, o.id, marker, XCB_ATOM_ANY, 0, 4, 0, 0), nullptr));
        const int rank = r && r->format == 32 ? 2 : o.connection != XCB_RANDR_CONNECTION_CONNECTED ? 1 : 0;
        if (rank <= best) continue;
        best = rank;
        v.id = o.id;
        v.output = o.id;
    }
    if (v.output) {
        // The owner's pid lets a later agent take back an output a crashed one left on.
        const uint32_t numbers[4] = {v.ids.vendor, v.ids.product, v.ids.serial, static_cast<uint32_t>(::getpid())};
        xcb_randr_change_output_property(c, v.output, marker, XCB_ATOM_CARDINAL, 32, XCB_PROP_MODE_REPLACE, 4, numbers);
        const std::string name = s.output(v.output)->name;
        log.vdispLog("가상 화면: 빈 출력 " + name + " 을 쓴다 (출력에 모드를 붙이는 방식)");
    } else {
        if (!hasMonitors) {
            log.vdispLog("⚠︎ 가상 화면: 빈 출력도 없고 RandR 1.5 모니터도 없다 — 만들 수 없다");
            return std::nullopt;
        }
        v.monitor = true;
        const uint32_t n = nextMonitor++;
        v.id = kMonitorIdBase + n;
        v.monitorName = conn.atom("VM-VIRTUAL-" + std::to_string(n));
        if (v.monitorName == XCB_ATOM_NONE) return std::nullopt;
        log.vdispLog("가상 화면: 빈 출력이 없다 — 화면을 넓히고 그 위에 RandR 모니터를 세우는 방식으로 간다");
    }
    const DisplayID id = v.id;
    virtuals[id] = v;
    return id;
}

bool X11Displays::Impl::applyVirtual(DisplayID id, const VirtualDisplaySettings& settings) {
    struct Changed {
        std::atomic<uint64_t>& g;
        ~Changed() { ++g; }
    } changed{generation};
    if (settings.modes.empty()) return false;
    const VirtualDisplayModeRequest& want = settings.modes.front();
    const uint32_t factor = settings.hiDPI ? 2 : 1;
    if (want.width == 0 || want.height == 0 || want.width > 16384 || want.height > 16384) return false;
    const uint32_t pw = want.width * factor, ph = want.height * factor;
    const double hz = want.refreshRate > 0 && want.refreshRate <= 240 ? want.refreshRate : 60.0;

    std::lock_guard<std::mutex> lk(conn.mutex());
    auto it = virtuals.find(id);
    if (it == virtuals.end()) return false;
    Virtual& v = it->second;
    if ((v.maxW && pw > v.maxW) || (v.maxH && ph > v.maxH) || pw > maxW || ph > maxH) return false;
    xcb_connection_t* c = conn.get();
    Grab grab(c);

    if (v.monitor) {
        Snapshot s = read();
        if (!s.ok) return false;
        Plan p = planOf(s);
        if (MonitorPlan* m = p.monitor(id)) {
            m->w = pw;
            m->h = ph;
        } else {
            p.monitors.push_back(MonitorPlan{id, 0, 0, pw, ph, true});
        }
        const bool wasShown = v.shown;
        v.shown = true;  // the plan's monitors are written back by commit
        if (commit(s, p, PrimaryRule::keep) != 0 || !v.onServer) {
            v.shown = wasShown;
            return false;
        }
        log.vdispLog("가상 화면: RandR 모니터 " + std::to_string(pw) + "x" + std::to_string(ph) + " 를 +" +
                     std::to_string(v.x) + "+" + std::to_string(v.y) + " 에 세웠다");
        return true;
    }

    Snapshot s = read();
    const OutputRec* o = s.ok ? s.output(v.output) : nullptr;
    if (!o) return false;
    std::string name = "VM-" + std::to_string(pw) + "x" + std::to_string(ph);
    if (std::lround(hz) != 60) name += "@" + std::to_string(std::lround(hz));
    xcb_randr_mode_t mode = 0;
    for (const auto& [mid, mname] : s.modeNames) {
        auto info = s.modes.find(mid);
        if (mname == name && info != s.modes.end() && info->second.width == pw && info->second.height == ph) mode = mid;
    }
    bool made = false;
    if (!mode) {
        xcb_randr_mode_info_t info = cvtTiming(static_cast<uint16_t>(pw), static_cast<uint16_t>(ph), hz);
        info.name_len = static_cast<uint16_t>(name.size());
        Reply<xcb_randr_create_mode_reply_t> r(xcb_randr_create_mode_reply(
            c, xcb_randr_create_mode(c, conn.root(), info, static_cast<uint32_t>(name.size()), name.c_str()), nullptr));
        if (!r || !r->mode) {
            log.vdispLog("⚠︎ 가상 화면: 모드 " + name + " 를 만들지 못했다");
            return false;
        }
        mode = r->mode;
        made = true;
    }
    if (std::find(o->modes.begin(), o->modes.end(), mode) == o->modes.end() &&
        !checked(c, xcb_randr_add_output_mode_checked(c, v.output, mode))) {
        log.vdispLog("⚠︎ 가상 화면: 모드 " + name + " 를 " + o->name + " 에 붙이지 못했다");
        if (made) dropMode(0, mode);
        return false;
    }
    // Adding a mode may move the configuration time; read again before setting CRTCs.
    s = read();
    o = s.ok ? s.output(v.output) : nullptr;
    if (!o) return false;
    Plan p = planOf(s);
    int st = 0;
    if (CrtcPlan* k = p.holding(v.output); k && k->mode) {
        k->mode = mode;
    } else {
        if (k) k->outputs.erase(std::remove(k->outputs.begin(), k->outputs.end(), v.output), k->outputs.end());
        st = enableOutput(s, p, *o, mode) ? 0 : kCannotComplete;
    }
    if (st == 0) st = commit(s, p, PrimaryRule::keep);
    if (st != 0) {
        log.vdispLog("⚠︎ 가상 화면: " + o->name + " 에 " + name + " 를 걸지 못했다 (status " + std::to_string(st) + ")");
        if (mode != v.mode) dropMode(v.output, mode);
        return false;
    }
    if (v.mode && v.mode != mode) dropMode(v.output, v.mode);
    const bool resized = v.shown;
    v.mode = mode;
    v.shown = true;
    const Snapshot after = read();
    if (const CrtcRec* k = after.activeCrtc(v.output)) {
        v.x = k->x;
        v.y = k->y;
    }
    log.vdispLog(std::string("가상 화면: ") + o->name + (resized ? " 의 모드를 " : " 에 ") + name +
                 (resized ? " 로 바꿨다" : " 를 걸어 켰다") + " (+" + std::to_string(v.x) + "+" + std::to_string(v.y) + ")");
    return true;
}

void X11Displays::Impl::removeVirtual(DisplayID id) {
    std::lock_guard<std::mutex> lk(conn.mutex());
    auto it = virtuals.find(id);
    if (it == virtuals.end()) return;
    const Virtual v = it->second;
    xcb_connection_t* c = conn.get();
    if (v.monitor) {
        virtuals.erase(it);
        if (v.onServer) std::free(xcb_request_check(c, xcb_randr_delete_monitor_checked(c, conn.root(), v.monitorName)));
    }
    Grab grab(c);
    Snapshot s = read();
    if (s.ok) {
        Plan p = planOf(s);
        bool changed = v.monitor && v.shown;
        if (!v.monitor)
            if (CrtcPlan* k = p.holding(v.output); k && k->mode) {
                k->outputs.erase(std::remove(k->outputs.begin(), k->outputs.end(), v.output), k->outputs.end());
                if (k->outputs.empty()) k->mode = 0;
                changed = true;
            }
        const bool anyLeft = !p.monitors.empty() || std::any_of(p.crtcs.begin(), p.crtcs.end(), [&](const CrtcPlan& k) {
                                 return k.mode != 0;
                             });
        if (changed && !anyLeft) {
            // Never leave the desktop without a screen: the connected displays come back.
            for (const auto& o : s.outputs)
                if (o.connection == XCB_RANDR_CONNECTION_CONNECTED && !virtuals.count(o.id)) enableOutput(s, p, o, std::nullopt);
            log.vdispLog("가상 화면이 마지막 화면이었다 — 연결된 출력을 다시 켠다");
        }
        if (changed && commit(s, p, PrimaryRule::atOrigin) != 0) log.vdispLog("⚠︎ 가상 화면을 끄는 구성 적용 실패");
    }
    if (!v.monitor) {
        dropMode(v.output, v.mode);
        virtuals.erase(id);
    }
    log.vdispLog("가상 화면을 치웠다 (id=" + std::to_string(id) + ")");
}

// --- transactions and virtual displays handed out ---

namespace {

class X11Config final : public DisplayConfig {
public:
    explicit X11Config(std::shared_ptr<X11Displays::Impl> impl) : impl_(std::move(impl)) {}
    void setMode(DisplayID id, const DisplayMode& mode) override {
        Op op;
        op.kind = Op::mode;
        op.id = id;
        op.newMode = mode;
        ops_.push_back(op);
    }
    void stopMirroring(DisplayID id) override {
        Op op;
        op.kind = Op::mirror;
        op.id = id;
        ops_.push_back(op);
    }
    void setOrigin(DisplayID id, int32_t x, int32_t y) override {
        Op op;
        op.kind = Op::origin;
        op.id = id;
        op.x = x;
        op.y = y;
        ops_.push_back(op);
    }
    int setEnabled(DisplayID id, bool enabled) override {
        if (done_) return X11Displays::kIllegalArgument;
        Op op;
        op.kind = Op::enabled;
        op.id = id;
        op.on = enabled;
        const int st = impl_->checkEnable(ops_, op);
        if (st == 0) ops_.push_back(op);
        return st;
    }
    int complete(bool) override {
        // Layouts on X last for the session whatever is asked; nothing stores them.
        if (done_) return X11Displays::kIllegalArgument;
        done_ = true;
        const int st = impl_->applyOps(ops_);
        ops_.clear();
        return st;
    }
    void cancel() override {
        done_ = true;
        ops_.clear();
    }

private:
    std::shared_ptr<X11Displays::Impl> impl_;
    std::vector<Op> ops_;
    bool done_ = false;
};

class X11VirtualDisplay final : public VirtualDisplay {
public:
    X11VirtualDisplay(std::shared_ptr<X11Displays::Impl> impl, DisplayID id) : impl_(std::move(impl)), id_(id) {}
    ~X11VirtualDisplay() override { impl_->removeVirtual(id_); }
    bool applySettings(const VirtualDisplaySettings& settings) override { return impl_->applyVirtual(id_, settings); }
    DisplayID displayID() const override { return id_; }
    bool scalesBacking() const override { return false; }

private:
    std::shared_ptr<X11Displays::Impl> impl_;
    DisplayID id_;
};

}  // namespace

// --- the service ---

// A virtual output still on whose agent is gone (it crashed, or was killed) is taken
// back, as the desktop would have done when the process that made it ended.
void X11Displays::Impl::adoptLeftovers() {
    std::vector<DisplayID> orphans;
    {
        std::lock_guard<std::mutex> lk(conn.mutex());
        Snapshot s = read();
        if (!s.ok) return;
        xcb_connection_t* c = conn.get();
        const xcb_atom_t marker = conn.atom(kMarker);
        for (const auto& o : s.outputs) {
            const CrtcRec* k = o.crtc ? s.crtc(o.crtc) : nullptr;
            if (!k || !k->mode || virtuals.count(o.id)) continue;
            Reply<xcb_randr_get_output_property_reply_t> r(xcb_randr_get_output_property_reply(
                c, xcb_randr_get_output_property(c, o.id, marker, XCB_ATOM_CARDINAL, 0, 4, 0, 0), nullptr));
            if (!r || r->format != 32 || xcb_randr_get_output_property_data_length(r.get()) < 16) continue;
            uint32_t values[4];
            std::memcpy(values, xcb_randr_get_output_property_data(r.get()), sizeof values);
            const pid_t owner = static_cast<pid_t>(values[3]);
            if (owner <= 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
            Virtual v;
            v.id = o.id;
            v.output = o.id;
            v.mode = k->mode;
            v.ids = EdidIds{values[0], values[1], values[2]};
            v.name = o.name;
            virtuals[o.id] = v;
            orphans.push_back(o.id);
            log.vdispLog("지난 에이전트(pid " + std::to_string(owner) + ")가 남긴 가상 화면 " + o.name + " 을 치운다");
        }
    }
    for (DisplayID id : orphans) removeVirtual(id);
}

void X11Displays::removeVirtualDisplays() {
    std::vector<DisplayID> ids;
    {
        std::lock_guard<std::mutex> lk(impl_->conn.mutex());
        for (const auto& [id, v] : impl_->virtuals) ids.push_back(id);
    }
    for (DisplayID id : ids) impl_->removeVirtual(id);
}

X11Displays::X11Displays(Logger& log, const std::string& display) : impl_(std::make_shared<Impl>(log, display)) {
    impl_->adoptLeftovers();
    auto watcher = std::make_unique<Connection>(display);
    if (wake_.fd() < 0) throw std::runtime_error("cannot make an eventfd for the display watcher");
    watcher_ = std::thread([this, c = std::move(watcher)] { watch(*c); });
}

X11Displays::~X11Displays() {
    quit_.store(true);
    wake_.wake();
    if (watcher_.joinable()) watcher_.join();
}

void X11Displays::watch(Connection& conn) {
    xcb_connection_t* c = conn.get();
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
    if (!ext || !ext->present) return;
    std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
    xcb_randr_select_input(c, conn.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(c);
    using Clock = std::chrono::steady_clock;
    // A layout change arrives as a burst of notifications; the callbacks run once
    // it has been quiet for a moment (or a little later at most).
    constexpr auto kQuiet = std::chrono::milliseconds(60), kAtMost = std::chrono::milliseconds(300);
    bool pending = false;
    Clock::time_point first, last;
    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wake_.fd(), POLLIN, 0}};
    while (!quit_.load()) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            const uint8_t type = ev->response_type & 0x7F;
            if (type == ext->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY || type == ext->first_event + XCB_RANDR_NOTIFY) {
                ++impl_->generation;
                last = Clock::now();
                if (!pending) first = last;
                pending = true;
            }
            std::free(ev);
        }
        if (xcb_connection_has_error(c)) {
            impl_->log.vdispLog("⚠︎ 화면 구성 알림을 받던 X 연결이 끊겼다 — 더 이상 알림이 없다");
            return;
        }
        int timeout = -1;
        if (pending) {
            const auto due = std::min(last + kQuiet, first + kAtMost);
            const auto now = Clock::now();
            if (now >= due) {
                pending = false;
                std::vector<std::function<void()>> copy;
                {
                    std::lock_guard<std::mutex> lk(cbMu_);
                    copy = callbacks_;
                }
                for (auto& cb : copy) cb();
                continue;
            }
            timeout = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count()) + 1;
        }
        fds[0].revents = fds[1].revents = 0;
        ::poll(fds, 2, timeout);
    }
}

uint32_t X11Displays::onlineCount() { return static_cast<uint32_t>(activeDisplays(64).size()); }

std::vector<DisplayID> X11Displays::activeDisplays(uint32_t max) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    std::vector<DisplayID> out;
    for (const auto& d : impl_->shown(impl_->readCached()))
        if (out.size() < max) out.push_back(d.id);
    return out;
}

std::vector<DisplayID> X11Displays::onlineDisplays(uint32_t max) {
    // A switched-off output is not online either; mirrored outputs are both.
    return activeDisplays(max);
}

DisplayID X11Displays::mainDisplay() {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    const Snapshot s = impl_->readCached();
    auto list = impl_->shown(s);
    return list.empty() ? 0 : list.front().id;
}

bool X11Displays::isOnline(DisplayID id) {
    const Rect b = bounds(id);
    return b.width > 0 && b.height > 0;
}

uint32_t X11Displays::vendorNumber(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (auto it = impl_->virtuals.find(id); it != impl_->virtuals.end()) return it->second.ids.vendor;
    if (id >= kMonitorIdBase) return 0;
    auto e = impl_->edidOf(id);
    return e ? e->vendor : 0;
}

bool X11Displays::isAgentVirtual(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    return impl_->virtuals.count(id) > 0;
}

uint32_t X11Displays::productNumber(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (auto it = impl_->virtuals.find(id); it != impl_->virtuals.end()) return it->second.ids.product;
    if (id >= kMonitorIdBase) return 0;
    auto e = impl_->edidOf(id);
    return e ? e->product : 0;
}

uint32_t X11Displays::serialNumber(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (auto it = impl_->virtuals.find(id); it != impl_->virtuals.end()) return it->second.ids.serial;
    if (id >= kMonitorIdBase) return 0;
    auto e = impl_->edidOf(id);
    return e ? e->serial : 0;
}

Rect X11Displays::bounds(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (id >= kMonitorIdBase) {
        auto it = impl_->virtuals.find(id);
        if (it == impl_->virtuals.end() || !it->second.shown) return Rect{};
        const auto& v = it->second;
        return Rect{double(v.x), double(v.y), double(v.w), double(v.h)};
    }
    const Snapshot s = impl_->readCached();
    const CrtcRec* k = s.activeCrtc(id);
    if (!k) return Rect{};
    return Rect{double(k->x), double(k->y), double(k->w), double(k->h)};
}

std::optional<DisplayMode> X11Displays::currentMode(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (id >= kMonitorIdBase) {
        auto it = impl_->virtuals.find(id);
        if (it == impl_->virtuals.end() || !it->second.shown) return std::nullopt;
        const auto& v = it->second;
        return DisplayMode{v.w, v.h, v.w, v.h, 60.0, 0};
    }
    const Snapshot s = impl_->readCached();
    const CrtcRec* k = s.activeCrtc(id);
    if (!k) return std::nullopt;
    auto m = s.modes.find(k->mode);
    if (m == s.modes.end()) return std::nullopt;
    return toMode(m->second);
}

std::optional<std::vector<DisplayMode>> X11Displays::modes(DisplayID id, bool) {
    // Points are pixels here: there are no HiDPI modes, hence no 1x twins to add.
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (id >= kMonitorIdBase) {
        auto it = impl_->virtuals.find(id);
        if (it == impl_->virtuals.end()) return std::nullopt;
        const auto& v = it->second;
        if (!v.shown) return std::vector<DisplayMode>{};
        return std::vector<DisplayMode>{DisplayMode{v.w, v.h, v.w, v.h, 60.0, 0}};
    }
    const Snapshot s = impl_->readCached();
    const OutputRec* o = s.ok ? s.output(id) : nullptr;
    if (!o) return std::nullopt;
    std::vector<DisplayMode> out;
    for (xcb_randr_mode_t m : o->modes)
        if (auto it = s.modes.find(m); it != s.modes.end()) out.push_back(toMode(it->second));
    return out;
}

Size X11Displays::physicalSizeMM(DisplayID id) {
    std::lock_guard<std::mutex> lk(impl_->conn.mutex());
    if (id >= kMonitorIdBase) {
        auto it = impl_->virtuals.find(id);
        if (it == impl_->virtuals.end()) return Size{};
        return Size{it->second.w / kPixelsPerMM, it->second.h / kPixelsPerMM};
    }
    const Snapshot s = impl_->readCached();
    const OutputRec* o = s.ok ? s.output(id) : nullptr;
    if (!o) return Size{};
    if (o->mmW && o->mmH) return Size{double(o->mmW), double(o->mmH)};
    xcb_randr_mode_t mode = 0;
    if (const CrtcRec* k = s.activeCrtc(id)) mode = k->mode;
    else if (!o->modes.empty()) mode = o->modes.front();
    auto m = s.modes.find(mode);
    if (m == s.modes.end()) return Size{};
    return Size{m->second.width / kPixelsPerMM, m->second.height / kPixelsPerMM};
}

std::vector<ScreenInfo> X11Displays::screens() {
    std::vector<ScreenInfo> out;
    for (DisplayID id : activeDisplays(64)) out.push_back(ScreenInfo{id, 1.0});
    return out;
}

std::unique_ptr<DisplayConfig> X11Displays::beginConfiguration() {
    if (xcb_connection_has_error(impl_->conn.get())) return nullptr;
    return std::make_unique<X11Config>(impl_);
}

void X11Displays::onReconfigure(std::function<void()> callback) {
    if (!callback) return;
    std::lock_guard<std::mutex> lk(cbMu_);
    callbacks_.push_back(std::move(callback));
}

std::unique_ptr<VirtualDisplay> X11Displays::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
    if (descriptor.maxPixelsWide == 0 || descriptor.maxPixelsHigh == 0) return nullptr;
    auto id = impl_->createVirtual(descriptor);
    if (!id) return nullptr;
    return std::make_unique<X11VirtualDisplay>(impl_, *id);
}

std::optional<std::string> X11Displays::inspectInChild(DisplayID id,
                                                       const std::function<std::string(DisplayID)>& inProcess) {
    // Our view of the modes never lags behind the server's, so no child process is needed.
    if (!inProcess) return std::nullopt;
    std::string text = inProcess(id);
    const char* ws = " \t\r\n";
    const size_t a = text.find_first_not_of(ws);
    if (a == std::string::npos) return std::nullopt;
    return text.substr(a, text.find_last_not_of(ws) - a + 1);
}

}  // namespace vm::platform::x11
