// The phone's reassembly of video datagrams: order, parity repairs, asking again,
// and what it does with datagrams it must not trust.
#include <gtest/gtest.h>

#include <random>

#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "video/video_wire.h"

using namespace vm;
using namespace vm::phone;
using namespace vm::video;

namespace {

const Bytes kKey(32, 0x42);

// The datagrams of one frame, built the way the agent's sender builds them.
struct Sent {
    std::vector<Bytes> data;
    std::vector<Bytes> parity;
};

Sent makeFrame(uint32_t seq, const Bytes& frame, uint8_t keyID = 7, int divisor = 5, const Bytes& key = kKey) {
    Sent out;
    const size_t k = chunkCount(frame.size());
    const size_t p = parityCount(k, divisor);
    std::vector<Bytes> par(p, Bytes(kSealedChunkSize, 0));
    size_t total = 0;
    for (size_t i = 0; i < k; ++i) {
        Header h{1, keyID, seq, static_cast<uint16_t>(i), static_cast<uint16_t>(k), 1'800'000'000'000'000ull + seq};
        auto hb = h.encode();
        size_t from = i * kChunkSize, len = std::min(kChunkSize, frame.size() - from);
        Bytes sealed = sealChunk(frame.data() + from, len, hb, key);
        for (size_t b = 0; b < sealed.size(); ++b) par[i % p][b] ^= sealed[b];
        total += sealed.size();
        Bytes d(hb.begin(), hb.end());
        d.resize(kHeaderSize + sealed.size());
        std::copy(sealed.begin(), sealed.end(), d.begin() + kHeaderSize);
        out.data.push_back(std::move(d));
    }
    for (size_t j = 0; j < p; ++j) {
        Header h{2, keyID, seq, static_cast<uint16_t>(j), static_cast<uint16_t>(k), 1'800'000'000'000'000ull + seq};
        auto hb = h.encode();
        Bytes d(hb.begin(), hb.end());
        d.resize(kParityDatagramSize);
        d[18] = static_cast<uint8_t>(p);
        d[19] = static_cast<uint8_t>(total >> 24);
        d[20] = static_cast<uint8_t>(total >> 16);
        d[21] = static_cast<uint8_t>(total >> 8);
        d[22] = static_cast<uint8_t>(total);
        std::copy(par[j].begin(), par[j].end(), d.begin() + 23);
        out.parity.push_back(std::move(d));
    }
    return out;
}

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    return b;
}

void feedAll(VideoReceiver& r, const Sent& s, double now, std::initializer_list<size_t> dropData = {}) {
    for (size_t i = 0; i < s.data.size(); ++i)
        if (std::find(dropData.begin(), dropData.end(), i) == dropData.end()) r.feed(s.data[i], now);
    for (const auto& p : s.parity) r.feed(p, now);
}

}  // namespace

TEST(VideoReceiver, FramesComeBackWholeAndInOrder) {
    VideoReceiver r;
    r.setKey(7, kKey);
    Bytes a = randomBytes(1, 1), b = randomBytes(1161, 2), c = randomBytes(1162, 3), d = randomBytes(30000, 4);
    feedAll(r, makeFrame(100, a), 0);
    feedAll(r, makeFrame(101, b), 0);
    feedAll(r, makeFrame(102, c), 0);
    feedAll(r, makeFrame(103, d), 0);
    auto frames = r.takeFrames(0);
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].data, a);
    EXPECT_EQ(frames[1].data, b);
    EXPECT_EQ(frames[2].data, c);
    EXPECT_EQ(frames[3].data, d);
    EXPECT_EQ(frames[3].seq, 103u);
    EXPECT_EQ(r.stats().recovered, 0);
    EXPECT_TRUE(r.resendRequests(1.0).empty());
}

TEST(VideoReceiver, ParityRebuildsOneLostChunkPerGroupIncludingTheShortLastOne) {
    VideoReceiver r;
    r.setKey(7, kKey);
    // 12 chunks, divisor 5: groups {0,3,6,9}, {1,4,7,10}, {2,5,8,11}; the last chunk is short.
    Bytes frame = randomBytes(11 * 1161 + 500, 5);
    feedAll(r, makeFrame(1, frame), 0, {3, 7, 11});
    auto frames = r.takeFrames(0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, frame);
    EXPECT_EQ(r.stats().recovered, 3);
    // A one-byte frame: its single parity datagram is the chunk itself.
    feedAll(r, makeFrame(2, randomBytes(1, 6)), 0, {0});
    ASSERT_EQ(r.takeFrames(0).size(), 1u);
    EXPECT_EQ(r.stats().recovered, 4);
}

TEST(VideoReceiver, TwoLostInOneGroupAreAskedForAndTheResendCompletesTheFrame) {
    VideoReceiver r;
    r.setKey(7, kKey);
    Bytes frame = randomBytes(12 * 1161, 7);
    Sent s = makeFrame(10, frame);
    feedAll(r, s, 0, {0, 3});  // same group: parity cannot help
    EXPECT_TRUE(r.takeFrames(0).empty());
    EXPECT_TRUE(r.resendRequests(0.0).empty()) << "too early to ask";
    auto asks = r.resendRequests(VideoReceiver::kAskAfter + 0.001);
    ASSERT_EQ(asks.size(), 1u);
    EXPECT_EQ(asks[0].seq, 10u);
    EXPECT_EQ(asks[0].indices, (std::vector<uint16_t>{0, 3}));
    // Not again right away.
    EXPECT_TRUE(r.resendRequests(VideoReceiver::kAskAfter + 0.01).empty());
    r.feed(s.data[3], 0.05);  // once 3 is back, parity rebuilds 0
    auto frames = r.takeFrames(0.05);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, frame);
    EXPECT_EQ(r.stats().resent, 1);
    EXPECT_EQ(r.stats().recovered, 1);
}

TEST(VideoReceiver, ALargeFrameStillArrivingIsNotAskedForUntilItsLastDatagramIsOverdue) {
    VideoReceiver r;
    r.setKey(7, kKey);
    // 109 chunks and 22 parity datagrams: the sender spreads them over 130 × 183 µs.
    Bytes frame = randomBytes(109 * 1161, 21);
    Sent s = makeFrame(40, frame);
    const double gap = 183e-6;
    const double onWire = frameSendSeconds(109, 22);
    std::vector<Bytes> all = s.data;
    all.insert(all.end(), s.parity.begin(), s.parity.end());
    // Everything arrives on schedule except data chunks 0, 22 and 44 (all in parity group 0),
    // and the frame takes well past the old fixed 30 ms wait.
    double now = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        now = static_cast<double>(i) * gap;
        if (i != 0 && i != 22 && i != 44) r.feed(all[i], now);
        // Asking while the frame is still on its way would only fetch chunks that come anyway.
        if (i > 0) {
            EXPECT_TRUE(r.resendRequests(now).empty()) << "asked at datagram " << i;
        }
    }
    EXPECT_TRUE(r.resendRequests(onWire + VideoReceiver::kAskAfter - 0.001).empty());
    // Chunks 0 and 22 are lost, 44 only late: it arrives after its deadline but within the slack.
    r.feed(all[44], onWire + 0.005);
    auto asks = r.resendRequests(onWire + VideoReceiver::kAskAfter + 0.001);
    ASSERT_EQ(asks.size(), 1u);
    EXPECT_EQ(asks[0].indices, (std::vector<uint16_t>{0, 22}));
    EXPECT_EQ(r.stats().resent, 0) << "a late chunk nobody asked for is no resend";

    r.feed(all[0], onWire + 0.04);   // the resend; parity then rebuilds 22
    r.feed(all[0], onWire + 0.041);  // and a stray copy of it
    auto frames = r.takeFrames(onWire + 0.05);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, frame);
    EXPECT_EQ(r.stats().resent, 1);
    EXPECT_EQ(r.stats().recovered, 1);
    EXPECT_EQ(r.stats().duplicates, 1);
}

TEST(VideoReceiver, ALossFreeStreamOfLargeFramesAsksForNothing) {
    VideoReceiver r;
    r.setKey(7, kKey);
    // Frames of 60 to 130 chunks back to back, each spread over its time on the wire, taken
    // and checked for resends every 2 ms as the phone's loop does.
    double now = 0;
    int64_t asked = 0;
    for (uint32_t seq = 1; seq <= 20; ++seq) {
        const size_t k = 60 + (seq * 37) % 71;
        Sent s = makeFrame(seq, randomBytes(k * 1161 - 100, seq));
        std::vector<Bytes> all = s.data;
        all.insert(all.end(), s.parity.begin(), s.parity.end());
        const double gap = static_cast<double>(pacingGapMicros(k)) / 1e6;
        const double start = now;
        double nextPoll = now;
        for (size_t i = 0; i < all.size(); ++i) {
            now = start + static_cast<double>(i) * gap;
            r.feed(all[i], now);
            if (now >= nextPoll) {
                asked += static_cast<int64_t>(r.resendRequests(now).size());
                r.takeFrames(now);
                nextPoll = now + 0.002;
            }
        }
        now += 0.004;  // the encoder's turn before the next frame
    }
    asked += static_cast<int64_t>(r.resendRequests(now).size());
    EXPECT_EQ(asked, 0);
    r.takeFrames(now);
    EXPECT_EQ(r.stats().frames, 20);
    EXPECT_EQ(r.stats().lostChunks, 0);
    EXPECT_EQ(r.stats().resent, 0);
}

TEST(VideoReceiver, AWholeLostFrameIsAskedForAndLaterFramesWait) {
    VideoReceiver r;
    r.setKey(7, kKey);
    Sent f1 = makeFrame(1, randomBytes(100, 8)), f2 = makeFrame(2, randomBytes(100, 9)),
         f3 = makeFrame(3, randomBytes(100, 10));
    feedAll(r, f1, 0);
    feedAll(r, f3, 0);  // frame 2 never arrived
    auto first = r.takeFrames(0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].seq, 1u);
    auto asks = r.resendRequests(0.001);
    ASSERT_EQ(asks.size(), 1u);
    EXPECT_EQ(asks[0].seq, 2u);
    EXPECT_EQ(asks[0].indices, std::vector<uint16_t>{0});
    r.feed(f2.data[0], 0.01);
    auto rest = r.takeFrames(0.01);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0].seq, 2u);
    EXPECT_EQ(rest[1].seq, 3u);
}

TEST(VideoReceiver, AFrameThatNeverCompletesIsGivenUpAndTheNextOnesFlow) {
    VideoReceiver r;
    r.setKey(7, kKey);
    // 5 chunks with divisor 5 give one parity datagram over all of them: two lost cannot be rebuilt.
    feedAll(r, makeFrame(1, randomBytes(5000, 11)), 0, {0, 1});
    feedAll(r, makeFrame(2, randomBytes(100, 12)), 0);
    EXPECT_TRUE(r.takeFrames(0.1).empty());
    auto late = r.takeFrames(VideoReceiver::kGiveUpAfter + 0.1);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].seq, 2u);
    EXPECT_EQ(r.stats().unrecoverable, 1);
    EXPECT_TRUE(r.takeGaveUp());
    EXPECT_FALSE(r.takeGaveUp());
}

TEST(VideoReceiver, UntrustedDatagramsAreCountedAndDropped) {
    VideoReceiver r;
    r.setKey(7, kKey);
    Sent s = makeFrame(5, randomBytes(3000, 13));
    // Another key number: counted, remembered so the phone asks for the new key.
    Sent other = makeFrame(5, randomBytes(3000, 13), 9, 5, Bytes(32, 0x11));
    r.feed(other.data[0], 0);
    EXPECT_EQ(r.stats().wrongKey, 1);
    ASSERT_TRUE(r.unknownKeySeen());
    EXPECT_EQ(*r.unknownKeySeen(), 9);
    // Any changed header byte breaks the seal.
    for (size_t b = 0; b < kHeaderSize; ++b) {
        if (b == 0 || b == 1) continue;  // type and key number are checked before opening
        Bytes d = s.data[0];
        d[b] ^= 0x01;
        r.feed(d, 0);
    }
    // Short, oversized, garbage.
    r.feed(Bytes{}, 0);
    r.feed(Bytes(17, 0), 0);
    r.feed(Bytes(5000, 0xFF), 0);
    Bytes absurd = s.data[0];
    absurd[8] = 0xFF;  // k = 65535: the seal fails, and nothing is allocated for it
    absurd[9] = 0xFF;
    r.feed(absurd, 0);
    Bytes badType = s.data[0];
    badType[0] = 9;
    r.feed(badType, 0);
    // Parity whose lone chunk does not open under our key is ignored; so is parity
    // for a larger frame nobody vouched for.
    r.feed(makeFrame(77, randomBytes(10, 14), 7, 5, Bytes(32, 0x11)).parity[0], 0);
    r.feed(makeFrame(78, randomBytes(9000, 15)).parity[0], 0);
    EXPECT_TRUE(r.takeFrames(1.0).empty());
    EXPECT_GE(r.stats().badTag, 15);
    EXPECT_GE(r.stats().malformed, 4);
    EXPECT_EQ(r.stats().frames, 0);
    // The genuine frame still comes through afterwards.
    feedAll(r, s, 1.0);
    EXPECT_EQ(r.takeFrames(1.0).size(), 1u);
}

// Found by fuzzing: a hostile agent holding the key seals a chunk with nothing in it.
// The frame is empty, and putting it together must not copy from or to nowhere (the
// sanitizer build fails on the null data pointer of an empty frame).
TEST(VideoReceiver, AnEmptySealedChunkMakesAnEmptyFrame) {
    VideoReceiver r;
    r.setKey(7, kKey);
    Header h{1, 7, 5, 0, 1, 1'800'000'000'000'000ull};
    auto hb = h.encode();
    const uint8_t nothing = 0;
    Bytes sealed = sealChunk(&nothing, 0, hb, kKey);
    ASSERT_EQ(sealed.size(), kTagSize);
    Bytes d(hb.begin(), hb.end());
    d.insert(d.end(), sealed.begin(), sealed.end());
    r.feed(d, 0);
    auto frames = r.takeFrames(0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].seq, 5u);
    EXPECT_TRUE(frames[0].data.empty());
    // The next frame is still put together as usual.
    feedAll(r, makeFrame(6, randomBytes(2000, 21)), 0.1);
    frames = r.takeFrames(0.1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, randomBytes(2000, 21));
}

TEST(VideoReceiver, FramesThatOnlyNameAHugeChunkCountAreNotAllHeld) {
    // An agent that holds the key names 64 frames of 65,535 chunks, one real chunk each:
    // each such frame would keep places for all its chunks. At most two of them are held.
    VideoReceiver r;
    r.setKey(7, kKey);
    const Bytes chunk = randomBytes(kChunkSize, 5);
    for (uint32_t seq = 100; seq < 164; ++seq) {
        Header h{1, 7, seq, 0, 65'535, 1'800'000'000'000'000ull + seq};
        auto hb = h.encode();
        Bytes d(hb.begin(), hb.end());
        Bytes sealed = sealChunk(chunk.data(), chunk.size(), hb, kKey);
        d.insert(d.end(), sealed.begin(), sealed.end());
        r.feed(d, 0);
    }
    EXPECT_EQ(r.stats().unrecoverable, 62);
    EXPECT_TRUE(r.takeGaveUp());
    // An ordinary frame after them is put together as usual once the held ones are given up.
    feedAll(r, makeFrame(164, randomBytes(3000, 9)), 0.1);
    auto frames = r.takeFrames(VideoReceiver::kGiveUpAfter + 0.2);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].seq, 164u);
    EXPECT_EQ(frames[0].data, randomBytes(3000, 9));
}

TEST(VideoReceiver, RandomLossIsRepairedByParityAndResends) {
    VideoReceiver r;
    r.setKey(7, kKey);
    std::mt19937 rng(42);
    std::vector<Sent> sent;
    std::vector<Bytes> frames;
    for (uint32_t seq = 0; seq < 200; ++seq) {
        frames.push_back(randomBytes(500 + (rng() % 40000), seq + 100));
        sent.push_back(makeFrame(1000 + seq, frames.back()));
    }
    std::vector<ReceivedFrame> got;
    double now = 0;
    for (size_t f = 0; f < sent.size(); ++f) {
        now += 0.016;
        for (const auto& d : sent[f].data)
            if (rng() % 100 >= 5) r.feed(d, now);
        for (const auto& d : sent[f].parity)
            if (rng() % 100 >= 5) r.feed(d, now);
        // Resend requests are answered (and the answers lose 5 % too).
        for (int round = 0; round < 3; ++round) {
            for (const auto& ask : r.resendRequests(now + 0.05 * round)) {
                const Sent& s = sent[ask.seq - 1000];
                for (uint16_t i : ask.indices)
                    if (i < s.data.size() && rng() % 100 >= 5) r.feed(s.data[i], now + 0.05 * round);
            }
        }
        for (auto& fr : r.takeFrames(now)) got.push_back(std::move(fr));
    }
    for (int round = 0; round < 10; ++round) {
        now += 0.15;
        for (const auto& ask : r.resendRequests(now)) {
            const Sent& s = sent[ask.seq - 1000];
            for (uint16_t i : ask.indices)
                if (i < s.data.size()) r.feed(s.data[i], now);
        }
        for (auto& fr : r.takeFrames(now)) got.push_back(std::move(fr));
    }
    ASSERT_EQ(got.size(), frames.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].data, frames[i]) << i;
    EXPECT_GT(r.stats().recovered, 0);
    EXPECT_GT(r.stats().resent, 0);
    EXPECT_EQ(r.stats().unrecoverable, 0);
}

TEST(VideoDecoderTest, LengthPrefixedUnitsAndKeyFrames) {
    // Two NAL units: an IDR slice header byte (type 19) and a trailing one.
    Bytes idr{0, 0, 0, 3, 19 << 1, 1, 0xAA, 0, 0, 0, 2, 1 << 1, 1};
    auto annexB = VideoDecoder::toAnnexB(idr);
    ASSERT_TRUE(annexB);
    EXPECT_EQ(*annexB, (Bytes{0, 0, 0, 1, 19 << 1, 1, 0xAA, 0, 0, 0, 1, 1 << 1, 1}));
    EXPECT_TRUE(VideoDecoder::hasKeyFrame(idr));
    Bytes trail{0, 0, 0, 2, 1 << 1, 1};
    EXPECT_FALSE(VideoDecoder::hasKeyFrame(trail));
    EXPECT_FALSE(VideoDecoder::toAnnexB(Bytes{0, 0, 0, 9, 1}));  // length past the end
    EXPECT_FALSE(VideoDecoder::toAnnexB(Bytes{0, 0}));
    VideoDecoder d;
    EXPECT_FALSE(d.setParams(Bytes{0, 1, 0, 0, 0, 9}));  // truncated payload
    EXPECT_TRUE(d.decode(idr).skipped) << "no parameter sets yet";
    std::string err;
    EXPECT_FALSE(d.savePng("/nonexistent/x.png", &err));
    EXPECT_FALSE(err.empty());
}
