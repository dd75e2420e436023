// Whole texts from the phone: the resend filter, typing in chunks of UTF-16
// units, and pasting multi-line texts with the pasteboard put back afterwards.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/chords.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "input/text_entry.h"
#include "integration/process_helper.h"

using namespace vm;
namespace ev = vm::platform::ev;

namespace {

struct PostedKey {
    platform::KeyEvent event;
    double at;  // fake-clock time of posting
};

class RecordingEvents final : public platform::Events {
public:
    explicit RecordingEvents(const Clock& clock) : clock_(clock) {}
    bool postMouse(const platform::MouseEvent&) override { return true; }
    bool postKey(const platform::KeyEvent& e) override {
        const size_t attempt = attempts++;
        if (failAfter && keys.size() >= *failAfter) return false;
        if (failOnce.count(attempt)) return false;
        keys.push_back({e, clock_.now()});
        return true;
    }
    bool postScroll(const platform::ScrollEvent&) override { return true; }
    bool typeText(const std::u16string& text) override { return platform::chords::typeText(*this, text); }
    bool paste() override { return platform::chords::paste(*this); }
    bool switchWorkspace(bool right) override { return platform::chords::switchWorkspace(*this, right); }
    bool appSwitcher(platform::SwitcherStep step, uint64_t flags) override {
        return platform::chords::appSwitcher(*this, step, flags);
    }
    platform::Point mouseLocation() override { return {}; }
    std::vector<platform::Rect> screenFrames() override { return {}; }
    uint64_t sessionModifierFlags() override { return 0; }

    std::vector<PostedKey> keys;
    std::optional<size_t> failAfter;  // posts beyond this many fail
    std::set<size_t> failOnce;        // these attempts (counted from 0) fail, once each
    size_t attempts = 0;

private:
    const Clock& clock_;
};

class MemoryPasteboard final : public platform::Pasteboard {
public:
    std::optional<std::string> string(const std::string& type) override {
        auto it = items.find(type);
        if (it == items.end()) return std::nullopt;
        return it->second;
    }
    void clear() override {
        items.clear();
        ++count;
    }
    void setString(const std::string& type, const std::string& value) override { items[type] = value; }
    int64_t changeCount() override { return count; }

    // What another app's copy does.
    void copy(const std::string& text) {
        clear();
        setString(kPlainText, text);
    }

    std::map<std::string, std::string> items;
    int64_t count = 0;
};

// Delayed work that runs only when the test says so.
class ManualQueue final : public DispatchQueue {
public:
    void async(Task task) override { asyncAfter(0, std::move(task)); }
    void asyncAfter(double seconds, Task task) override { pending.push_back({seconds, std::move(task)}); }
    const std::string& label() const override { return label_; }
    void runAll() {
        auto tasks = std::move(pending);
        pending.clear();
        for (auto& t : tasks) t.second();
    }
    std::vector<std::pair<double, Task>> pending;

private:
    std::string label_ = "manual";
};

class TextEntryTest : public ::testing::Test {
protected:
    vmtest::TempDir tmp{"vm-text"};
    FakeClock clock;
    Logger log{tmp.path() + "/logs", clock};
    RecordingEvents events{clock};
    MemoryPasteboard pb;
    ManualQueue queue;
    TextEntry entry{clock, log, events, pb, queue};

    std::string inputLog() { return vmtest::fileText(tmp.path() + "/logs/inputd.log"); }

    // The typed chunks, checking that each is a plain key-down/key-up pair of vk 0.
    std::vector<std::u16string> typedChunks() {
        std::vector<std::u16string> chunks;
        EXPECT_EQ(events.keys.size() % 2, 0u);
        for (size_t i = 0; i + 1 < events.keys.size(); i += 2) {
            const auto& down = events.keys[i].event;
            const auto& up = events.keys[i + 1].event;
            EXPECT_EQ(down.type, ev::kKeyDown);
            EXPECT_EQ(up.type, ev::kKeyUp);
            for (const auto* e : {&down, &up}) {
                EXPECT_EQ(e->vk, 0);
                EXPECT_EQ(e->flags, 0u);
                EXPECT_FALSE(e->hidSystemSource);
            }
            EXPECT_EQ(down.text, up.text);
            chunks.push_back(down.text);
        }
        return chunks;
    }
};

TEST_F(TextEntryTest, AFloodOfNumberedTextsKeepsOnlyTheNewestNumbers) {
    for (int64_t seq = 0; seq < 5000; ++seq) ASSERT_TRUE(entry.claimTypedSeq(seq));
    EXPECT_FALSE(entry.claimTypedSeq(4999));  // a resend right away is still caught
    EXPECT_TRUE(entry.claimTypedSeq(0));      // long pushed out of the bounded list
}

TEST_F(TextEntryTest, SequenceNumberPassesOncePerFiveSeconds) {
    EXPECT_TRUE(entry.claimTypedSeq(5));
    EXPECT_FALSE(entry.claimTypedSeq(5));
    EXPECT_TRUE(entry.claimTypedSeq(6));  // numbers are compared for equality only
    EXPECT_TRUE(entry.claimTypedSeq(-3));
    clock.advance(5.0);
    EXPECT_FALSE(entry.claimTypedSeq(5));  // exactly 5 s old still counts as recent
    clock.advance(1.0);
    EXPECT_TRUE(entry.claimTypedSeq(5));
    EXPECT_FALSE(entry.claimTypedSeq(5));
    EXPECT_TRUE(entry.claimTypedSeq(6));  // 6's record aged out together with the first 5
}

TEST_F(TextEntryTest, AsciiTypedInChunksOfTwentyUnits) {
    const std::string text(45, 'x');
    const double start = clock.now();
    entry.typeText(text);
    auto chunks = typedChunks();
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 20u);
    EXPECT_EQ(chunks[1].size(), 20u);
    EXPECT_EQ(chunks[2].size(), 5u);
    EXPECT_EQ(chunks[0] + chunks[1] + chunks[2], std::u16string(45, u'x'));
    // A 3 ms pause separates the chunks.
    EXPECT_NEAR(events.keys[2].at - events.keys[1].at, 0.003, 1e-6);
    EXPECT_NEAR(events.keys[4].at - events.keys[3].at, 0.003, 1e-6);
    EXPECT_GE(clock.now() - start, 0.006 - 1e-6);
    EXPECT_TRUE(pb.items.empty());  // typing never touches the pasteboard
}

TEST_F(TextEntryTest, SurrogatePairNeverSplitAcrossChunks) {
    // 19 units, then an emoji (two units: its high half would be unit 20), then one more.
    entry.typeText(std::string(19, 'a') + "\xF0\x9F\x98\x80" + "b");
    auto chunks = typedChunks();
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], std::u16string(19, u'a'));
    EXPECT_EQ(chunks[1], (std::u16string{char16_t(0xD83D), char16_t(0xDE00), u'b'}));

    // An emoji that ends a 20-unit text fits whole in the one chunk.
    events.keys.clear();
    entry.typeText(std::string(18, 'a') + "\xF0\x9F\x98\x80");
    chunks = typedChunks();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].size(), 20u);
}

TEST_F(TextEntryTest, NonAsciiBecomesUtf16) {
    entry.typeText("한글 é");
    auto chunks = typedChunks();
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0], u"한글 é");
    EXPECT_EQ(utf8ToUtf16("\xFF" "a"), (std::u16string{char16_t(0xFFFD), u'a'}));
}

TEST_F(TextEntryTest, EveryKeyDownGetsItsKeyUpAndAFailedKeyDownStopsTheText) {
    events.failOnce = {3};  // the second chunk's key-up cannot be made the first time
    entry.typeText(std::string(60, 'q'));
    auto chunks = typedChunks();  // down, up, down, up …: no key left down
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[1], std::u16string(20, u'q'));
    EXPECT_EQ(chunks[2], std::u16string(20, u'q'));

    events.keys.clear();
    events.failOnce.clear();
    events.failAfter = 2;  // the first chunk gets through, the second one's key-down does not
    entry.typeText(std::string(60, 'q'));
    EXPECT_EQ(typedChunks().size(), 1u);
    events.keys.clear();
    events.failAfter = 0;
    entry.typeText("abc");
    EXPECT_TRUE(events.keys.empty());
    entry.typeText("");
    EXPECT_TRUE(events.keys.empty());
}

TEST_F(TextEntryTest, LineBreakPastesWithCommandV) {
    pb.copy("user clipboard");
    entry.typeText("confidential\n\nnote");
    ASSERT_EQ(events.keys.size(), 2u);
    const auto& down = events.keys[0];
    const auto& up = events.keys[1];
    EXPECT_EQ(down.event.type, ev::kKeyDown);
    EXPECT_EQ(up.event.type, ev::kKeyUp);
    for (const auto* k : {&down, &up}) {
        EXPECT_EQ(k->event.vk, 9);
        EXPECT_EQ(k->event.flags, 0x100000u);
        EXPECT_TRUE(k->event.hidSystemSource);
        EXPECT_TRUE(k->event.text.empty());
    }

    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "confidential\n\nnote");
    EXPECT_EQ(pb.string(platform::Pasteboard::kConcealed), "");
    EXPECT_EQ(pb.string(platform::Pasteboard::kTransient), "");

    const std::string logText = inputLog();
    EXPECT_NE(logText.find("여러 줄 글 — 붙여넣기로 넣음 (18자, 2줄)\n"), std::string::npos) << logText;
    EXPECT_EQ(logText.find("confidential"), std::string::npos);  // the text itself stays out of the log
}

TEST_F(TextEntryTest, PasteCountsCodePointsAndEveryKindOfNewline) {
    // CR LF, a carriage return alone, VT, FF, NEL, LS, PS; pieces between CR and LF are empty.
    entry.typeText("가\r\nb\rc\x0B" "d\x0C" "e\xC2\x85" "f\xE2\x80\xA8" "g\xE2\x80\xA9" "\xF0\x9F\x98\x80");
    EXPECT_NE(inputLog().find("(16자, 8줄)"), std::string::npos) << inputLog();

    // A carriage return alone is enough to paste instead of typing.
    events.keys.clear();
    entry.typeText("one\rtwo");
    ASSERT_EQ(events.keys.size(), 2u);
    EXPECT_EQ(events.keys[0].event.vk, 9);
}

TEST_F(TextEntryTest, PasteboardRestoredAfterPointEightSeconds) {
    pb.copy("before");
    entry.pasteText("a\nb");
    ASSERT_EQ(queue.pending.size(), 1u);
    EXPECT_DOUBLE_EQ(queue.pending[0].first, 0.8);
    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "a\nb");
    queue.runAll();
    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "before");
    // Only the plain string comes back; the markers went with the pasted text.
    EXPECT_FALSE(pb.string(platform::Pasteboard::kConcealed));
    EXPECT_FALSE(pb.string(platform::Pasteboard::kTransient));
}

TEST_F(TextEntryTest, EmptyPasteboardStaysEmptyAfterRestore) {
    entry.pasteText("a\nb");
    queue.runAll();
    EXPECT_TRUE(pb.items.empty());
}

TEST_F(TextEntryTest, LaterCopyIsLeftAlone) {
    pb.copy("before");
    entry.pasteText("a\nb");
    pb.copy("copied meanwhile");
    queue.runAll();
    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "copied meanwhile");
}

TEST_F(TextEntryTest, TwoQuickPastesStillRestoreTheUsersContent) {
    pb.copy("user's own");
    entry.pasteText("first\ntext");
    entry.pasteText("second\ntext");
    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "second\ntext");
    queue.runAll();  // the first restore finds the second paste and stays out of it
    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "user's own");

    // A copy between the two pastes is what the user wants back.
    entry.pasteText("third\ntext");
    pb.copy("copied between");
    entry.pasteText("fourth\ntext");
    queue.runAll();
    EXPECT_EQ(pb.string(platform::Pasteboard::kPlainText), "copied between");
}

TEST_F(TextEntryTest, RestoreRunsOnARealQueue) {
    SerialQueue real("vm-text-restore");
    TextEntry onReal{clock, log, events, pb, real};
    pb.copy("before");
    onReal.pasteText("x\ny");
    EXPECT_TRUE(vmtest::waitUntil([&] {
        SerialQueue* q = &real;
        std::optional<std::string> now;
        q->sync([&] { now = pb.string(platform::Pasteboard::kPlainText); });
        return now == "before";
    }, 5.0));
}

}  // namespace
