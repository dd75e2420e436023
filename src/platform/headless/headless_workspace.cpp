#include "platform/headless/headless_workspace.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace vm::platform::headless {

using nlohmann::json;

namespace {

constexpr const char* kUserNameKey = "kCGSSessionUserNameKey";

std::string where(const char* what, size_t index, const char* key) {
    return std::string(what) + " " + std::to_string(index) + ": \"" + key + "\"";
}

int64_t wholeNumber(const json& obj, const char* what, size_t index, const char* key, int64_t lo, int64_t hi) {
    const json& v = obj[key];
    bool ok = v.is_number_integer();
    if (ok) {
        // Unsigned values above int64 would wrap; compare them before converting.
        if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(hi)) ok = false;
        else if (v.get<int64_t>() < lo || v.get<int64_t>() > hi) ok = false;
    }
    if (!ok)
        throw std::runtime_error(where(what, index, key) + " must be a whole number from " + std::to_string(lo) +
                                 " to " + std::to_string(hi));
    return v.get<int64_t>();
}

bool boolean(const json& obj, const char* what, size_t index, const char* key, bool fallback) {
    if (!obj.contains(key)) return fallback;
    if (!obj[key].is_boolean()) throw std::runtime_error(where(what, index, key) + " must be true or false");
    return obj[key].get<bool>();
}

double clampCoordinate(double v, double lo) {
    if (std::isnan(v)) return 0;
    return std::clamp(v, lo, HeadlessWorkspace::kCoordinateLimit);
}

double coordinate(const json& obj, size_t index, const char* key, bool isLength) {
    if (!obj.contains(key) || !obj[key].is_number())
        throw std::runtime_error(where("window", index, key) + " must be a number");
    // Far-off or negative values are legal (windows parked off screen) but bounded.
    return clampCoordinate(obj[key].get<double>(), isLength ? 0.0 : -HeadlessWorkspace::kCoordinateLimit);
}

std::optional<uint32_t> parseColor(const std::string& s) {
    if (s.size() != 7 || s[0] != '#') return std::nullopt;
    uint32_t v = 0;
    for (size_t i = 1; i < 7; ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    return v;
}

// A steady, not too pale colour for an app that names none.
uint32_t derivedColor(const std::string& bundleID) {
    uint32_t h = 2166136261u;
    for (unsigned char c : bundleID) h = (h ^ c) * 16777619u;
    uint32_t r = 40 + (h & 0x7F), g = 40 + ((h >> 8) & 0x7F), b = 40 + ((h >> 16) & 0x7F);
    return (r << 16) | (g << 8) | b;
}

std::string defaultLogin() {
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name && pw->pw_name[0]) return pw->pw_name;
    if (const char* u = std::getenv("USER"); u && u[0]) return u;
    return "user";
}

// 5 × 7 capitals for the icon's mark, one byte per row (low five bits, left bit first).
constexpr std::array<std::array<uint8_t, 7>, 26> kCapitals = {{
    {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}, {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E},
    {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E},
    {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}, {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10},
    {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}, {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11},
    {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}, {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C},
    {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}, {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F},
    {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}, {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11},
    {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10},
    {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}, {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11},
    {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}, {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04},
    {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}, {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04},
    {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}, {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11},
    {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F},
}};
// For names that do not start with a Latin letter: an empty frame.
constexpr std::array<uint8_t, 7> kFrameGlyph = {0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F};

RgbaImage drawIcon(uint32_t color, const std::optional<std::string>& name) {
    const int side = HeadlessWorkspace::kIconSide;
    RgbaImage img;
    img.width = side;
    img.height = side;
    img.pixels.assign(static_cast<size_t>(side) * side * 4, 0);
    const uint8_t r = (color >> 16) & 0xFF, g = (color >> 8) & 0xFF, b = color & 0xFF;
    // A dark mark on light colours, a white one on the rest.
    const bool light = (299 * r + 587 * g + 114 * b) / 1000 > 170;
    const uint8_t mark = light ? 24 : 255;
    const double radius = side * 0.22;
    auto put = [&](int x, int y, uint8_t pr, uint8_t pg, uint8_t pb) {
        size_t i = (static_cast<size_t>(y) * side + x) * 4;
        img.pixels[i] = pr;
        img.pixels[i + 1] = pg;
        img.pixels[i + 2] = pb;
        img.pixels[i + 3] = 255;
    };
    // A rounded square in the app's colour; the corners stay transparent.
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double cx = std::clamp(x + 0.5, radius, side - radius);
            double cy = std::clamp(y + 0.5, radius, side - radius);
            if (std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius) put(x, y, r, g, b);
        }
    }
    const std::array<uint8_t, 7>* glyph = &kFrameGlyph;
    if (name && !name->empty()) {
        char c = (*name)[0];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c >= 'A' && c <= 'Z') glyph = &kCapitals[static_cast<size_t>(c - 'A')];
    }
    const int cell = side / 11;  // 5 × 7 cells, centred
    const int ox = (side - 5 * cell) / 2, oy = (side - 7 * cell) / 2;
    for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col)
            if ((*glyph)[static_cast<size_t>(row)] & (0x10 >> col))
                for (int y = oy + row * cell; y < oy + (row + 1) * cell; ++y)
                    for (int x = ox + col * cell; x < ox + (col + 1) * cell; ++x) put(x, y, mark, mark, mark);
    return img;
}

double overlap(const Rect& a, const Rect& b) {
    double w = std::min(a.maxX(), b.maxX()) - std::max(a.x, b.x);
    double h = std::min(a.maxY(), b.maxY()) - std::max(a.y, b.y);
    return (w > 0 && h > 0) ? w * h : 0;
}

}  // namespace

HeadlessWorkspace::HeadlessWorkspace(const std::string& sceneText) : login_(defaultLogin()) {
    if (sceneText.empty()) return;
    json root = json::parse(sceneText, nullptr, false);
    if (root.is_discarded()) throw std::runtime_error("not valid JSON");
    if (!root.is_object()) throw std::runtime_error("the scene must be a JSON object");
    constexpr int64_t kPidMax = std::numeric_limits<int32_t>::max();

    if (root.contains("apps")) {
        const json& list = root["apps"];
        if (!list.is_array()) throw std::runtime_error("\"apps\" must be an array");
        for (size_t i = 0; i < list.size(); ++i) {
            const json& a = list[i];
            if (!a.is_object()) throw std::runtime_error("app " + std::to_string(i) + " must be an object");
            HeadlessApp app;
            if (!a.contains("pid")) throw std::runtime_error(where("app", i, "pid") + " is missing");
            app.info.pid = static_cast<int32_t>(wholeNumber(a, "app", i, "pid", 1, kPidMax));
            for (const auto& seen : apps_)
                if (seen.info.pid == app.info.pid)
                    throw std::runtime_error(where("app", i, "pid") + " " + std::to_string(app.info.pid) +
                                             " is listed twice");
            if (a.contains("name")) {
                if (!a["name"].is_string()) throw std::runtime_error(where("app", i, "name") + " must be a string");
                app.info.name = a["name"].get<std::string>();
            }
            // An app is an ordinary one with a Dock icon unless the scene says otherwise.
            if (a.contains("bundleID") && !a["bundleID"].is_string())
                throw std::runtime_error(where("app", i, "bundleID") + " must be a string");
            app.info.bundleID = a.value("bundleID", std::string());
            if (a.contains("policy") && !a["policy"].is_string())
                throw std::runtime_error(where("app", i, "policy") + " must be \"regular\", \"accessory\" or \"prohibited\"");
            const std::string policy = a.value("policy", std::string("regular"));
            if (policy == "regular") app.info.policy = ActivationPolicy::regular;
            else if (policy == "accessory") app.info.policy = ActivationPolicy::accessory;
            else if (policy == "prohibited") app.info.policy = ActivationPolicy::prohibited;
            else throw std::runtime_error(where("app", i, "policy") + " must be \"regular\", \"accessory\" or \"prohibited\"");
            if (a.contains("icon")) {
                std::optional<uint32_t> c = a["icon"].is_string() ? parseColor(a["icon"].get<std::string>()) : std::nullopt;
                if (!c) throw std::runtime_error(where("app", i, "icon") + " must be a colour \"#RRGGBB\"");
                app.color = c;
            }
            app.hiddenWindowsUntilActivated = boolean(a, "app", i, "hiddenWindowsUntilActivated", false);
            apps_.push_back(std::move(app));
        }
    }
    if (root.contains("frontmost")) {
        const json& f = root["frontmost"];
        bool ok = f.is_number_integer() && !(f.is_number_unsigned() && f.get<uint64_t>() > static_cast<uint64_t>(kPidMax)) &&
                  f.get<int64_t>() >= 1 && f.get<int64_t>() <= kPidMax;
        if (!ok || !appLocked(static_cast<int32_t>(f.get<int64_t>())))
            throw std::runtime_error("\"frontmost\" must be the pid of one of the \"apps\"");
        frontmost_ = static_cast<int32_t>(f.get<int64_t>());
    }
    if (root.contains("windows")) {
        const json& list = root["windows"];
        if (!list.is_array()) throw std::runtime_error("\"windows\" must be an array");
        for (size_t i = 0; i < list.size(); ++i) {
            const json& o = list[i];
            if (!o.is_object()) throw std::runtime_error("window " + std::to_string(i) + " must be an object");
            HeadlessWindow w;
            if (!o.contains("owner")) throw std::runtime_error(where("window", i, "owner") + " is missing");
            w.owner = static_cast<int32_t>(wholeNumber(o, "window", i, "owner", 1, kPidMax));
            if (o.contains("number")) {
                w.number = static_cast<uint32_t>(
                    wholeNumber(o, "window", i, "number", 1, std::numeric_limits<uint32_t>::max()));
                for (const auto& seen : windows_)
                    if (seen.number == w.number)
                        throw std::runtime_error(where("window", i, "number") + " " + std::to_string(w.number) +
                                                 " is taken");
            }
            if (o.contains("layer"))
                w.layer = static_cast<int>(wholeNumber(o, "window", i, "layer", -100000, 100000));
            w.frame.x = coordinate(o, i, "x", false);
            w.frame.y = coordinate(o, i, "y", false);
            w.frame.width = coordinate(o, i, "width", true);
            w.frame.height = coordinate(o, i, "height", true);
            w.minimized = boolean(o, "window", i, "minimized", false);
            w.fullScreen = boolean(o, "window", i, "fullScreen", false);
            w.movable = boolean(o, "window", i, "movable", true);
            w.accessible = boolean(o, "window", i, "accessible", true);
            // Scene order is front to back.
            windows_.push_back(w);
        }
        // Automatic numbers go after every number the scene chose.
        for (auto& w : windows_) {
            if (w.number != 0) continue;
            uint32_t highest = 0;
            for (const auto& o : windows_) highest = std::max(highest, o.number);
            if (highest == std::numeric_limits<uint32_t>::max())
                throw std::runtime_error("\"windows\": no free window number left");
            w.number = highest + 1;
        }
    }
    if (root.contains("dock")) {
        const json& d = root["dock"];
        if (!d.is_array()) throw std::runtime_error("\"dock\" must be an array of titles");
        std::vector<std::string> titles;
        for (const auto& t : d) {
            if (!t.is_string()) throw std::runtime_error("\"dock\" must be an array of titles");
            titles.push_back(t.get<std::string>());
        }
        dock_ = std::move(titles);
    }
    if (root.contains("dockRunning")) {
        if (!root["dockRunning"].is_boolean()) throw std::runtime_error("\"dockRunning\" must be true or false");
        dockRunning_ = root["dockRunning"].get<bool>();
    }
    if (root.contains("session")) {
        const json& s = root["session"];
        if (!s.is_object()) throw std::runtime_error("\"session\" must be an object");
        // A described session carries only the keys it names.
        onConsole_.reset();
        locked_.reset();
        for (const char* key : {"onConsole", "locked", "present"}) {
            if (!s.contains(key)) continue;
            if (!s[key].is_boolean()) throw std::runtime_error(std::string("session: \"") + key + "\" must be true or false");
        }
        if (s.contains("onConsole")) onConsole_ = s["onConsole"].get<bool>();
        if (s.contains("locked")) locked_ = s["locked"].get<bool>();
        if (s.contains("present")) sessionPresent_ = s["present"].get<bool>();
    }
    if (root.contains("login")) {
        if (!root["login"].is_string() || root["login"].get<std::string>().empty())
            throw std::runtime_error("\"login\" must be a non-empty string");
        login_ = root["login"].get<std::string>();
    }
}

void HeadlessWorkspace::followDisplays(const std::vector<DisplayMove>& moves) {
    if (moves.empty()) return;
    std::lock_guard<std::mutex> lk(mu_);
    for (auto& w : windows_) {
        const double cx = w.frame.x + w.frame.width / 2, cy = w.frame.y + w.frame.height / 2;
        for (const auto& m : moves) {
            if (cx < m.from.x || cy < m.from.y || cx >= m.from.maxX() || cy >= m.from.maxY()) continue;
            double x = m.to.x + (w.frame.x - m.from.x), y = m.to.y + (w.frame.y - m.from.y);
            if (m.gone) {
                // Keep the top-left on the new display, and the whole window when it fits.
                x = std::clamp(x, m.to.x, std::max(m.to.x, m.to.maxX() - w.frame.width));
                y = std::clamp(y, m.to.y, std::max(m.to.y, m.to.maxY() - w.frame.height));
            }
            w.frame.x = std::clamp(x, -kCoordinateLimit, kCoordinateLimit);
            w.frame.y = std::clamp(y, -kCoordinateLimit, kCoordinateLimit);
            break;
        }
    }
}

void HeadlessWorkspace::setScreens(std::function<std::vector<Rect>()> screens) {
    std::lock_guard<std::mutex> lk(mu_);
    screens_ = std::move(screens);
}

std::vector<Rect> HeadlessWorkspace::screens() const {
    std::function<std::vector<Rect>()> fn;
    {
        std::lock_guard<std::mutex> lk(mu_);
        fn = screens_;
    }
    if (fn) return fn();
    return {Rect{0, 0, 1920, 1080}};
}

HeadlessApp* HeadlessWorkspace::appLocked(int32_t pid) {
    for (auto& a : apps_)
        if (a.info.pid == pid) return &a;
    return nullptr;
}

const HeadlessApp* HeadlessWorkspace::appLocked(int32_t pid) const {
    for (const auto& a : apps_)
        if (a.info.pid == pid) return &a;
    return nullptr;
}

bool HeadlessWorkspace::runningLocked(int32_t pid) const {
    const HeadlessApp* a = appLocked(pid);
    return a && !a->info.terminated;
}

HeadlessWindow* HeadlessWorkspace::windowLocked(ElementRef ref) {
    if (ref == 0 || ref > std::numeric_limits<uint32_t>::max()) return nullptr;
    for (auto& w : windows_)
        if (w.number == ref) return &w;
    return nullptr;
}

HeadlessWindow* HeadlessWorkspace::axWindowLocked(ElementRef ref) {
    if (axFails_) return nullptr;
    HeadlessWindow* w = windowLocked(ref);
    if (!w || !w->accessible || !runningLocked(w->owner)) return nullptr;
    return w;
}

Rect HeadlessWorkspace::shownFrameLocked(const HeadlessWindow& w, const std::vector<Rect>& screens) const {
    if (!w.fullScreen || screens.empty()) return w.frame;
    // A full-screen window covers the screen its frame lies on most.
    const double cx = w.frame.x + w.frame.width / 2, cy = w.frame.y + w.frame.height / 2;
    for (const auto& s : screens)
        if (cx >= s.x && cx < s.maxX() && cy >= s.y && cy < s.maxY()) return s;
    const Rect* best = &screens.front();
    double bestArea = 0;
    for (const auto& s : screens) {
        double a = overlap(w.frame, s);
        if (a > bestArea) bestArea = a, best = &s;
    }
    return *best;
}

void HeadlessWorkspace::bringForwardLocked(int32_t pid) {
    std::stable_partition(windows_.begin(), windows_.end(), [pid](const HeadlessWindow& w) { return w.owner == pid; });
}

bool HeadlessWorkspace::activateLocked(int32_t pid) {
    HeadlessApp* app = appLocked(pid);
    if (!app || app->info.terminated || app->info.policy == ActivationPolicy::prohibited) return false;
    frontmost_ = pid;
    bringForwardLocked(pid);
    // Activation switches to the app's Space, which makes its windows reachable.
    if (app->hiddenWindowsUntilActivated)
        for (auto& w : windows_)
            if (w.owner == pid) w.accessible = true;
    return true;
}

// Workspace

std::vector<RunningApp> HeadlessWorkspace::runningApps() {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<RunningApp> out;
    out.reserve(apps_.size());
    for (const auto& a : apps_) out.push_back(a.info);
    return out;
}

std::optional<int32_t> HeadlessWorkspace::frontmostApp() {
    std::lock_guard<std::mutex> lk(mu_);
    return frontmost_;
}

bool HeadlessWorkspace::activate(int32_t pid, bool allWindows) {
    (void)allWindows;  // every window of the app comes forward either way
    std::lock_guard<std::mutex> lk(mu_);
    return activateLocked(pid);
}

std::optional<RgbaImage> HeadlessWorkspace::appIcon(int32_t pid) {
    uint32_t color;
    std::optional<std::string> name;
    {
        std::lock_guard<std::mutex> lk(mu_);
        const HeadlessApp* app = appLocked(pid);
        if (!app || app->info.terminated) return std::nullopt;
        color = app->color ? *app->color : derivedColor(app->info.bundleID);
        name = app->info.name;
    }
    return drawIcon(color, name);
}

std::string HeadlessWorkspace::loginName() {
    std::lock_guard<std::mutex> lk(mu_);
    return login_;
}

// WindowServer

std::vector<WindowInfo> HeadlessWorkspace::windowList() {
    const auto scr = screens();
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<const HeadlessWindow*> order;
    for (const auto& w : windows_) order.push_back(&w);
    // Higher layers sit above; within a layer the stacking order holds.
    std::stable_sort(order.begin(), order.end(),
                     [](const HeadlessWindow* a, const HeadlessWindow* b) { return a->layer > b->layer; });
    std::vector<WindowInfo> out;
    out.reserve(order.size());
    for (const HeadlessWindow* w : order) {
        WindowInfo info;
        info.layer = w->layer;
        info.ownerPID = w->owner;
        info.number = w->number;
        info.bounds = shownFrameLocked(*w, scr);
        out.push_back(info);
    }
    return out;
}

// WindowElements

std::optional<std::vector<ElementRef>> HeadlessWorkspace::appWindows(int32_t pid) {
    std::lock_guard<std::mutex> lk(mu_);
    if (axFails_ || !runningLocked(pid)) return std::nullopt;
    std::vector<ElementRef> out;
    for (const auto& w : windows_)
        if (w.owner == pid && w.accessible) out.push_back(w.number);
    return out;
}

std::optional<Point> HeadlessWorkspace::position(ElementRef window) {
    const auto scr = screens();
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessWindow* w = axWindowLocked(window);
    if (!w) return std::nullopt;
    Rect r = shownFrameLocked(*w, scr);
    return Point{r.x, r.y};
}

std::optional<Size> HeadlessWorkspace::size(ElementRef window) {
    const auto scr = screens();
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessWindow* w = axWindowLocked(window);
    if (!w) return std::nullopt;
    Rect r = shownFrameLocked(*w, scr);
    return Size{r.width, r.height};
}

std::optional<bool> HeadlessWorkspace::minimized(ElementRef window) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessWindow* w = axWindowLocked(window);
    if (!w) return std::nullopt;
    return w->minimized;
}

std::optional<bool> HeadlessWorkspace::fullScreen(ElementRef window) {
    std::lock_guard<std::mutex> lk(mu_);
    const HeadlessWindow* w = axWindowLocked(window);
    if (!w) return std::nullopt;
    return w->fullScreen;
}

bool HeadlessWorkspace::setFullScreen(ElementRef window, bool on) {
    std::lock_guard<std::mutex> lk(mu_);
    HeadlessWindow* w = axWindowLocked(window);
    if (!w) return false;
    // The stored frame is left alone in full screen, so leaving it restores the old frame.
    w->fullScreen = on;
    return true;
}

bool HeadlessWorkspace::setSize(ElementRef window, Size size) {
    if (!std::isfinite(size.width) || !std::isfinite(size.height)) return false;
    std::lock_guard<std::mutex> lk(mu_);
    HeadlessWindow* w = axWindowLocked(window);
    if (!w || w->fullScreen) return false;
    w->frame.width = clampCoordinate(size.width, 0);
    w->frame.height = clampCoordinate(size.height, 0);
    return true;
}

bool HeadlessWorkspace::setPosition(ElementRef window, Point position) {
    if (!std::isfinite(position.x) || !std::isfinite(position.y)) return false;
    std::lock_guard<std::mutex> lk(mu_);
    HeadlessWindow* w = axWindowLocked(window);
    if (!w || w->fullScreen || !w->movable) return false;
    w->frame.x = clampCoordinate(position.x, -kCoordinateLimit);
    w->frame.y = clampCoordinate(position.y, -kCoordinateLimit);
    return true;
}

std::vector<std::string> HeadlessWorkspace::dockTitlesLocked() const {
    if (dock_) return *dock_;
    std::vector<std::string> titles;
    for (const auto& a : apps_)
        if (a.info.policy == ActivationPolicy::regular && !a.info.terminated && a.info.name)
            titles.push_back(*a.info.name);
    return titles;
}

std::optional<std::vector<DockItem>> HeadlessWorkspace::dockItems() {
    std::lock_guard<std::mutex> lk(mu_);
    if (axFails_ || !dockRunning_) return std::nullopt;
    std::vector<DockItem> items;
    auto titles = dockTitlesLocked();
    for (size_t i = 0; i < titles.size(); ++i) items.push_back(DockItem{kDockElementBase + i, titles[i]});
    return items;
}

bool HeadlessWorkspace::revealApp(int32_t pid) {
    std::optional<std::string> name;
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (const auto& a : apps_)
            if (a.info.pid == pid && !a.info.terminated) name = a.info.name;
    }
    if (!name) return false;
    const auto items = dockItems();
    if (!items) return false;
    for (const auto& item : *items)
        if (item.title && *item.title == *name) return press(item.element);
    return false;
}

bool HeadlessWorkspace::press(ElementRef element) {
    const auto scr = screens();
    std::lock_guard<std::mutex> lk(mu_);
    if (axFails_ || !dockRunning_ || element < kDockElementBase) return false;
    const auto titles = dockTitlesLocked();
    const ElementRef index = element - kDockElementBase;
    if (index >= titles.size()) return false;
    ++dockPresses_;
    const std::string& title = titles[static_cast<size_t>(index)];
    int32_t pid = 0;
    for (const auto& a : apps_)
        if (!a.info.terminated && a.info.name && *a.info.name == title) {
            pid = a.info.pid;
            break;
        }
    // An item of an app that is not running would launch it; that is not modelled.
    if (pid == 0 || !activateLocked(pid)) return true;
    // The dock shows the app a window: an open one if any, else its latest minimised one, else a new one.
    HeadlessWindow* minimisedOne = nullptr;
    for (auto& w : windows_) {
        if (w.owner != pid || !w.accessible) continue;
        if (!w.minimized) return true;
        if (!minimisedOne) minimisedOne = &w;
    }
    if (minimisedOne) {
        minimisedOne->minimized = false;
        return true;
    }
    const Rect mainScreen = scr.empty() ? Rect{0, 0, 1920, 1080} : scr.front();
    HeadlessWindow w;
    w.owner = pid;
    w.frame = Rect{mainScreen.x + kNewWindowInset, mainScreen.y + kNewWindowInset,
                   std::min(kNewWindowWidth, std::max(0.0, mainScreen.width - kNewWindowInset)),
                   std::min(kNewWindowHeight, std::max(0.0, mainScreen.height - kNewWindowInset))};
    try {
        addWindowLocked(w);
    } catch (const std::runtime_error&) {
        // No window number left: the app simply shows nothing new.
    }
    return true;
}

// Session

std::optional<std::map<std::string, SessionValue>> HeadlessWorkspace::dictionary() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!sessionPresent_) return std::nullopt;
    std::map<std::string, SessionValue> d;
    if (onConsole_) d[kOnConsoleKey] = *onConsole_;
    if (locked_) d[kScreenIsLockedKey] = *locked_;
    d[kUserNameKey] = login_;
    return d;
}

std::optional<bool> HeadlessWorkspace::onConsole() {
    const auto d = dictionary();
    if (!d) return std::nullopt;
    auto it = d->find(kOnConsoleKey);
    if (it == d->end() || !std::holds_alternative<bool>(it->second)) return std::nullopt;
    return std::get<bool>(it->second);
}

std::optional<bool> HeadlessWorkspace::locked() {
    const auto d = dictionary();
    if (!d) return std::nullopt;
    auto it = d->find(kScreenIsLockedKey);
    if (it == d->end() || !std::holds_alternative<bool>(it->second)) return std::nullopt;
    return std::get<bool>(it->second);
}

void HeadlessWorkspace::watchLock(std::function<void(bool locked)> onChange) {
    if (!onChange) return;
    std::lock_guard<std::mutex> lk(mu_);
    lockWatchers_.push_back(std::move(onChange));
}

// Scripting

void HeadlessWorkspace::lock() {
    std::vector<std::function<void(bool)>> watchers;
    {
        std::lock_guard<std::mutex> lk(mu_);
        locked_ = true;
        watchers = lockWatchers_;
    }
    for (auto& w : watchers) w(true);
}

void HeadlessWorkspace::unlock() {
    std::vector<std::function<void(bool)>> watchers;
    {
        std::lock_guard<std::mutex> lk(mu_);
        locked_ = false;
        watchers = lockWatchers_;
    }
    for (auto& w : watchers) w(false);
}

void HeadlessWorkspace::setOnConsole(std::optional<bool> onConsole) {
    std::lock_guard<std::mutex> lk(mu_);
    onConsole_ = onConsole;
}

void HeadlessWorkspace::setSessionPresent(bool present) {
    std::lock_guard<std::mutex> lk(mu_);
    sessionPresent_ = present;
}

bool HeadlessWorkspace::setFrontmost(std::optional<int32_t> pid) {
    std::lock_guard<std::mutex> lk(mu_);
    if (pid && !runningLocked(*pid)) return false;
    frontmost_ = pid;
    if (pid) bringForwardLocked(*pid);
    return true;
}

void HeadlessWorkspace::addApp(HeadlessApp app) {
    std::lock_guard<std::mutex> lk(mu_);
    if (HeadlessApp* old = appLocked(app.info.pid)) {
        *old = std::move(app);
        return;
    }
    apps_.push_back(std::move(app));
}

uint32_t HeadlessWorkspace::addWindowLocked(HeadlessWindow w) {
    w.frame.x = clampCoordinate(w.frame.x, -kCoordinateLimit);
    w.frame.y = clampCoordinate(w.frame.y, -kCoordinateLimit);
    w.frame.width = clampCoordinate(w.frame.width, 0);
    w.frame.height = clampCoordinate(w.frame.height, 0);
    if (w.number == 0) {
        uint32_t highest = 0;
        for (const auto& o : windows_) highest = std::max(highest, o.number);
        if (highest == std::numeric_limits<uint32_t>::max()) throw std::runtime_error("no free window number left");
        w.number = highest + 1;
    } else {
        for (const auto& o : windows_)
            if (o.number == w.number) throw std::runtime_error("window number " + std::to_string(w.number) + " is taken");
    }
    // A new window opens in front.
    windows_.insert(windows_.begin(), w);
    return w.number;
}

uint32_t HeadlessWorkspace::addWindow(HeadlessWindow window) {
    std::lock_guard<std::mutex> lk(mu_);
    return addWindowLocked(window);
}

bool HeadlessWorkspace::removeWindow(uint32_t number) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = std::find_if(windows_.begin(), windows_.end(), [number](const HeadlessWindow& w) { return w.number == number; });
    if (it == windows_.end()) return false;
    windows_.erase(it);
    return true;
}

bool HeadlessWorkspace::quitApp(int32_t pid) {
    std::lock_guard<std::mutex> lk(mu_);
    HeadlessApp* app = appLocked(pid);
    if (!app || app->info.terminated) return false;
    app->info.terminated = true;
    windows_.erase(std::remove_if(windows_.begin(), windows_.end(), [pid](const HeadlessWindow& w) { return w.owner == pid; }),
                   windows_.end());
    if (frontmost_ == pid) frontmost_.reset();
    return true;
}

void HeadlessWorkspace::setAccessibilityFails(bool fails) {
    std::lock_guard<std::mutex> lk(mu_);
    axFails_ = fails;
}

bool HeadlessWorkspace::setMinimized(uint32_t number, bool minimized) {
    std::lock_guard<std::mutex> lk(mu_);
    HeadlessWindow* w = windowLocked(number);
    if (!w) return false;
    w->minimized = minimized;
    return true;
}

void HeadlessWorkspace::setDock(std::vector<std::string> titles) {
    std::lock_guard<std::mutex> lk(mu_);
    dock_ = std::move(titles);
}

void HeadlessWorkspace::setDockRunning(bool running) {
    std::lock_guard<std::mutex> lk(mu_);
    dockRunning_ = running;
}

std::vector<HeadlessWindow> HeadlessWorkspace::windows() const {
    std::lock_guard<std::mutex> lk(mu_);
    return windows_;
}

std::optional<HeadlessWindow> HeadlessWorkspace::window(uint32_t number) const {
    std::lock_guard<std::mutex> lk(mu_);
    for (const auto& w : windows_)
        if (w.number == number) return w;
    return std::nullopt;
}

std::vector<std::string> HeadlessWorkspace::dockTitles() const {
    std::lock_guard<std::mutex> lk(mu_);
    return dockTitlesLocked();
}

int HeadlessWorkspace::dockPressCount() const {
    std::lock_guard<std::mutex> lk(mu_);
    return dockPresses_;
}

}  // namespace vm::platform::headless
