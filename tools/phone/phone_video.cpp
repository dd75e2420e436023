#include "phone/phone_video.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/clock.h"
#include "phone/phone_protocol.h"
#include "phone/video_decoder.h"
#include "phone/video_receiver.h"

namespace vm::phone {

std::string VideoSummary::line() const {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "video frames=%lld decoded=%lld keyframes=%lld skipped=%lld size=%dx%d lost=%lld recovered=%lld "
                  "resent=%lld unrecoverable=%lld decodeErrors=%lld keyNumber=%d keyChanges=%d "
                  "decodedAfterKeyChange=%lld latencyMedianMs=%.1f latencyP99Ms=%.1f",
                  static_cast<long long>(frames), static_cast<long long>(decoded), static_cast<long long>(keyFrames),
                  static_cast<long long>(skipped), width, height, static_cast<long long>(lost),
                  static_cast<long long>(recovered), static_cast<long long>(resent),
                  static_cast<long long>(unrecoverable), static_cast<long long>(decodeErrors), keyNumber, keyChanges,
                  static_cast<long long>(decodedAfterKeyChange), latencyMedianMs, latencyP99Ms);
    return buf;
}

namespace {

// The phone's own video socket, read on a thread of its own so that nothing waits
// on the control link while datagrams pile up in the kernel.
class VideoSocket {
public:
    bool open(std::string* error) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            *error = "cannot open a UDP socket";
            return false;
        }
        int buf = 4 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        ::sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            *error = "cannot bind the video socket";
            return false;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { loop(); });
        return true;
    }
    ~VideoSocket() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    uint16_t port() const { return port_; }
    // Datagrams received so far, waiting at most `seconds` for the first.
    std::vector<Bytes> take(double seconds) {
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait_for(lk, std::chrono::duration<double>(seconds), [this] { return !queue_.empty(); });
        std::vector<Bytes> out(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
        queue_.clear();
        return out;
    }

private:
    void loop() {
        uint8_t buf[2048];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            std::lock_guard<std::mutex> g(mu_);
            if (queue_.size() < 100000) queue_.emplace_back(buf, buf + n);
            cv_.notify_one();
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Bytes> queue_;
};

std::optional<std::pair<uint8_t, Bytes>> parseVkey(const std::string& line) {
    if (line.rfind("VKEY ", 0) != 0) return std::nullopt;
    size_t sp = line.find(' ', 5);
    if (sp == std::string::npos) return std::nullopt;
    int id = 0;
    try {
        id = std::stoi(line.substr(5, sp - 5));
    } catch (...) {
        return std::nullopt;
    }
    auto key = base64Decode(line.substr(sp + 1));
    if (id < 1 || id > 255 || !key || key->size() != 32) return std::nullopt;
    return std::make_pair(static_cast<uint8_t>(id), *key);
}

}  // namespace

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

int runVideo(std::unique_ptr<MessageLink>& link, const VideoOptions& opt, const Output& io, VideoSummary* summary) {
    SystemClock clock;
    MessageLink* linkPtr = link.get();
    const std::string idLine = "ID " + opt.phoneId + "\n";
    VideoSocket sock;
    std::string err;
    if (!sock.open(&err)) {
        io.err(err);
        return kExitNetwork;
    }
    VideoReceiver receiver;
    VideoDecoder decoder;
    std::mt19937 rng(opt.dropSeed);
    std::uniform_real_distribution<double> dice(0.0, 100.0);
    std::vector<double> latencies;
    VideoSummary s;
    bool haveKey = false;
    int64_t badTagSeen = 0;
    double lastKeyAsk = -10, lastVH = -10, lastVI = -10, lastParamsAt = -10;
    const double start = clock.monotonic();
    const double end = start + opt.seconds;

    auto send = [&](const std::string& line) { return linkPtr->send(line + "\n"); };
    auto askKey = [&](double now) {
        if (now - lastKeyAsk < 0.5) return;
        lastKeyAsk = now;
        send("VKEY?");
    };
    auto askKeyFrame = [&](double now) {
        if (now - lastVI < 0.5) return;
        lastVI = now;
        send("VI");
    };

    askKey(clock.monotonic());
    if (opt.level) send("VQ" + std::to_string(*opt.level));
    if (opt.fecDivisor) {
        send("VF" + std::to_string(*opt.fecDivisor));
        receiver.setFecDivisor(*opt.fecDivisor);
    }

    while (opt.onTurn ? opt.onTurn(*linkPtr, receiver.stats()) : clock.monotonic() < end) {
        // Control lines first: the key, the agent asking who we are, pushes.
        bool bye = false;
        for (;;) {
            auto msg = linkPtr->receive(0);
            if (!msg) break;
            for (const auto& line : messageLines(*msg)) {
                if (auto k = parseVkey(line)) {
                    if (haveKey && k->second != receiver.key()) {
                        ++s.keyChanges;
                        io.err("video key changed: number " + std::to_string(k->first));
                        decoder.waitForKeyFrame();
                        askKeyFrame(clock.monotonic());
                    }
                    if (!haveKey) io.err("video key number " + std::to_string(k->first));
                    receiver.setKey(k->first, k->second);
                    haveKey = true;
                } else if (line == "ID?") {
                    linkPtr->send(idLine);
                } else if (line == "BYE") {
                    bye = true;
                } else if (opt.onLine) {
                    opt.onLine(line);
                } else {
                    io.err("agent: " + line);
                }
            }
        }
        if (bye || linkPtr->closed()) {
            if (!opt.reconnect) {
                io.err("the agent closed the control connection");
                break;
            }
            io.err("the agent closed the control connection; connecting again");
            auto fresh = opt.reconnect();
            if (!fresh) {
                io.err("cannot connect again");
                break;
            }
            link = std::move(fresh);
            linkPtr = link.get();
            linkPtr->send(idLine);
            lastKeyAsk = -10;
            askKey(clock.monotonic());
            lastVH = -10;
        }
        double now = clock.monotonic();
        if (!haveKey) {
            askKey(now);
            sock.take(0.01);
            continue;
        }
        // Registration lasts 5 s at the agent; renew it every 2 s.
        if (now - lastVH >= 2.0) {
            lastVH = now;
            send("VH " + std::to_string(sock.port()));
            for (const auto& line : opt.repeatLines) send(line);
        }
        for (auto& d : sock.take(0.005)) {
            if (opt.dropPercent > 0 && dice(rng) < opt.dropPercent) continue;
            receiver.feed(d, clock.monotonic());
        }
        now = clock.monotonic();
        if (auto u = receiver.unknownKeySeen(); u && *u != receiver.keyID()) askKey(now);
        // A new key may carry the old number: datagrams that stop opening mean the same.
        if (receiver.stats().badTag > badTagSeen) {
            badTagSeen = receiver.stats().badTag;
            askKey(now);
        }
        if (auto p = receiver.takeParams()) {
            if (decoder.setParams(*p)) lastParamsAt = now;
        }
        for (const auto& r : receiver.resendRequests(now)) {
            std::string line = "VN " + std::to_string(r.seq);
            for (uint16_t i : r.indices) line += " " + std::to_string(i);
            send(line);
        }
        if (receiver.takeGaveUp()) {
            decoder.waitForKeyFrame();
            askKeyFrame(now);
        }
        for (const auto& f : receiver.takeFrames(now)) {
            DecodeResult r = decoder.decode(f.data);
            if (r.skipped) {
                ++s.skipped;
                askKeyFrame(clock.monotonic());
                continue;
            }
            if (r.keyFrame) ++s.keyFrames;
            if (r.error) ++s.decodeErrors;
            if (r.decoded) {
                ++s.decoded;
                if (s.keyChanges > 0) ++s.decodedAfterKeyChange;
                latencies.push_back(static_cast<double>(static_cast<int64_t>(clock.nowMicros() - f.timestamp)) /
                                    1000.0);
                if (opt.onPicture) opt.onPicture(decoder, f.data.size(), latencies.back());
            }
        }
        if (lastParamsAt < 0 && now - start > 1.0) askKeyFrame(now);  // the parameter sets went missing
    }

    const ReceiverStats& st = receiver.stats();
    s.frames = st.frames;
    s.recovered = st.recovered;
    s.lost = st.lostChunks + st.recovered;
    s.resent = st.resent;
    s.unrecoverable = st.unrecoverable;
    s.width = decoder.width();
    s.height = decoder.height();
    s.keyNumber = receiver.keyID();
    s.latencyMedianMs = percentile(latencies, 0.5);
    s.latencyP99Ms = percentile(latencies, 0.99);
    if (st.wrongKey || st.badTag || st.malformed)
        io.err("datagrams refused: wrong key " + std::to_string(st.wrongKey) + ", bad tag " +
               std::to_string(st.badTag) + ", malformed " + std::to_string(st.malformed));
    if (opt.savePng) {
        std::string perr;
        if (!decoder.savePng(*opt.savePng, &perr)) io.err("cannot save the picture: " + perr);
    }
    if (summary) *summary = s;
    io.out(s.line());
    return s.decoded > 0 ? kExitOk : kExitNetwork;
}

}  // namespace vm::phone
