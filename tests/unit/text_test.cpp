// The shared text rules: lines, strict decimal integers, UTF-8 decoding, and text
// made safe for a log line.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/text.h"

using namespace vm;

namespace {

TEST(SplitLines, GivesTheNonEmptyPiecesBetweenLineFeeds) {
    using V = std::vector<std::string_view>;
    EXPECT_EQ(splitLines("M 1 2\nK 4 1\n"), (V{"M 1 2", "K 4 1"}));
    EXPECT_EQ(splitLines("\n\nA\n\n\nB"), (V{"A", "B"}));
    EXPECT_EQ(splitLines("no feed"), (V{"no feed"}));
    EXPECT_TRUE(splitLines("").empty());
    EXPECT_TRUE(splitLines("\n\n").empty());
    // Only a line feed ends a line; a carriage return or NUL is part of it.
    EXPECT_EQ(splitLines(std::string_view("a\r\nb\0c", 6)), (V{"a\r", std::string_view("b\0c", 3)}));
}

TEST(ParseInt, TakesTheWholeTextAsADecimalNumberInRange) {
    EXPECT_EQ(parseInt<int>("0"), 0);
    EXPECT_EQ(parseInt<int>("42"), 42);
    EXPECT_EQ(parseInt<int>("+42"), 42);
    EXPECT_EQ(parseInt<int>("-42"), -42);
    EXPECT_EQ(parseInt<int>("007"), 7);
    EXPECT_EQ(parseInt<int64_t>("-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(parseInt<int64_t>("9223372036854775807"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(parseInt<uint32_t>("4294967295"), 4294967295u);
    EXPECT_EQ(parseInt<uint16_t>("+65535"), 65535);

    for (const char* bad : {"", "+", "-", "++1", "+-1", "-+1", "--1", " 1", "1 ", "1a", "0x10", "1.0", "1e3",
                            "١", "２", "\t1"}) {
        EXPECT_FALSE(parseInt<int>(bad)) << bad;
    }
    EXPECT_FALSE(parseInt<int>(std::string_view("1\0", 2)));
    EXPECT_FALSE(parseInt<int>("2147483648"));
    EXPECT_FALSE(parseInt<int>("-2147483649"));
    EXPECT_FALSE(parseInt<int64_t>("9223372036854775808"));
    EXPECT_FALSE(parseInt<uint32_t>("-1"));
    EXPECT_FALSE(parseInt<uint32_t>("-0"));
    EXPECT_FALSE(parseInt<uint32_t>("4294967296"));
    EXPECT_FALSE(parseInt<uint8_t>("256"));
}

TEST(Utf8Decoding, WellFormedTextDecodesToItsCodePoints) {
    EXPECT_EQ(decodeUtf8("a가€😀\x7F"), (std::u32string{U'a', U'가', U'€', U'😀', 0x7F}));
    EXPECT_EQ(decodeUtf8("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"),
              (std::u32string{0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0x10000, 0x10FFFF}));
    EXPECT_TRUE(isValidUtf8("Mina의 iPhone — 😀"));
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8(std::string_view("\0", 1)));
}

TEST(Utf8Decoding, EachIllFormedByteIsOneReplacementAndDecodingResumes) {
    struct Case {
        const char* what;
        std::string bytes;
        std::u32string decoded;
    };
    const char32_t R = kReplacementChar;
    const std::vector<Case> cases = {
        {"stray continuation", "a\x80z", {U'a', R, U'z'}},
        {"lead byte cut short", "a\xE4\xB8", {U'a', R, R}},
        {"lead byte before ASCII", "\xC3z", {R, U'z'}},
        {"overlong NUL", "\xC0\x80", {R, R}},
        {"overlong slash", "\xE0\x80\xAF", {R, R, R}},
        {"overlong four bytes", "\xF0\x80\x80\x80", {R, R, R, R}},
        {"surrogate", "\xED\xA0\x80", {R, R, R}},
        {"above U+10FFFF", "\xF4\x90\x80\x80", {R, R, R, R}},
        {"F5 and FF", "\xF5\xFF", {R, R}},
        {"good after bad", "\xFF가", {R, U'가'}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decodeUtf8(c.bytes), c.decoded);
        EXPECT_FALSE(isValidUtf8(c.bytes));
        size_t at = 0;
        std::u32string stepped;
        while (at < c.bytes.size()) {
            const size_t before = at;
            stepped.push_back(nextCodePoint(c.bytes, at).value_or(R));
            EXPECT_GT(at, before);
        }
        EXPECT_EQ(stepped, c.decoded);
    }
}

TEST(Utf8Decoding, PrefixCountsCharactersNotBytes) {
    EXPECT_EQ(utf8Prefix("가나다라", 2), "가나");
    EXPECT_EQ(utf8Prefix("ab😀cd", 3), "ab😀");
    EXPECT_EQ(utf8Prefix("ab", 10), "ab");
    EXPECT_EQ(utf8Prefix("가", 0), "");
    // A broken sequence counts byte by byte and is never cut into a longer piece.
    EXPECT_EQ(utf8Prefix("\xE4\xB8z", 2), "\xE4\xB8");
}

TEST(ControlCharacters, AreTheC0DelAndC1RangesAndTheBidiControls) {
    auto hex = [](char32_t c) { return static_cast<uint32_t>(c); };
    for (char32_t c : {0x00u, 0x09u, 0x0Au, 0x1Bu, 0x1Fu, 0x7Fu, 0x80u, 0x85u, 0x9Fu})
        EXPECT_TRUE(isControlChar(c)) << hex(c);
    for (char32_t c : {0x20u, 0x7Eu, 0xA0u, 0x200Eu, 0xAC00u}) EXPECT_FALSE(isControlChar(c)) << hex(c);
    for (char32_t c : {0x061Cu, 0x200Eu, 0x200Fu, 0x202Au, 0x202Eu, 0x2066u, 0x2069u})
        EXPECT_TRUE(isBidiControl(c)) << hex(c);
    // Joiners build emoji and scripts; they are not direction controls.
    for (char32_t c : {0x200Bu, 0x200Cu, 0x200Du, 0x2029u, 0x206Au, 0x202Fu, 0x0041u})
        EXPECT_FALSE(isBidiControl(c)) << hex(c);
}

TEST(EscapeControls, WritesControlsBidiAndBadBytesReadablyAndKeepsTheRest) {
    const std::string plain = "짝짓기 요청 #1 (Mina의 iPhone 😀 · P1) — ok \\ \"q\" \xE2\x80\x8D";
    EXPECT_EQ(escapeControls(plain), plain);
    EXPECT_EQ(escapeControls(""), "");
    EXPECT_EQ(escapeControls("evil\nforged line"), "evil\\x0Aforged line");
    EXPECT_EQ(escapeControls("\x1B[31mred\x1B[0m"), "\\x1B[31mred\\x1B[0m");
    EXPECT_EQ(escapeControls(std::string("a\0b\tc\rd\x7F", 8)), "a\\x00b\\x09c\\x0Dd\\x7F");
    // C1 controls and direction controls by code point, bad bytes by byte.
    EXPECT_EQ(escapeControls("x\xC2\x85y\xC2\x9B"), "x\\u0085y\\u009B");
    EXPECT_EQ(escapeControls("invoice\xE2\x80\xAE" "fdp.exe"), "invoice\\u202Efdp.exe");
    EXPECT_EQ(escapeControls("\xE2\x81\xA6\xE2\x80\x8F\xD8\x9C\xE2\x80\xA8"), "\\u2066\\u200F\\u061C\\u2028");
    EXPECT_EQ(escapeControls("가\xFF\xC0\x80나\xE4\xB8"), "가\\xFF\\xC0\\x80나\\xE4\\xB8");
    // What comes out is one clean line whatever went in.
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string out = escapeControls(all + "\xE2\x80\xAE");
    EXPECT_TRUE(isValidUtf8(out));
    for (char32_t c : decodeUtf8(out)) {
        EXPECT_FALSE(isControlChar(c)) << static_cast<uint32_t>(c);
        EXPECT_FALSE(isBidiControl(c)) << static_cast<uint32_t>(c);
    }
}

}  // namespace
