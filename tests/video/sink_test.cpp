// The video sender over real UDP on the loopback: datagram layout, parity,
// pacing, the resend store, registration by control lines and punches, the
// frame-sequence persistence and the thumbnail chunks.
#include "video/sink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "base/base64.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/settings.h"
#include "support/test_files.h"
#include "video/video_wire.h"

namespace vm::video {
namespace {

using vm::testing::countOf;
using vm::testing::readAll;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A phone's video socket on the loopback.
struct PhoneSocket {
    int fd = -1;
    uint16_t port = 0;

    PhoneSocket() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int big = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        timeval tv{3, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        a.sin_port = 0;
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~PhoneSocket() { ::close(fd); }
    PhoneSocket(const PhoneSocket&) = delete;
    PhoneSocket& operator=(const PhoneSocket&) = delete;

    // How many datagrams are waiting now (loopback delivery is immediate); drains them.
    size_t drain() {
        size_t n = 0;
        Bytes b(65536);
        while (::recv(fd, b.data(), b.size(), MSG_DONTWAIT) >= 0) ++n;
        return n;
    }
    // The next datagram, or nothing after three seconds.
    std::optional<Bytes> recv() {
        Bytes b(65536);
        ssize_t n = ::recv(fd, b.data(), b.size(), 0);
        if (n < 0) return std::nullopt;
        b.resize(static_cast<size_t>(n));
        return b;
    }
    std::vector<Bytes> recvN(size_t n) {
        std::vector<Bytes> out;
        for (size_t i = 0; i < n; ++i) {
            auto d = recv();
            if (!d) break;
            out.push_back(std::move(*d));
        }
        return out;
    }
    void sendTo(uint16_t toPort, const std::string& text) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        a.sin_port = htons(toPort);
        ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

Header headerOf(const Bytes& d) {
    auto h = Header::decode(d.data(), d.size());
    EXPECT_TRUE(h.has_value());
    return h.value_or(Header{});
}

std::array<uint8_t, kHeaderSize> rawHeader(const Bytes& d) {
    std::array<uint8_t, kHeaderSize> h{};
    std::copy(d.begin(), d.begin() + kHeaderSize, h.begin());
    return h;
}

uint32_t u32At(const Bytes& d, size_t at) {
    return (uint32_t{d[at]} << 24) | (uint32_t{d[at + 1]} << 16) | (uint32_t{d[at + 2]} << 8) | d[at + 3];
}

Bytes frameOf(size_t n, uint8_t seed = 7) {
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

// Polls until `cond` holds (the receive thread works asynchronously) or ten seconds pass.
template <typename F>
bool eventually(F cond) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

class SinkTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-sink"};
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    Settings settings{tmp.path + "/settings.json"};
    VideoKey key{log};
    VideoStats stats;
    std::atomic<bool> allowed{true};
    std::optional<Bytes> thumb;
    std::unique_ptr<Sink> sink;
    PhoneSocket phone;

    void SetUp() override { sink = makeSink(); }

    std::unique_ptr<Sink> makeSink() {
        SinkDeps deps{clock, log, settings, key, stats, allowed, [this](double maxW) -> std::optional<Bytes> {
                          EXPECT_EQ(maxW, 160);
                          return thumb;
                      }};
        return std::make_unique<Sink>(std::move(deps), 0);
    }

    std::string logText() { return readAll(log.streamLogPath()); }
    void registerPhone() { sink->control("H " + std::to_string(phone.port), kLoopback); }

    std::string punchLine(int64_t secs, std::optional<uint8_t> keyNumber = std::nullopt) {
        auto pair = key.current();
        Bytes mac = hmacSha256(pair->key, toBytes("VP " + std::to_string(secs)));
        return "VP " + std::to_string(keyNumber.value_or(pair->id)) + " " + std::to_string(secs) + " " +
               base64Encode(mac);
    }
    sockaddr_in loopbackFrom(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        a.sin_port = htons(port);
        return a;
    }
    std::vector<uint16_t> targetPorts() {
        std::vector<uint16_t> out;
        for (const auto& t : sink->targets()) out.push_back(ntohs(t.sin_port));
        return out;
    }
    int64_t now() const { return static_cast<int64_t>(clock.now()); }
};

// ---- datagram layout ----------------------------------------------------------

TEST_F(SinkTest, OneByteFrameIsOneSmallDataDatagramAndOneFullParityDatagram) {
    registerPhone();
    uint32_t before = sink->seq();
    sink->sendFrame(Bytes{0x5A}, 1'800'000'000'000'001ULL);

    auto data = phone.recv();
    ASSERT_TRUE(data.has_value());
    ASSERT_EQ(data->size(), 35u);
    Header h = headerOf(*data);
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.keyID, key.keyID());
    EXPECT_EQ(h.seq, before + 1);
    EXPECT_EQ(h.index, 0);
    EXPECT_EQ(h.count, 1);
    EXPECT_EQ(h.timestamp, 1'800'000'000'000'001ULL);
    auto plain = openChunk(data->data() + kHeaderSize, data->size() - kHeaderSize, rawHeader(*data), key.current()->key);
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(*plain, Bytes{0x5A});

    auto parity = phone.recv();
    ASSERT_TRUE(parity.has_value());
    ASSERT_EQ(parity->size(), 1200u);
    Header ph = headerOf(*parity);
    EXPECT_EQ(ph.type, 2);
    EXPECT_EQ(ph.seq, before + 1);
    EXPECT_EQ(ph.index, 0);
    EXPECT_EQ(ph.count, 1);
    EXPECT_EQ((*parity)[18], 1);           // p
    EXPECT_EQ(u32At(*parity, 19), 17u);    // 1 + 16
    // With one chunk the parity is that sealed chunk, zero-padded.
    EXPECT_TRUE(std::equal(data->begin() + kHeaderSize, data->end(), parity->begin() + 23));
    EXPECT_TRUE(std::all_of(parity->begin() + 23 + 17, parity->end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(stats.fragSum.load(), 2);
    EXPECT_EQ(stats.sendCount.load(), 1);
    EXPECT_FALSE(sink->sending());
}

TEST_F(SinkTest, ChunkBoundaryAtElevenSixtyOneBytes) {
    registerPhone();
    Bytes exact = frameOf(1161);
    sink->sendFrame(exact, 1);
    auto one = phone.recvN(2);
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].size(), 1195u);
    EXPECT_EQ(headerOf(one[0]).count, 1);
    EXPECT_EQ(headerOf(one[1]).type, 2);
    EXPECT_EQ(u32At(one[1], 19), 1177u);

    Bytes over = frameOf(1162);
    sink->sendFrame(over, 2);
    auto two = phone.recvN(3);
    ASSERT_EQ(two.size(), 3u);
    EXPECT_EQ(two[0].size(), 1195u);
    EXPECT_EQ(two[1].size(), 35u);
    EXPECT_EQ(headerOf(two[1]).index, 1);
    EXPECT_EQ(headerOf(two[1]).count, 2);
    EXPECT_EQ(headerOf(two[2]).type, 2);
    EXPECT_EQ(u32At(two[2], 19), 1162u + 32u);
    // The second chunk carries the frame's last byte.
    auto last = openChunk(two[1].data() + kHeaderSize, two[1].size() - kHeaderSize, rawHeader(two[1]), key.current()->key);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(*last, Bytes{over.back()});
}

TEST_F(SinkTest, ParityOfEachGroupRebuildsADroppedChunk) {
    registerPhone();
    const size_t n = 12 * kChunkSize - 500;  // 12 chunks, the last one shorter
    Bytes frame = frameOf(n, 3);
    sink->sendFrame(frame, 99);
    auto all = phone.recvN(15);
    ASSERT_EQ(all.size(), 15u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(headerOf(all[i]).index, i);
    for (size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(headerOf(all[12 + j]).type, 2);
        EXPECT_EQ(headerOf(all[12 + j]).index, j);
        EXPECT_EQ(all[12 + j][18], 3);
    }
    const uint32_t total = u32At(all[12], 19);
    EXPECT_EQ(total, n + 16 * 12);

    // Lose chunk 4 (group 1: 1, 4, 7, 10) and chunk 11 (group 2: 2, 5, 8, 11, the short one).
    for (size_t lost : {size_t{4}, size_t{11}}) {
        const Bytes& parity = all[12 + lost % 3];
        Bytes rebuilt(parity.begin() + 23, parity.end());
        for (size_t i = lost % 3; i < 12; i += 3) {
            if (i == lost) continue;
            for (size_t b = kHeaderSize; b < all[i].size(); ++b) rebuilt[b - kHeaderSize] ^= all[i][b];
        }
        size_t sealedLen = lost == 11 ? total - 11 * kSealedChunkSize : kSealedChunkSize;
        rebuilt.resize(sealedLen);
        // The header of a lost chunk is known: same frame, its index.
        Header h = headerOf(all[0]);
        h.index = static_cast<uint16_t>(lost);
        auto plain = openChunk(rebuilt.data(), rebuilt.size(), h.encode(), key.current()->key);
        ASSERT_TRUE(plain.has_value()) << "chunk " << lost;
        size_t off = lost * kChunkSize;
        EXPECT_TRUE(std::equal(plain->begin(), plain->end(), frame.begin() + static_cast<std::ptrdiff_t>(off)));
        EXPECT_EQ(plain->size(), std::min(kChunkSize, n - off));
    }
}

TEST_F(SinkTest, DivisorFromTheClientChangesTheParityCount) {
    registerPhone();
    sink->control("F2", kLoopback);
    EXPECT_EQ(sink->fecDivisor.load(), 2);
    sink->sendFrame(frameOf(5 * kChunkSize), 1);  // 5 chunks, divisor 2 -> 3 parity
    auto all = phone.recvN(8);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(headerOf(all[4]).type, 1);
    EXPECT_EQ(headerOf(all[5]).type, 2);
    EXPECT_EQ(all[7][18], 3);
    EXPECT_EQ(stats.fragSum.load(), 8);
}

TEST_F(SinkTest, FramesAfterARotationCarryTheNewKeyNumberAndOpenUnderTheNewKey) {
    registerPhone();
    key.rotateNow();
    auto pair = key.current();
    sink->sendFrame(Bytes{1, 2, 3}, 5);
    auto d = phone.recv();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(headerOf(*d).keyID, pair->id);
    EXPECT_TRUE(openChunk(d->data() + kHeaderSize, d->size() - kHeaderSize, rawHeader(*d), pair->key).has_value());
}

TEST_F(SinkTest, EmptyFrameMovesTheSequenceButSendsNothing) {
    registerPhone();
    uint32_t before = sink->seq();
    sink->sendFrame(Bytes{}, 1);
    EXPECT_EQ(sink->seq(), before + 1);
    sink->sendFrame(Bytes{9}, 2);
    auto d = phone.recv();
    ASSERT_TRUE(d.has_value());
    // The first datagram to arrive belongs to the second frame.
    EXPECT_EQ(headerOf(*d).seq, before + 2);
    EXPECT_EQ(stats.sendCount.load(), 2);
    EXPECT_EQ(stats.fragSum.load(), 2);
}

// ---- pacing ------------------------------------------------------------------

// A clock that oversleeps every sleep like a loaded machine does, and that counts
// what has reached the phone each time the sender goes to sleep (loopback delivery
// is done when the send returns).
class OversleepingClock final : public Clock {
public:
    double now() const override { return inner.now(); }
    double monotonic() const override { return inner.monotonic(); }
    void sleep(double seconds) const override {
        if (onSleep) onSleep();
        inner.sleep(seconds + overshoot);
    }
    mutable FakeClock inner;
    double overshoot = 0;
    std::function<void()> onSleep;
};

class SinkPacingTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-sink-pacing"};
    OversleepingClock clock;
    Logger log{tmp.path + "/logs", clock};
    Settings settings{tmp.path + "/settings.json"};
    VideoKey key{log};
    VideoStats stats;
    std::atomic<bool> allowed{true};
    Sink sink{SinkDeps{clock, log, settings, key, stats, allowed, [](double) { return std::optional<Bytes>{}; }}, 0};
    PhoneSocket phone;

    struct Seen {
        double at;     // seconds after the frame's first datagram was due
        size_t count;  // datagrams the phone had by then
    };
    // Sends a frame of k chunks and notes, at every sleep, how many datagrams were out.
    std::vector<Seen> sendWatching(size_t k, double* took) {
        sink.control("H " + std::to_string(phone.port), kLoopback);
        std::vector<Seen> seen;
        size_t got = 0;
        const double t0 = clock.monotonic();
        clock.onSleep = [&] {
            got += phone.drain();
            seen.push_back({clock.monotonic() - t0, got});
        };
        sink.sendFrame(frameOf(k * kChunkSize - 1), 1);
        clock.onSleep = nullptr;
        *took = clock.monotonic() - t0;
        got += phone.drain();
        seen.push_back({*took, got});
        return seen;
    }
};

TEST_F(SinkPacingTest, DatagramsKeepTheirDeadlinesWhenEverySleepOverruns) {
    // Chunk counts with their gaps: 800 µs, 20 ms ÷ k, and the 150 µs floor.
    for (size_t k : {13u, 25u, 26u, 109u, 133u, 200u}) {
        for (double overshoot : {0.0, 0.0004}) {
            clock.overshoot = overshoot;
            const size_t all = k + parityCount(k, 5);
            const double gap = static_cast<double>(pacingGapMicros(k)) / 1e6;
            double took = 0;
            auto seen = sendWatching(k, &took);
            ASSERT_EQ(seen.back().count, all) << k;
            for (const Seen& s : seen) {
                // Never early: datagram i is not out before i × gap …
                const size_t dueBy = static_cast<size_t>(std::floor(s.at / gap + 1e-9)) + 1;
                EXPECT_LE(s.count, std::min(all, dueBy)) << k << " chunks at " << s.at;
                // … and never later than one wake-up past its deadline, however long each sleep ran over.
                const double lateBy = Sink::kPacingQuantum + overshoot + 1e-9;
                const size_t dueBefore = s.at > lateBy ? static_cast<size_t>(std::floor((s.at - lateBy) / gap)) + 1 : 0;
                EXPECT_GE(s.count, std::min(all, dueBefore)) << k << " chunks at " << s.at;
            }
            // The frame ends with its last deadline: oversleeping does not add up.
            const double last = static_cast<double>(all - 1) * gap;
            EXPECT_GE(took, last - 1e-9) << k;
            EXPECT_LE(took, last + Sink::kPacingQuantum + overshoot + 1e-9) << k;
        }
    }
}

TEST_F(SinkPacingTest, SmallFramesGoOutAtOnceAndTheReceiverKnowsHowLongABigOneTakes) {
    double took = -1;
    auto seen = sendWatching(12, &took);
    EXPECT_EQ(took, 0.0);
    EXPECT_EQ(seen.size(), 1u);  // no sleep at all
    EXPECT_EQ(seen.back().count, 12u + 3u);
    // The figure the phone waits for before it asks again is the sender's own schedule.
    EXPECT_NEAR(frameSendSeconds(109, 22), 130 * 183e-6, 1e-12);
    EXPECT_EQ(frameSendSeconds(12, 3), 0.0);
}

TEST_F(SinkPacingTest, EverySendModeDeliversTheWholeFrameInOrder) {
    sink.setPacing(false);
    sink.control("H " + std::to_string(phone.port), kLoopback);
    // 120 chunks (the last one short) and 24 parity datagrams: several segment runs of two sizes.
    const Bytes frame = frameOf(119 * kChunkSize + 10, 3);
    for (auto mode : {Sink::SendMode::single, Sink::SendMode::batched, Sink::SendMode::segmented}) {
        sink.setSendMode(mode);
        sink.sendFrame(frame, 5);
        auto d = phone.recvN(120 + 24);
        ASSERT_EQ(d.size(), 144u);
        Bytes rebuilt;
        for (size_t i = 0; i < d.size(); ++i) {
            Header h = headerOf(d[i]);
            if (i < 120) {
                ASSERT_EQ(h.type, 1) << i;
                ASSERT_EQ(h.index, i);
                auto plain = openChunk(d[i].data() + kHeaderSize, d[i].size() - kHeaderSize, rawHeader(d[i]),
                                       key.current()->key);
                ASSERT_TRUE(plain.has_value()) << i;
                rebuilt.insert(rebuilt.end(), plain->begin(), plain->end());
            } else {
                ASSERT_EQ(h.type, 2) << i;
                EXPECT_EQ(h.index, i - 120);
                EXPECT_EQ(d[i].size(), kParityDatagramSize);
            }
        }
        EXPECT_EQ(rebuilt, frame);
        EXPECT_EQ(phone.drain(), 0u);
    }
}

TEST_F(SinkTest, PacingCanBeSwitchedOff) {
    sink->setPacing(false);
    double before = clock.now();
    sink->sendFrame(frameOf(100 * kChunkSize), 1);
    EXPECT_EQ(clock.now(), before);
    EXPECT_EQ(stats.fragSum.load(), 100 + 20);
}

// ---- the video gate and the frame sequence --------------------------------------

TEST_F(SinkTest, ClosedGateSendsNothingAndKeepsTheSequence) {
    registerPhone();
    uint32_t before = sink->seq();
    allowed = false;
    sink->sendFrame(frameOf(3000), 1);
    EXPECT_EQ(sink->seq(), before);
    EXPECT_EQ(stats.sendCount.load(), 0);
    allowed = true;
    sink->sendFrame(Bytes{1}, 2);
    auto d = phone.recv();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(headerOf(*d).seq, before + 1);
    EXPECT_EQ(headerOf(*d).timestamp, 2u);
}

TEST_F(SinkTest, SequenceStartsTwelveHundredAboveTheStoredOneAndIsStoredEverySixHundred) {
    // The fixture's sink started on an empty store.
    EXPECT_EQ(sink->seq(), 1200u);
    EXPECT_EQ(settings.integer(Sink::kSeqKey), 1200);

    settings.setInteger(Sink::kSeqKey, 598);
    sink = makeSink();
    EXPECT_EQ(sink->seq(), 1798u);
    EXPECT_EQ(settings.integer(Sink::kSeqKey), 1798);
    sink->sendFrame(Bytes{}, 1);  // 1799
    EXPECT_EQ(settings.integer(Sink::kSeqKey), 1798);
    sink->sendFrame(Bytes{}, 1);  // 1800
    EXPECT_EQ(settings.integer(Sink::kSeqKey), 1800);
    for (int i = 0; i < 599; ++i) sink->sendFrame(Bytes{}, 1);  // up to 2399
    EXPECT_EQ(settings.integer(Sink::kSeqKey), 1800);
    sink->sendFrame(Bytes{}, 1);  // 2400
    EXPECT_EQ(settings.integer(Sink::kSeqKey), 2400);
    for (int i = 0; i < 17; ++i) sink->sendFrame(Bytes{}, 1);  // 2417, never stored

    // A restart begins above every sequence the last run can have used, read from the file.
    sink.reset();
    Settings fromDisk(tmp.path + "/settings.json");
    SinkDeps deps{clock, log, fromDisk, key, stats, allowed, nullptr};
    Sink restarted(std::move(deps), 0);
    EXPECT_EQ(restarted.seq(), 3600u);
    EXPECT_GT(restarted.seq(), 2417u);
}

TEST_F(SinkTest, StoredSequenceOutsideThirtyTwoBitsWrapsInsteadOfFailing) {
    settings.setInteger(Sink::kSeqKey, 4'294'967'000LL);
    sink = makeSink();
    EXPECT_EQ(sink->seq(), static_cast<uint32_t>(4'294'967'000LL + 1200));
    settings.setInteger(Sink::kSeqKey, -5);
    sink = makeSink();
    EXPECT_EQ(sink->seq(), 1195u);
}

// ---- resending -----------------------------------------------------------------

TEST_F(SinkTest, ResendFindsTheLastEightFramesOnlyAndRepeatsThemByteForByte) {
    registerPhone();
    std::vector<std::vector<Bytes>> sent;
    std::vector<uint32_t> seqs;
    for (int f = 0; f < 9; ++f) {
        sink->sendFrame(frameOf(2 * kChunkSize, static_cast<uint8_t>(f)), static_cast<uint64_t>(f));
        seqs.push_back(sink->seq());
        sent.push_back(phone.recvN(3));
        ASSERT_EQ(sent.back().size(), 3u);
    }
    // The oldest of the nine is gone; the next one is the oldest kept.
    sink->control("N " + std::to_string(seqs[0]) + " 0 1", kLoopback);
    sink->control("N " + std::to_string(seqs[1]) + " 1 0", kLoopback);
    auto got = phone.recvN(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], sent[1][1]);
    EXPECT_EQ(got[1], sent[1][0]);
    EXPECT_EQ(sink->nackTotal.load(), 2);

    // Unknown and unparsable indices are skipped; parity is never kept for resending.
    sink->control("N " + std::to_string(seqs[8]) + " 7 x 70000 2 -1 1", kLoopback);
    sink->control("N " + std::to_string(seqs[8]) + " 0", kLoopback);
    got = phone.recvN(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], sent[8][1]);
    EXPECT_EQ(got[1], sent[8][0]);
}

TEST_F(SinkTest, ResendGoesToEveryRegistrationOfThatAddressOnly) {
    registerPhone();
    PhoneSocket second;
    sink->control("H " + std::to_string(second.port), kLoopback);
    sink->control("H 9", htonl(0x7F000002));  // another address: not asked for
    sink->sendFrame(Bytes{4, 5}, 1);
    auto first = phone.recvN(2);
    auto other = second.recvN(2);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(other.size(), 2u);
    EXPECT_EQ(first[0], other[0]);
    // A resend reaches every registration of the requesting address.
    sink->control("N " + std::to_string(sink->seq()) + " 0", kLoopback);
    auto a = phone.recv();
    auto b = second.recv();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(*a, first[0]);
    EXPECT_EQ(*b, first[0]);
}

TEST_F(SinkTest, HugeResendRequestIsBoundedAndSendsEachChunkOnce) {
    registerPhone();
    sink->sendFrame(frameOf(2 * kChunkSize), 1);
    auto sent = phone.recvN(3);
    ASSERT_EQ(sent.size(), 3u);
    std::string line = "N " + std::to_string(sink->seq());
    line.reserve(3'000'000);
    for (int i = 0; i < 1'000'000; ++i) line += (i % 2 == 0) ? " 0" : " 1";
    sink->control(line, kLoopback);
    sink->control("N " + std::to_string(sink->seq() - 5) + " 0", kLoopback);  // never sent: nothing
    sink->sendFrame(Bytes{7}, 2);                                            // marker
    auto got = phone.recvN(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], sent[0]);
    EXPECT_EQ(got[1], sent[1]);
    EXPECT_EQ(headerOf(got[2]).seq, sink->seq());
    EXPECT_NE(logText().find("재전송 요청 1회 (조각 65535개)\n"), std::string::npos);
}

TEST_F(SinkTest, ResendRequestsAreLoggedOnceEveryTwenty) {
    for (int i = 0; i < 41; ++i) sink->control("N 5 1 2", kLoopback);
    std::string t = logText();
    EXPECT_EQ(countOf(t, "재전송 요청 "), 3);
    EXPECT_NE(t.find("재전송 요청 1회 (조각 2개)\n"), std::string::npos);
    EXPECT_NE(t.find("재전송 요청 21회 (조각 2개)\n"), std::string::npos);
    EXPECT_NE(t.find("재전송 요청 41회 (조각 2개)\n"), std::string::npos);
    EXPECT_EQ(sink->nackTotal.load(), 41);
    // Too few fields or a bad sequence is not a request at all.
    sink->control("N 5", kLoopback);
    sink->control("N x 1", kLoopback);
    EXPECT_EQ(sink->nackTotal.load(), 41);
}

// ---- registration ----------------------------------------------------------------

TEST_F(SinkTest, ControlRegistrationLivesFiveSecondsFromItsLastRefresh) {
    EXPECT_TRUE(sink->targets().empty());
    registerPhone();
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
    EXPECT_TRUE(sink->idrRequested.load());
    EXPECT_EQ(countOf(logText(), "클라이언트 등록됨 (제어 채널 경유, 영상 포트 " + std::to_string(phone.port) + ")\n"), 1);
    auto t = sink->targets();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].sin_addr.s_addr, kLoopback);
    EXPECT_EQ(t[0].sin_family, AF_INET);

    double start = clock.now();
    clock.set(start + 3);
    sink->idrRequested = false;
    registerPhone();  // a refresh: no log line, no key frame
    EXPECT_FALSE(sink->idrRequested.load());
    EXPECT_EQ(countOf(logText(), "클라이언트 등록됨"), 1);
    clock.set(start + 7.999);
    EXPECT_EQ(sink->targets().size(), 1u);
    clock.set(start + 8);  // exactly five seconds after the refresh
    EXPECT_TRUE(sink->targets().empty());
    // Expired means new again.
    registerPhone();
    EXPECT_EQ(countOf(logText(), "클라이언트 등록됨"), 2);
}

TEST_F(SinkTest, BadRegistrationLinesAreIgnored) {
    for (const std::string line : {"H", "H x", "H 65536", "H -1", "H 12a", "", "   ", "Z 5", "h 5"})
        sink->control(line, kLoopback);
    EXPECT_TRUE(sink->targets().empty());
    EXPECT_FALSE(sink->idrRequested.load());
    // Repeated blanks between fields are fine.
    sink->control("H   " + std::to_string(phone.port), kLoopback);
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
}

TEST_F(SinkTest, NewRegistrationAndKeyFrameRequestResendTheParameterSets) {
    Bytes payload = paramSetPayload({Bytes(24, 1), Bytes(42, 2), Bytes(8, 3)});
    sink->setParamPayload(payload);
    registerPhone();
    auto d = phone.recv();
    ASSERT_TRUE(d.has_value());
    Header h = headerOf(*d);
    EXPECT_EQ(h.type, 0);
    EXPECT_EQ(h.seq, 1u);
    EXPECT_EQ(h.index, 0);
    EXPECT_EQ(h.count, 1);
    EXPECT_EQ(h.timestamp, clock.nowMicros());
    auto opened = openChunk(d->data() + kHeaderSize, d->size() - kHeaderSize, rawHeader(*d), key.current()->key);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, payload);

    sink->idrRequested = false;
    sink->control("I", kLoopback);
    EXPECT_TRUE(sink->idrRequested.load());
    auto again = phone.recv();
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(headerOf(*again).seq, 2u);

    // The gate does not hold back parameter sets.
    allowed = false;
    sink->sendParams(payload);
    auto third = phone.recv();
    ASSERT_TRUE(third.has_value());
    EXPECT_EQ(headerOf(*third).seq, 3u);
}

TEST_F(SinkTest, DivisorLineAcceptsOnlyNewValuesFromTwoToSixteen) {
    for (const std::string line : {"F1", "F17", "F5", "F", "Fx", "F 8", "F-3", "F99999999999999999999"})
        sink->control(line, kLoopback);
    EXPECT_EQ(sink->fecDivisor.load(), 5);
    EXPECT_EQ(logText().find("FEC"), std::string::npos);
    sink->control("F16", kLoopback);
    EXPECT_EQ(sink->fecDivisor.load(), 16);
    sink->control("F16", kLoopback);
    sink->control("F2", kLoopback);
    EXPECT_EQ(sink->fecDivisor.load(), 2);
    EXPECT_EQ(logText(), "FEC 두께 → 1/16 (클라이언트 요청)\nFEC 두께 → 1/2 (클라이언트 요청)\n");
}

TEST_F(SinkTest, LevelLineSetsTheRequestedLevelWhenItParses) {
    sink->control("Q3", kLoopback);
    EXPECT_EQ(sink->requestedLevel.load(), 3);
    sink->control("Q-2", kLoopback);
    EXPECT_EQ(sink->requestedLevel.load(), -2);
    for (const std::string line : {"Q", "Qx", "Q 1", "Q99999999999999999999"}) sink->control(line, kLoopback);
    EXPECT_EQ(sink->requestedLevel.load(), -2);
    sink->control("Q9000000000", kLoopback);  // an integer, kept inside an int
    EXPECT_EQ(sink->requestedLevel.load(), INT32_MAX);
}

// ---- punches ---------------------------------------------------------------------

TEST_F(SinkTest, ValidPunchAfterAControlLineReplacesTheControlPort) {
    sink->control("H 40000", kLoopback);
    clock.advance(3);
    sink->idrRequested = false;
    sink->punch(punchLine(now()), loopbackFrom(phone.port));
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
    EXPECT_TRUE(sink->idrRequested.load());
    EXPECT_NE(logText().find("클라이언트 등록됨 (영상 소켓에서 길을 엶, 밖에서 보이는 포트 " + std::to_string(phone.port) +
                             ")\n"),
              std::string::npos);

    // Within ten seconds, the phone's next "H" line names its inside port but is kept on the punched one.
    clock.advance(4);
    sink->control("H 40000", kLoopback);
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
    // The next punch only refreshes.
    sink->punch(punchLine(now()), loopbackFrom(phone.port));
    EXPECT_EQ(countOf(logText(), "영상 소켓에서 길을 엶"), 1);
    // A newer punch from another port replaces the entry and says the outside port changed.
    clock.advance(1);
    sink->punch(punchLine(now()), loopbackFrom(phone.port + 1));
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{static_cast<uint16_t>(phone.port + 1)});
    EXPECT_NE(logText().find("밖에서 보이는 포트 " + std::to_string(phone.port + 1) + " — 바뀜)\n"), std::string::npos);

    // Ten seconds after the punch, "H" lines use the port they name again.
    clock.advance(10);
    sink->control("H 40000", kLoopback);
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{40000});
}

TEST_F(SinkTest, PunchesFailingAnyCheckAreIgnored) {
    sink->control("H 40000", kLoopback);
    auto from = loopbackFrom(phone.port);
    auto pair = key.current();
    auto expectIgnored = [&](const std::string& line) {
        sink->punch(line, from);
        EXPECT_EQ(targetPorts(), std::vector<uint16_t>{40000}) << line;
    };
    uint8_t otherKey = static_cast<uint8_t>(pair->id == 255 ? 1 : pair->id + 1);
    expectIgnored(punchLine(now(), otherKey));
    expectIgnored(punchLine(now() + 120));
    expectIgnored(punchLine(now() - 120));
    expectIgnored(punchLine(now()) + " extra");
    expectIgnored("VP " + std::to_string(pair->id) + " " + std::to_string(now()) + " not*base64");
    Bytes wrongMac = hmacSha256(randomBytes(32), toBytes("VP " + std::to_string(now())));
    expectIgnored("VP " + std::to_string(pair->id) + " " + std::to_string(now()) + " " + base64Encode(wrongMac));
    // A MAC over other seconds than the ones sent.
    Bytes shifted = hmacSha256(pair->key, toBytes("VP " + std::to_string(now() + 1)));
    expectIgnored("VP " + std::to_string(pair->id) + " " + std::to_string(now()) + " " + base64Encode(shifted));
    expectIgnored("VQ " + punchLine(now()).substr(3));
    expectIgnored("VP 256 " + std::to_string(now()) + " AAAA");
    expectIgnored("VP");
    EXPECT_EQ(logText().find("영상 소켓에서"), std::string::npos);

    // 119 seconds off either way is accepted.
    sink->punch(punchLine(now() - 119), from);
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
    sink->punch(punchLine(now() + 119), loopbackFrom(phone.port + 1));
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{static_cast<uint16_t>(phone.port + 1)});
}

TEST_F(SinkTest, ACapturedPunchReplayedFromOtherPortsDoesNotTakeTheStream) {
    registerPhone();
    const std::string seen = punchLine(now());
    sink->punch(seen, loopbackFrom(phone.port));
    ASSERT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
    const std::string older = punchLine(now() - 30);

    // Someone who saw that punch sends it (or an older one) again, from port after port,
    // while the phone keeps registering.
    for (int i = 1; i <= 300; ++i) {
        clock.advance(0.1);
        if (i % 20 == 0) registerPhone();
        sink->punch(i % 2 ? seen : older, loopbackFrom(static_cast<uint16_t>(50000 + i)));
        sink->punch(seen, loopbackFrom(phone.port));  // from the phone's own port: nothing new either
    }
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
    EXPECT_EQ(countOf(logText(), "영상 소켓에서 길을 엶"), 0);  // no replay registered a port

    // The phone's own next punch, from a new outside port, still moves it.
    sink->punch(punchLine(now()), loopbackFrom(static_cast<uint16_t>(phone.port + 1)));
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{static_cast<uint16_t>(phone.port + 1)});
}

TEST_F(SinkTest, OneAddressKeepsAFewPortsAndOnlyANewcomerGetsTheParameterSets) {
    sink->setParamPayload(paramSetPayload({Bytes(24, 1), Bytes(42, 2)}));
    registerPhone();
    EXPECT_EQ(phone.drain(), 1u);
    for (uint16_t i = 0; i < 200; ++i) {
        clock.advance(0.01);
        sink->control("H " + std::to_string(40000 + i), kLoopback);
        registerPhone();  // the phone keeps refreshing its own registration
    }
    auto ports = targetPorts();
    EXPECT_EQ(ports.size(), Sink::kMaxPortsPerAddress);
    EXPECT_NE(std::find(ports.begin(), ports.end(), phone.port), ports.end());
    EXPECT_EQ(phone.drain(), 0u);  // others' registrations send it nothing
    // A frame goes to those few ports only.
    sink->sendFrame(Bytes{1, 2, 3}, 1);
    EXPECT_EQ(phone.drain(), 2u);

    // Another address has its own few.
    sink->control("H 40000", htonl(0x7F000002));
    EXPECT_EQ(sink->targets().size(), Sink::kMaxPortsPerAddress + 1);
}

TEST_F(SinkTest, ASecondSenderOnTheSamePortFailsAndSaysWhichPort) {
    const uint16_t port = sink->boundPort();
    SinkDeps deps{clock, log, settings, key, stats, allowed, [](double) -> std::optional<Bytes> { return {}; }};
    try {
        Sink second(std::move(deps), port);
        FAIL() << "two senders bound udp/" << port;
    } catch (const PortInUse& e) {
        EXPECT_EQ(e.port(), port);
        EXPECT_NE(std::string(e.what()).find("udp/" + std::to_string(port)), std::string::npos);
    }
    // The first one still receives.
    phone.sendTo(port, "x");
    EXPECT_TRUE(eventually([&] { return countOf(logText(), "평문 제어 거부") == 1; }));
}

TEST_F(SinkTest, PunchNeedsAControlLineFromThatAddressWithinTenSeconds) {
    auto from = loopbackFrom(phone.port);
    sink->punch(punchLine(now()), from);
    EXPECT_TRUE(sink->targets().empty());
    // A control line from another address does not count.
    sink->control("H 40000", htonl(0x7F000002));
    sink->punch(punchLine(now()), from);
    EXPECT_EQ(sink->targets().size(), 1u);
    EXPECT_EQ(sink->targets()[0].sin_addr.s_addr, htonl(0x7F000002));

    sink->control("H 40000", kLoopback);
    clock.advance(10);
    sink->punch(punchLine(now()), from);
    EXPECT_TRUE(sink->targets().empty());
    sink->control("H 40000", kLoopback);
    clock.advance(9.9);
    sink->punch(punchLine(now()), from);
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{phone.port});
}

TEST_F(SinkTest, PunchDatagramOnTheVideoSocketRegistersItsSourceAndGetsTheParameterSets) {
    Bytes payload = paramSetPayload({Bytes(5, 9)});
    sink->setParamPayload(payload);
    PhoneSocket inside;  // the port the phone names on the control channel
    sink->control("H " + std::to_string(inside.port), kLoopback);
    auto first = inside.recv();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(headerOf(*first).type, 0);
    phone.sendTo(sink->boundPort(), "  " + punchLine(now()) + " \r\n");
    // A punch line starts with "VP"; leading blanks make it a refused plain datagram.
    ASSERT_TRUE(eventually([&] { return countOf(logText(), "평문 제어 거부") == 1; }));
    EXPECT_EQ(targetPorts(), std::vector<uint16_t>{inside.port});

    phone.sendTo(sink->boundPort(), punchLine(now()) + " \r\n");
    ASSERT_TRUE(eventually([&] { return targetPorts() == std::vector<uint16_t>{phone.port}; }));
    auto d = phone.recv();
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(headerOf(*d).type, 0);
    auto opened = openChunk(d->data() + kHeaderSize, d->size() - kHeaderSize, rawHeader(*d), key.current()->key);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(*opened, payload);
}

TEST_F(SinkTest, PlainDatagramsAreRefusedAndLoggedAtMostEveryTenSeconds) {
    phone.sendTo(sink->boundPort(), "hello");
    ASSERT_TRUE(eventually([&] { return countOf(logText(), "평문 제어 거부") == 1; }));
    EXPECT_EQ(logText(), "영상 소켓의 평문 제어 거부 — 1개 (첫 글자 h)\n");

    phone.sendTo(sink->boundPort(), "x");
    phone.sendTo(sink->boundPort(), std::string(5000, 'L'));  // cut to 256 bytes, still refused
    phone.sendTo(sink->boundPort(), "V");
    phone.sendTo(sink->boundPort(), std::string("VP ") + std::string(3000, '9'));  // a cut punch: ignored
    phone.sendTo(sink->boundPort(), "VP \xff\xfe");                                 // not UTF-8: ignored
    phone.sendTo(sink->boundPort(), "");
    // A valid punch marks the point where everything above has been handled.
    sink->control("H 40000", kLoopback);
    phone.sendTo(sink->boundPort(), punchLine(now()));
    ASSERT_TRUE(eventually([&] { return targetPorts() == std::vector<uint16_t>{phone.port}; }));
    EXPECT_EQ(countOf(logText(), "평문 제어 거부"), 1);
    // After ten seconds the next refusal reports the count.
    clock.advance(10.5);
    phone.sendTo(sink->boundPort(), "\xe9tait");
    ASSERT_TRUE(eventually([&] { return countOf(logText(), "평문 제어 거부") == 2; }));
    std::string t = logText();
    EXPECT_NE(t.find("영상 소켓의 평문 제어 거부 — 1개 (첫 글자 h)\n"), std::string::npos);
    EXPECT_NE(t.find("영상 소켓의 평문 제어 거부 — 5개 (첫 글자 é)\n"), std::string::npos);
}

// ---- thumbnails ---------------------------------------------------------------------

TEST_F(SinkTest, ThumbnailIsCutIntoPrefixedThousandByteChunks) {
    thumb = frameOf(255'000, 5);
    auto chunks = sink->thumbnailChunks();
    ASSERT_TRUE(chunks.has_value());
    ASSERT_EQ(chunks->size(), 255u);
    uint8_t gen = (*chunks)[0][2];
    Bytes joined;
    for (size_t i = 0; i < chunks->size(); ++i) {
        const Bytes& c = (*chunks)[i];
        ASSERT_EQ(c.size(), 1005u);
        EXPECT_EQ(c[0], 'T');
        EXPECT_EQ(c[1], 'H');
        EXPECT_EQ(c[2], gen);
        EXPECT_EQ(c[3], 255);
        EXPECT_EQ(c[4], i);
        joined.insert(joined.end(), c.begin() + 5, c.end());
    }
    EXPECT_EQ(joined, *thumb);

    thumb = frameOf(2500, 6);
    auto small = sink->thumbnailChunks();
    ASSERT_TRUE(small.has_value());
    ASSERT_EQ(small->size(), 3u);
    EXPECT_EQ((*small)[2].size(), 505u);
    EXPECT_EQ((*small)[0][2], static_cast<uint8_t>(gen + 1));
    EXPECT_EQ((*small)[0][3], 3);
}

TEST_F(SinkTest, ThumbnailTooBigOrMissingGivesNothingAndALogLine) {
    thumb = frameOf(255'001);
    EXPECT_FALSE(sink->thumbnailChunks().has_value());
    thumb = Bytes{};
    EXPECT_FALSE(sink->thumbnailChunks().has_value());
    thumb = std::nullopt;
    EXPECT_FALSE(sink->thumbnailChunks().has_value());
    EXPECT_EQ(logText(), "썸네일이 너무 크다 255001B\n썸네일이 너무 크다 0B\n썸네일 요청 — 아직 프레임이 없다\n");

    // Without an encoder at all.
    SinkDeps deps{clock, log, settings, key, stats, allowed, nullptr};
    Sink bare(std::move(deps), 0);
    EXPECT_FALSE(bare.thumbnailChunks().has_value());
    EXPECT_EQ(countOf(logText(), "썸네일 요청 — 아직 프레임이 없다"), 2);
}

TEST_F(SinkTest, ThumbnailGenerationWrapsAfterTwoHundredFiftySixRequests) {
    thumb = Bytes(10, 1);
    uint8_t first = (*sink->thumbnailChunks())[0][2];
    // Requests that fail for size still use up a generation.
    thumb = Bytes(255'001, 1);
    for (int i = 0; i < 100; ++i) sink->thumbnailChunks();
    thumb = Bytes(10, 1);
    for (int i = 0; i < 155; ++i) sink->thumbnailChunks();
    uint8_t last = (*sink->thumbnailChunks())[0][2];
    EXPECT_EQ(last, first);
}

}  // namespace
}  // namespace vm::video
