#pragma once
// The in-memory desktop's record of posted events, and the optional trace file
// (one JSON line per event) that lets a test outside the process read them.
#include <cstdint>
#include <string>

namespace vm::platform::headless {

// One posted event as the window server would have received it. Which fields
// apply depends on `kind`: "mouse" (x, y, button, clickState), "key" (vk,
// flags, text), "scroll" (x, y at the pointer, wheel1, wheel2).
struct RecordedEvent {
    std::string kind;
    int type = 0;
    double x = 0;
    double y = 0;
    int button = 0;
    int64_t clickState = 0;
    uint16_t vk = 0;
    uint64_t flags = 0;
    std::string text;  // UTF-8
    bool hidSystemSource = false;  // key events made from a HID-system-state source
    int32_t wheel1 = 0;
    int32_t wheel2 = 0;
};

// The event as one line of JSON (no newline), with only the fields its kind carries.
std::string toJsonLine(const RecordedEvent& e);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromUtf16(const std::u16string& s);

// A file opened for appending; each line goes out in one write so lines from
// several processes or threads never interleave.
class TraceFile {
public:
    // Throws std::runtime_error when the file cannot be opened.
    explicit TraceFile(const std::string& path);
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;
    // Appends `line` and a newline; false when the write failed.
    bool append(const std::string& line);
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace vm::platform::headless
