#include "platform/gnome/gnome_displays.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "base/log.h"
#include "platform/gnome/gnome_capture.h"
#include "platform/gnome/gnome_virtual_display.h"

namespace vm::platform::gnome {

namespace {

constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
constexpr double kPixelsPerMM = 96.0 / 25.4;  // mutter's virtual monitors have no physical size

// A stable number from text (serials and products are text here).
uint32_t numberOf(const std::string& s) {
    char* end = nullptr;
    const unsigned long v = std::strtoul(s.c_str(), &end, 0);
    if (!s.empty() && end && *end == '\0') return static_cast<uint32_t>(v);
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}

bool integral(double s) { return std::fabs(s - std::round(s)) < 1e-6; }

}  // namespace

// ---- state ----------------------------------------------------------------

const MonitorState::Mode* MonitorState::Monitor::currentMode() const {
    for (const Mode& m : modes)
        if (m.current) return &m;
    return nullptr;
}

const MonitorState::Monitor* MonitorState::monitor(const std::string& connector) const {
    for (const Monitor& m : monitors)
        if (m.connector == connector) return &m;
    return nullptr;
}

const MonitorState::Logical* MonitorState::logicalOf(const std::string& connector) const {
    for (const Logical& l : logical)
        if (std::find(l.connectors.begin(), l.connectors.end(), connector) != l.connectors.end()) return &l;
    return nullptr;
}

std::optional<MonitorState> MonitorState::parse(GVariant* reply) {
    if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(ua((ssss)a(siiddada{sv})a{sv})a(iiduba(ssss)a{sv})a{sv})")))
        return std::nullopt;
    MonitorState s;
    GVariant *monitors = nullptr, *logical = nullptr, *props = nullptr;
    g_variant_get(reply, "(u@a((ssss)a(siiddada{sv})a{sv})@a(iiduba(ssss)a{sv})@a{sv})", &s.serial, &monitors, &logical,
                  &props);
    GVariantIter it;
    g_variant_iter_init(&it, monitors);
    while (GVariant* m = g_variant_iter_next_value(&it)) {
        Monitor mon;
        const gchar *conn, *vendor, *product, *serial;
        GVariant *modes = nullptr, *mprops = nullptr;
        g_variant_get(m, "((&s&s&s&s)@a(siiddada{sv})@a{sv})", &conn, &vendor, &product, &serial, &modes, &mprops);
        mon.connector = conn, mon.vendor = vendor, mon.product = product, mon.serial = serial;
        GVariantIter mi;
        g_variant_iter_init(&mi, modes);
        while (GVariant* md = g_variant_iter_next_value(&mi)) {
            Mode mode;
            const gchar* id;
            GVariant *scales = nullptr, *modeProps = nullptr;
            g_variant_get(md, "(&siidd@ad@a{sv})", &id, &mode.width, &mode.height, &mode.refresh, &mode.preferredScale,
                          &scales, &modeProps);
            mode.id = id;
            gsize n = 0;
            const double* sc = static_cast<const double*>(g_variant_get_fixed_array(scales, &n, sizeof(double)));
            mode.scales.assign(sc, sc + n);
            gboolean flag = FALSE;
            if (g_variant_lookup(modeProps, "is-current", "b", &flag)) mode.current = flag;
            if (g_variant_lookup(modeProps, "is-preferred", "b", &flag)) mode.preferred = flag;
            g_variant_unref(scales);
            g_variant_unref(modeProps);
            g_variant_unref(md);
            mon.modes.push_back(std::move(mode));
        }
        gboolean builtin = FALSE;
        if (g_variant_lookup(mprops, "is-builtin", "b", &builtin)) mon.builtin = builtin;
        const gchar* name = nullptr;
        if (g_variant_lookup(mprops, "display-name", "&s", &name) && name) mon.displayName = name;
        g_variant_unref(modes);
        g_variant_unref(mprops);
        g_variant_unref(m);
        s.monitors.push_back(std::move(mon));
    }
    g_variant_iter_init(&it, logical);
    while (GVariant* l = g_variant_iter_next_value(&it)) {
        Logical lm;
        gboolean primary = FALSE;
        GVariant *mons = nullptr, *lprops = nullptr;
        g_variant_get(l, "(iidub@a(ssss)@a{sv})", &lm.x, &lm.y, &lm.scale, &lm.transform, &primary, &mons, &lprops);
        lm.primary = primary;
        GVariantIter li;
        g_variant_iter_init(&li, mons);
        const gchar *conn, *a, *b, *c;
        while (g_variant_iter_next(&li, "(&s&s&s&s)", &conn, &a, &b, &c)) lm.connectors.push_back(conn);
        g_variant_unref(mons);
        g_variant_unref(lprops);
        g_variant_unref(l);
        s.logical.push_back(std::move(lm));
    }
    uint32_t mode = 0;
    if (g_variant_lookup(props, "layout-mode", "u", &mode)) s.layoutMode = mode;
    g_variant_unref(monitors);
    g_variant_unref(logical);
    g_variant_unref(props);
    return s;
}

size_t normaliseLayout(LayoutRequest& r, uint32_t layoutMode) {
    if (r.enabled.empty()) return 0;
    auto extent = [&](const LayoutRequest::Entry& e) {
        return layoutMode == 1 ? static_cast<int>(std::lround(e.width / e.scale)) : e.width;
    };
    size_t primary = 0;
    double best = 1e300;
    for (size_t i = 0; i < r.enabled.size(); ++i) {
        const double d = std::hypot(double(r.enabled[i].x), double(r.enabled[i].y));
        if (d < best) best = d, primary = i;
    }
    std::vector<size_t> order;
    for (size_t i = 0; i < r.enabled.size(); ++i)
        if (i != primary) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return r.enabled[a].x < r.enabled[b].x; });
    r.enabled[primary].x = r.enabled[primary].y = 0;
    int x = extent(r.enabled[primary]);
    for (size_t i : order) {
        r.enabled[i].x = x;
        r.enabled[i].y = 0;
        x += extent(r.enabled[i]);
    }
    return primary;
}

// ---- the service ----------------------------------------------------------

GnomeDisplays::GnomeDisplays(Logger& log, Bus& bus) : log_(log), bus_(bus) {
    sub_ = bus_.subscribe(kDisplayConfig, kDisplayConfig, "MonitorsChanged", kDisplayConfigPath,
                          [this](const std::string&, const std::string&, const std::string&, GVariant*) { changed(); });
    if (!state().serial && state().monitors.empty())
        log_.logLine("⚠︎ mutter 의 DisplayConfig 가 모니터를 알려주지 않는다\n");
}

GnomeDisplays::~GnomeDisplays() { bus_.unsubscribe(sub_); }

void GnomeDisplays::changed() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        cache_.reset();
    }
    std::vector<std::function<void()>> cbs;
    {
        std::lock_guard<std::mutex> lk(cbMu_);
        cbs = callbacks_;
    }
    // Off the bus thread: a callback may ask the bus again and wait on it.
    std::thread([cbs] {
        for (auto& cb : cbs) cb();
    }).detach();
}

MonitorState GnomeDisplays::state() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (cache_) return *cache_;
    }
    std::string err;
    Variant r = bus_.call(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, "GetCurrentState", nullptr, &err);
    std::optional<MonitorState> s = MonitorState::parse(r.get());
    if (!s) return {};
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto& m : s->monitors)
        if (!ids_.count(m.connector)) ids_[m.connector] = nextId_++;
    cache_ = s;
    return *s;
}

DisplayID GnomeDisplays::idOf(const std::string& connector) {
    state();
    std::lock_guard<std::mutex> lk(mu_);
    auto it = ids_.find(connector);
    return it == ids_.end() ? 0 : it->second;
}

std::string GnomeDisplays::connectorOf(DisplayID id) {
    state();
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto& [c, i] : ids_)
        if (i == id) return c;
    return "";
}

std::string GnomeDisplays::primaryConnector() {
    const MonitorState s = state();
    for (const auto& l : s.logical)
        if (l.primary && !l.connectors.empty()) return l.connectors.front();
    return s.logical.empty() || s.logical.front().connectors.empty() ? "" : s.logical.front().connectors.front();
}

std::optional<Point> GnomeDisplays::originOf(const std::string& connector) {
    const MonitorState s = state();
    const auto* l = s.logicalOf(connector);
    if (!l) return std::nullopt;
    return Point{double(l->x), double(l->y)};
}

uint32_t GnomeDisplays::onlineCount() { return static_cast<uint32_t>(state().monitors.size()); }

std::vector<DisplayID> GnomeDisplays::activeDisplays(uint32_t max) {
    const MonitorState s = state();
    std::vector<DisplayID> out;
    // The main display first, as the window server orders them.
    const std::string main = primaryConnector();
    if (!main.empty()) out.push_back(idOf(main));
    for (const auto& m : s.monitors)
        if (m.connector != main && s.logicalOf(m.connector) && out.size() < max) out.push_back(idOf(m.connector));
    if (out.size() > max) out.resize(max);
    return out;
}

std::vector<DisplayID> GnomeDisplays::onlineDisplays(uint32_t max) {
    std::vector<DisplayID> out = activeDisplays(max);
    for (const auto& m : state().monitors) {
        const DisplayID id = idOf(m.connector);
        if (std::find(out.begin(), out.end(), id) == out.end() && out.size() < max) out.push_back(id);
    }
    return out;
}

DisplayID GnomeDisplays::mainDisplay() {
    const std::string c = primaryConnector();
    return c.empty() ? 0 : idOf(c);
}

bool GnomeDisplays::isOnline(DisplayID id) {
    const std::string c = connectorOf(id);
    return !c.empty() && state().monitor(c) != nullptr;
}

bool GnomeDisplays::isAgentVirtual(DisplayID id) {
    const std::string c = connectorOf(id);
    std::lock_guard<std::mutex> lk(mu_);
    return ours_.count(c) > 0;
}

uint32_t GnomeDisplays::vendorNumber(DisplayID id) {
    if (isAgentVirtual(id)) return kVirtualVendor;
    const MonitorState s = state();
    const auto* m = s.monitor(connectorOf(id));
    if (!m) return 0;
    // Three-letter PNP vendor codes pack into 15 bits as EDID has them.
    if (m->vendor.size() == 3 && std::all_of(m->vendor.begin(), m->vendor.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return uint32_t((m->vendor[0] - 'A' + 1) << 10 | (m->vendor[1] - 'A' + 1) << 5 | (m->vendor[2] - 'A' + 1));
    return numberOf(m->vendor) & 0xffff;
}

uint32_t GnomeDisplays::productNumber(DisplayID id) {
    const MonitorState s = state();
    const auto* m = s.monitor(connectorOf(id));
    return m ? numberOf(m->product) & 0xffff : 0;
}

uint32_t GnomeDisplays::serialNumber(DisplayID id) {
    const std::string c = connectorOf(id);
    {
        std::lock_guard<std::mutex> lk(mu_);
        auto it = ours_.find(c);
        if (it != ours_.end()) return it->second;
    }
    const MonitorState s = state();
    const auto* m = s.monitor(c);
    return m ? numberOf(m->serial) : 0;
}

Rect GnomeDisplays::bounds(DisplayID id) {
    const MonitorState s = state();
    const std::string c = connectorOf(id);
    const auto* m = s.monitor(c);
    const auto* l = s.logicalOf(c);
    const auto* mode = m ? m->currentMode() : nullptr;
    if (!l || !mode) return {};
    const double div = s.layoutMode == 1 ? l->scale : 1.0;
    return Rect{double(l->x), double(l->y), mode->width / div, mode->height / div};
}

std::optional<DisplayMode> GnomeDisplays::currentMode(DisplayID id) {
    const MonitorState s = state();
    const std::string c = connectorOf(id);
    const auto* m = s.monitor(c);
    const auto* l = s.logicalOf(c);
    const auto* mode = m ? m->currentMode() : nullptr;
    if (!l || !mode) return std::nullopt;
    const double scale = l->scale > 0 ? l->scale : 1;
    return DisplayMode{uint32_t(std::lround(mode->width / scale)), uint32_t(std::lround(mode->height / scale)),
                       uint32_t(mode->width), uint32_t(mode->height), mode->refresh, 0};
}

std::optional<std::vector<DisplayMode>> GnomeDisplays::modes(DisplayID id, bool includeLowResDuplicates) {
    const MonitorState s = state();
    const auto* m = s.monitor(connectorOf(id));
    if (!m) return std::nullopt;
    std::vector<DisplayMode> out;
    for (const auto& mode : m->modes) {
        for (double sc : mode.scales) {
            // The physical layout shows whole scales only.
            if (s.layoutMode != 1 && !integral(sc)) continue;
            // A HiDPI mode's 1x twin is the mode itself at scale 1, asked for or not.
            if (sc == 1 && !includeLowResDuplicates && mode.scales.size() > 1 && !mode.current) continue;
            out.push_back(DisplayMode{uint32_t(std::lround(mode.width / sc)), uint32_t(std::lround(mode.height / sc)),
                                      uint32_t(mode.width), uint32_t(mode.height), mode.refresh, 0});
        }
    }
    return out;
}

Size GnomeDisplays::physicalSizeMM(DisplayID id) {
    const MonitorState s = state();
    const auto* m = s.monitor(connectorOf(id));
    const auto* mode = m ? m->currentMode() : nullptr;
    if (!mode) return {};
    return Size{mode->width / kPixelsPerMM, mode->height / kPixelsPerMM};
}

std::vector<ScreenInfo> GnomeDisplays::screens() {
    const MonitorState s = state();
    std::vector<ScreenInfo> out;
    for (DisplayID id : activeDisplays()) {
        const auto* l = s.logicalOf(connectorOf(id));
        out.push_back(ScreenInfo{id, l ? l->scale : 1.0});
    }
    return out;
}

void GnomeDisplays::onReconfigure(std::function<void()> callback) {
    std::lock_guard<std::mutex> lk(cbMu_);
    callbacks_.push_back(std::move(callback));
}

std::optional<std::string> GnomeDisplays::inspectInChild(DisplayID id,
                                                         const std::function<std::string(DisplayID)>& inProcess) {
    // Every read asks mutter afresh: this process never lags behind it.
    {
        std::lock_guard<std::mutex> lk(mu_);
        cache_.reset();
    }
    std::string line = inProcess(id);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return std::nullopt;
    return line;
}

void GnomeDisplays::markVirtual(const std::string& connector, bool ours, uint32_t serial) {
    std::lock_guard<std::mutex> lk(mu_);
    if (ours) ours_[connector] = serial;
    else {
        ours_.erase(connector);
        frames_.erase(connector);
    }
}

void GnomeDisplays::setVirtualFrames(const std::string& connector, std::shared_ptr<FrameSource> frames) {
    std::lock_guard<std::mutex> lk(mu_);
    frames_[connector] = frames;
}

std::shared_ptr<FrameSource> GnomeDisplays::virtualFrames(DisplayID id) {
    const std::string c = connectorOf(id);
    std::lock_guard<std::mutex> lk(mu_);
    auto it = frames_.find(c);
    return it == frames_.end() ? nullptr : it->second.lock();
}

std::optional<std::string> GnomeDisplays::waitNewConnector(const std::set<std::string>& before, double seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            cache_.reset();
        }
        for (const auto& m : state().monitors)
            if (!before.count(m.connector)) return m.connector;
        if (std::chrono::steady_clock::now() >= until) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string GnomeDisplays::apply(LayoutRequest r, bool /*persistent*/) {
    // A persistent change makes the shell ask "Keep these display settings?" and undo it
    // unanswered; the agent's layouts are for this session only.
    constexpr uint32_t kTemporary = 1;
    if (r.enabled.empty()) return "no monitor would stay on";
    const MonitorState s = state();
    const size_t primary = normaliseLayout(r, s.layoutMode);
    GVariantBuilder logical;
    g_variant_builder_init(&logical, G_VARIANT_TYPE("a(iiduba(ssa{sv}))"));
    for (size_t i = 0; i < r.enabled.size(); ++i) {
        const auto& e = r.enabled[i];
        GVariantBuilder mons;
        g_variant_builder_init(&mons, G_VARIANT_TYPE("a(ssa{sv})"));
        GVariantBuilder none;
        g_variant_builder_init(&none, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&mons, "(ss@a{sv})", e.connector.c_str(), e.modeId.c_str(), g_variant_builder_end(&none));
        g_variant_builder_add(&logical, "(iidub@a(ssa{sv}))", e.x, e.y, e.scale, 0u, i == primary ? TRUE : FALSE,
                              g_variant_builder_end(&mons));
    }
    GVariantBuilder props;
    g_variant_builder_init(&props, G_VARIANT_TYPE("a{sv}"));
    std::string err;
    Variant ok = bus_.call(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, "ApplyMonitorsConfig",
                           g_variant_new("(uu@a(iiduba(ssa{sv}))@a{sv})", s.serial, kTemporary,
                                         g_variant_builder_end(&logical), g_variant_builder_end(&props)),
                           &err);
    {
        std::lock_guard<std::mutex> lk(mu_);
        cache_.reset();
    }
    return ok ? "" : err;
}

// ---- configuration transactions ---------------------------------------------

namespace {

class GnomeConfig final : public DisplayConfig {
public:
    explicit GnomeConfig(GnomeDisplays& d) : d_(d) {}
    void setMode(DisplayID id, const DisplayMode& mode) override { change(id).mode = mode; }
    void stopMirroring(DisplayID) override {}  // every monitor is its own logical monitor here
    void setOrigin(DisplayID id, int32_t x, int32_t y) override { change(id).origin = Point{double(x), double(y)}; }
    int setEnabled(DisplayID id, bool enabled) override {
        if (d_.connectorOf(id).empty()) return GnomeDisplays::kIllegalArgument;
        change(id).enabled = enabled;
        return 0;
    }
    int complete(bool permanent) override {
        if (done_) return GnomeDisplays::kFailure;
        done_ = true;
        const MonitorState s = d_.state();
        LayoutRequest r;
        for (const auto& m : s.monitors) {
            const DisplayID id = d_.idOf(m.connector);
            const auto* l = s.logicalOf(m.connector);
            auto it = changes_.find(id);
            const Change* c = it == changes_.end() ? nullptr : &it->second;
            const bool on = c && c->enabled ? *c->enabled : l != nullptr;
            if (!on) continue;
            const MonitorState::Mode* mode = m.currentMode();
            double scale = l ? l->scale : 0;
            if (c && c->mode) {
                const MonitorState::Mode* match = nullptr;
                for (const auto& md : m.modes)
                    if (uint32_t(md.width) == c->mode->pixelWidth && uint32_t(md.height) == c->mode->pixelHeight &&
                        (!match || md.current))
                        match = &md;
                if (match) mode = match;
                if (c->mode->width > 0) scale = double(c->mode->pixelWidth) / c->mode->width;
            }
            if (!mode)
                for (const auto& md : m.modes)
                    if (md.preferred) mode = &md;
            if (!mode && !m.modes.empty()) mode = &m.modes.front();
            if (!mode) continue;
            if (scale <= 0) scale = mode->preferredScale > 0 ? mode->preferredScale : 1;
            if (std::find(mode->scales.begin(), mode->scales.end(), scale) == mode->scales.end()) scale = 1;
            LayoutRequest::Entry e;
            e.connector = m.connector;
            e.modeId = mode->id;
            e.width = mode->width;
            e.height = mode->height;
            e.scale = scale;
            const Point at = c && c->origin ? *c->origin : (l ? Point{double(l->x), double(l->y)} : Point{1e6, 0});
            e.x = int(at.x);
            e.y = int(at.y);
            r.enabled.push_back(e);
        }
        const std::string err = d_.apply(r, permanent);
        if (!err.empty()) {
            d_.log().logLine("⚠︎ 모니터 구성 적용 실패 — " + err + "\n");
            return GnomeDisplays::kFailure;
        }
        return 0;
    }
    void cancel() override { done_ = true; }

private:
    struct Change {
        std::optional<DisplayMode> mode;
        std::optional<Point> origin;
        std::optional<bool> enabled;
    };
    Change& change(DisplayID id) { return changes_[id]; }
    GnomeDisplays& d_;
    std::map<DisplayID, Change> changes_;
    bool done_ = false;
};

}  // namespace

std::unique_ptr<DisplayConfig> GnomeDisplays::beginConfiguration() { return std::make_unique<GnomeConfig>(*this); }

std::unique_ptr<VirtualDisplay> GnomeDisplays::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
    if (descriptor.maxPixelsWide == 0 || descriptor.maxPixelsHigh == 0) return nullptr;
    return std::make_unique<GnomeVirtualDisplay>(*this, descriptor);
}

}  // namespace vm::platform::gnome
