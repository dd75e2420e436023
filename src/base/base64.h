#pragma once
// Standard base64 ("+" and "/", "=" padding, no line breaks).
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace vm {

std::string base64Encode(const uint8_t* data, size_t len);
inline std::string base64Encode(const Bytes& b) { return base64Encode(b.data(), b.size()); }
inline std::string base64Encode(std::string_view s) {
    return base64Encode(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Strict decoding: length a multiple of four, only alphabet characters, padding
// only at the end and only where the length calls for it. Anything else is nothing.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace vm
