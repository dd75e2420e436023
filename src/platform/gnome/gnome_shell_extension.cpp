#include "platform/gnome/gnome_shell_extension.h"

#include <nlohmann/json.hpp>

#include "base/log.h"
#include "platform/gnome/gnome_bus.h"

namespace vm::platform::gnome {

namespace {

constexpr const char* kPath = "/dev/brisval/Vellomark/Shell";
constexpr const char* kIface = "dev.brisval.Vellomark.Shell";
constexpr size_t kMaxIconBytes = 1024 * 1024 * 4;

template <typename T>
T field(const nlohmann::json& j, const char* key, T fallback) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return fallback;
    try {
        return it->get<T>();
    } catch (const nlohmann::json::exception&) {
        return fallback;
    }
}

}  // namespace

ShellExtension::ShellExtension(Logger& log, Bus& bus) : log_(log), bus_(bus) {}

bool ShellExtension::present() { return bus_.nameHasOwner(kExtensionBusName); }

namespace {

Variant ask(Bus& bus, Logger& log, std::atomic<bool>& warned, const char* method, GVariant* args) {
    std::string err;
    Variant r = bus.call(kExtensionBusName, kPath, kIface, method, args, &err, 3000);
    if (!r && !warned.exchange(true))
        log.logLine(std::string("⚠︎ GNOME Shell 확장(") + kExtensionUuid + ")이 답하지 않는다 — 창·앱 목록 없이 간다: " + err + "\n");
    if (r) warned = false;
    return r;
}

bool askBool(Bus& bus, Logger& log, std::atomic<bool>& warned, const char* method, GVariant* args) {
    Variant r = ask(bus, log, warned, method, args);
    return r && g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(b)")) && g_variant_get_boolean(r.child(0).get());
}

}  // namespace

std::optional<std::vector<ShellWindow>> ShellExtension::parseWindows(const std::string& text) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_array()) return std::nullopt;
    std::vector<ShellWindow> out;
    for (const auto& w : j) {
        if (!w.is_object()) return std::nullopt;
        ShellWindow s;
        const std::string id = field<std::string>(w, "id", "");
        try {
            s.id = std::stoull(id);
        } catch (const std::exception&) {
            continue;
        }
        s.pid = field<int32_t>(w, "pid", 0);
        s.app = field<std::string>(w, "app", "");
        s.title = field<std::string>(w, "title", "");
        s.frame = Rect{field<double>(w, "x", 0), field<double>(w, "y", 0), field<double>(w, "width", 0),
                       field<double>(w, "height", 0)};
        s.minimized = field<bool>(w, "minimized", false);
        s.fullscreen = field<bool>(w, "fullscreen", false);
        s.workspace = field<int>(w, "workspace", -1);
        s.focused = field<bool>(w, "focused", false);
        out.push_back(std::move(s));
    }
    return out;
}

std::optional<std::vector<ShellApp>> ShellExtension::parseApps(const std::string& text) {
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (!j.is_array()) return std::nullopt;
    std::vector<ShellApp> out;
    for (const auto& a : j) {
        if (!a.is_object()) return std::nullopt;
        ShellApp s;
        s.id = field<std::string>(a, "id", "");
        s.name = field<std::string>(a, "name", "");
        s.pid = field<int32_t>(a, "pid", 0);
        s.windows = field<int>(a, "windows", 0);
        s.focused = field<bool>(a, "focused", false);
        if (s.pid > 0) out.push_back(std::move(s));
    }
    return out;
}

std::optional<std::vector<ShellWindow>> ShellExtension::windows() {
    Variant r = ask(bus_, log_, warned_, "ListWindows", nullptr);
    if (!r) return std::nullopt;
    return parseWindows(r.child(0).str());
}

std::optional<std::vector<ShellApp>> ShellExtension::apps() {
    Variant r = ask(bus_, log_, warned_, "ListApps", nullptr);
    if (!r) return std::nullopt;
    return parseApps(r.child(0).str());
}

std::optional<RgbaImage> ShellExtension::appIcon(int32_t pid, int size) {
    Variant r = ask(bus_, log_, warned_, "AppIcon", g_variant_new("(ii)", pid, size));
    if (!r || !g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(iiay)"))) return std::nullopt;
    int32_t w = 0, h = 0;
    g_variant_get_child(r.get(), 0, "i", &w);
    g_variant_get_child(r.get(), 1, "i", &h);
    Variant bytes = r.child(2);
    gsize n = 0;
    const auto* data = static_cast<const uint8_t*>(g_variant_get_fixed_array(bytes.get(), &n, 1));
    if (w <= 0 || h <= 0 || size_t(w) * size_t(h) * 4 != n || n > kMaxIconBytes) return std::nullopt;
    RgbaImage img;
    img.width = w;
    img.height = h;
    img.pixels.assign(data, data + n);
    return img;
}

bool ShellExtension::moveResize(uint64_t id, const Rect& f) {
    return askBool(bus_, log_, warned_, "MoveResizeWindow",
                   g_variant_new("(tiiii)", guint64(id), int(f.x), int(f.y), int(f.width), int(f.height)));
}

bool ShellExtension::setFullscreen(uint64_t id, bool on) {
    return askBool(bus_, log_, warned_, "SetFullscreen", g_variant_new("(tb)", guint64(id), on));
}

bool ShellExtension::activateWindow(uint64_t id) {
    return askBool(bus_, log_, warned_, "ActivateWindow", g_variant_new("(t)", guint64(id)));
}

bool ShellExtension::activateApp(int32_t pid, bool allWindows) {
    return askBool(bus_, log_, warned_, "ActivateApp", g_variant_new("(ib)", pid, allWindows));
}

std::optional<std::pair<int, int>> ShellExtension::workspaces() {
    Variant r = ask(bus_, log_, warned_, "Workspaces", nullptr);
    if (!r || !g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(ii)"))) return std::nullopt;
    int32_t cur = 0, n = 0;
    g_variant_get(r.get(), "(ii)", &cur, &n);
    return std::make_pair(int(cur), int(n));
}

bool ShellExtension::switchWorkspace(int index) {
    return askBool(bus_, log_, warned_, "SwitchWorkspace", g_variant_new("(i)", index));
}

bool ShellExtension::commitText(const std::string& utf8) {
    if (!g_utf8_validate(utf8.data(), gssize(utf8.size()), nullptr)) return false;
    return askBool(bus_, log_, warned_, "CommitText", g_variant_new("(s)", utf8.c_str()));
}

std::optional<ShellPointer> ShellExtension::pointer() {
    Variant r = ask(bus_, log_, warned_, "Pointer", nullptr);
    if (!r || !g_variant_is_of_type(r.get(), G_VARIANT_TYPE("(iiu)"))) return std::nullopt;
    int32_t x = 0, y = 0;
    uint32_t mods = 0;
    g_variant_get(r.get(), "(iiu)", &x, &y, &mods);
    return ShellPointer{Point{double(x), double(y)}, mods};
}

std::optional<ShellInputSources> ShellExtension::inputSources() {
    Variant r = ask(bus_, log_, warned_, "InputSources", nullptr);
    if (!r) return std::nullopt;
    nlohmann::json j = nlohmann::json::parse(r.child(0).str(), nullptr, false);
    if (!j.is_object()) return std::nullopt;
    ShellInputSources s;
    s.current = field<std::string>(j, "current", "");
    if (j.contains("sources") && j["sources"].is_array())
        for (const auto& id : j["sources"])
            if (id.is_string()) s.ids.push_back(id.get<std::string>());
    return s;
}

bool ShellExtension::selectInputSource(const std::string& id) {
    return askBool(bus_, log_, warned_, "SelectInputSource", g_variant_new("(s)", id.c_str()));
}

}  // namespace vm::platform::gnome
