#pragma once
// Whole texts from the phone: typed as key events carrying Unicode strings in
// chunks of 20 UTF-16 units, or pasted through the pasteboard (then put back)
// when they hold line breaks. Sequence numbers let a resent text in only once.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/platform.h"

namespace vm {

class TextEntry {
public:
    // `restoreQueue` runs the pasteboard restore 0.8 s after a paste.
    TextEntry(const Clock& clock, Logger& log, platform::Events& events, platform::Pasteboard& pasteboard,
              DispatchQueue& restoreQueue);

    bool claimTypedSeq(int64_t seq);
    // `text` is UTF-8 (checked by the caller).
    void typeText(const std::string& text);
    void pasteText(const std::string& text);

private:
    const Clock& clock_;
    Logger& log_;
    platform::Events& events_;
    platform::Pasteboard& pasteboard_;
    DispatchQueue& restoreQueue_;
    std::mutex typedLock_;
    std::deque<std::pair<int64_t, double>> typedSeqs_;  // the last 5 s, at most 1024

    // The paste whose restore is still pending, so that a second paste within
    // 0.8 s keeps the user's content to put back rather than our first text.
    struct PendingRestore {
        std::mutex mu;
        bool pending = false;
        int64_t changeCount = 0;
        std::optional<std::string> original;
    };
    std::shared_ptr<PendingRestore> restore_ = std::make_shared<PendingRestore>();
};

// UTF-8 to UTF-16 code units; an ill-formed byte becomes U+FFFD.
std::u16string utf8ToUtf16(const std::string& text);

}  // namespace vm
