#include "pairing/pairing_crypto.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string_view>

#include "base/crypto.h"

namespace vm {

namespace {

constexpr size_t kX963Len = 65;  // 0x04 || X || Y
constexpr size_t kSharedLen = 32;

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

// The peer's public key from its X9.63 form. Only the uncompressed 65-byte form is
// taken: it is what the phone sends, and accepting less leaves fewer parsers exposed.
// OpenSSL refuses a point off the curve on import; the explicit public check below
// also rejects the point at infinity and anything outside the group.
PkeyPtr importPublic(const Bytes& x963) {
    if (x963.size() != kX963Len || x963[0] != 0x04) return nullptr;
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0) return nullptr;
    char group[] = "prime256v1";
    Bytes copy = x963;  // OSSL_PARAM wants a non-const buffer
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) <= 0 || !raw) return nullptr;
    PkeyPtr peer(raw);
    CtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, peer.get(), nullptr));
    if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
    return peer;
}

}  // namespace

struct P256Key::Impl {
    PkeyPtr key;
};

P256Key::P256Key(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
P256Key::P256Key(P256Key&&) noexcept = default;
P256Key& P256Key::operator=(P256Key&&) noexcept = default;
P256Key::~P256Key() = default;

P256Key P256Key::generate() {
    char curve[] = "P-256";
    EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
    if (!raw) throw std::runtime_error("P-256 key generation failed");
    auto impl = std::make_unique<Impl>();
    impl->key.reset(raw);
    // Public keys travel uncompressed; say so rather than rely on the default.
    char form[] = "uncompressed";
    EVP_PKEY_set_utf8_string_param(raw, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, form);
    return P256Key(std::move(impl));
}

Bytes P256Key::publicX963() const {
    if (!impl_ || !impl_->key) return {};
    Bytes out(kX963Len);
    size_t len = 0;
    if (EVP_PKEY_get_octet_string_param(impl_->key.get(), OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len) !=
            1 ||
        len != kX963Len || out[0] != 0x04)
        return {};
    return out;
}

std::optional<Bytes> P256Key::agree(const Bytes& peerX963) const {
    if (!impl_ || !impl_->key) return std::nullopt;
    PkeyPtr peer = importPublic(peerX963);
    if (!peer) return std::nullopt;
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) <= 0 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) <= 0)
        return std::nullopt;
    size_t len = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &len) <= 0 || len != kSharedLen) return std::nullopt;
    Bytes shared(len);
    if (EVP_PKEY_derive(ctx.get(), shared.data(), &len) <= 0 || len != kSharedLen) return std::nullopt;
    return shared;
}

static Bytes labelled(std::string_view label, const Bytes& tail) {
    Bytes out(label.size() + tail.size());
    std::copy(label.begin(), label.end(), out.begin());
    std::copy(tail.begin(), tail.end(), out.begin() + static_cast<std::ptrdiff_t>(label.size()));
    return out;
}

Bytes pairCommit(const Bytes& pub) { return sha256(labelled("vellomark-commit", pub)); }

std::string pairCodeFrom(uint32_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%06u", static_cast<unsigned>(v % 1'000'000u));
    return buf;
}

std::optional<PairDerived> pairDerive(const Bytes& shared, const Bytes& phonePub, const Bytes& macPub) {
    Bytes salt(phonePub.size() + macPub.size());
    std::copy(phonePub.begin(), phonePub.end(), salt.begin());
    std::copy(macPub.begin(), macPub.end(), salt.begin() + static_cast<std::ptrdiff_t>(phonePub.size()));
    auto sas = hkdfSha256(shared, salt, "vellomark-sas", 4);
    auto psk = hkdfSha256(shared, salt, "vellomark-control-psk", 32);
    if (!sas || !psk || sas->size() != 4 || psk->size() != 32) return std::nullopt;
    uint32_t v = (uint32_t{(*sas)[0]} << 24) | (uint32_t{(*sas)[1]} << 16) | (uint32_t{(*sas)[2]} << 8) |
                 uint32_t{(*sas)[3]};
    return PairDerived{pairCodeFrom(v), std::move(*psk)};
}

Bytes pairConfirm(const Bytes& psk, int serial) {
    std::string text = "vellomark-paired" + std::to_string(serial);
    return hmacSha256(psk, toBytes(text));
}

}  // namespace vm
