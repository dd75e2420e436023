#include "platform/headless/headless_desktop.h"

#include <unistd.h>

#include <cmath>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "platform/avahi_advertiser.h"
#include "platform/headless/headless_capture.h"
#include "platform/headless/headless_lifetime.h"
#include "platform/headless/headless_workspace.h"

namespace vm::platform::headless {

using nlohmann::json;

// Vendor number of the physical displays a scene does not describe further.
static constexpr uint32_t kDefaultVendor = 0x10AC;

// The in-memory desktop has no hardware to describe in a mode's I/O flags.
static constexpr uint32_t kModeFlags = 0;

static std::string where(size_t index) { return "display " + std::to_string(index); }

static uint32_t dimension(const json& d, const char* key, const std::string& at) {
    if (!d.contains(key) || !d[key].is_number_integer())
        throw std::runtime_error(at + ": \"" + key + "\" must be a whole number");
    auto v = d[key].get<int64_t>();
    if (v < 1 || v > 32768) throw std::runtime_error(at + ": \"" + key + "\" must be 1…32768");
    return static_cast<uint32_t>(v);
}

static double number(const json& d, const char* key, double lo, double hi, double fallback, const std::string& at) {
    if (!d.contains(key)) return fallback;
    if (!d[key].is_number() || !std::isfinite(d[key].get<double>()) || d[key].get<double>() < lo ||
        d[key].get<double>() > hi) {
        std::ostringstream msg;
        msg << at << ": \"" << key << "\" must be a number from " << lo << " to " << hi;
        throw std::runtime_error(msg.str());
    }
    return d[key].get<double>();
}

static uint32_t unsigned32(const json& d, const char* key, uint32_t fallback, const std::string& at) {
    if (!d.contains(key)) return fallback;
    if (!d[key].is_number_unsigned() || d[key].get<uint64_t>() > 0xFFFFFFFFull)
        throw std::runtime_error(at + ": \"" + key + "\" must be an unsigned 32-bit number");
    return static_cast<uint32_t>(d[key].get<uint64_t>());
}

static uint32_t scaled(uint32_t points, double scale) {
    return static_cast<uint32_t>(std::lround(static_cast<double>(points) * scale));
}

DisplayMode HeadlessDisplay::mode() const {
    return DisplayMode{width, height, pixelWidth(), pixelHeight(), refresh, kModeFlags};
}

uint32_t HeadlessDisplay::pixelWidth() const { return scaled(width, scale); }
uint32_t HeadlessDisplay::pixelHeight() const { return scaled(height, scale); }

static DisplayMode parseMode(const json& m, const std::string& at) {
    if (!m.is_object()) throw std::runtime_error(at + " must be an object");
    DisplayMode mode;
    mode.width = dimension(m, "width", at);
    mode.height = dimension(m, "height", at);
    double scale = number(m, "scale", 1.0, 4.0, 1.0, at);
    mode.pixelWidth = scaled(mode.width, scale);
    mode.pixelHeight = scaled(mode.height, scale);
    mode.refresh = number(m, "refresh", 1.0, 1000.0, 60.0, at);
    mode.ioFlags = kModeFlags;
    return mode;
}

static HeadlessDisplay parseDisplay(const json& d, size_t i, uint32_t id) {
    const std::string at = where(i);
    if (!d.is_object()) throw std::runtime_error(at + " must be an object");
    HeadlessDisplay disp;
    disp.id = id;
    disp.width = dimension(d, "width", at);
    disp.height = dimension(d, "height", at);
    disp.vendor = unsigned32(d, "vendor", kDefaultVendor, at);
    // Made-up but stable numbers, different for every display of a scene.
    disp.product = unsigned32(d, "product", 0xA030 + id, at);
    disp.serial = unsigned32(d, "serial", 0x5EED0000u + id, at);
    if (d.contains("scale")) {
        if (!d["scale"].is_number() || d["scale"].get<double>() < 1.0 || d["scale"].get<double>() > 4.0)
            throw std::runtime_error(at + ": \"scale\" must be a number from 1 to 4");
        disp.scale = d["scale"].get<double>();
    }
    disp.refresh = number(d, "refresh", 1.0, 1000.0, 60.0, at);
    if (d.contains("online")) {
        if (!d["online"].is_boolean()) throw std::runtime_error(at + ": \"online\" must be true or false");
        disp.online = d["online"].get<bool>();
    }
    disp.name = "Display " + std::to_string(id);
    if (d.contains("name")) {
        if (!d["name"].is_string()) throw std::runtime_error(at + ": \"name\" must be a string");
        disp.name = d["name"].get<std::string>();
    }
    if (d.contains("mm")) {
        const json& mm = d["mm"];
        auto ok = [](const json& v) { return v.is_number() && v.get<double>() > 0 && v.get<double>() <= 100000; };
        if (!mm.is_array() || mm.size() != 2 || !ok(mm[0]) || !ok(mm[1]))
            throw std::runtime_error(at + ": \"mm\" must be [width, height] in millimetres");
        disp.mm = Size{mm[0].get<double>(), mm[1].get<double>()};
    }
    if (d.contains("modes")) {
        const json& list = d["modes"];
        if (!list.is_array()) throw std::runtime_error(at + ": \"modes\" must be an array");
        if (list.size() > 256) throw std::runtime_error(at + ": \"modes\" lists more than 256 modes");
        for (size_t k = 0; k < list.size(); ++k) {
            DisplayMode m = parseMode(list[k], at + " mode " + std::to_string(k));
            if (std::find(disp.modes.begin(), disp.modes.end(), m) == disp.modes.end()) disp.modes.push_back(m);
        }
        // The mode in force is always one the display offers.
        DisplayMode cur = disp.mode();
        if (!disp.modes.empty() && std::find(disp.modes.begin(), disp.modes.end(), cur) == disp.modes.end())
            disp.modes.insert(disp.modes.begin(), cur);
    }
    return disp;
}

Scene Scene::parse(const std::string& jsonText) {
    json root = json::parse(jsonText, nullptr, false);
    if (root.is_discarded()) throw std::runtime_error("not valid JSON");
    if (!root.is_object()) throw std::runtime_error("the scene must be a JSON object");
    Scene scene;
    if (root.contains("displays")) {
        const json& list = root["displays"];
        if (!list.is_array()) throw std::runtime_error("\"displays\" must be an array");
        if (list.size() > 64) throw std::runtime_error("\"displays\" lists more than 64 displays");
        for (size_t i = 0; i < list.size(); ++i)
            scene.displays.push_back(parseDisplay(list[i], i, static_cast<uint32_t>(i + 1)));
    }
    if (root.contains("pointer")) {
        const json& p = root["pointer"];
        if (!p.is_object() || !p.contains("x") || !p.contains("y") || !p["x"].is_number() || !p["y"].is_number())
            throw std::runtime_error("\"pointer\" must be an object with numbers \"x\" and \"y\"");
        scene.pointer = Point{p["x"].get<double>(), p["y"].get<double>()};
    }
    if (root.contains("inputSources")) {
        const json& list = root["inputSources"];
        if (!list.is_array()) throw std::runtime_error("\"inputSources\" must be an array");
        for (size_t i = 0; i < list.size(); ++i) {
            const json& s = list[i];
            InputSourceInfo info;
            if (s.is_string()) {
                info.id = s.get<std::string>();
            } else if (s.is_object() && s.contains("id") && s["id"].is_string()) {
                // The object form describes sources the agent must leave alone
                // (palettes, non-keyboard methods).
                info.id = s["id"].get<std::string>();
                for (const char* key : {"keyboard", "selectCapable"}) {
                    if (!s.contains(key)) continue;
                    if (!s[key].is_boolean())
                        throw std::runtime_error("input source " + std::to_string(i) + ": \"" + key + "\" must be true or false");
                    (std::string(key) == "keyboard" ? info.keyboard : info.selectCapable) = s[key].get<bool>();
                }
            } else {
                throw std::runtime_error("input source " + std::to_string(i) + " must be an identifier or an object with \"id\"");
            }
            if (info.id.empty()) throw std::runtime_error("input source " + std::to_string(i) + ": empty identifier");
            for (const auto& seen : scene.inputSources)
                if (seen.id == info.id) throw std::runtime_error("input source \"" + info.id + "\" is listed twice");
            scene.inputSources.push_back(info);
        }
    }
    if (root.contains("inputSource")) {
        if (!root["inputSource"].is_string()) throw std::runtime_error("\"inputSource\" must be a string");
        scene.inputSource = root["inputSource"].get<std::string>();
        bool known = scene.inputSources.empty() && (*scene.inputSource == HeadlessDesktop::kEnglishSource ||
                                                    *scene.inputSource == HeadlessDesktop::kKoreanSource);
        for (const auto& s : scene.inputSources) known = known || s.id == *scene.inputSource;
        if (!known) throw std::runtime_error("\"inputSource\" \"" + *scene.inputSource + "\" is not among the input sources");
    }
    if (root.contains("workspaces")) {
        const json& w = root["workspaces"];
        if (!w.is_number_integer() || w.get<int64_t>() < 1 || w.get<int64_t>() > 16)
            throw std::runtime_error("\"workspaces\" must be a whole number from 1 to 16");
        scene.workspaces = static_cast<int>(w.get<int64_t>());
    }
    if (root.contains("workspace")) {
        const json& w = root["workspace"];
        if (!w.is_number_integer() || w.get<int64_t>() < 0 || w.get<int64_t>() >= scene.workspaces)
            throw std::runtime_error("\"workspace\" must be a whole number from 0 to " +
                                     std::to_string(scene.workspaces - 1));
        scene.workspace = static_cast<int>(w.get<int64_t>());
    }
    if (root.contains("trusted")) {
        if (!root["trusted"].is_boolean()) throw std::runtime_error("\"trusted\" must be true or false");
        scene.trusted = root["trusted"].get<bool>();
    }
    scene.raw = jsonText;
    return scene;
}

Scene Scene::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    try {
        return parse(ss.str());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

HeadlessDesktop::HeadlessDesktop(Locations locations, Scene scene)
    : locations_(std::move(locations)),
      displays_(std::move(scene.displays)),
      trusted_(scene.trusted),
      sources_(std::move(scene.inputSources)),
      spaces_(scene.workspaces),
      space_(scene.workspace) {
    if (sources_.empty()) {
        sources_.push_back(InputSourceInfo{kEnglishSource, true, true});
        sources_.push_back(InputSourceInfo{kKoreanSource, true, true});
    }
    currentSource_ = scene.inputSource ? *scene.inputSource : sources_.front().id;
    bool known = false;
    for (const auto& s : sources_) known = known || s.id == currentSource_;
    if (!known) throw std::runtime_error("\"inputSource\" \"" + currentSource_ + "\" is not among the input sources");
    if (spaces_ < 1) spaces_ = 1;
    space_ = std::clamp(space_, 0, spaces_ - 1);

    // Displays of the scene keep their numbers; left to right, the switched-on
    // ones first, top edges level, the first at the origin (the main display).
    for (const auto& d : displays_) nextDisplayID_ = std::max(nextDisplayID_, d.id + 1);
    int64_t x = 0;
    for (bool on : {true, false})
        for (auto& d : displays_)
            if (d.online == on) {
                d.x = static_cast<int32_t>(x);
                d.y = 0;
                x += d.width;
            }
    settleLayoutLocked();
    if (scene.pointer) {
        pointer_ = *scene.pointer;
    } else if (const HeadlessDisplay* main = findLocked(mainLocked())) {
        pointer_ = Point{main->x + main->width / 2.0, main->y + main->height / 2.0};
    }
    const char* trace = std::getenv("VELLOMARK_HEADLESS_TRACE");
    if (trace && trace[0]) trace_ = std::make_unique<TraceFile>(trace);
    life_ = std::make_shared<LifeToken>(this);
    workspace_ = std::make_unique<HeadlessWorkspace>(scene.raw);
    // Full-screen windows and windows the dock opens land on the screens as they are now.
    workspace_->setScreens([this] {
        std::vector<Rect> screens;
        for (DisplayID id : activeDisplays(16)) screens.push_back(bounds(id));
        return screens;
    });
    capture_ = std::make_unique<HeadlessCapture>(*this);
}

HeadlessDesktop::~HeadlessDesktop() {
    // Producers read the displays: stop them while everything is still here.
    capture_->stopAll();
    life_->clear();
}

std::unique_ptr<HeadlessDesktop> HeadlessDesktop::fromEnvironment(Locations locations) {
    const char* path = std::getenv("VELLOMARK_HEADLESS_SCENE");
    Scene scene;
    if (path && path[0]) scene = Scene::load(path);
    return std::make_unique<HeadlessDesktop>(std::move(locations), std::move(scene));
}

void HeadlessDesktop::exitProcess(int status) { ::_exit(status); }

ScreenCapture& HeadlessDesktop::capture() { return *capture_; }
Workspace& HeadlessDesktop::workspace() { return *workspace_; }
WindowServer& HeadlessDesktop::windowServer() { return *workspace_; }
WindowElements& HeadlessDesktop::windowElements() { return *workspace_; }
Session& HeadlessDesktop::session() { return *workspace_; }

ServiceAdvertiser& HeadlessDesktop::advertiser() {
    // Made on first use: most runs (and tests) never publish.
    std::lock_guard<std::mutex> lk(mu_);
    if (!advertiser_) advertiser_ = std::make_unique<AvahiAdvertiser>();
    return *advertiser_;
}

bool HeadlessDesktop::isTrusted(bool) {
    std::lock_guard<std::mutex> lk(mu_);
    return trusted_;
}

void HeadlessDesktop::setTrusted(bool trusted) {
    std::lock_guard<std::mutex> lk(mu_);
    trusted_ = trusted;
}

std::vector<HeadlessDisplay> HeadlessDesktop::displayList() const {
    std::lock_guard<std::mutex> lk(mu_);
    return displays_;
}

}  // namespace vm::platform::headless
