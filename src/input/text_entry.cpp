#include "input/text_entry.h"

#include <algorithm>
#include <string_view>

#include "base/text.h"

namespace vm {

namespace {

constexpr double kSeqWindow = 5.0;
// A flood of numbered texts must not grow the list (or the scan of it) without end;
// a resend arrives within moments, long before this many other texts.
constexpr size_t kSeqKeptMax = 1024;
constexpr size_t kChunkUnits = 20;
constexpr double kChunkPause = 0.003;
constexpr double kRestoreAfter = 0.8;

bool isNewline(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

// Lines with at least one character, splitting at every newline character
// (so CR LF leaves an empty piece between, which does not count).
size_t nonEmptyLines(const std::u32string& cps) {
    size_t lines = 0;
    size_t run = 0;
    for (char32_t c : cps) {
        if (isNewline(c)) {
            if (run > 0) ++lines;
            run = 0;
        } else {
            ++run;
        }
    }
    if (run > 0) ++lines;
    return lines;
}

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }

}  // namespace

std::u16string utf8ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    for (char32_t c : decodeUtf8(text)) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

TextEntry::TextEntry(const Clock& clock, Logger& log, platform::Events& events, platform::Pasteboard& pasteboard,
                     DispatchQueue& restoreQueue)
    : clock_(clock), log_(log), events_(events), pasteboard_(pasteboard), restoreQueue_(restoreQueue) {}

bool TextEntry::claimTypedSeq(int64_t seq) {
    std::lock_guard<std::mutex> lk(typedLock_);
    const double now = clock_.now();
    std::deque<std::pair<int64_t, double>> kept;
    for (const auto& rec : typedSeqs_) {
        if (now - rec.second <= kSeqWindow) kept.push_back(rec);
    }
    typedSeqs_.swap(kept);
    for (const auto& rec : typedSeqs_) {
        if (rec.first == seq) return false;
    }
    if (typedSeqs_.size() >= kSeqKeptMax) typedSeqs_.pop_front();
    typedSeqs_.emplace_back(seq, now);
    return true;
}

void TextEntry::typeText(const std::string& text) {
    if (text.find_first_of("\n\r") != std::string::npos) {
        pasteText(text);
        return;
    }
    const std::u16string units = utf8ToUtf16(text);
    size_t at = 0;
    while (at < units.size()) {
        size_t len = std::min(kChunkUnits, units.size() - at);
        // Never send half of a surrogate pair; the pair goes whole in the next chunk.
        if (at + len < units.size() && isHighSurrogate(units[at + len - 1])) --len;
        if (!events_.typeText(units.substr(at, len))) return;
        at += len;
        if (at < units.size()) clock_.sleep(kChunkPause);
    }
}

void TextEntry::pasteText(const std::string& text) {
    using PB = platform::Pasteboard;
    std::optional<std::string> old;
    int64_t written = 0;
    {
        std::lock_guard<std::mutex> lk(restore_->mu);
        old = pasteboard_.string(PB::kPlainText);
        // Our own earlier text still on the pasteboard: what goes back later is
        // what was there before that paste, or the user's clipboard would be lost.
        if (restore_->pending && pasteboard_.changeCount() == restore_->changeCount) old = restore_->original;
        pasteboard_.clear();
        pasteboard_.setString(PB::kPlainText, text);
        pasteboard_.setString(PB::kConcealed, "");
        pasteboard_.setString(PB::kTransient, "");
        written = pasteboard_.changeCount();
        restore_->pending = true;
        restore_->changeCount = written;
        restore_->original = old;
    }

    events_.paste();

    // Counted in Unicode code points (not grapheme clusters).
    const std::u32string cps = decodeUtf8(text);
    log_.logLine("여러 줄 글 — 붙여넣기로 넣음 (" + std::to_string(cps.size()) + "자, " +
                 std::to_string(nonEmptyLines(cps)) + "줄)\n");

    restoreQueue_.asyncAfter(kRestoreAfter, [state = restore_, &pb = pasteboard_, written, old = std::move(old)] {
        std::lock_guard<std::mutex> lk(state->mu);
        if (pb.changeCount() == written) {
            pb.clear();
            if (old) pb.setString(PB::kPlainText, *old);
        }
        if (state->pending && state->changeCount == written) {
            state->pending = false;
            state->original.reset();
        }
    });
}

}  // namespace vm
