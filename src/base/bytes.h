#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm {

using Bytes = std::vector<uint8_t>;

inline Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

// Lower-case hexadecimal, two digits per byte, no separator.
std::string hexLower(const uint8_t* data, size_t len);
inline std::string hexLower(const Bytes& b) { return hexLower(b.data(), b.size()); }

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates, max U+10FFFF).
// Kept here for its many callers; it is the UTF-8 rule of base/text.h.
bool isValidUtf8(std::string_view s);

}  // namespace vm
