// Cost of sealing video chunks, next to a bare OpenSSL AES-256-GCM loop over the
// same buffers (compare the two bytes_per_second figures), and the CPU cost of
// sending whole frames to one loopback receiver with pacing off.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/settings.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"
#include "video/video_wire.h"

namespace {

using namespace vm;
using namespace vm::video;

constexpr int kBuffers = 64;

std::vector<Bytes> chunkBuffers() {
    std::vector<Bytes> out;
    for (int i = 0; i < kBuffers; ++i) out.push_back(randomBytes(kChunkSize));
    return out;
}

void BM_SealChunk(benchmark::State& state) {
    Bytes key = randomBytes(kKeySize);
    auto buffers = chunkBuffers();
    Header h;
    h.type = 1;
    h.keyID = 9;
    h.seq = 1000;
    h.count = kBuffers;
    uint32_t i = 0;
    for (auto _ : state) {
        h.index = static_cast<uint16_t>(i % kBuffers);
        if (h.index == 0) ++h.seq;
        Bytes sealed = sealChunk(buffers[h.index].data(), kChunkSize, h.encode(), key);
        benchmark::DoNotOptimize(sealed.data());
        ++i;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kChunkSize));
}
BENCHMARK(BM_SealChunk);

// The floor: one context keyed once, a new nonce per chunk, output into a fixed buffer.
void BM_BareEvpAesGcm(benchmark::State& state) {
    Bytes key = randomBytes(kKeySize);
    auto buffers = chunkBuffers();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key.data(), nullptr);
    Header h;
    h.type = 1;
    h.keyID = 9;
    h.seq = 1000;
    h.count = kBuffers;
    Bytes out(kSealedChunkSize);
    uint32_t i = 0;
    for (auto _ : state) {
        h.index = static_cast<uint16_t>(i % kBuffers);
        if (h.index == 0) ++h.seq;
        auto header = h.encode();
        auto nonce = nonceFor(header);
        int len = 0;
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
        EVP_EncryptUpdate(ctx, nullptr, &len, header.data(), static_cast<int>(header.size()));
        EVP_EncryptUpdate(ctx, out.data(), &len, buffers[h.index].data(), static_cast<int>(kChunkSize));
        EVP_EncryptFinal_ex(ctx, out.data() + kChunkSize, &len);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), out.data() + kChunkSize);
        benchmark::DoNotOptimize(out.data());
        ++i;
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kChunkSize));
}
BENCHMARK(BM_BareEvpAesGcm);

// A sender with its own settings and log folder, one receiver socket on the
// loopback that nobody reads (the kernel drops what does not fit), pacing off.
struct SendRig {
    std::string dir;
    FakeClock clock;
    std::unique_ptr<Logger> log;
    std::unique_ptr<Settings> settings;
    std::unique_ptr<VideoKey> key;
    VideoStats stats;
    std::atomic<bool> allowed{true};
    std::unique_ptr<Sink> sink;
    int receiver = -1;

    SendRig() {
        std::string t = (std::filesystem::temp_directory_path() / "vm-sealbench-XXXXXX").string();
        dir = ::mkdtemp(t.data());
        log = std::make_unique<Logger>(dir, clock);
        settings = std::make_unique<Settings>(dir + "/settings.json");
        key = std::make_unique<VideoKey>(*log);
        sink = std::make_unique<Sink>(SinkDeps{clock, *log, *settings, *key, stats, allowed, nullptr}, 0);
        sink->setPacing(false);
        receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &len);
        sink->control("H " + std::to_string(ntohs(a.sin_port)), htonl(INADDR_LOOPBACK));
    }
    ~SendRig() {
        sink.reset();
        ::close(receiver);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

void BM_SendFrame(benchmark::State& state) {
    SendRig rig;
    Bytes frame = randomBytes(static_cast<size_t>(state.range(0)));
    uint64_t ts = 0;
    for (auto _ : state) rig.sink->sendFrame(frame, ++ts);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["datagrams_per_frame"] =
        static_cast<double>(rig.stats.fragSum.load()) / static_cast<double>(rig.stats.sendCount.load());
}
BENCHMARK(BM_SendFrame)->Arg(20'000)->Arg(200'000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
