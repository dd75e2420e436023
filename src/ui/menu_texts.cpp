#include "ui/menu_texts.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "base/base64.h"

namespace vm::ui {

std::string logicalSize(uint32_t display, const platform::Rect& bounds) {
    if (display == 0 || bounds.width <= 0 || bounds.height <= 0) return "?";
    return std::to_string(static_cast<long long>(bounds.width)) + "×" +
           std::to_string(static_cast<long long>(bounds.height));
}

std::string phoneLine(bool connected, const std::string& phoneName) {
    if (!connected) return kWaiting;
    return (phoneName.empty() ? std::string("iPhone") : phoneName) + " connected";
}

std::string detailLine(const DetailFacts& f) {
    if (f.connected && f.hasVideoTarget)
        return f.capturedSize + " · " + std::to_string(std::lround(f.fps)) + " fps";
    if (f.connected) return kNoVideoClient;
    if (f.vdispAlive) return "Virtual display " + f.vdispSize + " ready";
    return kNoVirtualDisplay;
}

std::string mediumDate(double secondsSince1970) {
    const time_t t = static_cast<time_t>(secondsSince1970);
    struct tm local {};
    if (!::localtime_r(&t, &local)) return "?";
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return std::string(kMonths[local.tm_mon % 12]) + " " + std::to_string(local.tm_mday) + ", " +
           std::to_string(local.tm_year + 1900);
}

std::string pairedTitle(const std::string& name, double pairedAt) {
    return name + " — paired " + mediumDate(pairedAt) + " · Unpair…";
}

namespace {
bool isGnome(const std::string& platformName) { return platformName == "gnome"; }
CapabilityLine line(const char* what, bool available, std::string hint) {
    if (available) return {std::string("✓ ") + what, ""};
    return {std::string("✗ ") + what + " — " + hint, hint};
}
}  // namespace

CapabilityLine inputControlLine(bool available, const std::string& platformName) {
    return line("Input control", available,
                isGnome(platformName) ? "allow remote control when GNOME asks" : "the X server lacks XTest");
}

CapabilityLine screenCaptureLine(bool available, const std::string& platformName) {
    return line("Screen capture", available,
                isGnome(platformName) ? "allow screen sharing when GNOME asks" : "no screen could be captured yet");
}

std::string fileSizeText(uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
    double v = static_cast<double>(bytes);
    int unit = -1;
    while (v >= 1000 && unit < 3) {
        v /= 1000;
        ++unit;
    }
    char buf[32];
    // Three significant digits, as file sizes are usually shown.
    std::snprintf(buf, sizeof buf, v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s", v, kUnits[unit]);
    return buf;
}

std::optional<std::string> sendFileLine(const std::string& path, uint64_t size) {
    if (size > kMaxSendBytes) return std::nullopt;
    return "SENDFILE " + base64Encode(path);
}

}  // namespace vm::ui
