// The phone peer's receiver for video datagrams, fed by a hostile agent: one that
// holds the session key, so its datagrams open, and still sends whatever it likes.
// The input is a list of steps: raw datagrams, data chunks, parity and parameter sets
// sealed under the key with fuzzed headers, whole frames cut and protected exactly
// as the sender does (some datagrams dropped), key changes, repeats, and the
// receiver's own turns (frames taken, resend requests, time passing).
#include <algorithm>
#include <array>

#include "fuzz/rig.h"
#include "phone/video_receiver.h"
#include "video/video_wire.h"

using namespace vm;
using namespace vm::video;

namespace {

class Steps {
public:
    Steps(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool more() const { return at_ < n_; }
    uint8_t u8() { return at_ < n_ ? p_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    // `len` bytes of the input, padded with a pattern when it runs out.
    Bytes take(size_t len) {
        Bytes b(len);
        for (size_t i = 0; i < len; ++i) b[i] = at_ < n_ ? p_[at_++] : static_cast<uint8_t>(i * 7);
        return b;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
};

Bytes keyOf(uint8_t id) { return Bytes(kKeySize, static_cast<uint8_t>(0x40 + id)); }

Bytes datagram(const Header& h, const Bytes& body) {
    auto head = h.encode();
    Bytes d(head.begin(), head.end());
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

Bytes sealed(const Header& h, const Bytes& plain, const Bytes& key) {
    return datagram(h, sealChunk(plain.data(), plain.size(), h.encode(), key));
}

// A frame as the agent's sender cuts it: data chunks, then XOR parity of the sealed chunks.
// The rig's own sender is left out of the coverage: its byte loops would cost more than
// the receiver it feeds, and what it reaches says nothing about the receiver.
__attribute__((no_sanitize("coverage"))) std::vector<Bytes> frameDatagrams(const Bytes& frame, uint8_t keyID,
                                                                          const Bytes& key, uint32_t seq,
                                                                          int divisor, uint64_t ts) {
    const size_t k = chunkCount(frame.size()), p = parityCount(k, divisor);
    std::vector<Bytes> out;
    std::vector<std::array<uint8_t, kSealedChunkSize>> parity(p);
    for (auto& b : parity) b.fill(0);
    auto header = [&](DatagramType type, size_t index) {
        Header h;
        h.type = static_cast<uint8_t>(type);
        h.keyID = keyID;
        h.seq = seq;
        h.index = static_cast<uint16_t>(index);
        h.count = static_cast<uint16_t>(k);
        h.timestamp = ts;
        return h;
    };
    for (size_t i = 0; i < k; ++i) {
        const size_t off = i * kChunkSize, len = std::min(kChunkSize, frame.size() - off);
        Header h = header(DatagramType::data, i);
        Bytes s = sealChunk(frame.data() + off, len, h.encode(), key);
        for (size_t b = 0; b < s.size(); ++b) parity[i % p][b] ^= s[b];
        out.push_back(datagram(h, s));
    }
    const uint32_t total = static_cast<uint32_t>(frame.size() + kTagSize * k);
    for (size_t j = 0; j < p; ++j) {
        Bytes body{static_cast<uint8_t>(p), static_cast<uint8_t>(total >> 24), static_cast<uint8_t>(total >> 16),
                   static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
        body.insert(body.end(), parity[j].begin(), parity[j].end());
        out.push_back(datagram(header(DatagramType::parity, j), body));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    phone::VideoReceiver rx;
    uint8_t keyID = 7;
    rx.setKey(keyID, keyOf(keyID));
    double now = 100.0;
    constexpr uint32_t kBaseSeq = 0xFFFFFFF0;  // sequence numbers wrap within reach
    Bytes last;
    Steps in(data, size);
    auto feed = [&](Bytes d) {
        rx.feed(d, now);
        last = std::move(d);
    };
    auto headerFrom = [&](DatagramType type) {
        Header h;
        h.type = static_cast<uint8_t>(type);
        const uint8_t k = in.u8();
        h.keyID = k == 0 ? keyID : k;
        h.seq = kBaseSeq + in.u8();
        h.index = in.u8();
        h.count = in.u16();
        h.timestamp = in.u8();
        return h;
    };
    for (int step = 0; in.more() && step < 256; ++step) {
        switch (in.u8() % 8) {
            case 0:
                feed(in.take(in.u16() % (kParityDatagramSize + 100)));
                break;
            case 1: {
                Header h = headerFrom(DatagramType::data);
                feed(sealed(h, in.take(in.u16() % (kChunkSize + 1)), keyOf(h.keyID)));
                break;
            }
            case 2: {
                Header h = headerFrom(DatagramType::parity);
                Bytes body{in.u8()};
                for (int i = 0; i < 4; ++i) body.push_back(in.u8());
                Bytes x = in.take(kSealedChunkSize);
                body.insert(body.end(), x.begin(), x.end());
                feed(datagram(h, body));
                break;
            }
            case 3: {
                Header h = headerFrom(DatagramType::params);
                feed(sealed(h, in.take(in.u8()), keyOf(h.keyID)));
                break;
            }
            case 4: {
                const size_t n = 1 + in.u16() % 12000;
                const uint32_t seq = kBaseSeq + in.u8();
                const int divisor = 1 + in.u8() % 16;
                const uint32_t drop = in.u32();
                const bool reversed = in.u8() & 1;
                // The first 64 bytes come from the input; a longer frame is a pattern.
                Bytes frame = in.take(std::min<size_t>(n, 64));
                if (n > 64) frame = Bytes(n, 0x5A);
                auto all = frameDatagrams(frame, keyID, keyOf(keyID), seq, divisor, seq);
                if (reversed) std::reverse(all.begin(), all.end());
                for (size_t i = 0; i < all.size(); ++i)
                    if (!(drop >> (i % 32) & 1)) feed(all[i]);
                break;
            }
            case 5: {
                now += in.u8() * 0.01;
                rx.takeFrames(now);
                rx.resendRequests(now);
                rx.takeParams();
                rx.takeGaveUp();
                break;
            }
            case 6:
                keyID = in.u8();
                rx.setKey(keyID, keyOf(keyID));
                break;
            case 7:
                if (!last.empty()) rx.feed(last, now);
                break;
        }
    }
    now += 1.0;
    rx.resendRequests(now);
    rx.takeFrames(now);
    return 0;
}
