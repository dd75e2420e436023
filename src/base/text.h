#pragma once
// Text as it comes from phones, tools and files: lines, strict decimal integers,
// UTF-8 decoding, and making text safe to show in a log line or a label. One
// rule for each, so every room reads the same input the same way.
#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

namespace vm {

// The non-empty lines of `text`, split at line feeds. The views point into `text`.
std::vector<std::string_view> splitLines(std::string_view text);

// A decimal integer, the whole text: an optional "+" (or "-" for a signed type),
// then digits only, within the range of Int. No blanks, no second sign, no base prefix.
template <typename Int>
std::optional<Int> parseInt(std::string_view text) {
    static_assert(std::is_integral_v<Int> && !std::is_same_v<Int, bool>);
    const bool plus = !text.empty() && text.front() == '+';
    if (plus) text.remove_prefix(1);
    // from_chars takes a "-" itself (signed types only); no other sign may follow.
    if (text.empty() || text.front() == '+' || (text.front() == '-' && (plus || std::is_unsigned_v<Int>)))
        return std::nullopt;
    Int value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// ---- UTF-8 ----

inline constexpr char32_t kReplacementChar = 0xFFFD;

// The code point that starts at `at`, moving `at` past it. An ill-formed sequence
// (stray or missing continuation byte, overlong form, surrogate, above U+10FFFF)
// gives nothing and moves `at` by one byte, so decoding resumes at the next byte.
std::optional<char32_t> nextCodePoint(std::string_view text, size_t& at);

// Every code point of `text`; each ill-formed byte stands as U+FFFD.
std::u32string decodeUtf8(std::string_view text);

// Whether `text` is well-formed UTF-8 (no overlongs, no surrogates, at most U+10FFFF).
bool isValidUtf8(std::string_view text);

// The first `chars` characters of `text` (an ill-formed byte counts as one).
std::string_view utf8Prefix(std::string_view text, size_t chars);

// ---- characters that must not reach a log line or a label raw ----

// C0 controls, DEL and C1 controls.
bool isControlChar(char32_t c);
// Directional embeddings, overrides, isolates and marks (U+061C, U+200E/F,
// U+202A–202E, U+2066–2069): invisible, and they reorder what follows.
bool isBidiControl(char32_t c);
// The Unicode line and paragraph separators, which some viewers break lines at.
inline bool isUnicodeLineSeparator(char32_t c) { return c == 0x2028 || c == 0x2029; }

// `text` with every control character, bidi control, Unicode line separator and
// ill-formed byte written out readably: "\x1B" for C0 and DEL, "\u0085" for C1
// and the others, "\xFF" for a byte that is not UTF-8. Everything else (Korean
// included) stays as it is; text needing no change comes back unchanged.
std::string escapeControls(std::string_view text);

}  // namespace vm
