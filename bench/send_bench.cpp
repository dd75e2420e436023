// Cost of sending video datagrams: whole frames through the sender with pacing off to
// one receiver on the loopback, in each send mode, side by side in one run:
//   single     one sendto per datagram (the sender as it was)
//   batched    one sendmmsg per batch of due datagrams
//   segmented  UDP segmentation offload: one send per run of equal-size datagrams
// The figure is datagrams per second of the sending thread's own CPU time (sealing
// included, the same in every mode); on the loopback the kernel's delivery to the
// receiving socket is charged to the sender too. A thread drains the receiver and
// counts what arrived. Modes take turns over several rounds; the median is shown.
//
//   send_bench [frames per round]   (default 400 frames of 100 chunks + 20 parity)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

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

double threadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double wallSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The phone's socket, drained by a thread of its own.
class Drain {
public:
    Drain() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int big = 32 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big);
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        timeval tv{0, 50'000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
    }
    ~Drain() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    int64_t received() const { return received_.load(); }

private:
    void loop() {
        constexpr int kBatch = 64;
        static thread_local uint8_t bufs[kBatch][2048];
        mmsghdr msgs[kBatch];
        iovec iov[kBatch];
        while (!stop_) {
            for (int i = 0; i < kBatch; ++i) {
                iov[i] = {bufs[i], sizeof bufs[i]};
                msgs[i] = mmsghdr{};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            int n = ::recvmmsg(fd_, msgs, kBatch, MSG_WAITFORONE, nullptr);
            if (n > 0) received_ += n;
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int64_t> received_{0};
    std::thread thread_;
};

struct Round {
    double perCpuSecond = 0;
    double perWallSecond = 0;
    double cpuMicrosPerDatagram = 0;
    int64_t sent = 0;
    int64_t received = 0;
};

const char* nameOf(Sink::SendMode m) {
    switch (m) {
        case Sink::SendMode::single: return "single";
        case Sink::SendMode::batched: return "batched";
        case Sink::SendMode::segmented: return "segmented";
    }
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 400;
    if (frames <= 0) {
        std::fprintf(stderr, "usage: %s [frames per round]\n", argv[0]);
        return 2;
    }
    const std::string dir =
        (std::filesystem::temp_directory_path() / ("vellomark-send-bench-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir);
    {
        SystemClock clock;
        Logger log(dir + "/logs", clock);
        Settings settings(dir + "/settings.json");
        VideoKey key(log);
        VideoStats stats;
        std::atomic<bool> allowed{true};
        Sink sink(SinkDeps{clock, log, settings, key, stats, allowed, [](double) { return std::optional<Bytes>{}; }}, 0);
        sink.setPacing(false);
        Drain phone;
        const Bytes frame = randomBytes(100 * kChunkSize - 300);  // 100 chunks, 20 parity
        const size_t perFrame = 100 + parityCount(100, 5);

        std::map<Sink::SendMode, std::vector<Round>> rounds;
        const Sink::SendMode modes[] = {Sink::SendMode::single, Sink::SendMode::batched, Sink::SendMode::segmented};
        for (int r = 0; r < 5; ++r) {
            for (auto mode : modes) {
                sink.setSendMode(mode);
                sink.control("H " + std::to_string(phone.port()), htonl(INADDR_LOOPBACK));
                const int64_t got0 = phone.received();
                const double cpu0 = threadCpuSeconds(), wall0 = wallSeconds();
                for (int i = 0; i < frames; ++i) sink.sendFrame(frame, 1);
                const double cpu = threadCpuSeconds() - cpu0, wall = wallSeconds() - wall0;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the drain catches up
                Round out;
                out.sent = static_cast<int64_t>(perFrame) * frames;
                out.received = phone.received() - got0;
                out.perCpuSecond = static_cast<double>(out.sent) / cpu;
                out.perWallSecond = static_cast<double>(out.sent) / wall;
                out.cpuMicrosPerDatagram = cpu * 1e6 / static_cast<double>(out.sent);
                rounds[mode].push_back(out);
                // The kernel may refuse segmentation; the sender then falls back by itself.
                if (mode == Sink::SendMode::segmented && sink.sendMode() != mode)
                    std::printf("(segmentation offload refused here; batched instead)\n");
            }
        }
        auto median = [](std::vector<Round> v) {
            std::sort(v.begin(), v.end(), [](const Round& a, const Round& b) { return a.perCpuSecond < b.perCpuSecond; });
            return v[v.size() / 2];
        };
        const double base = median(rounds[Sink::SendMode::single]).perCpuSecond;
        std::printf("sending %d frames of %zu datagrams per round, 5 rounds, median round per mode\n", frames, perFrame);
        std::printf("%-10s %14s %10s %14s %8s %12s\n", "mode", "dgram/CPU-s", "µs/dgram", "dgram/wall-s", "vs single",
                    "received");
        for (auto mode : modes) {
            const Round m = median(rounds[mode]);
            std::printf("%-10s %14.0f %10.2f %14.0f %7.2fx %6lld/%lld\n", nameOf(mode), m.perCpuSecond,
                        m.cpuMicrosPerDatagram, m.perWallSecond, m.perCpuSecond / base,
                        static_cast<long long>(m.received), static_cast<long long>(m.sent));
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
