#include "base/text.h"

#include <cstdint>

namespace vm {

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::optional<char32_t> nextCodePoint(std::string_view s, size_t& at) {
    const size_t n = s.size();
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    auto cont = [&](size_t k) { return k < n && (byte(k) & 0xC0) == 0x80; };
    const uint8_t b = byte(at);
    if (b < 0x80) {
        ++at;
        return b;
    }
    // C0/C1 would only start overlong forms, F5…FF nothing at all.
    if (b >= 0xC2 && b <= 0xDF && cont(at + 1)) {
        const char32_t c = (char32_t(b & 0x1F) << 6) | (byte(at + 1) & 0x3F);
        at += 2;
        return c;
    }
    if (b >= 0xE0 && b <= 0xEF && cont(at + 1) && cont(at + 2)) {
        const char32_t c = (char32_t(b & 0x0F) << 12) | (char32_t(byte(at + 1) & 0x3F) << 6) | (byte(at + 2) & 0x3F);
        if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
            at += 3;
            return c;
        }
    } else if (b >= 0xF0 && b <= 0xF4 && cont(at + 1) && cont(at + 2) && cont(at + 3)) {
        const char32_t c = (char32_t(b & 0x07) << 18) | (char32_t(byte(at + 1) & 0x3F) << 12) |
                           (char32_t(byte(at + 2) & 0x3F) << 6) | (byte(at + 3) & 0x3F);
        if (c >= 0x10000 && c <= 0x10FFFF) {
            at += 4;
            return c;
        }
    }
    ++at;
    return std::nullopt;
}

std::u32string decodeUtf8(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) out.push_back(nextCodePoint(text, at).value_or(kReplacementChar));
    return out;
}

bool isValidUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        // ASCII runs are the common case: skip them without decoding.
        if (static_cast<uint8_t>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        if (!nextCodePoint(text, at)) return false;
    }
    return true;
}

std::string_view utf8Prefix(std::string_view text, size_t chars) {
    size_t at = 0;
    for (size_t count = 0; at < text.size() && count < chars; ++count) nextCodePoint(text, at);
    return text.substr(0, at);
}

bool isControlChar(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool isBidiControl(char32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

namespace {

bool needsEscape(char32_t c) { return isControlChar(c) || isBidiControl(c) || isUnicodeLineSeparator(c); }

void appendHex(std::string& out, const char* prefix, uint32_t value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += prefix;
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

}  // namespace

std::string escapeControls(std::string_view text) {
    // Most lines need nothing: find the first place that does before copying.
    size_t first = 0;
    while (first < text.size()) {
        const auto b = static_cast<uint8_t>(text[first]);
        if (b >= 0x20 && b < 0x7F) {
            ++first;
            continue;
        }
        size_t at = first;
        auto c = nextCodePoint(text, at);
        if (!c || needsEscape(*c)) break;
        first = at;
    }
    if (first == text.size()) return std::string(text);

    std::string out(text.substr(0, first));
    out.reserve(text.size() + 16);
    for (size_t at = first; at < text.size();) {
        const size_t start = at;
        const auto c = nextCodePoint(text, at);
        if (!c) appendHex(out, "\\x", static_cast<uint8_t>(text[start]), 2);
        else if (*c < 0x80 && needsEscape(*c)) appendHex(out, "\\x", *c, 2);
        else if (needsEscape(*c)) appendHex(out, "\\u", *c, 4);
        else out.append(text, start, at - start);
    }
    return out;
}

}  // namespace vm
