#pragma once
// The video datagram format shared by the agent's sender and the phone peer:
// the 18-byte header, sealing of chunks and parameter sets under the video key,
// the parity layout and the thumbnail chunk prefix. All integers big-endian.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/bytes.h"

namespace vm::video {

inline constexpr size_t kHeaderSize = 18;
inline constexpr size_t kChunkSize = 1161;      // plain bytes per data chunk
inline constexpr size_t kTagSize = 16;          // AES-GCM tag
inline constexpr size_t kSealedChunkSize = kChunkSize + kTagSize;  // 1177
inline constexpr size_t kParityDatagramSize = 1200;
inline constexpr size_t kMaxParity = 32;
inline constexpr size_t kMaxFrameSize = 76'085'998;
inline constexpr size_t kKeySize = 32;

enum class DatagramType : uint8_t { params = 0, data = 1, parity = 2 };

struct Header {
    uint8_t type = 0;
    uint8_t keyID = 0;
    uint32_t seq = 0;
    uint16_t index = 0;
    uint16_t count = 0;   // data chunks of the frame (1 for parameter sets)
    uint64_t timestamp = 0;  // microseconds since 1970

    std::array<uint8_t, kHeaderSize> encode() const;
    // nullopt when fewer than 18 bytes are given.
    static std::optional<Header> decode(const uint8_t* p, size_t n);
};

// The 12-byte nonce: the header's first 8 bytes and four zero bytes.
std::array<uint8_t, 12> nonceFor(const std::array<uint8_t, kHeaderSize>& header);

// AES-256-GCM seal of `plain` with the header as additional data: ciphertext then
// tag. Empty on failure (or when `key` is not 32 bytes).
Bytes sealChunk(const uint8_t* plain, size_t n, const std::array<uint8_t, kHeaderSize>& header, const Bytes& key);
// The opposite: nullopt when the tag does not verify or the input is shorter than a tag.
std::optional<Bytes> openChunk(const uint8_t* sealed, size_t n, const std::array<uint8_t, kHeaderSize>& header,
                               const Bytes& key);

// Data chunks and parity datagrams of a frame of n bytes with divisor `fecDivisor`.
inline size_t chunkCount(size_t n) { return (n + kChunkSize - 1) / kChunkSize; }
size_t parityCount(size_t chunks, int fecDivisor);

// The spacing of a frame's datagrams on the wire, in microseconds, by its chunk count:
// small frames go back to back, large ones are spread over about 20 ms.
inline constexpr size_t kUnpacedChunks = 12;  // frames of at most this many chunks go back to back
inline int64_t pacingGapMicros(size_t chunks) {
    if (chunks <= kUnpacedChunks) return 0;
    if (chunks <= 25) return 800;
    if (chunks <= 133) return static_cast<int64_t>(20'000 / chunks);
    return 150;
}
// When the last of a frame's k data and p parity datagrams is due, in seconds after its first.
inline double frameSendSeconds(size_t chunks, size_t parity) {
    size_t all = chunks + parity;
    return all == 0 ? 0.0 : static_cast<double>(pacingGapMicros(chunks)) * static_cast<double>(all - 1) / 1e6;
}

// The parameter-set payload: u16 count, then u32 length + bytes for each set.
Bytes paramSetPayload(const std::vector<Bytes>& sets);
std::optional<std::vector<Bytes>> parseParamSetPayload(const Bytes& payload);

}  // namespace vm::video
