// Capture-to-decoded latency of the video pipeline on loopback, in one process: the
// headless desktop's capture stream feeds the real capture, encoder and sender; a
// phone-side receiver and decoder read the datagrams off a UDP socket on 127.0.0.1,
// answer resend requests and renew the registration the way the phone does. Each
// decoded frame's latency is the wall time after decoding minus the capture time in
// its datagram headers (the moment the picture was captured). Three runs side by
// side: 1280x720 with a key frame every 3 s, 1280x720 with intra refresh instead
// ("videoIntraRefresh"), and 1170x2048. Key frames are reported apart: their latency
// and their time on the wire (first to last datagram at the receiver).
//
// To show where the time goes, the same run also reports the encoder's own
// time per frame, the sender's time per frame (which includes its pacing), the
// decode time inside the loop, and a bare decode of the very same frames
// replayed afterwards through a fresh decoder with nothing else running.
//
// Usage: video_latency_bench [seconds]   (default 10 per run, counted from the moment
// the capture streams; the first second is warm-up)
// A plain program rather than a Google Benchmark fixture: it reports percentiles.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_clock.h"
#include "loopback_socket.h"

#include "base/clock.h"
#include "base/log.h"
#include "base/settings.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"
#include "platform/headless/headless_desktop.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/video_key.h"
#include "video/video_stats.h"
#include "video/video_wire.h"

namespace fs = std::filesystem;
using namespace vm;
using vm::bench::LoopbackSocket;
using vm::bench::percentile;
using vm::bench::Steady;

namespace {

constexpr double kWarmUp = 1.0;          // seconds not counted: session start, first key frame
constexpr double kRegisterEvery = 2.0;   // the agent forgets a receiver after 5 s
constexpr double kKeyFrameAskEvery = 0.5;

double msSince(Steady::time_point t0) { return std::chrono::duration<double, std::milli>(Steady::now() - t0).count(); }


// What went into the decoder, in order, for the bare replay.
struct Recorded {
    bool isParams = false;  // parameter sets, else a frame
    Bytes data;
    bool counted = false;  // a frame whose latency was counted
};

// One measured run; everything it made is gone when it returns.
struct Config {
    int width = 1280;
    int height = 720;
    bool intraRefresh = false;
};

int run(const fs::path& tmp, double seconds, const Config& cfg) {
    SystemClock clock;
    Logger log((tmp / "log").string(), clock);
    Settings settings((tmp / "support" / "settings.json").string());
    platform::Locations where;
    where.home = tmp.string();
    where.logDir = (tmp / "log").string();
    where.supportDir = (tmp / "support").string();
    where.groupDir = (tmp / "support" / "group").string();
    where.receivedDir = (tmp / "received").string();
    where.runtimeDir = (tmp / "run").string();

    if (cfg.intraRefresh) settings.setInteger(video::Encoder::kIntraRefreshKey, 1);
    auto desktop = std::make_unique<platform::headless::HeadlessDesktop>(
        where, platform::headless::Scene::parse(R"({"displays":[{"width":)" + std::to_string(cfg.width) +
                                                R"(,"height":)" + std::to_string(cfg.height) + "}]}"));

    video::VideoStats stats;
    video::VideoKey videoKey(log);
    std::atomic<bool> videoAllowed{true};
    video::Encoder* encoderPtr = nullptr;
    video::Sink sink(video::SinkDeps{clock, log, settings, videoKey, stats, videoAllowed,
                                     [&encoderPtr](double maxW) -> std::optional<Bytes> {
                                         if (!encoderPtr) return std::nullopt;
                                         return encoderPtr->thumbnailJPEG(maxW);
                                     }},
                     0);
    video::Encoder encoder(video::EncoderDeps{clock, log, sink, stats,
                                              [](int status) {
                                                  std::fprintf(stderr, "encoder session failed (%d)\n", status);
                                                  std::abort();
                                              },
                                              &settings});
    encoderPtr = &encoder;
    video::Capture capture(video::CaptureDeps{clock, log, desktop->displays(), desktop->capture(), encoder, sink,
                                              stats, nullptr, nullptr});

    // Without a virtual display the capture looks for one for about 15 s before it
    // settles for the display there is; the measurement starts once it streams.
    const double startupFrom = clock.monotonic();
    std::string startError;
    std::thread starter([&capture, &startError] {
        try {
            capture.start(true);
        } catch (const std::exception& e) {
            startError = e.what();
        }
    });
    starter.join();
    if (!startError.empty()) {
        std::fprintf(stderr, "capture did not start: %s\n", startError.c_str());
        return 1;
    }
    const double startup = clock.monotonic() - startupFrom;

    std::atomic<bool> running{true};
    std::thread idrTimer([&] {
        while (running.load()) {
            encoder.idrTick();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    // The phone side.
    LoopbackSocket sock;
    phone::VideoReceiver receiver;
    phone::VideoDecoder decoder;
    {
        auto pair = videoKey.current();
        receiver.setKey(pair->id, pair->key);
    }
    in_addr loop{};
    ::inet_pton(AF_INET, "127.0.0.1", &loop);
    const uint32_t ip = loop.s_addr;
    const std::string hello = "H " + std::to_string(sock.port());

    std::vector<double> latencies, loopDecodeMs, keyLatencies, keyWireMs;
    std::vector<size_t> keyBytes;
    // First and last arrival of each frame's datagrams (data and parity), by sequence.
    std::map<uint32_t, std::pair<double, double>> arrivals;
    std::vector<Recorded> recorded;
    int64_t decoded = 0, skipped = 0, decodeErrors = 0, resendLines = 0, streamBytes = 0;
    double encMS0 = 0, sendMS0 = 0, encKeyMS0 = 0;
    int64_t encKeyCount0 = 0;
    int64_t encCount0 = 0, sendCount0 = 0, skipped0 = 0, capPix0 = 0, busy0 = 0, paced0 = 0;
    bool warm = false;
    double lastRegister = -100, lastKeyAsk = -100;
    const double start = clock.monotonic();
    const double end = start + seconds;
    double measuredFrom = start + kWarmUp;

    while (clock.monotonic() < end) {
        double now = clock.monotonic();
        if (!warm && now >= measuredFrom) {
            warm = true;
            measuredFrom = now;
            encMS0 = stats.encMS.load();
            encCount0 = stats.encCount.load();
            encKeyMS0 = stats.encKeyMS.load();
            encKeyCount0 = stats.encKeyCount.load();
            sendMS0 = stats.sendMS.load();
            sendCount0 = stats.sendCount.load();
            skipped0 = stats.skippedFrames.load();
            capPix0 = stats.capPix.load();
            busy0 = stats.encBusy.load();
            paced0 = stats.dropRate.load();
        }
        if (now - lastRegister >= kRegisterEvery) {
            lastRegister = now;
            sink.control(hello, ip);
        }
        auto askKeyFrame = [&](double t) {
            if (t - lastKeyAsk < kKeyFrameAskEvery) return;
            lastKeyAsk = t;
            sink.control("I", ip);
        };

        sock.drain(2, [&](const uint8_t* p, size_t n) {
            const double at = clock.monotonic();
            if (auto h = video::Header::decode(p, n); h && h->type != 0) {
                auto it = arrivals.find(h->seq);
                if (it == arrivals.end()) arrivals.emplace(h->seq, std::make_pair(at, at));
                else it->second.second = at;
            }
            receiver.feed(p, n, at);
        });
        now = clock.monotonic();

        if (auto params = receiver.takeParams()) {
            if (decoder.setParams(*params)) recorded.push_back(Recorded{true, *params, false});
        }
        for (const auto& r : receiver.resendRequests(now)) {
            std::string line = "N " + std::to_string(r.seq);
            for (uint16_t i : r.indices) line += " " + std::to_string(i);
            sink.control(line, ip);
            ++resendLines;
        }
        if (receiver.takeGaveUp()) {
            decoder.waitForKeyFrame();
            askKeyFrame(now);
        }
        for (const auto& f : receiver.takeFrames(now)) {
            const auto t0 = Steady::now();
            phone::DecodeResult r = decoder.decode(f.data);
            const double decodeMs = msSince(t0);
            if (r.skipped) {
                ++skipped;
                askKeyFrame(clock.monotonic());
                continue;
            }
            if (r.error) ++decodeErrors;
            const bool counted = r.decoded && warm;
            recorded.push_back(Recorded{false, f.data, counted});
            if (!counted) continue;
            const uint64_t after = clock.nowMicros();
            const double latency = static_cast<double>(static_cast<int64_t>(after - f.timestamp)) / 1000.0;
            latencies.push_back(latency);
            if (r.keyFrame) {
                keyLatencies.push_back(latency);
                keyBytes.push_back(f.data.size());
                if (auto it = arrivals.find(f.seq); it != arrivals.end())
                    keyWireMs.push_back((it->second.second - it->second.first) * 1000.0);
            }
            while (arrivals.size() > 64) arrivals.erase(arrivals.begin());
            loopDecodeMs.push_back(decodeMs);
            streamBytes += static_cast<int64_t>(f.data.size());
            ++decoded;
        }
    }
    const double measured = clock.monotonic() - measuredFrom;
    const double encMS = stats.encMS.load() - encMS0;
    const int64_t encCount = stats.encCount.load() - encCount0;
    const double encKeyMS = stats.encKeyMS.load() - encKeyMS0;
    const int64_t encKeyCount = stats.encKeyCount.load() - encKeyCount0;
    const double sendMS = stats.sendMS.load() - sendMS0;
    const int64_t sendCount = stats.sendCount.load() - sendCount0;
    const int64_t capSkipped = stats.skippedFrames.load() - skipped0;
    const int64_t capPix = stats.capPix.load() - capPix0;
    const int64_t encBusy = stats.encBusy.load() - busy0;
    const int64_t paced = stats.dropRate.load() - paced0;

    running.store(false);
    idrTimer.join();
    const std::string backend = encoder.backendName();
    const phone::ReceiverStats rs = receiver.stats();

    // The bare reference: the same frames through a fresh decoder, nothing else running
    // besides the idle capture.
    std::vector<double> bareMs;
    {
        phone::VideoDecoder fresh;
        for (const auto& rec : recorded) {
            if (rec.isParams) {
                fresh.setParams(rec.data);
                continue;
            }
            const auto t0 = Steady::now();
            phone::DecodeResult r = fresh.decode(rec.data);
            const double ms = msSince(t0);
            if (rec.counted && r.decoded) bareMs.push_back(ms);
        }
    }

    std::printf("\nvideo latency, %dx%d%s on loopback, %.1f s measured after %.0f s warm-up (capture up after %.1f s), "
                "encoder %s\n",
                cfg.width, cfg.height, cfg.intraRefresh ? " with intra refresh" : ", key frame every 3 s", measured,
                kWarmUp, startup, backend.c_str());
    std::printf("capture->decoded  median %.2f ms  p90 %.2f ms  p99 %.2f ms  max %.2f ms\n",
                percentile(latencies, 0.5), percentile(latencies, 0.9), percentile(latencies, 0.99),
                latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
    std::printf("key frames        %zu: capture->decoded median %.2f ms  p99 %.2f ms  max %.2f ms; on the wire "
                "median %.2f ms  max %.2f ms; size median %.1f KB  max %.1f KB\n",
                keyLatencies.size(), percentile(keyLatencies, 0.5), percentile(keyLatencies, 0.99),
                keyLatencies.empty() ? 0.0 : *std::max_element(keyLatencies.begin(), keyLatencies.end()),
                percentile(keyWireMs, 0.5), keyWireMs.empty() ? 0.0 : *std::max_element(keyWireMs.begin(), keyWireMs.end()),
                keyBytes.empty() ? 0.0 : static_cast<double>(percentile(std::vector<double>(keyBytes.begin(), keyBytes.end()), 0.5)) / 1024.0,
                keyBytes.empty() ? 0.0 : static_cast<double>(*std::max_element(keyBytes.begin(), keyBytes.end())) / 1024.0);
    std::printf("frames decoded    %lld (%.1f fps, %.2f Mbit/s at level 0); pictures captured %lld, dropped: sender "
                "busy %lld, encoder busy %lld, above the level's cap %lld\n",
                static_cast<long long>(decoded), measured > 0 ? static_cast<double>(decoded) / measured : 0.0,
                measured > 0 ? static_cast<double>(streamBytes) * 8 / measured / 1e6 : 0.0,
                static_cast<long long>(capPix), static_cast<long long>(capSkipped), static_cast<long long>(encBusy),
                static_cast<long long>(paced));
    std::printf("encode            %.2f ms/frame avg (%lld frames); key frames %.2f ms avg (%lld)\n",
                encCount > 0 ? encMS / static_cast<double>(encCount) : 0.0, static_cast<long long>(encCount),
                encKeyCount > 0 ? encKeyMS / static_cast<double>(encKeyCount) : 0.0,
                static_cast<long long>(encKeyCount));
    std::printf("send (paced)      %.2f ms/frame avg (%lld frames)\n",
                sendCount > 0 ? sendMS / static_cast<double>(sendCount) : 0.0, static_cast<long long>(sendCount));
    std::printf("decode            %.2f ms/frame median in the loop, %.2f ms bare (same %zu frames replayed)\n",
                percentile(loopDecodeMs, 0.5), percentile(bareMs, 0.5), bareMs.size());
    std::printf("receiver          datagrams %lld lost %lld recovered %lld resent %lld duplicates %lld unrecoverable %lld; "
                "resend lines %lld, skipped %lld, decode errors %lld\n",
                static_cast<long long>(rs.datagrams), static_cast<long long>(rs.lostChunks),
                static_cast<long long>(rs.recovered), static_cast<long long>(rs.resent),
                static_cast<long long>(rs.duplicates),
                static_cast<long long>(rs.unrecoverable), static_cast<long long>(resendLines),
                static_cast<long long>(skipped), static_cast<long long>(decodeErrors));

    if (decoded == 0) {
        // Nothing came through: the video log says why.
        std::fprintf(stderr, "no frame decoded; the video log:\n");
        std::FILE* f = std::fopen(log.streamLogPath().c_str(), "r");
        char line[512];
        while (f && std::fgets(line, sizeof line, f)) std::fputs(line, stderr);
        if (f) std::fclose(f);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    if (argc > 1) {
        seconds = std::atof(argv[1]);
        if (!(seconds > kWarmUp)) {
            std::fprintf(stderr, "usage: %s [seconds > %.0f]\n", argv[0], kWarmUp);
            return 2;
        }
    }
    int status = 0;
    const Config configs[] = {{1280, 720, false}, {1280, 720, true}, {1170, 2048, false}};
    for (const Config& cfg : configs) {
        const fs::path tmp = fs::temp_directory_path() / ("vellomark-video-bench-" + std::to_string(::getpid()));
        fs::create_directories(tmp / "log");
        fs::create_directories(tmp / "support");
        status |= run(tmp, seconds, cfg);
        std::fflush(stdout);
        std::error_code ec;
        fs::remove_all(tmp, ec);
    }
    return status;
}
