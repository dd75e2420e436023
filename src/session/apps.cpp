#include "session/apps.h"

#include <png.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <tuple>
#include <vector>

#include "base/text.h"

namespace vm {

namespace {

constexpr int kMaxIconSide = 16384;

char32_t lowerCase(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
    if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && (c & 1)) return c + 1;
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

// The base letter of a lower-case Latin-1 letter with a mark, so "é" sorts beside "e".
char32_t baseLetter(char32_t c) {
    static constexpr char kBase[] = "aaaaaaaceeeeiiiidnooooo\0ouuuuy\0s";
    if (c >= 0xE0 && c <= 0xFF && c != 0xF7 && c != 0xFE) return c == 0xFF ? U'y' : static_cast<char32_t>(kBase[c - 0xE0]);
    if (c == 0xDF) return U's';
    return c;
}

struct SortKey {
    std::u32string primary, secondary;
    std::string raw;
};

SortKey sortKey(const std::string& name) {
    SortKey k;
    k.raw = name;
    k.secondary = decodeUtf8(name);
    for (auto& c : k.secondary) c = lowerCase(c);
    k.primary = k.secondary;
    for (auto& c : k.primary) c = baseLetter(c);
    return k;
}

bool keyLess(const SortKey& a, const SortKey& b) {
    return std::tie(a.primary, a.secondary, a.raw) < std::tie(b.primary, b.secondary, b.raw);
}

// For each output cell along one axis, the source cells it covers and how much of each.
std::vector<std::vector<std::pair<int, double>>> coverage(int from, int to) {
    std::vector<std::vector<std::pair<int, double>>> out(static_cast<size_t>(to));
    const double step = static_cast<double>(from) / to;
    for (int d = 0; d < to; ++d) {
        const double lo = d * step, hi = (d + 1) * step;
        for (int s = static_cast<int>(lo); s < from && s < hi; ++s) {
            const double w = std::min(hi, s + 1.0) - std::max(lo, static_cast<double>(s));
            if (w > 0) out[static_cast<size_t>(d)].emplace_back(s, w);
        }
    }
    return out;
}

}  // namespace

std::optional<Bytes> iconToPNG(const platform::RgbaImage& image, int side) {
    if (side < 1 || side > kMaxIconSide) return std::nullopt;
    if (image.width < 1 || image.height < 1 || image.width > kMaxIconSide || image.height > kMaxIconSide)
        return std::nullopt;
    const size_t w = static_cast<size_t>(image.width), h = static_cast<size_t>(image.height);
    if (image.pixels.size() != w * h * 4) return std::nullopt;

    // Drawn as a copy into the whole square: every output pixel is the area
    // average of what it covers, mixed with premultiplied alpha so transparent
    // pixels lend no colour.
    const auto cols = coverage(image.width, side), rows = coverage(image.height, side);
    std::vector<uint8_t> out(static_cast<size_t>(side) * side * 4);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double acc[4] = {0, 0, 0, 0}, area = 0;
            for (const auto& [sy, wy] : rows[static_cast<size_t>(y)]) {
                for (const auto& [sx, wx] : cols[static_cast<size_t>(x)]) {
                    const uint8_t* p = &image.pixels[(static_cast<size_t>(sy) * w + static_cast<size_t>(sx)) * 4];
                    const double wt = wx * wy, a = p[3] / 255.0;
                    acc[0] += p[0] * a * wt;
                    acc[1] += p[1] * a * wt;
                    acc[2] += p[2] * a * wt;
                    acc[3] += a * wt;
                    area += wt;
                }
            }
            uint8_t* q = &out[(static_cast<size_t>(y) * side + static_cast<size_t>(x)) * 4];
            if (area <= 0 || acc[3] <= 0) continue;  // fully transparent
            for (int c = 0; c < 3; ++c) q[c] = static_cast<uint8_t>(std::clamp(acc[c] / acc[3] + 0.5, 0.0, 255.0));
            q[3] = static_cast<uint8_t>(std::clamp(acc[3] / area * 255.0 + 0.5, 0.0, 255.0));
        }
    }

    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(side);
    png.height = static_cast<png_uint_32>(side);
    png.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(png, size, 0, out.data(), 0, nullptr) || size == 0) {
        png_image_free(&png);
        return std::nullopt;
    }
    Bytes data(size);
    if (!png_image_write_to_memory(&png, data.data(), &size, 0, out.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    png_image_free(&png);
    data.resize(size);
    return data;
}

Apps::Apps(AppsDeps deps) : d_(std::move(deps)) {}

Apps::~Apps() {
    if (frontTimer_) frontTimer_->cancel();
}

bool Apps::nameLess(const std::string& a, const std::string& b) { return keyLess(sortKey(a), sortKey(b)); }

Bytes Apps::runningAppsJSON() {
    try {
        const auto front = d_.workspace.frontmostApp();
        struct Entry {
            SortKey key;
            int32_t pid;
            std::string name;
        };
        std::vector<Entry> entries;
        for (const auto& app : d_.workspace.runningApps()) {
            if (app.policy != platform::ActivationPolicy::regular || app.terminated) continue;
            entries.push_back(Entry{sortKey(app.name.value_or("")), app.pid, app.name.value_or("?")});
        }
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (keyLess(a.key, b.key)) return true;
            if (keyLess(b.key, a.key)) return false;
            return a.pid < b.pid;
        });
        nlohmann::json list = nlohmann::json::array();
        for (const auto& e : entries)
            list.push_back({{"pid", e.pid}, {"name", e.name}, {"active", front.has_value() && *front == e.pid}});
        // A name that is not UTF-8 gets replacement characters rather than costing the whole list.
        return toBytes(list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } catch (const std::exception&) {
        return toBytes("[]");
    }
}

std::optional<Bytes> Apps::appIconPNG(int32_t pid) {
    bool running = false;
    for (const auto& app : d_.workspace.runningApps())
        if (app.pid == pid && !app.terminated) running = true;
    if (!running) return std::nullopt;
    auto icon = d_.workspace.appIcon(pid);
    if (!icon) return std::nullopt;
    return iconToPNG(*icon, kIconPoints);
}

void Apps::later(double seconds, Task task) {
    if (d_.globalQueue) {
        d_.globalQueue->asyncAfter(seconds, std::move(task));
    } else {
        d_.clock.sleep(seconds);
        task();
    }
}

void Apps::bringAppToFront(int32_t pid) {
    std::optional<platform::RunningApp> found;
    for (auto& app : d_.workspace.runningApps())
        if (app.pid == pid && !app.terminated) {
            found = std::move(app);
            break;
        }
    if (!found) return;
    const std::string name = found->name.value_or("?");
    d_.workspace.activate(pid, true);
    d_.log.logLine("앱 고르개 — " + name + " 을 앞으로\n");
    later(kCheckWindowsAfter, [this, pid, name] { afterActivation(pid, name); });
}

void Apps::afterActivation(int32_t pid, const std::string& name) {
    if (visibleWindowCount(pid) != 0) {
        if (d_.gatherWindows) d_.gatherWindows(pid, true);
        return;
    }
    vm::onMain(d_.mainQueue, [this, pid, name] {
        const bool ok = d_.elements.revealApp(pid);
        d_.log.logLine("앱 고르개 — " + name + " 에 보이는 창이 없다 → 독 누르기 " + (ok ? "됨" : "실패") + "\n");
        later(kGatherAfterDock, [this, pid] {
            if (d_.gatherWindows) d_.gatherWindows(pid, true);
        });
    });
}

int Apps::visibleWindowCount(int32_t pid) {
    const auto windows = d_.elements.appWindows(pid);
    if (!windows) return 0;
    int n = 0;
    for (platform::ElementRef w : *windows) {
        // A window whose state cannot be read counts as visible.
        const auto m = d_.elements.minimized(w);
        if (!m || !*m) ++n;
    }
    return n;
}

void Apps::watchFrontApp() {
    if (!d_.phone.phoneConn()) return;
    const int32_t pid = d_.workspace.frontmostApp().value_or(0);
    if (pid == lastFrontPID_.load()) return;
    lastFrontPID_.store(pid);
    d_.sender.pushChunked("APPS", runningAppsJSON());
}

void Apps::startFrontAppTimer() {
    if (!d_.mainQueue || frontTimer_) return;
    frontTimer_ = std::make_unique<RepeatingTimer>(*d_.mainQueue, kFrontAppInterval, kFrontAppInterval,
                                                   [this] { watchFrontApp(); });
}

}  // namespace vm
