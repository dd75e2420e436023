#pragma once
// The arithmetic of pairing, shared by the agent and the phone peer: P-256 key
// agreement with X9.63 public keys, the commitment, the confirmation code, the
// derived pre-shared key and the confirmation value.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace vm {

// A fresh P-256 key-agreement key.
class P256Key {
public:
    static P256Key generate();
    P256Key(P256Key&&) noexcept;
    P256Key& operator=(P256Key&&) noexcept;
    ~P256Key();

    // Uncompressed X9.63 form: 0x04 || X || Y, 65 bytes.
    Bytes publicX963() const;
    // ECDH shared secret (32 bytes) with a peer key in X9.63 form; nothing when the
    // peer key is not a valid point of the curve or the agreement fails.
    std::optional<Bytes> agree(const Bytes& peerX963) const;

private:
    struct Impl;
    explicit P256Key(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// SHA-256("vellomark-commit" || pub).
Bytes pairCommit(const Bytes& pub);

// Six decimal digits of v modulo 1,000,000, leading zeros kept.
std::string pairCodeFrom(uint32_t v);

struct PairDerived {
    std::string code;  // six digits
    Bytes psk;         // 32 bytes
};
// Code: HKDF-SHA256(shared, salt = phonePub || macPub, info "vellomark-sas", 4 bytes)
// read big-endian; key: the same with info "vellomark-control-psk", 32 bytes.
std::optional<PairDerived> pairDerive(const Bytes& shared, const Bytes& phonePub, const Bytes& macPub);

// HMAC-SHA256(psk, "vellomark-paired" || decimal serial).
Bytes pairConfirm(const Bytes& psk, int serial);

}  // namespace vm
