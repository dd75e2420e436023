#pragma once
// The status menu's texts and rules, apart from any toolkit, so they are the same
// whatever draws them.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/geometry.h"

namespace vm::ui {

inline constexpr double kConnectedFor = 30.0;   // seconds of silence before "Waiting for iPhone"
inline constexpr double kSendableFor = 10.0;    // seconds of silence before sending is refused
inline constexpr uint64_t kMaxSendBytes = 2'147'483'648ULL;  // exactly 2 GiB still goes

inline constexpr const char kWaiting[] = "Waiting for iPhone";
inline constexpr const char kSendFile[] = "Send File to iPhone…";
inline constexpr const char kNoVideoClient[] = "No video client";
inline constexpr const char kNoVirtualDisplay[] = "No virtual display";

// "W×H" of a display's bounds in points; "?" for display 0 or empty bounds.
std::string logicalSize(uint32_t display, const platform::Rect& bounds);

// The connection line's text (without its dot): the phone's name and " connected",
// or "Waiting for iPhone".
std::string phoneLine(bool connected, const std::string& phoneName);

// The detail line below it.
struct DetailFacts {
    bool connected = false;
    bool hasVideoTarget = false;
    std::string capturedSize;    // logicalSize of the captured display
    double fps = 0;
    bool vdispAlive = false;
    std::string vdispSize;       // logicalSize of the virtual display
};
std::string detailLine(const DetailFacts& f);

// One paired phone in the "Paired iPhones" submenu: name, pairing date (medium
// style, no time) and the unpair hint.
std::string pairedTitle(const std::string& name, double pairedAt);
// "Jan 5, 2025" in local time.
std::string mediumDate(double secondsSince1970);

// What a backend can do for the phone, in place of the two privacy permissions.
struct CapabilityLine {
    std::string title;  // "✓ Input control" or "✗ Input control — hint"
    std::string hint;   // empty when the capability is there
};
CapabilityLine inputControlLine(bool available, const std::string& platformName);
CapabilityLine screenCaptureLine(bool available, const std::string& platformName);

// "Files up to 2.1 GB can be sent." — the byte count in decimal units, as a file size.
std::string fileSizeText(uint64_t bytes);

// The send-file decision for a chosen file of `size` bytes: the line to push, or
// nothing when it is too large.
std::optional<std::string> sendFileLine(const std::string& path, uint64_t size);

// The dot colours: green for connected, a grey for waiting.
inline constexpr const char kGreen[] = "#34c759";
inline constexpr const char kTertiary[] = "#9a9a9a";

}  // namespace vm::ui
