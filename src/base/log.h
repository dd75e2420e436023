#pragma once
// The agent's three plain-text logs: the input side ("inputd.log", time-stamped),
// the video side ("videod.log", as given) and the virtual display core ("vdisp.log").
// Writing never fails loudly: any file-system error loses the line and nothing else.
#include <mutex>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace vm {

inline constexpr long long kLogRotateAbove = 5'000'000;

class Logger {
public:
    Logger(std::string logDir, const Clock& clock) : dir_(std::move(logDir)), clock_(clock) {}

    // Input-side log: "HH:mm:ss.SSS", two blanks, the text, one line feed
    // (one trailing line feed of the text is dropped first).
    void logLine(std::string_view text);
    // Video-side log: the text, plus a line feed when it does not end with one.
    void streamLog(std::string_view text);
    // Virtual display core log: "[" short date + time "] " text, line feed.
    void vdispLog(std::string_view text);

    // Paths decided once per logger at first use, rotating an old file above
    // 5,000,000 bytes to "<name>.1".
    const std::string& cursorLogPath();
    const std::string& streamLogPath();
    const std::string& dir() const { return dir_; }

    // "HH:mm:ss.SSS" in local time for the given wall time.
    static std::string stamp(double wallSeconds);

private:
    void ensureDir() const;
    std::string preparePath(const char* fileName);

    std::string dir_;
    const Clock& clock_;
    std::once_flag cursorOnce_, streamOnce_;
    std::string cursorPath_, streamPath_;
};

// Appends `data` with one write, creating the file (0600) when missing. Errors are swallowed.
void appendToFile(const std::string& path, std::string_view data);

}  // namespace vm
