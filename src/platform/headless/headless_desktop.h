#pragma once
// The in-memory desktop: a faithful stand-in for a real one, used by the tests
// and as the default where no display server runs. What it starts with comes
// from a scene file (JSON) named by VELLOMARK_HEADLESS_SCENE.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vm::platform::headless {

struct HeadlessDisplay {
    uint32_t id = 0;
    uint32_t width = 0;   // points
    uint32_t height = 0;  // points
    uint32_t vendor = 0;
    double scale = 1.0;   // backing scale (pixels per point)
    bool online = true;
};

struct Scene {
    std::vector<HeadlessDisplay> displays;
    // Parses the scene text; throws std::runtime_error naming what is wrong.
    static Scene parse(const std::string& jsonText);
    static Scene load(const std::string& path);
};

class HeadlessDesktop final : public Platform, public Displays, public Accessibility {
public:
    HeadlessDesktop(Locations locations, Scene scene);
    // The scene from VELLOMARK_HEADLESS_SCENE when set (errors thrown), else an empty desktop.
    static std::unique_ptr<HeadlessDesktop> fromEnvironment(Locations locations);

    const char* name() const override { return "headless"; }
    const Locations& locations() const override { return locations_; }
    Displays& displays() override { return *this; }
    Accessibility& accessibility() override { return *this; }
    [[noreturn]] void exitProcess(int status) override;

    uint32_t onlineCount() override;
    bool isTrusted(bool prompt) override;

    // Scripting for tests and demos.
    void setTrusted(bool trusted);
    std::vector<HeadlessDisplay> displayList() const;

private:
    Locations locations_;
    mutable std::mutex mu_;
    std::vector<HeadlessDisplay> displays_;
    bool trusted_ = true;
};

}  // namespace vm::platform::headless
