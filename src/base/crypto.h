#pragma once
// Thin wrappers over OpenSSL for the hashes, MACs, key derivation and randomness we use.
#include <optional>
#include <string_view>

#include "base/bytes.h"

namespace vm {

Bytes sha256(const Bytes& data);
Bytes hmacSha256(const Bytes& key, const Bytes& data);
// HKDF-SHA256 (extract and expand); nothing when OpenSSL refuses.
std::optional<Bytes> hkdfSha256(const Bytes& ikm, const Bytes& salt, std::string_view info, size_t length);
Bytes randomBytes(size_t n);
// Compares in time independent of where the inputs differ.
bool constantTimeEqual(const Bytes& a, const Bytes& b);

}  // namespace vm
