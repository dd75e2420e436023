#pragma once
// The phone's side of the video datagrams: opens every datagram under the
// session key, puts frames back together (rebuilding a lost chunk from parity),
// says which chunks to ask for again, and hands whole frames on in order.
// No sockets here, so tests feed it datagrams directly.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "base/bytes.h"
#include "video/video_wire.h"

namespace vm::phone {

struct ReceivedFrame {
    uint32_t seq = 0;
    uint64_t timestamp = 0;  // capture time, microseconds since 1970
    Bytes data;              // length-prefixed NAL units
};

struct ReceiverStats {
    int64_t datagrams = 0;
    int64_t frames = 0;         // frames put together completely
    int64_t lostChunks = 0;     // chunks still missing when the frame was first checked
    int64_t recovered = 0;      // chunks rebuilt from parity
    int64_t resent = 0;         // chunks we asked for that came after we asked
    int64_t duplicates = 0;     // chunks that came twice (a late original and its resend)
    int64_t unrecoverable = 0;  // frames given up
    int64_t wrongKey = 0;       // sealed under a key number we do not hold
    int64_t badTag = 0;         // did not open under our key
    int64_t malformed = 0;      // short, oversized or inconsistent
    int64_t stale = 0;          // for frames already delivered or given up
    int64_t params = 0;         // parameter-set payloads opened
};

// What the caller should ask the agent for: "VN seq i i …".
struct ResendRequest {
    uint32_t seq = 0;
    std::vector<uint16_t> indices;
};

class VideoReceiver {
public:
    // A frame is asked for once its last datagram is overdue: the sender spreads a
    // frame over a known time (by its chunk count), and kAskAfter is the slack after
    // that. Then how often we ask, and when we give up on it.
    static constexpr double kAskAfter = 0.02;
    static constexpr double kAskAgainAfter = 0.12;
    static constexpr int kMaxAsks = 4;
    static constexpr double kGiveUpAfter = 0.8;
    static constexpr size_t kMaxPending = 64;  // frames held at once
    // Chunk places those frames may keep between them: two frames of the largest size.
    // Each place costs memory the moment a frame's first datagram names its chunk count,
    // so without this bound 64 datagrams could make the peer hold 64 frames of 65,535.
    static constexpr size_t kMaxHeldChunks = 2 * 65'535;

    void setKey(uint8_t id, Bytes key);
    // The parity divisor asked of the agent ("VF"), for the expected length of a frame on the wire.
    void setFecDivisor(int divisor) { fecDivisor_ = divisor; }
    uint8_t keyID() const { return keyID_; }
    const Bytes& key() const { return key_; }
    // The key number of the last datagram we could not open for lack of its key.
    std::optional<uint8_t> unknownKeySeen() const { return unknownKey_; }

    // One datagram as it came off the socket; `now` in seconds (any monotonic origin).
    void feed(const uint8_t* p, size_t n, double now);
    void feed(const Bytes& d, double now) { feed(d.data(), d.size(), now); }

    // Whole frames ready to decode, in sequence order.
    std::vector<ReceivedFrame> takeFrames(double now);
    // A parameter-set payload opened since the last call.
    std::optional<Bytes> takeParams();
    // Chunks to ask for again now.
    std::vector<ResendRequest> resendRequests(double now);
    // Whether frames were given up since the last call (the decoder needs a key frame).
    bool takeGaveUp();

    const ReceiverStats& stats() const { return stats_; }

private:
    struct Pending {
        bool known = false;  // a datagram of this frame arrived (k is known)
        uint16_t count = 0;
        uint8_t keyID = 0;
        uint64_t timestamp = 0;
        std::vector<std::optional<Bytes>> sealed;  // by chunk index
        std::vector<std::optional<Bytes>> plain;
        size_t have = 0;
        std::map<uint16_t, Bytes> parity;  // parity index -> 1177 bytes
        uint8_t parityCount = 0;
        uint32_t sealedTotal = 0;
        double firstSeen = 0;
        std::vector<bool> asked;  // by chunk index: named in a resend request
        double lastAsked = 0;
        int asks = 0;
        bool counted = false;  // its losses were counted
        bool complete() const { return known && have == count; }
        // The first trusted datagram of a frame tells its size, key number and time.
        void learn(const video::Header& h) {
            known = true;
            count = h.count;
            keyID = h.keyID;
            timestamp = h.timestamp;
            sealed.assign(count, std::nullopt);
            plain.assign(count, std::nullopt);
            asked.assign(count, false);
        }
    };

    Pending& pendingFor(uint32_t seq, double now);
    // Takes a frame's size from its first trusted datagram, and counts its chunk places.
    void learn(Pending& f, const video::Header& h);
    void forget(std::map<uint32_t, Pending>::iterator it);
    void keepBounded();
    void tryParity(uint32_t seq, Pending& f);
    void openInto(Pending& f, uint32_t seq, uint16_t index, const Bytes& sealed, bool resent);
    bool newer(uint32_t a, uint32_t b) const { return static_cast<int32_t>(a - b) > 0; }

    // When the frame's last datagram should have come (its first one's arrival plus its time on the wire).
    double expectedBy(const Pending& f) const;

    int fecDivisor_ = 5;
    uint8_t keyID_ = 0;
    Bytes key_;
    std::optional<uint8_t> unknownKey_;
    std::map<uint32_t, Pending> pending_;
    size_t heldChunks_ = 0;  // chunk places of the frames in pending_
    std::optional<uint32_t> next_;  // next sequence to hand on
    std::optional<Bytes> params_;
    bool gaveUp_ = false;
    ReceiverStats stats_;
};

}  // namespace vm::phone
