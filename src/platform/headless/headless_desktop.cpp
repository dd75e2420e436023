#include "platform/headless/headless_desktop.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

namespace vm::platform::headless {

using nlohmann::json;

// Vendor number of the physical displays a scene does not describe further.
static constexpr uint32_t kDefaultVendor = 0x10AC;

static uint32_t dimension(const json& d, const char* key, size_t index) {
    if (!d.contains(key) || !d[key].is_number_integer())
        throw std::runtime_error("display " + std::to_string(index) + ": \"" + key + "\" must be a whole number");
    auto v = d[key].get<int64_t>();
    if (v < 1 || v > 32768)
        throw std::runtime_error("display " + std::to_string(index) + ": \"" + key + "\" must be 1…32768");
    return static_cast<uint32_t>(v);
}

Scene Scene::parse(const std::string& jsonText) {
    json root = json::parse(jsonText, nullptr, false);
    if (root.is_discarded()) throw std::runtime_error("not valid JSON");
    if (!root.is_object()) throw std::runtime_error("the scene must be a JSON object");
    Scene scene;
    if (root.contains("displays")) {
        const json& list = root["displays"];
        if (!list.is_array()) throw std::runtime_error("\"displays\" must be an array");
        uint32_t nextID = 1;
        for (size_t i = 0; i < list.size(); ++i) {
            const json& d = list[i];
            if (!d.is_object()) throw std::runtime_error("display " + std::to_string(i) + " must be an object");
            HeadlessDisplay disp;
            disp.id = nextID++;
            disp.width = dimension(d, "width", i);
            disp.height = dimension(d, "height", i);
            disp.vendor = kDefaultVendor;
            if (d.contains("vendor")) {
                if (!d["vendor"].is_number_unsigned() || d["vendor"].get<uint64_t>() > 0xFFFFFFFFull)
                    throw std::runtime_error("display " + std::to_string(i) + ": \"vendor\" must be an unsigned 32-bit number");
                disp.vendor = static_cast<uint32_t>(d["vendor"].get<uint64_t>());
            }
            if (d.contains("scale")) {
                if (!d["scale"].is_number() || d["scale"].get<double>() < 1.0 || d["scale"].get<double>() > 4.0)
                    throw std::runtime_error("display " + std::to_string(i) + ": \"scale\" must be a number from 1 to 4");
                disp.scale = d["scale"].get<double>();
            }
            if (d.contains("online")) {
                if (!d["online"].is_boolean())
                    throw std::runtime_error("display " + std::to_string(i) + ": \"online\" must be true or false");
                disp.online = d["online"].get<bool>();
            }
            scene.displays.push_back(disp);
        }
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
      workspaces_(scene.workspaces),
      workspace_(scene.workspace) {
    if (sources_.empty()) {
        sources_.push_back(InputSourceInfo{kEnglishSource, true, true});
        sources_.push_back(InputSourceInfo{kKoreanSource, true, true});
    }
    currentSource_ = scene.inputSource ? *scene.inputSource : sources_.front().id;
    bool known = false;
    for (const auto& s : sources_) known = known || s.id == currentSource_;
    if (!known) throw std::runtime_error("\"inputSource\" \"" + currentSource_ + "\" is not among the input sources");
    if (workspaces_ < 1) workspaces_ = 1;
    workspace_ = std::clamp(workspace_, 0, workspaces_ - 1);
    if (scene.pointer) {
        pointer_ = *scene.pointer;
    } else {
        auto frames = framesLocked();
        if (!frames.empty()) pointer_ = Point{frames.front().width / 2, frames.front().height / 2};
    }
    const char* trace = std::getenv("VELLOMARK_HEADLESS_TRACE");
    if (trace && trace[0]) trace_ = std::make_unique<TraceFile>(trace);
}

std::unique_ptr<HeadlessDesktop> HeadlessDesktop::fromEnvironment(Locations locations) {
    const char* path = std::getenv("VELLOMARK_HEADLESS_SCENE");
    Scene scene;
    if (path && path[0]) scene = Scene::load(path);
    return std::make_unique<HeadlessDesktop>(std::move(locations), std::move(scene));
}

void HeadlessDesktop::exitProcess(int status) { ::_exit(status); }

uint32_t HeadlessDesktop::onlineCount() {
    std::lock_guard<std::mutex> lk(mu_);
    uint32_t n = 0;
    for (const auto& d : displays_)
        if (d.online) ++n;
    return n;
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
