#pragma once
// The agent's three plain-text logs: the input side ("inputd.log", time-stamped),
// the video side ("videod.log", as given) and the virtual display core ("vdisp.log").
// Writing never fails loudly: any file-system error loses the line and nothing else.
// Every line is one line: control characters, bidi controls and bytes that are not
// UTF-8 in the text are written out readably (see escapeControls), so text from a
// peer can neither forge a line nor hide or reorder what a reader sees.
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace vm {

// A log above this many bytes is moved to "<name>.1" (one old generation is kept):
// at first use, and while running before the next line is written.
inline constexpr long long kLogRotateAbove = 5'000'000;
// Each log counts the bytes it writes and looks at the real file size only after
// this many (or when the count says the limit is passed): other processes
// (an agent starting up beside us) may write to the same file.
inline constexpr long long kLogResyncEvery = 512 * 1024;

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
    const std::string& cursorLogPath() { return pathOf(cursor_); }
    const std::string& streamLogPath() { return pathOf(stream_); }
    const std::string& dir() const { return dir_; }

    // "HH:mm:ss.SSS" in local time for the given wall time.
    static std::string stamp(double wallSeconds);

private:
    struct File {
        explicit File(const char* n) : name(n) {}
        const char* name;
        std::once_flag once;
        std::string path;
        std::atomic<long long> sinceSync{0};  // bytes written since the size was read from disk
        std::atomic<long long> budget{0};     // bytes that may be written before reading it again
        std::mutex syncMu;
    };

    void ensureDir() const;
    const std::string& pathOf(File& f);
    // Reads the file's size, rotating it when it is above the limit, and sets the next budget.
    void syncWithDisk(File& f);
    void append(File& f, std::string_view line);

    std::string dir_;
    const Clock& clock_;
    File cursor_{"inputd.log"}, stream_{"videod.log"}, vdisp_{"vdisp.log"};
};

// Appends `data` with one write, creating the file (0600) when missing. Errors are
// swallowed; returns the bytes written, or -1.
long long appendToFile(const std::string& path, std::string_view data);

}  // namespace vm
