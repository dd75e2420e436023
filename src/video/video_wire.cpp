#include "video/video_wire.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace vm::video {

namespace {

void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
uint16_t getU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t getU32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

// One cipher context per thread, keyed once and re-used while the key stays the
// same: sealing runs once per datagram, and a fresh key schedule for every 1 KB
// chunk would cost as much as the encryption itself.
struct GcmContext {
    EVP_CIPHER_CTX* ctx = nullptr;
    std::array<uint8_t, kKeySize> key{};
    bool keyed = false;
    bool encrypting = false;

    GcmContext() : ctx(EVP_CIPHER_CTX_new()) {}
    ~GcmContext() { EVP_CIPHER_CTX_free(ctx); }
    GcmContext(const GcmContext&) = delete;
    GcmContext& operator=(const GcmContext&) = delete;

    // Sets key (when it changed or the direction did) and nonce.
    bool begin(bool encrypt, const Bytes& k, const std::array<uint8_t, 12>& nonce) {
        if (!ctx) return false;
        bool sameKey = keyed && encrypting == encrypt && std::equal(k.begin(), k.end(), key.begin());
        int ok;
        if (sameKey) {
            ok = encrypt ? EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data())
                         : EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
        } else {
            keyed = false;
            ok = encrypt ? EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr)
                         : EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr);
            ok = ok && EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 12, nullptr) == 1;
            ok = ok && (encrypt ? EVP_EncryptInit_ex(ctx, nullptr, nullptr, k.data(), nonce.data())
                                : EVP_DecryptInit_ex(ctx, nullptr, nullptr, k.data(), nonce.data()));
            if (ok) {
                std::copy(k.begin(), k.end(), key.begin());
                keyed = true;
                encrypting = encrypt;
            }
        }
        if (ok != 1) keyed = false;
        return ok == 1;
    }
};

GcmContext& gcm() {
    thread_local GcmContext c;
    return c;
}

}  // namespace

std::array<uint8_t, kHeaderSize> Header::encode() const {
    std::array<uint8_t, kHeaderSize> h{};
    h[0] = type;
    h[1] = keyID;
    putU32(&h[2], seq);
    putU16(&h[6], index);
    putU16(&h[8], count);
    putU32(&h[10], static_cast<uint32_t>(timestamp >> 32));
    putU32(&h[14], static_cast<uint32_t>(timestamp));
    return h;
}

std::optional<Header> Header::decode(const uint8_t* p, size_t n) {
    if (!p || n < kHeaderSize) return std::nullopt;
    Header h;
    h.type = p[0];
    h.keyID = p[1];
    h.seq = getU32(p + 2);
    h.index = getU16(p + 6);
    h.count = getU16(p + 8);
    h.timestamp = (uint64_t{getU32(p + 10)} << 32) | getU32(p + 14);
    return h;
}

std::array<uint8_t, 12> nonceFor(const std::array<uint8_t, kHeaderSize>& header) {
    std::array<uint8_t, 12> nonce{};
    std::copy(header.begin(), header.begin() + 8, nonce.begin());
    return nonce;
}

Bytes sealChunk(const uint8_t* plain, size_t n, const std::array<uint8_t, kHeaderSize>& header, const Bytes& key) {
    if (key.size() != kKeySize || (n > 0 && !plain) || n > static_cast<size_t>(INT32_MAX) - kTagSize) return {};
    GcmContext& c = gcm();
    if (!c.begin(true, key, nonceFor(header))) return {};
    Bytes out(n + kTagSize);
    int len = 0;
    if (EVP_EncryptUpdate(c.ctx, nullptr, &len, header.data(), static_cast<int>(header.size())) != 1) {
        c.keyed = false;
        return {};
    }
    int total = 0;
    if (n > 0) {
        if (EVP_EncryptUpdate(c.ctx, out.data(), &len, plain, static_cast<int>(n)) != 1) {
            c.keyed = false;
            return {};
        }
        total = len;
    }
    if (EVP_EncryptFinal_ex(c.ctx, out.data() + total, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), out.data() + n) != 1) {
        c.keyed = false;
        return {};
    }
    return out;
}

std::optional<Bytes> openChunk(const uint8_t* sealed, size_t n, const std::array<uint8_t, kHeaderSize>& header,
                               const Bytes& key) {
    if (key.size() != kKeySize || !sealed || n < kTagSize || n > static_cast<size_t>(INT32_MAX)) return std::nullopt;
    GcmContext& c = gcm();
    if (!c.begin(false, key, nonceFor(header))) return std::nullopt;
    size_t plainLen = n - kTagSize;
    Bytes out(plainLen);
    int len = 0;
    if (EVP_DecryptUpdate(c.ctx, nullptr, &len, header.data(), static_cast<int>(header.size())) != 1) {
        c.keyed = false;
        return std::nullopt;
    }
    int total = 0;
    if (plainLen > 0) {
        if (EVP_DecryptUpdate(c.ctx, out.data(), &len, sealed, static_cast<int>(plainLen)) != 1) {
            c.keyed = false;
            return std::nullopt;
        }
        total = len;
    }
    // The tag is copied out because the context wants a writable buffer.
    std::array<uint8_t, kTagSize> tag{};
    std::memcpy(tag.data(), sealed + plainLen, kTagSize);
    if (EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag.data()) != 1) {
        c.keyed = false;
        return std::nullopt;
    }
    if (EVP_DecryptFinal_ex(c.ctx, out.data() + total, &len) != 1) return std::nullopt;
    return out;
}

size_t parityCount(size_t chunks, int fecDivisor) {
    size_t div = fecDivisor < 1 ? 1 : static_cast<size_t>(fecDivisor);
    size_t p = (chunks + div - 1) / div;
    return std::clamp<size_t>(p, 1, kMaxParity);
}

Bytes paramSetPayload(const std::vector<Bytes>& sets) {
    size_t total = 2;
    for (const Bytes& s : sets) total += 4 + s.size();
    Bytes out(total);
    putU16(out.data(), static_cast<uint16_t>(sets.size()));
    size_t at = 2;
    for (const Bytes& s : sets) {
        putU32(out.data() + at, static_cast<uint32_t>(s.size()));
        at += 4;
        std::copy(s.begin(), s.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
        at += s.size();
    }
    return out;
}

std::optional<std::vector<Bytes>> parseParamSetPayload(const Bytes& payload) {
    if (payload.size() < 2) return std::nullopt;
    size_t count = getU16(payload.data());
    size_t at = 2;
    std::vector<Bytes> sets;
    for (size_t i = 0; i < count; ++i) {
        // Every length is checked against what is left before anything is copied.
        if (payload.size() - at < 4) return std::nullopt;
        size_t len = getU32(payload.data() + at);
        at += 4;
        if (payload.size() - at < len) return std::nullopt;
        sets.emplace_back(payload.begin() + static_cast<std::ptrdiff_t>(at),
                          payload.begin() + static_cast<std::ptrdiff_t>(at + len));
        at += len;
    }
    if (at != payload.size()) return std::nullopt;
    return sets;
}

}  // namespace vm::video
