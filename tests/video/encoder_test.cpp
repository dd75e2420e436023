// The HEVC encoder end to end with the real codec at a small size: frames leave
// through a real sender on the loopback, are opened like the phone opens them and
// decoded with libavcodec. Also the level and pacing rules under the fake clock,
// key frames on request, the byte-stream helpers and the thumbnail.
#include "video/encoder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
#include "support/test_files.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_wire.h"
#include "video/x265_session.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace vm::video {
namespace {

using vm::testing::countOf;
using vm::testing::readAll;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr int kW = 320;
constexpr int kH = 240;

template <typename F>
bool eventually(F cond) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}

// A test picture: a diagonal gradient with a bright box that moves with `t`.
std::shared_ptr<platform::Nv12Image> picture(int w, int h, int t) {
    auto im = platform::Nv12Image::make(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            bool box = x >= 20 + 8 * t && x < 80 + 8 * t && y >= 40 && y < 100;
            im->luma[static_cast<size_t>(y * im->lumaStride + x)] =
                box ? 230 : static_cast<uint8_t>(16 + ((x + y) * 200) / (w + h));
        }
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            im->chroma[static_cast<size_t>(y * im->chromaStride + 2 * x)] = static_cast<uint8_t>(100 + x % 50);
            im->chroma[static_cast<size_t>(y * im->chromaStride + 2 * x + 1)] = static_cast<uint8_t>(150 - y % 40);
        }
    return im;
}

// Pseudo-random luma: as hard to compress as a picture gets.
std::shared_ptr<platform::Nv12Image> noise(int w, int h, uint32_t seed) {
    auto im = platform::Nv12Image::make(w, h);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& v : im->luma) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    for (auto& v : im->chroma) {
        x = x * 1103515245u + 12345u;
        v = static_cast<uint8_t>(x >> 16);
    }
    return im;
}

// A gradient under faint grain: cheap at a high quantiser, dear at a low one, so the
// frame size follows the rate the codec is given.
std::shared_ptr<platform::Nv12Image> grain(int w, int h, uint32_t seed) {
    auto im = noise(w, h, seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t& v = im->luma[static_cast<size_t>(y * im->lumaStride + x)];
            v = static_cast<uint8_t>(60 + (x + y) / 8 + (v & 15));
        }
    for (auto& v : im->chroma) v = static_cast<uint8_t>(120 + (v & 7));
    return im;
}

struct ReceivedFrame {
    uint32_t seq = 0;
    uint64_t ts = 0;
    Bytes data;
};

// The phone's end of the video socket: opens the sealed datagrams and puts
// frames back together (the loopback loses nothing).
class Phone {
public:
    explicit Phone(VideoKey& key) : key_(key) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        int big = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        timeval tv{0, 200'000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kLoopback;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Phone() { ::close(fd_); }
    Phone(const Phone&) = delete;
    Phone& operator=(const Phone&) = delete;

    uint16_t port = 0;
    std::vector<std::vector<Bytes>> params;  // each parameter-set payload, parsed
    std::vector<ReceivedFrame> frames;

    // Reads datagrams until `cond` holds or twenty seconds pass.
    template <typename F>
    bool pumpUntil(F cond) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!cond() && std::chrono::steady_clock::now() < until) readOne();
        return cond();
    }
    bool waitFrames(size_t n) {
        return pumpUntil([&] { return frames.size() >= n; });
    }

private:
    void readOne() {
        Bytes b(2048);
        ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
        if (n < static_cast<ssize_t>(kHeaderSize)) return;
        b.resize(static_cast<size_t>(n));
        auto h = Header::decode(b.data(), b.size());
        if (!h) return;
        std::array<uint8_t, kHeaderSize> raw{};
        std::copy(b.begin(), b.begin() + kHeaderSize, raw.begin());
        if (h->type == 2) return;
        auto plain = openChunk(b.data() + kHeaderSize, b.size() - kHeaderSize, raw, key_.current()->key);
        ASSERT_TRUE(plain.has_value());
        if (h->type == 0) {
            auto sets = parseParamSetPayload(*plain);
            ASSERT_TRUE(sets.has_value());
            params.push_back(*sets);
            return;
        }
        auto& f = pending_[h->seq];
        f.count = h->count;
        f.ts = h->timestamp;
        f.chunks[h->index] = *plain;
        if (f.chunks.size() == f.count) {
            ReceivedFrame out{h->seq, f.ts, {}};
            for (auto& [i, c] : f.chunks) out.data.insert(out.data.end(), c.begin(), c.end());
            frames.push_back(std::move(out));
            pending_.erase(h->seq);
        }
    }

    struct Pending {
        uint16_t count = 0;
        uint64_t ts = 0;
        std::map<uint16_t, Bytes> chunks;
    };
    VideoKey& key_;
    int fd_ = -1;
    std::map<uint32_t, Pending> pending_;
};

// The length-prefixed NAL units of a frame; empty when the lengths do not add up.
std::vector<Bytes> nalsOf(const Bytes& frame) {
    std::vector<Bytes> nals;
    size_t at = 0;
    while (at < frame.size()) {
        if (frame.size() - at < 4) return {};
        size_t len = (size_t{frame[at]} << 24) | (size_t{frame[at + 1]} << 16) | (size_t{frame[at + 2]} << 8) |
                     frame[at + 3];
        at += 4;
        if (len == 0 || frame.size() - at < len) return {};
        nals.emplace_back(frame.begin() + static_cast<std::ptrdiff_t>(at),
                          frame.begin() + static_cast<std::ptrdiff_t>(at + len));
        at += len;
    }
    return nals;
}

bool isIrap(const Bytes& frame) {
    for (const Bytes& nal : nalsOf(frame)) {
        int t = hevc::nalType(nal);
        if (t >= 16 && t <= 23) return true;
    }
    return false;
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;  // width × height
};

// libavcodec's HEVC decoder fed the way a phone would: start codes back in,
// parameter sets in front of the frames.
class Decoder {
public:
    Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        ctx_ = avcodec_alloc_context3(codec);
        ctx_->thread_count = 1;
        ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        ok_ = avcodec_open2(ctx_, codec, nullptr) == 0;
        pkt_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&pkt_);
        avcodec_free_context(&ctx_);
    }
    bool ok() const { return ok_; }
    void setParams(const std::vector<Bytes>& sets) { params_ = sets; }

    // The pictures the frame produced; nullopt when the decoder refused it.
    std::optional<std::vector<Picture>> decode(const Bytes& frame) {
        auto nals = nalsOf(frame);
        if (nals.empty()) return std::nullopt;
        Bytes annexB;
        auto put = [&](const Bytes& nal) {
            static const uint8_t sc[4] = {0, 0, 0, 1};
            annexB.insert(annexB.end(), sc, sc + 4);
            annexB.insert(annexB.end(), nal.begin(), nal.end());
        };
        for (const Bytes& p : params_) put(p);
        for (const Bytes& n : nals) put(n);
        if (av_new_packet(pkt_, static_cast<int>(annexB.size())) < 0) return std::nullopt;
        std::copy(annexB.begin(), annexB.end(), pkt_->data);
        int rc = avcodec_send_packet(ctx_, pkt_);
        av_packet_unref(pkt_);
        if (rc < 0) return std::nullopt;
        std::vector<Picture> out;
        while (avcodec_receive_frame(ctx_, frame_) == 0) {
            if (frame_->decode_error_flags) return std::nullopt;
            Picture p{frame_->width, frame_->height, {}};
            p.luma.resize(static_cast<size_t>(p.width * p.height));
            for (int y = 0; y < p.height; ++y)
                std::copy(frame_->data[0] + y * frame_->linesize[0], frame_->data[0] + y * frame_->linesize[0] + p.width,
                          p.luma.begin() + y * p.width);
            out.push_back(std::move(p));
            av_frame_unref(frame_);
        }
        return out;
    }

private:
    AVCodecContext* ctx_ = nullptr;
    AVPacket* pkt_ = nullptr;
    AVFrame* frame_ = nullptr;
    bool ok_ = false;
    std::vector<Bytes> params_;
};

double meanAbsDiff(const Picture& p, const platform::Nv12Image& src) {
    double sum = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            sum += std::abs(int{p.luma[static_cast<size_t>(y * p.width + x)]} -
                            int{src.luma[static_cast<size_t>(y * src.lumaStride + x)]});
    return sum / (p.width * p.height);
}

class EncoderTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-encoder"};
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    Settings settings{tmp.path + "/settings.json"};
    VideoKey key{log};
    VideoStats stats;
    std::atomic<bool> allowed{true};
    Encoder* encRef = nullptr;
    Sink sink{SinkDeps{clock, log, settings, key, stats, allowed,
                       [this](double maxW) -> std::optional<Bytes> {
                           return encRef ? encRef->thumbnailJPEG(maxW) : std::nullopt;
                       }},
              0};
    std::vector<int> exits;
    Encoder enc{EncoderDeps{clock, log, sink, stats, [this](int status) { exits.push_back(status); }}};
    Phone phone{key};

    void SetUp() override {
        encRef = &enc;
        sink.setPacing(false);
    }

    std::string logText() { return readAll(log.streamLogPath()); }
    void registerPhone() { sink.control("H " + std::to_string(phone.port), kLoopback); }
    int64_t settled() {
        return stats.encDone.load() + stats.encCallErrN.load() + stats.encCbErrN.load();
    }
    // Hands one picture to the encoder and waits until the codec is done with it.
    void encodeAndWait(std::shared_ptr<const platform::Nv12Image> im, int64_t pts = 0) {
        enc.encode(std::move(im), pts);
        ASSERT_TRUE(eventually([&] { return settled() == stats.encSubmit.load(); }));
    }
};

// ---- byte-stream helpers --------------------------------------------------------------

// A desktop at 1280x720: a gradient with grid lines and a bar that slides with `t`, so
// predicted pictures stay small while a key picture at their quantiser would not.
std::shared_ptr<platform::Nv12Image> desktop(int t) {
    const int w = 1280, h = 720;
    auto im = platform::Nv12Image::make(w, h);
    const int bar = (t * 20) % (w - 80);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t v = static_cast<uint8_t>(60 + 80 * y / h + (x % 64 == 0 || y % 64 == 0 ? 20 : 0));
            if (x >= bar && x < bar + 80 && y < h * 8 / 10) v = 190;
            im->luma[static_cast<size_t>(y * im->lumaStride + x)] = v;
        }
    std::fill(im->chroma.begin(), im->chroma.end(), uint8_t{128});
    return im;
}

std::unique_ptr<X265Session> openX265(int w, int h, int fps, X265Rates rates) {
    X265Config config;
    config.width = w;
    config.height = h;
    config.fps = fps;
    config.rates = rates;
    std::string error;
    auto session = X265Session::open(config, &error);
    EXPECT_TRUE(session) << error;
    return session;
}

TEST(X265Session, KeyPicturesAmongSmallOnesGoOutUnpacedWithoutFallingFarBehindInQuality) {
    auto session = openX265(1280, 720, 30, X265Rates{8'000'000, 4'000'000});
    ASSERT_TRUE(session);
    X265Session::Output out;
    double at = 100.0;
    auto encode = [&](int t, bool key) {
        at += 1.0 / 30;
        ASSERT_TRUE(session->encode(*desktop(t), key, at, &out));
        ASSERT_EQ(out.key, key) << "picture " << t;
    };
    // Two key pictures teach the rate control what one costs; the predicted ones around
    // them settle at the finest quantiser, far under the rate.
    int t = 0;
    encode(t++, true);
    for (int round = 0; round < 3; ++round) {
        int pQp = 0;
        size_t pBytes = 0;
        for (int i = 0; i < 15; ++i) {
            encode(t++, false);
            pQp = session->lastQp();
            pBytes = std::max(pBytes, out.annexB.size());
        }
        ASSERT_LE(pBytes, kUnpacedChunks * kChunkSize);
        encode(t++, true);
        if (round == 0) continue;  // the first measured key picture
        // Finer than the rate needs, this picture would be two or three times the size.
        EXPECT_LE(out.annexB.size(), kUnpacedChunks * kChunkSize) << "round " << round << ", qp " << session->lastQp();
        EXPECT_EQ(pacingGapMicros(chunkCount(out.annexB.size())), 0);
        EXPECT_LE(session->lastQp(), pQp + 6) << "round " << round;
    }
}

TEST(X265Session, AfterALevelChangeThePicturesMeetTheNewRateAtTheNewSpacing) {
    auto session = openX265(kW, kH, 20, X265Rates{1'600'000, 800'000});
    ASSERT_TRUE(session);
    X265Session::Output out;
    double at = 50.0;
    uint32_t seed = 1;
    auto feed = [&](double fps, int n) {
        double bits = 0;
        for (int i = 0; i < n; ++i) {
            at += 1.0 / fps;
            const bool first = seed == 1;
            EXPECT_TRUE(session->encode(*grain(kW, kH, seed++), first, at, &out));
            if (i >= 2) bits += static_cast<double>(out.annexB.size()) * 8;  // after two pictures to settle
        }
        return bits / (n - 2) * fps;  // bit/s
    };
    feed(20, 40);
    // A slower level: a quarter of the rate, at 8 pictures a second.
    session->setRates(X265Rates{400'000, 200'000});
    const double rate = feed(8, 12);
    EXPECT_GT(rate, 0.8 * 400'000) << rate;
    EXPECT_LT(rate, 1.2 * 400'000) << rate;
}

TEST(HevcBytes, SplitsAnnexBOnThreeAndFourByteStartCodesAndDropsPadding) {
    Bytes stream = {0, 0, 0, 1, 0x40, 0x01, 0xAA, 0, 0,  // VPS + two zero bytes of padding
                    0, 0, 1, 0x42, 0x01, 0xBB,           // SPS after a 3-byte start code
                    0, 0, 0, 1, 0x26, 0x01, 0xCC, 0xDD};  // IDR slice
    auto nals = hevc::splitAnnexB(stream.data(), stream.size());
    ASSERT_EQ(nals.size(), 3u);
    EXPECT_EQ(nals[0], (Bytes{0x40, 0x01, 0xAA}));
    EXPECT_EQ(nals[1], (Bytes{0x42, 0x01, 0xBB}));
    EXPECT_EQ(nals[2], (Bytes{0x26, 0x01, 0xCC, 0xDD}));
    EXPECT_EQ(hevc::nalType(nals[0]), hevc::kNalVPS);
    EXPECT_EQ(hevc::nalType(nals[1]), hevc::kNalSPS);
    EXPECT_EQ(hevc::nalType(nals[2]), 19);
    EXPECT_TRUE(hevc::splitAnnexB(nullptr, 0).empty());
    Bytes junk = {1, 2, 3, 0, 0};
    EXPECT_TRUE(hevc::splitAnnexB(junk.data(), junk.size()).empty());
}

TEST(HevcBytes, FramesBecomeLengthPrefixedWithoutParameterSets) {
    Bytes stream = {0, 0, 0, 1, 0x40, 0x01, 0xAA,  // VPS
                    0, 0, 0, 1, 0x44, 0x01, 0xBB,  // PPS
                    0, 0, 0, 1, 0x4E, 0x01, 0x05,  // prefix SEI, kept
                    0, 0, 1, 0x02, 0x01, 0xD0, 0x0F};
    Bytes out = hevc::lengthPrefixedFrame(stream.data(), stream.size());
    Bytes want = {0, 0, 0, 3, 0x4E, 0x01, 0x05, 0, 0, 0, 4, 0x02, 0x01, 0xD0, 0x0F};
    EXPECT_EQ(out, want);
    Bytes onlyParams = {0, 0, 1, 0x42, 0x01, 0x01};
    EXPECT_TRUE(hevc::lengthPrefixedFrame(onlyParams.data(), onlyParams.size()).empty());
}

TEST(HevcBytes, ParameterSetsComeFromAnnexBOrHvcCExtradata) {
    Bytes annexB = {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0, 0, 0, 1, 0x42, 0x01, 0x01,
                    0, 0, 0, 1, 0x44, 0x01, 0xC1, 0, 0, 0, 1, 0x4E, 0x01, 0x05};
    auto sets = hevc::parameterSets(annexB.data(), annexB.size());
    ASSERT_EQ(sets.size(), 3u);  // the SEI is not a parameter set
    EXPECT_EQ(hevc::nalType(sets[0]), 32);
    EXPECT_EQ(hevc::nalType(sets[1]), 33);
    EXPECT_EQ(hevc::nalType(sets[2]), 34);

    Bytes hvcc(22, 0);
    hvcc[0] = 1;
    hvcc.push_back(2);  // two arrays
    for (Bytes nal : {Bytes{0x40, 0x01, 0x0C}, Bytes{0x42, 0x01, 0x01, 0x60}}) {
        hvcc.push_back(static_cast<uint8_t>(0x80 | hevc::nalType(nal)));
        hvcc.push_back(0);
        hvcc.push_back(1);
        hvcc.push_back(0);
        hvcc.push_back(static_cast<uint8_t>(nal.size()));
        hvcc.insert(hvcc.end(), nal.begin(), nal.end());
    }
    auto fromHvcc = hevc::parameterSets(hvcc.data(), hvcc.size());
    ASSERT_EQ(fromHvcc.size(), 2u);
    EXPECT_EQ(fromHvcc[1], (Bytes{0x42, 0x01, 0x01, 0x60}));
    // A record whose lengths run past its end yields nothing rather than reading past it.
    Bytes cut(hvcc.begin(), hvcc.end() - 2);
    EXPECT_TRUE(hevc::parameterSets(cut.data(), cut.size()).empty());
}

TEST(EncoderLines, BigFrameLineFromTwentyOneChunksOn) {
    EXPECT_FALSE(bigFrameLine(23'220).has_value());
    EXPECT_FALSE(bigFrameLine(0).has_value());
    ASSERT_TRUE(bigFrameLine(23'221).has_value());
    EXPECT_EQ(*bigFrameLine(23'221), "큰 프레임 22KB, 조각 21개");
    EXPECT_EQ(*bigFrameLine(25'000), "큰 프레임 24KB, 조각 22개");
}

TEST(EncoderLines, LevelLinePrintsWholeMegabits) {
    EXPECT_EQ(levelLine(0), "품질 단계 0 — 60fps 8Mbps");
    EXPECT_EQ(levelLine(3), "품질 단계 3 — 20fps 2Mbps");
    EXPECT_EQ(levelLine(5), "품질 단계 5 — 8fps 0Mbps");
}

// ---- session ------------------------------------------------------------------------

TEST_F(EncoderTest, StartOpensASessionAndLogsIt) {
    enc.start(kW, kH);
    EXPECT_TRUE(exits.empty());
    EXPECT_EQ(enc.startedW(), kW);
    EXPECT_EQ(enc.startedH(), kH);
    std::string name = enc.backendName();
    EXPECT_TRUE(name == "libx265" || name == "hevc_vaapi" || name == "hevc_nvenc") << name;
    std::string text = logText();
    EXPECT_EQ(countOf(text, "인코더 준비 320×240 HEVC 8Mbps\n"), 1);
    EXPECT_EQ(countOf(text, "인코더 백엔드 — " + name), 1);
}

TEST_F(EncoderTest, ImpossibleSessionLogsAndExitsWithStatusOne) {
    enc.start(0, kH);
    ASSERT_EQ(exits, std::vector<int>{1});
    std::string text = logText();
    size_t at = text.find("인코더 생성 실패: -");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(countOf(text, "인코더 준비"), 0);
    // Without a session nothing is encoded and a key-frame request says so.
    enc.encode(picture(kW, kH, 0), 0);
    EXPECT_EQ(stats.encSubmit.load(), 0);
    enc.emitKeyframeNow();
    EXPECT_EQ(countOf(logText(), "IDR 요청 — 세션 없음\n"), 1);
}

TEST_F(EncoderTest, FramesDecodeAfterTheirParameterSets) {
    Decoder dec;
    ASSERT_TRUE(dec.ok());
    registerPhone();
    enc.start(kW, kH);
    std::vector<std::shared_ptr<platform::Nv12Image>> sources;
    std::vector<uint64_t> submittedAt;
    for (int t = 0; t < 6; ++t) {
        clock.advance(0.02);
        sources.push_back(picture(kW, kH, t));
        submittedAt.push_back(clock.nowMicros());
        encodeAndWait(sources.back(), t * 20'000);
    }
    sources.push_back(noise(kW, kH, 9));  // a hard picture, likely a big frame
    clock.advance(0.02);
    submittedAt.push_back(clock.nowMicros());
    encodeAndWait(sources.back());
    ASSERT_TRUE(phone.waitFrames(sources.size()));

    ASSERT_EQ(phone.params.size(), 1u);
    const auto& sets = phone.params[0];
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_EQ(hevc::nalType(sets[0]), hevc::kNalVPS);
    EXPECT_EQ(hevc::nalType(sets[1]), hevc::kNalSPS);
    EXPECT_EQ(hevc::nalType(sets[2]), hevc::kNalPPS);
    // The sender keeps the same payload for phones that register later.
    EXPECT_EQ(sink.paramPayload(), paramSetPayload(sets));

    dec.setParams(sets);
    int64_t bytes = 0;
    int bigFrames = 0;
    for (size_t i = 0; i < phone.frames.size(); ++i) {
        const ReceivedFrame& f = phone.frames[i];
        EXPECT_EQ(f.ts, submittedAt[i]);
        auto nals = nalsOf(f.data);
        ASSERT_FALSE(nals.empty()) << "frame " << i;
        for (const Bytes& nal : nals) EXPECT_FALSE(hevc::isParameterSet(hevc::nalType(nal)));
        auto pics = dec.decode(f.data);
        ASSERT_TRUE(pics.has_value()) << "frame " << i;
        ASSERT_EQ(pics->size(), 1u) << "frame " << i;
        EXPECT_EQ((*pics)[0].width, kW);
        EXPECT_EQ((*pics)[0].height, kH);
        if (i + 1 < phone.frames.size()) {
            EXPECT_LT(meanAbsDiff((*pics)[0], *sources[i]), 12.0) << "frame " << i;
        }
        bytes += static_cast<int64_t>(f.data.size());
        if (f.data.size() >= 23'221) ++bigFrames;
    }
    EXPECT_TRUE(isIrap(phone.frames[0].data));
    EXPECT_EQ(enc.frameCount(), static_cast<int64_t>(sources.size()));
    EXPECT_EQ(enc.byteCount(), bytes);
    std::string text = logText();
    EXPECT_EQ(countOf(text, "파라미터 세트 3개 전송\n"), 1);
    EXPECT_EQ(countOf(text, "큰 프레임 "), bigFrames);
    EXPECT_EQ(stats.encDone.load(), static_cast<int64_t>(sources.size()));
    EXPECT_EQ(stats.encCount.load(), static_cast<int64_t>(sources.size()));
    EXPECT_EQ(stats.encCallErrN.load() + stats.encCbErrN.load() + stats.emitNoData.load(), 0);
    // The completion diagnostic appears once and names the codec's own queue.
    EXPECT_EQ(countOf(text, "진단: VT 완료 콜백 큐 = vellomark.encode (캡처 큐가 'capture' 다 — 같으면 캡처가 막힌다)\n"), 1);
}

TEST_F(EncoderTest, NewSessionSendsItsParameterSetsAgain) {
    registerPhone();
    enc.start(kW, kH);
    clock.advance(0.02);
    encodeAndWait(picture(kW, kH, 0));
    enc.start(kW + 64, kH);
    clock.advance(0.02);
    encodeAndWait(picture(kW + 64, kH, 1));
    ASSERT_TRUE(phone.waitFrames(2));
    ASSERT_TRUE(phone.pumpUntil([&] { return phone.params.size() >= 2; }));
    EXPECT_EQ(countOf(logText(), "파라미터 세트 3개 전송\n"), 2);
    Decoder dec;
    dec.setParams(phone.params[1]);
    auto pics = dec.decode(phone.frames[1].data);
    ASSERT_TRUE(pics.has_value());
    ASSERT_EQ(pics->size(), 1u);
    EXPECT_EQ((*pics)[0].width, kW + 64);
}

TEST_F(EncoderTest, PictureOfAnotherSizeIsCountedNotEncoded) {
    enc.start(kW, kH);
    clock.advance(0.02);
    encodeAndWait(picture(kW * 2, kH, 0));
    auto broken = picture(kW, kH, 0);
    broken->luma.resize(100);  // planes shorter than the size says
    clock.advance(0.02);
    encodeAndWait(broken);
    EXPECT_EQ(stats.encCallErrN.load(), 2);
    EXPECT_EQ(stats.encCallErrLast.load(), AVERROR(EINVAL));
    EXPECT_EQ(stats.encDone.load(), 0);
    // The next good picture goes through as usual.
    clock.advance(0.02);
    encodeAndWait(picture(kW, kH, 1));
    EXPECT_EQ(stats.encDone.load(), 1);
}

// ---- levels and pacing ----------------------------------------------------------------

TEST_F(EncoderTest, WantedLevelIsClampedAndLoggedOnChangeAndAfterEveryNewSession) {
    registerPhone();
    enc.start(kW, kH);
    sink.requestedLevel = -3;
    clock.advance(0.2);
    encodeAndWait(picture(kW, kH, 0));
    EXPECT_EQ(stats.levelNow.load(), 0);
    EXPECT_EQ(countOf(logText(), "품질 단계 0 — 60fps 8Mbps\n"), 1);  // first frame of the session

    clock.advance(0.2);
    encodeAndWait(picture(kW, kH, 1));
    EXPECT_EQ(countOf(logText(), "품질 단계 0 — 60fps 8Mbps\n"), 1);  // unchanged: no line

    sink.requestedLevel = 9;
    clock.advance(0.2);
    encodeAndWait(picture(kW, kH, 2));
    EXPECT_EQ(stats.levelNow.load(), 5);
    EXPECT_EQ(countOf(logText(), "품질 단계 5 — 8fps 0Mbps\n"), 1);

    enc.start(kW, kH);
    clock.advance(0.2);
    encodeAndWait(picture(kW, kH, 3));
    EXPECT_EQ(countOf(logText(), "품질 단계 5 — 8fps 0Mbps\n"), 2);

    // Every frame, before and after the rate changes, still decodes with the
    // parameter sets sent before it.
    ASSERT_TRUE(phone.waitFrames(4));
    EXPECT_EQ(stats.encCallErrN.load(), 0);
    EXPECT_EQ(stats.encCbErrN.load(), 0);
    EXPECT_GE(phone.params.size(), 2u);
}

TEST_F(EncoderTest, ALevelChangeKeepsTheSessionWithoutAKeyFrameAndChangesTheRate) {
    Decoder dec;
    ASSERT_TRUE(dec.ok());
    registerPhone();
    enc.start(kW, kH);
    // Grainy pictures at 8 frames a second, so both levels see the same kind of frames and only the
    // rate differs: level 0 may spend far more per frame than level 5's 100 kbit.
    auto run = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            clock.advance(0.125);
            registerPhone();
            encodeAndWait(grain(kW, kH, static_cast<uint32_t>(i)));
        }
    };
    sink.requestedLevel = 0;
    run(0, 10);
    sink.requestedLevel = 5;
    run(10, 20);
    ASSERT_TRUE(phone.waitFrames(20));
    EXPECT_EQ(countOf(logText(), "품질 단계 5 — 8fps 0Mbps\n"), 1);

    // One session: its parameter sets went out once, and only its first frame is a key frame
    // (the 2.5 s of pictures stay under the 3 s key-frame period).
    EXPECT_EQ(phone.params.size(), 1u);
    EXPECT_EQ(countOf(logText(), "파라미터 세트 3개 전송\n"), 1);
    EXPECT_TRUE(isIrap(phone.frames[0].data));
    for (size_t i = 1; i < phone.frames.size(); ++i) EXPECT_FALSE(isIrap(phone.frames[i].data)) << "frame " << i;
    // Every frame, across the change, decodes with those parameter sets.
    dec.setParams(phone.params[0]);
    for (size_t i = 0; i < phone.frames.size(); ++i) {
        auto pics = dec.decode(phone.frames[i].data);
        ASSERT_TRUE(pics.has_value()) << "frame " << i;
        EXPECT_EQ(pics->size(), 1u) << "frame " << i;
    }
    // The running session took the lower rate: the last frames of each level, past the
    // rate control's settling, differ by well over half.
    auto bytesOf = [&](size_t from, size_t to) {
        size_t sum = 0;
        for (size_t i = from; i < to; ++i) sum += phone.frames[i].data.size();
        return static_cast<double>(sum) / static_cast<double>(to - from);
    };
    const double level0 = bytesOf(5, 10), level5 = bytesOf(15, 20);
    EXPECT_LT(level5, 0.5 * level0) << "level 0 " << level0 << " B/frame, level 5 " << level5 << " B/frame";
    EXPECT_EQ(stats.encCallErrN.load() + stats.encCbErrN.load(), 0);
}

TEST_F(EncoderTest, FrameTimeIsTheCaptureMomentWhenTheCaptureClockIsTheMonotonicOne) {
    registerPhone();
    enc.start(kW, kH);
    clock.advance(0.02);
    // Captured 7 ms before the encoder got it, on the monotonic line.
    const int64_t pts = static_cast<int64_t>(clock.monotonic() * 1e6) - 7000;
    const uint64_t wallNow = clock.nowMicros();
    encodeAndWait(picture(kW, kH, 0), pts);
    ASSERT_TRUE(phone.waitFrames(1));
    EXPECT_NEAR(static_cast<double>(phone.frames[0].ts), static_cast<double>(wallNow - 7000), 2.0);
}

TEST_F(EncoderTest, PicturesArrivingWhileTheEncoderIsBusyAreCountedApartFromPacing) {
    enc.start(kW, kH);
    clock.advance(0.02);
    // Two pictures handed over at once, well spaced for pacing by the clock's word:
    // the second finds the codec busy with the first (it takes real milliseconds).
    enc.encode(noise(kW, kH, 1), 0);
    clock.advance(0.02);
    enc.encode(noise(kW, kH, 2), 0);
    ASSERT_TRUE(eventually([&] { return settled() == stats.encSubmit.load(); }));
    EXPECT_EQ(stats.encSubmit.load(), 1);
    EXPECT_EQ(stats.encBusy.load(), 1);
    EXPECT_EQ(stats.dropRate.load(), 0);
}

TEST_F(EncoderTest, FramesAboveTheCapAreDropped) {
    enc.start(kW, kH);
    sink.requestedLevel = 0;
    std::vector<int> submitted;
    for (int i = 0; i < 6; ++i) {
        clock.advance(0.010);
        int64_t before = stats.encSubmit.load();
        encodeAndWait(picture(kW, kH, i));
        submitted.push_back(static_cast<int>(stats.encSubmit.load() - before));
    }
    EXPECT_EQ(submitted, (std::vector<int>{1, 0, 1, 0, 1, 0}));
    EXPECT_EQ(stats.dropRate.load(), 3);

    stats.dropRate = 0;
    int64_t before = stats.encSubmit.load();
    for (int i = 0; i < 6; ++i) {
        clock.advance(0.016);
        encodeAndWait(picture(kW, kH, i));
    }
    EXPECT_EQ(stats.encSubmit.load() - before, 6);
    EXPECT_EQ(stats.dropRate.load(), 0);

    // The slowest level spaces frames 118.75 ms apart.
    sink.requestedLevel = 5;
    clock.advance(0.2);
    encodeAndWait(picture(kW, kH, 0));
    before = stats.encSubmit.load();
    clock.advance(0.110);
    encodeAndWait(picture(kW, kH, 1));
    EXPECT_EQ(stats.encSubmit.load(), before);
    clock.advance(0.010);
    encodeAndWait(picture(kW, kH, 2));
    EXPECT_EQ(stats.encSubmit.load(), before + 1);
}

TEST_F(EncoderTest, EveryPictureIsHeldEvenWhenDropped) {
    enc.start(kW, kH);
    auto first = picture(kW, kH, 0);
    auto second = picture(kW, kH, 1);
    clock.advance(0.02);
    encodeAndWait(first, 111);
    clock.advance(0.001);
    encodeAndWait(second, 222);  // paced out
    EXPECT_EQ(stats.dropRate.load(), 1);
    std::lock_guard<std::mutex> g(enc.lock);
    EXPECT_EQ(enc.lastPixelBuffer, second);
    EXPECT_EQ(enc.lastPTS, 222);
}

// ---- key frames ---------------------------------------------------------------------

TEST_F(EncoderTest, KeyFrameRequestWithoutAPictureSaysSo) {
    enc.start(kW, kH);
    enc.emitKeyframeNow();
    EXPECT_EQ(countOf(logText(), "IDR 요청 — 들고 있는 화면 없음\n"), 1);
    EXPECT_EQ(countOf(logText(), "IDR 요청 처리"), 0);
}

TEST_F(EncoderTest, KeyFrameRequestWaitsForAReceiver) {
    enc.start(kW, kH);
    clock.advance(0.02);
    encodeAndWait(picture(kW, kH, 0));
    sink.idrRequested = true;
    enc.idrTick();
    enc.idrTick();
    EXPECT_TRUE(sink.idrRequested.load());
    EXPECT_EQ(countOf(logText(), "IDR 요청 처리 → 키프레임 생성\n"), 0);

    registerPhone();
    clock.advance(0.05);
    enc.idrTick();
    EXPECT_FALSE(sink.idrRequested.load());
    EXPECT_EQ(countOf(logText(), "IDR 요청 처리 → 키프레임 생성\n"), 1);
    ASSERT_TRUE(phone.waitFrames(1));
    EXPECT_TRUE(isIrap(phone.frames[0].data));
    // Key frames on request stay out of the counters.
    EXPECT_EQ(stats.encSubmit.load(), 1);
    EXPECT_EQ(stats.encDone.load(), 1);
}

TEST_F(EncoderTest, RequestsWithinTheSpacingMakeOneKeyFrame) {
    registerPhone();
    enc.start(kW, kH);
    clock.advance(0.02);
    encodeAndWait(picture(kW, kH, 0));
    ASSERT_TRUE(phone.waitFrames(1));

    sink.idrRequested = true;
    enc.idrTick();
    ASSERT_EQ(countOf(logText(), "IDR 요청 처리 → 키프레임 생성\n"), 1);
    double t0 = clock.referenceNow();

    std::vector<double> keyFramesAt;
    double previousTick = t0;
    double tickBeforeKey = 0;
    for (int k = 1; k <= 12; ++k) {
        clock.advance(0.05);
        double elapsed = clock.referenceNow() - t0;
        if (k == 4 || k == 6) sink.idrRequested = true;  // at 0.2 s and 0.3 s
        int before = countOf(logText(), "IDR 요청 처리 → 키프레임 생성\n");
        enc.idrTick();
        if (countOf(logText(), "IDR 요청 처리 → 키프레임 생성\n") > before) {
            keyFramesAt.push_back(elapsed);
            tickBeforeKey = previousTick - t0;
        }
        previousTick = clock.referenceNow();
    }
    ASSERT_EQ(keyFramesAt.size(), 1u);
    EXPECT_GE(keyFramesAt[0], 0.4);
    EXPECT_LT(tickBeforeKey, 0.4);  // made at the first tick that was allowed to
    EXPECT_FALSE(sink.idrRequested.load());
    ASSERT_TRUE(phone.waitFrames(3));
    EXPECT_TRUE(isIrap(phone.frames[1].data));
    EXPECT_TRUE(isIrap(phone.frames[2].data));
}

TEST_F(EncoderTest, AKeyFrameComesAtLeastEveryThreeSeconds) {
    registerPhone();
    enc.start(kW, kH);
    // Level 5 (8 fps): 3 s is 24 frames, far fewer than the 300-frame group.
    sink.requestedLevel = 5;
    std::vector<double> sentAt;
    for (int i = 0; i < 40; ++i) {
        clock.advance(0.125);
        registerPhone();  // a phone renews its registration well within 5 s
        sentAt.push_back(clock.monotonic());
        encodeAndWait(picture(kW, kH, i % 20));
    }
    ASSERT_TRUE(phone.waitFrames(40));
    std::vector<double> keys;
    for (size_t i = 0; i < phone.frames.size(); ++i)
        if (isIrap(phone.frames[i].data)) keys.push_back(sentAt[i]);
    ASSERT_GE(keys.size(), 2u);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_LE(keys[i] - keys[i - 1], 3.0 + 0.125 + 1e-6);
}

TEST_F(EncoderTest, WithIntraRefreshSwitchedOnNoPeriodicKeyFrameComesAndEveryFrameDecodes) {
    settings.setInteger(Encoder::kIntraRefreshKey, 1);
    Encoder refreshing{EncoderDeps{clock, log, sink, stats, [this](int status) { exits.push_back(status); }, &settings}};
    registerPhone();
    refreshing.start(kW, kH);
    sink.requestedLevel = 5;
    for (int i = 0; i < 48; ++i) {  // 6 s at 8 fps: two key-frame periods
        clock.advance(0.125);
        registerPhone();
        refreshing.encode(picture(kW, kH, i % 20), 0);
        ASSERT_TRUE(eventually([&] { return settled() == stats.encSubmit.load(); }));
    }
    ASSERT_TRUE(phone.waitFrames(48));
    EXPECT_TRUE(isIrap(phone.frames[0].data));
    for (size_t i = 1; i < phone.frames.size(); ++i) EXPECT_FALSE(isIrap(phone.frames[i].data)) << "frame " << i;
    Decoder dec;
    dec.setParams(phone.params[0]);
    for (size_t i = 0; i < phone.frames.size(); ++i) {
        auto pics = dec.decode(phone.frames[i].data);
        ASSERT_TRUE(pics.has_value()) << "frame " << i;
    }
    // A phone's request still gets a key frame at once.
    sink.idrRequested = true;
    clock.advance(0.5);
    refreshing.idrTick();
    ASSERT_TRUE(phone.waitFrames(49));
    EXPECT_TRUE(isIrap(phone.frames[48].data));
}

// ---- thumbnail ----------------------------------------------------------------------

TEST_F(EncoderTest, ThumbnailIsAJpegOfTheHeldPictureScaledToTheWidth) {
    EXPECT_FALSE(enc.thumbnailJPEG(160).has_value());  // nothing held yet
    enc.start(kW, kH);
    auto im = platform::Nv12Image::make(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) im->luma[static_cast<size_t>(y * im->lumaStride + x)] = x < kW / 2 ? 235 : 16;
    std::fill(im->chroma.begin(), im->chroma.end(), 128);
    clock.advance(0.02);
    encodeAndWait(im);

    auto jpeg = enc.thumbnailJPEG(160);
    ASSERT_TRUE(jpeg.has_value());
    ASSERT_GE(jpeg->size(), 4u);
    EXPECT_EQ((*jpeg)[0], 0xFF);
    EXPECT_EQ((*jpeg)[1], 0xD8);
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    ASSERT_EQ(tjDecompressHeader3(tj, jpeg->data(), jpeg->size(), &w, &h, &sub, &cs), 0);
    EXPECT_EQ(w, 160);
    EXPECT_EQ(h, 120);
    std::vector<uint8_t> rgb(static_cast<size_t>(w * h * 3));
    ASSERT_EQ(tjDecompress2(tj, jpeg->data(), jpeg->size(), rgb.data(), w, w * 3, h, TJPF_RGB, 0), 0);
    tjDestroy(tj);
    auto at = [&](int x, int y) { return rgb[static_cast<size_t>((y * w + x) * 3 + 1)]; };
    EXPECT_GT(at(20, 60), 240);  // white left half (video range 235 is full white)
    EXPECT_LT(at(140, 60), 15);  // black right half

    // Scaling up works too; a width that is not a number or below one pixel gives nothing.
    auto big = enc.thumbnailJPEG(640);
    ASSERT_TRUE(big.has_value());
    tj = tjInitDecompress();
    ASSERT_EQ(tjDecompressHeader3(tj, big->data(), big->size(), &w, &h, &sub, &cs), 0);
    tjDestroy(tj);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    EXPECT_FALSE(enc.thumbnailJPEG(0).has_value());
    EXPECT_FALSE(enc.thumbnailJPEG(std::nan("")).has_value());
    // The sender cuts it into chunks for the control channel.
    EXPECT_TRUE(sink.thumbnailChunks().has_value());
}

TEST_F(EncoderTest, WorkOnTheSendQueueRunsInOrder) {
    std::vector<int> order;
    std::mutex mu;
    std::atomic<int> done{0};
    for (int i = 0; i < 20; ++i)
        enc.onSendQueue([&, i] {
            std::lock_guard<std::mutex> g(mu);
            order.push_back(i);
            ++done;
        });
    ASSERT_TRUE(eventually([&] { return done.load() == 20; }));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
}

}  // namespace
}  // namespace vm::video
