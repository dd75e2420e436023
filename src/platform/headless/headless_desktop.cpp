#include "platform/headless/headless_desktop.h"

#include <unistd.h>

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
    : locations_(std::move(locations)), displays_(std::move(scene.displays)) {}

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
