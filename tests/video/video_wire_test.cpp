// The video datagram format: header layout, nonce, sealing and opening, parity
// counts, the parameter-set payload, and the session key.
#include "video/video_wire.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <set>
#include <thread>

#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "support/test_files.h"
#include "video/video_key.h"

namespace vm::video {
namespace {

Bytes patterned(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 8));
    return b;
}

Header sampleHeader() {
    Header h;
    h.type = 1;
    h.keyID = 7;
    h.seq = 1000;
    h.index = 3;
    h.count = 12;
    h.timestamp = 1'800'000'000'123'456ULL;
    return h;
}

// One-shot AES-256-GCM with a fresh context: the reference the wrapper must match.
Bytes referenceSeal(const Bytes& plain, const std::array<uint8_t, kHeaderSize>& header, const Bytes& key) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::array<uint8_t, 12> iv{};
    std::copy(header.begin(), header.begin() + 8, iv.begin());
    Bytes out(plain.size() + 16);
    int len = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), iv.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, nullptr, &len, header.data(), static_cast<int>(header.size())), 1);
    if (!plain.empty()) {
        EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &len, plain.data(), static_cast<int>(plain.size())), 1);
    }
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + plain.size(), &len), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out.data() + plain.size()), 1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

TEST(VideoHeader, EncodesBigEndianFieldsAtTheirOffsetsAndDecodesBack) {
    Header h = sampleHeader();
    auto e = h.encode();
    const std::array<uint8_t, kHeaderSize> expected{0x01, 0x07, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x03, 0x00,
                                                    0x0C, 0x00, 0x06, 0x65, 0x17, 0x28, 0x9A, 0x62, 0x40};
    // 1'800'000'000'123'456 = 0x00066517289A6240
    EXPECT_EQ(e, expected);
    auto d = Header::decode(e.data(), e.size());
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->type, h.type);
    EXPECT_EQ(d->keyID, h.keyID);
    EXPECT_EQ(d->seq, h.seq);
    EXPECT_EQ(d->index, h.index);
    EXPECT_EQ(d->count, h.count);
    EXPECT_EQ(d->timestamp, h.timestamp);
    EXPECT_FALSE(Header::decode(e.data(), kHeaderSize - 1).has_value());
    EXPECT_FALSE(Header::decode(nullptr, 0).has_value());
}

TEST(VideoHeader, NonceIsTheFirstEightHeaderBytesAndFourZeros) {
    // Chunk 3 of frame 1,000 under key number 7.
    auto nonce = nonceFor(sampleHeader().encode());
    const std::array<uint8_t, 12> expected{0x01, 0x07, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(nonce, expected);
}

TEST(VideoSeal, SizesAreThePlainLengthPlusTheTag) {
    Bytes key = randomBytes(32);
    auto header = sampleHeader().encode();
    Bytes full = patterned(kChunkSize);
    EXPECT_EQ(sealChunk(full.data(), full.size(), header, key).size(), 1177u);
    EXPECT_EQ(sealChunk(nullptr, 0, header, key).size(), 16u);
    Bytes one{0x42};
    EXPECT_EQ(sealChunk(one.data(), 1, header, key).size(), 17u);
}

TEST(VideoSeal, MatchesPlainAesGcmWithHeaderNonceAndHeaderAsAdditionalData) {
    Bytes keyA = randomBytes(32), keyB = randomBytes(32);
    Bytes plain = patterned(700, 9);
    Header h = sampleHeader();
    // Alternate keys and headers so the re-used context must re-key every time it changes.
    for (int round = 0; round < 4; ++round) {
        h.index = static_cast<uint16_t>(round);
        auto header = h.encode();
        const Bytes& key = round % 2 == 0 ? keyA : keyB;
        EXPECT_EQ(sealChunk(plain.data(), plain.size(), header, key), referenceSeal(plain, header, key))
            << "round " << round;
    }
}

TEST(VideoSeal, OpensBackAndRejectsAnyChangedHeaderByte) {
    Bytes key = randomBytes(32);
    Bytes plain = patterned(kChunkSize, 3);
    auto header = sampleHeader().encode();
    Bytes sealed = sealChunk(plain.data(), plain.size(), header, key);
    auto opened = openChunk(sealed.data(), sealed.size(), header, key);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, plain);

    for (size_t i = 0; i < kHeaderSize; ++i) {
        auto changed = header;
        changed[i] ^= 0x01;
        EXPECT_FALSE(openChunk(sealed.data(), sealed.size(), changed, key).has_value()) << "header byte " << i;
    }
    // And a header that is fine still opens after all those failures.
    EXPECT_TRUE(openChunk(sealed.data(), sealed.size(), header, key).has_value());
}

TEST(VideoSeal, RejectsChangedCiphertextTagOrKeyAndShortInput) {
    Bytes key = randomBytes(32);
    Bytes plain = patterned(100);
    auto header = sampleHeader().encode();
    Bytes sealed = sealChunk(plain.data(), plain.size(), header, key);
    Bytes badBody = sealed;
    badBody[10] ^= 0x80;
    EXPECT_FALSE(openChunk(badBody.data(), badBody.size(), header, key).has_value());
    Bytes badTag = sealed;
    badTag.back() ^= 0x01;
    EXPECT_FALSE(openChunk(badTag.data(), badTag.size(), header, key).has_value());
    EXPECT_FALSE(openChunk(sealed.data(), sealed.size(), header, randomBytes(32)).has_value());
    EXPECT_FALSE(openChunk(sealed.data(), 15, header, key).has_value());
    // An empty chunk is its tag alone and still authenticates the header.
    Bytes tagOnly = sealChunk(nullptr, 0, header, key);
    auto opened = openChunk(tagOnly.data(), tagOnly.size(), header, key);
    ASSERT_TRUE(opened.has_value());
    EXPECT_TRUE(opened->empty());
}

TEST(VideoSeal, RefusesKeysThatAreNotThirtyTwoBytes) {
    auto header = sampleHeader().encode();
    Bytes plain = patterned(10);
    EXPECT_TRUE(sealChunk(plain.data(), plain.size(), header, randomBytes(16)).empty());
    EXPECT_TRUE(sealChunk(plain.data(), plain.size(), header, Bytes{}).empty());
}

TEST(VideoSeal, ThreadsSealIndependently) {
    Bytes key1 = randomBytes(32), key2 = randomBytes(32);
    auto header = sampleHeader().encode();
    Bytes plain = patterned(kChunkSize);
    Bytes want1 = referenceSeal(plain, header, key1), want2 = referenceSeal(plain, header, key2);
    int bad = 0;
    std::mutex m;
    auto work = [&](const Bytes& key, const Bytes& want) {
        int local = 0;
        for (int i = 0; i < 300; ++i)
            if (sealChunk(plain.data(), plain.size(), header, key) != want) ++local;
        std::lock_guard<std::mutex> g(m);
        bad += local;
    };
    std::thread a(work, std::cref(key1), std::cref(want1)), b(work, std::cref(key2), std::cref(want2));
    a.join();
    b.join();
    EXPECT_EQ(bad, 0);
}

TEST(VideoParity, CountIsChunksOverDivisorRoundedUpBetweenOneAndThirtyTwo) {
    EXPECT_EQ(chunkCount(1), 1u);
    EXPECT_EQ(chunkCount(1161), 1u);
    EXPECT_EQ(chunkCount(1162), 2u);
    EXPECT_EQ(parityCount(12, 5), 3u);
    EXPECT_EQ(parityCount(200, 5), 32u);
    EXPECT_EQ(parityCount(1, 5), 1u);
    EXPECT_EQ(parityCount(chunkCount(1), 5), 1u);
    EXPECT_EQ(parityCount(10, 5), 2u);
    EXPECT_EQ(parityCount(11, 5), 3u);
    EXPECT_EQ(parityCount(160, 5), 32u);
    EXPECT_EQ(parityCount(161, 5), 32u);
    EXPECT_EQ(parityCount(16, 16), 1u);
    EXPECT_EQ(parityCount(17, 2), 9u);
    EXPECT_EQ(parityCount(0, 5), 1u);
    // A nonsense divisor never divides by zero.
    EXPECT_EQ(parityCount(7, 0), 7u);
}

TEST(VideoParamSets, PayloadIsCountThenLengthPrefixedSets) {
    std::vector<Bytes> sets{patterned(24, 1), patterned(42, 2), patterned(8, 3)};
    Bytes p = paramSetPayload(sets);
    ASSERT_EQ(p.size(), 88u);
    const Bytes head{0x00, 0x03, 0x00, 0x00, 0x00, 0x18};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), p.begin()));
    // The second set's length sits right after the first set.
    EXPECT_EQ(p[2 + 4 + 24 + 3], 42);
    auto back = parseParamSetPayload(p);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, sets);
}

TEST(VideoParamSets, ParseRejectsEveryTruncationAndTrailingBytes) {
    std::vector<Bytes> sets{patterned(24, 1), patterned(42, 2), patterned(8, 3)};
    Bytes p = paramSetPayload(sets);
    for (size_t n = 0; n < p.size(); ++n) {
        Bytes cut(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(parseParamSetPayload(cut).has_value()) << "length " << n;
    }
    Bytes longer = p;
    longer.push_back(0);
    EXPECT_FALSE(parseParamSetPayload(longer).has_value());
    // A length that claims more than is there, including one near 4 GiB.
    Bytes lying{0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xF0, 0x01, 0x02};
    EXPECT_FALSE(parseParamSetPayload(lying).has_value());
    // No sets at all is a valid, if useless, payload.
    auto none = parseParamSetPayload(Bytes{0x00, 0x00});
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

class VideoKeyTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-videokey"};
    FakeClock clock;
    Logger log{tmp.path, clock};
    VideoKey key{log};
};

TEST_F(VideoKeyTest, FirstUseMakesAThirtyTwoByteKeyWithANonZeroNumberThatStays) {
    auto a = key.current();
    auto b = key.current();
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->key.size(), 32u);
    EXPECT_GE(a->id, 1);
    EXPECT_EQ(key.keyID(), a->id);
    // Making the first key is not a rotation and logs nothing.
    EXPECT_EQ(vm::testing::readAll(log.streamLogPath()), "");
}

TEST_F(VideoKeyTest, RotationAlwaysMakesANewKeyAndLogsItsNumber) {
    auto before = key.current();
    key.rotateNow();
    auto after = key.current();
    EXPECT_NE(before->key, after->key);
    EXPECT_GE(after->id, 1);
    EXPECT_EQ(vm::testing::readAll(log.streamLogPath()),
              "영상 세션키를 새로 만들었다 — 번호 " + std::to_string(after->id) + "\n");
    // Holders of the old pair keep a consistent old pair.
    EXPECT_EQ(before->key.size(), 32u);
}

TEST_F(VideoKeyTest, NumbersNeverZeroAndSpreadOverTheRange) {
    std::set<uint8_t> seen;
    std::set<Bytes> keys;
    for (int i = 0; i < 3000; ++i) {
        key.rotateNow();
        auto p = key.current();
        EXPECT_NE(p->id, 0);
        seen.insert(p->id);
        keys.insert(p->key);
    }
    EXPECT_EQ(keys.size(), 3000u);
    // 3,000 uniform draws from 255 values leave about 0.002 values unseen on average.
    EXPECT_GE(seen.size(), 250u);
    EXPECT_EQ(seen.count(0), 0u);
}

TEST_F(VideoKeyTest, ReadersDuringRotationSeeWholePairs) {
    std::atomic<bool> stop{false};
    std::atomic<int> broken{0};
    std::thread reader([&] {
        while (!stop) {
            auto p = key.current();
            if (p->id == 0 || p->key.size() != 32) ++broken;
        }
    });
    for (int i = 0; i < 500; ++i) key.rotateNow();
    stop = true;
    reader.join();
    EXPECT_EQ(broken.load(), 0);
}

}  // namespace
}  // namespace vm::video
