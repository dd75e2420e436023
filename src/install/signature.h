#pragma once
// Ed25519 signatures over update archives.
#include "base/bytes.h"

namespace vm::install {

// True only for a 32-byte public key, a 64-byte signature, and a signature that verifies.
bool ed25519Verify(const Bytes& publicKey, const Bytes& message, const Bytes& signature);

}  // namespace vm::install
