#include "base/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace vm {

Bytes sha256(const Bytes& data) {
    Bytes out(32);
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr);
    out.resize(len);
    return out;
}

Bytes hmacSha256(const Bytes& key, const Bytes& data) {
    Bytes out(32);
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out.data(), &len);
    out.resize(len);
    return out;
}

std::optional<Bytes> hkdfSha256(const Bytes& ikm, const Bytes& salt, std::string_view info, size_t length) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr);
    if (!ctx) return std::nullopt;
    Bytes out(length);
    size_t outLen = length;
    bool ok = EVP_PKEY_derive_init(ctx) > 0 && EVP_PKEY_CTX_set_hkdf_md(ctx, EVP_sha256()) > 0 &&
              EVP_PKEY_CTX_set1_hkdf_salt(ctx, salt.data(), static_cast<int>(salt.size())) > 0 &&
              EVP_PKEY_CTX_set1_hkdf_key(ctx, ikm.data(), static_cast<int>(ikm.size())) > 0 &&
              EVP_PKEY_CTX_add1_hkdf_info(ctx, reinterpret_cast<const unsigned char*>(info.data()),
                                          static_cast<int>(info.size())) > 0 &&
              EVP_PKEY_derive(ctx, out.data(), &outLen) > 0 && outLen == length;
    EVP_PKEY_CTX_free(ctx);
    if (!ok) return std::nullopt;
    return out;
}

Bytes randomBytes(size_t n) {
    Bytes out(n);
    if (n > 0 && RAND_bytes(out.data(), static_cast<int>(n)) != 1)
        throw std::runtime_error("random generator failed");
    return out;
}

bool constantTimeEqual(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return false;
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace vm
