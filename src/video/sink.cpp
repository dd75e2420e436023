#include "video/sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "base/base64.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/text.h"
#include "video/video_wire.h"

namespace vm::video {

namespace {

constexpr size_t kReceiveBuffer = 256;
constexpr int kSendBuffer = 1'048'576;
constexpr double kReceiverLifetime = 5.0;     // a phone re-registers at least this often
constexpr double kControlFreshness = 10.0;    // a punch must follow an "H" line this closely
constexpr double kNatFreshness = 10.0;        // a punched port replaces the "H" port this long
constexpr double kPunchClockSkew = 120.0;
// An address silent this long is forgotten; by then any punch it sent is past the clock skew.
constexpr double kAddressForgetAfter = 300.0;
constexpr double kRefusalLogEvery = 10.0;
constexpr size_t kRecentFrames = 8;
constexpr uint32_t kSeqPersistEvery = 600;
constexpr uint32_t kSeqStartGap = 1200;
// A frame has at most this many chunks (the index is 16 bits), so a resend
// request never needs to list more.
constexpr size_t kMaxResendIndices = 65'535;
constexpr size_t kThumbChunk = 1000;
constexpr size_t kThumbMaxBytes = 255'000;
// Datagrams per segmentation-offload send: the kernel takes at most 64, and 48 full
// chunks keep the whole send under the 64 KiB a UDP send may carry.
constexpr size_t kMaxSegments = 48;

std::string clientKey(uint32_t ip, uint16_t portNet) { return std::to_string(ip) + ":" + std::to_string(portNet); }

sockaddr_in makeAddr(uint32_t ip, uint16_t portNet) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = portNet;
    a.sin_addr.s_addr = ip;
    return a;
}

std::vector<std::string_view> splitSpaces(std::string_view s) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        size_t start = i;
        while (i < s.size() && s[i] != ' ') ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

bool isTrimmable(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isTrimmable(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && isTrimmable(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// The byte as the Unicode character of the same number, in UTF-8.
std::string byteAsCharacter(uint8_t b) {
    std::string s;
    if (b < 0x80) {
        s += static_cast<char>(b);
    } else {
        s += static_cast<char>(0xC0 | (b >> 6));
        s += static_cast<char>(0x80 | (b & 0x3F));
    }
    return s;
}

void putU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

Bytes datagramOf(const std::array<uint8_t, kHeaderSize>& header, const Bytes& body) {
    Bytes d(kHeaderSize + body.size());
    std::copy(header.begin(), header.end(), d.begin());
    std::copy(body.begin(), body.end(), d.begin() + kHeaderSize);
    return d;
}

}  // namespace

PortInUse::PortInUse(uint16_t port)
    : std::runtime_error("영상 포트 udp/" + std::to_string(port) + " 를 이미 다른 프로그램이 쓰고 있다 (다른 에이전트가 떠 있나?)"),
      port_(port) {}

Sink::Sink(SinkDeps deps, uint16_t port) : d_(std::move(deps)) {
    // Start well above every sequence a previous run can have used: those runs
    // stored their sequence at least every 600 frames.
    int64_t stored = d_.settings.integer(kSeqKey).value_or(0);
    uint32_t start = static_cast<uint32_t>(static_cast<uint64_t>(stored) + kSeqStartGap);
    seq_.store(start);
    d_.settings.setInteger(kSeqKey, start);

    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) throw std::runtime_error("video socket: cannot create");
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    // No SO_REUSEADDR: on UDP it lets a second agent bind the same port and take
    // half of the phones' punches; the second one must fail instead.
    int sndbuf = kSendBuffer;
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    sockaddr_in local = makeAddr(htonl(INADDR_ANY), htons(port));
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        if (err == EADDRINUSE) throw PortInUse(port);
        throw std::runtime_error("영상 포트 udp/" + std::to_string(port) + " 를 열 수 없다 — " + std::strerror(err));
    }
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len) == 0) boundPort_ = ntohs(bound.sin_port);

    int fds[2];
    if (::pipe(fds) != 0) {
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("video socket: cannot create wake pipe");
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    ::fcntl(wakeRead_, F_SETFD, FD_CLOEXEC);
    ::fcntl(wakeWrite_, F_SETFD, FD_CLOEXEC);
    receiver_ = std::thread([this] { receiveLoop(); });
}

Sink::~Sink() {
    stopping_ = true;
    if (wakeWrite_ >= 0) {
        char b = 1;
        ssize_t r = ::write(wakeWrite_, &b, 1);
        (void)r;
    }
    if (receiver_.joinable()) receiver_.join();
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
    if (fd_ >= 0) ::close(fd_);
}

// ---- receiving -------------------------------------------------------------

void Sink::receiveLoop() {
    uint8_t buf[kReceiveBuffer];
    while (!stopping_) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int r = ::poll(fds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0 || (fds[0].revents & POLLNVAL)) return;
        if ((fds[0].revents & (POLLIN | POLLERR)) == 0) continue;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        // Longer datagrams are cut to the buffer; the kernel drops the rest.
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) continue;
        onDatagram(buf, static_cast<size_t>(n), from);
    }
}

void Sink::onDatagram(const uint8_t* p, size_t n, const sockaddr_in& from) {
    if (n >= 2 && p[0] == 'V' && p[1] == 'P') {
        std::string_view text(reinterpret_cast<const char*>(p), n);
        if (!isValidUtf8(text)) return;
        punch(std::string(trim(text)), from);
        return;
    }
    ++plainRefused_;
    double now = d_.clock.now();
    if (now - plainRefusedAt_ > kRefusalLogEvery) {
        // An empty datagram has no first letter; it is counted all the same.
        std::string first = n > 0 ? byteAsCharacter(p[0]) : std::string();
        d_.log.streamLog("영상 소켓의 평문 제어 거부 — " + std::to_string(plainRefused_) + "개 (첫 글자 " + first + ")");
        plainRefusedAt_ = now;
        plainRefused_ = 0;
    }
}

void Sink::punch(const std::string& text, const sockaddr_in& from) {
    auto fields = splitSpaces(text);
    if (fields.size() != 4 || fields[0] != "VP") return;
    auto keyNum = parseInt<uint8_t>(fields[1]);
    auto pair = d_.key.current();
    if (!keyNum || *keyNum != pair->id) return;
    auto secs = parseInt<int64_t>(fields[2]);
    if (!secs || std::fabs(d_.clock.now() - static_cast<double>(*secs)) >= kPunchClockSkew) return;
    auto auth = base64Decode(fields[3]);
    if (!auth) return;
    Bytes expected = hmacSha256(pair->key, toBytes("VP " + std::to_string(*secs)));
    if (!constantTimeEqual(*auth, expected)) return;

    uint32_t ip = from.sin_addr.s_addr;
    uint16_t portNet = from.sin_port;
    bool hadNat = false;
    bool isNew = false;
    std::optional<Bytes> params;
    {
        std::lock_guard<std::mutex> g(lock_);
        double now = d_.clock.now();
        auto seen = controlSeen_.find(ip);
        if (seen == controlSeen_.end() || now - seen->second >= kControlFreshness) return;
        auto nat = natPort_.find(ip);
        hadNat = nat != natPort_.end();
        // The authenticator covers only the seconds, so anyone who saw a punch could
        // send it again from another port and steal the stream: each value counts once,
        // and only a newer one may move the address to another port.
        if (hadNat && *secs <= nat->second.secs) return;
        natPort_[ip] = NatEntry{portNet, now, *secs};
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (it->second.addr.sin_addr.s_addr == ip && it->second.addr.sin_port != portNet)
                it = clients_.erase(it);
            else
                ++it;
        }
        isNew = addClientLocked(ip, portNet, now);
        params = paramPayload_;
    }
    if (!isNew) return;
    d_.log.streamLog("클라이언트 등록됨 (영상 소켓에서 길을 엶, 밖에서 보이는 포트 " + std::to_string(ntohs(portNet)) +
                     (hadNat ? " — 바뀜" : "") + ")");
    idrRequested = true;
    // Only the newcomer lacks the parameter sets; the others have them already.
    if (params) sendParamsTo(*params, {makeAddr(ip, portNet)});
}

bool Sink::addClientLocked(uint32_t ip, uint16_t portNet, double now) {
    std::string key = clientKey(ip, portNet);
    auto existing = clients_.find(key);
    if (existing != clients_.end()) {
        existing->second.at = now;
        return false;
    }
    // Every registered port gets every frame: one address may not multiply the stream.
    size_t ports = 0;
    auto oldest = clients_.end();
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->second.addr.sin_addr.s_addr != ip) continue;
        ++ports;
        if (oldest == clients_.end() || it->second.at < oldest->second.at) oldest = it;
    }
    if (ports >= kMaxPortsPerAddress && oldest != clients_.end()) clients_.erase(oldest);
    clients_[key] = Client{makeAddr(ip, portNet), now};
    return true;
}

void Sink::pruneAddressesLocked(double now) {
    for (auto it = controlSeen_.begin(); it != controlSeen_.end();) {
        if (now - it->second > kAddressForgetAfter) it = controlSeen_.erase(it);
        else ++it;
    }
    for (auto it = natPort_.begin(); it != natPort_.end();) {
        // A punch's seconds value must outlive every moment it could still be replayed.
        if (now - it->second.at > kAddressForgetAfter && controlSeen_.count(it->first) == 0) it = natPort_.erase(it);
        else ++it;
    }
}

// ---- control lines -----------------------------------------------------------

void Sink::control(const std::string& line, uint32_t ip) {
    auto fields = splitSpaces(line);
    if (fields.empty()) return;
    std::string_view first = fields[0];
    switch (first[0]) {
        case 'H': {
            if (fields.size() < 2) return;
            auto port = parseInt<uint16_t>(fields[1]);
            if (!port) return;
            bool isNew = false;
            std::optional<Bytes> params;
            uint16_t portNet = htons(*port);
            {
                std::lock_guard<std::mutex> g(lock_);
                double now = d_.clock.now();
                pruneAddressesLocked(now);
                controlSeen_[ip] = now;
                // Behind a NAT the port the phone names is not the one its datagrams come from.
                auto nat = natPort_.find(ip);
                if (nat != natPort_.end() && now - nat->second.at < kNatFreshness) portNet = nat->second.port;
                isNew = addClientLocked(ip, portNet, now);
                params = paramPayload_;
            }
            if (!isNew) return;
            d_.log.streamLog("클라이언트 등록됨 (제어 채널 경유, 영상 포트 " + std::to_string(*port) + ")");
            idrRequested = true;
            if (params) sendParamsTo(*params, {makeAddr(ip, portNet)});
            return;
        }
        case 'I': {
            idrRequested = true;
            auto params = paramPayload();
            if (!params) return;
            std::vector<sockaddr_in> to;
            for (const auto& t : targets())
                if (t.sin_addr.s_addr == ip) to.push_back(t);
            sendParamsTo(*params, to);
            return;
        }
        case 'F': {
            auto n = parseInt<int>(first.substr(1));
            if (!n || *n < 2 || *n > 16 || *n == fecDivisor.load()) return;
            fecDivisor = *n;
            d_.log.streamLog("FEC 두께 → 1/" + std::to_string(*n) + " (클라이언트 요청)");
            return;
        }
        case 'N': {
            if (fields.size() < 3) return;
            auto seq = parseInt<uint32_t>(fields[1]);
            if (!seq) return;
            std::vector<uint16_t> indices;
            for (size_t i = 2; i < fields.size() && indices.size() < kMaxResendIndices; ++i) {
                if (auto idx = parseInt<uint16_t>(fields[i])) indices.push_back(*idx);
            }
            int64_t count = ++nackCount_;
            nackTotal = count;
            if (count % 20 == 1)
                d_.log.streamLog("재전송 요청 " + std::to_string(count) + "회 (조각 " + std::to_string(indices.size()) +
                                 "개)");
            std::vector<sockaddr_in> to;
            {
                std::lock_guard<std::mutex> g(lock_);
                for (const auto& [key, c] : clients_)
                    if (c.addr.sin_addr.s_addr == ip) to.push_back(c.addr);
            }
            for (const auto& a : to) resend(*seq, indices, a);
            return;
        }
        case 'Q': {
            auto level = parseInt<int64_t>(first.substr(1));
            if (!level) return;
            // The encoder clamps to its levels; here only keep the number inside an int.
            requestedLevel = static_cast<int>(std::clamp<int64_t>(*level, INT_MIN, INT_MAX));
            return;
        }
        default:
            return;
    }
}

std::vector<sockaddr_in> Sink::targets() {
    std::lock_guard<std::mutex> g(lock_);
    double cutoff = d_.clock.now() - kReceiverLifetime;
    std::vector<sockaddr_in> out;
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second.at > cutoff) {
            out.push_back(it->second.addr);
            ++it;
        } else {
            it = clients_.erase(it);
        }
    }
    return out;
}

// ---- sending -----------------------------------------------------------------

void Sink::sendTo(const uint8_t* p, size_t n, const sockaddr_in& to) {
    // Errors are ignored: the phone's resend requests and the parity cover losses.
    ssize_t r = ::sendto(fd_, p, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    (void)r;
}

void Sink::sendBatch(const std::vector<Bytes>& all, size_t from, size_t to, const std::vector<sockaddr_in>& targets) {
    for (const auto& target : targets) {
        switch (sendMode_.load()) {
            case SendMode::single:
                for (size_t i = from; i < to; ++i) sendTo(all[i].data(), all[i].size(), target);
                break;
            case SendMode::batched:
                sendBatched(all, from, to, target);
                break;
            case SendMode::segmented: {
                // Runs of equal-size datagrams; only a run's last one may be shorter.
                size_t i = from;
                while (i < to) {
                    size_t j = i + 1;
                    while (j < to && j - i < kMaxSegments && all[j].size() == all[i].size()) ++j;
                    if (j < to && j - i < kMaxSegments && all[j].size() < all[i].size()) ++j;
                    if (j - i == 1) {
                        sendTo(all[i].data(), all[i].size(), target);
                    } else if (!sendSegmented(all, i, j, target)) {
                        // This kernel or route cannot: batch without it from now on.
                        sendMode_ = SendMode::batched;
                        sendBatched(all, i, j, target);
                    }
                    i = j;
                }
                break;
            }
        }
    }
}

void Sink::sendBatched(const std::vector<Bytes>& all, size_t from, size_t to, const sockaddr_in& target) {
    constexpr size_t kPerCall = 64;
    mmsghdr msgs[kPerCall];
    iovec iov[kPerCall];
    while (from < to) {
        const size_t n = std::min(kPerCall, to - from);
        for (size_t i = 0; i < n; ++i) {
            iov[i].iov_base = const_cast<uint8_t*>(all[from + i].data());
            iov[i].iov_len = all[from + i].size();
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&target);
            msgs[i].msg_hdr.msg_namelen = sizeof target;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = ::sendmmsg(fd_, msgs, static_cast<unsigned>(n), 0);
        // Errors are ignored like single sends; a datagram the kernel refused is skipped.
        from += sent > 0 ? static_cast<size_t>(sent) : 1;
    }
}

bool Sink::sendSegmented(const std::vector<Bytes>& all, size_t from, size_t to, const sockaddr_in& target) {
    iovec iov[kMaxSegments];
    const size_t n = to - from;
    for (size_t i = 0; i < n; ++i) {
        iov[i].iov_base = const_cast<uint8_t*>(all[from + i].data());
        iov[i].iov_len = all[from + i].size();
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&target);
    msg.msg_namelen = sizeof target;
    msg.msg_iov = iov;
    msg.msg_iovlen = n;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    cm->cmsg_level = SOL_UDP;
    cm->cmsg_type = UDP_SEGMENT;
    cm->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t segment = static_cast<uint16_t>(all[from].size());
    std::memcpy(CMSG_DATA(cm), &segment, sizeof segment);
    if (::sendmsg(fd_, &msg, 0) >= 0) return true;
    // Refusals that mean "not here"; anything else is a send error, ignored like all of them.
    return !(errno == EIO || errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP);
}

void Sink::sendFrame(const Bytes& frame, uint64_t ts) {
    if (!d_.videoAllowed.load()) return;
    {
        std::lock_guard<std::mutex> g(lock_);
        sending_ = true;
    }
    double start = d_.clock.monotonic();
    uint32_t seq = seq_.fetch_add(1) + 1;
    if (seq % kSeqPersistEvery == 0) d_.settings.setInteger(kSeqKey, seq);

    size_t n = frame.size();
    if (n > 0 && n <= kMaxFrameSize) {
        size_t k = chunkCount(n);
        size_t p = parityCount(k, fecDivisor.load());
        const double gap = static_cast<double>(pacingGapMicros(k)) / 1e6;
        const bool pace = pacing_.load() && gap > 0;
        d_.stats.fragSum += static_cast<int64_t>(k + p);
        // One key for the whole frame; rotation is queued between frames anyway.
        auto pair = d_.key.current();
        std::vector<std::array<uint8_t, kSealedChunkSize>> parity(p);
        for (auto& b : parity) b.fill(0);
        auto headerOf = [&](DatagramType type, size_t index) {
            Header h;
            h.type = static_cast<uint8_t>(type);
            h.keyID = pair->id;
            h.seq = seq;
            h.index = static_cast<uint16_t>(index);
            h.count = static_cast<uint16_t>(k);
            h.timestamp = ts;
            return h.encode();
        };

        // Every datagram is made before the first leaves, so the sending below is only sending.
        std::vector<Bytes> datagrams;
        datagrams.reserve(k + p);
        for (size_t i = 0; i < k; ++i) {
            auto header = headerOf(DatagramType::data, i);
            size_t off = i * kChunkSize;
            size_t len = std::min(kChunkSize, n - off);
            Bytes sealed = sealChunk(frame.data() + off, len, header, pair->key);
            auto& buf = parity[i % p];
            for (size_t b = 0; b < sealed.size() && b < buf.size(); ++b) buf[b] ^= sealed[b];
            datagrams.push_back(datagramOf(header, sealed));
        }
        rememberFrame(seq, datagrams);
        uint32_t sealedTotal = static_cast<uint32_t>(n + kTagSize * k);
        for (size_t j = 0; j < p; ++j) {
            auto header = headerOf(DatagramType::parity, j);
            Bytes datagram(kParityDatagramSize);
            std::copy(header.begin(), header.end(), datagram.begin());
            datagram[kHeaderSize] = static_cast<uint8_t>(p);
            putU32(&datagram[kHeaderSize + 1], sealedTotal);
            std::copy(parity[j].begin(), parity[j].end(), datagram.begin() + kHeaderSize + 5);
            datagrams.push_back(std::move(datagram));
        }

        // Datagram i is due at t0 + i × gap: deadlines, not sleeps, so a late wake-up
        // delays the datagrams due by then and nothing after them.
        const size_t total = datagrams.size();
        const double t0 = d_.clock.monotonic();
        size_t next = 0;
        while (next < total) {
            const double now = d_.clock.monotonic();
            size_t due = total;
            if (pace) due = std::min(total, static_cast<size_t>(std::floor((now - t0) / gap + 1e-9)) + 1);
            if (due > next) {
                sendBatch(datagrams, next, due, targets());
                next = due;
            }
            if (next >= total) break;
            const double wake = std::max(t0 + static_cast<double>(next) * gap, now + kPacingQuantum);
            const double wait = wake - d_.clock.monotonic();
            if (wait > 0) d_.clock.sleep(wait);
        }
    }

    {
        std::lock_guard<std::mutex> g(lock_);
        sending_ = false;
    }
    VideoStats::add(d_.stats.sendMS, (d_.clock.monotonic() - start) * 1000.0);
    ++d_.stats.sendCount;
}

void Sink::sendParams(const Bytes& payload) { sendParamsTo(payload, targets()); }

void Sink::sendParamsTo(const Bytes& payload, const std::vector<sockaddr_in>& to) {
    if (to.empty()) return;
    uint32_t ps = paramSeq_.fetch_add(1) + 1;
    auto pair = d_.key.current();
    Header h;
    h.type = static_cast<uint8_t>(DatagramType::params);
    h.keyID = pair->id;
    h.seq = ps;
    h.index = 0;
    h.count = 1;
    h.timestamp = d_.clock.nowMicros();
    auto header = h.encode();
    Bytes datagram = datagramOf(header, sealChunk(payload.data(), payload.size(), header, pair->key));
    for (const auto& a : to) sendTo(datagram.data(), datagram.size(), a);
}

void Sink::rememberFrame(uint32_t seq, const std::vector<Bytes>& datagrams) {
    std::lock_guard<std::mutex> g(lock_);
    for (size_t i = 0; i < datagrams.size(); ++i) rememberLocked(seq, static_cast<uint16_t>(i), datagrams[i]);
}

void Sink::rememberLocked(uint32_t seq, uint16_t index, const Bytes& datagram) {
    if (recent_.find(seq) == recent_.end()) {
        recent_[seq];
        recentOrder_.push_back(seq);
        while (recentOrder_.size() > kRecentFrames) {
            recent_.erase(recentOrder_.front());
            recentOrder_.erase(recentOrder_.begin());
        }
    }
    recent_[seq][index] = datagram;
}

void Sink::resend(uint32_t seq, const std::vector<uint16_t>& indices, const sockaddr_in& to) {
    // Copy under the lock, send after it: sending must not hold up the frame sender.
    std::vector<Bytes> out;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto frame = recent_.find(seq);
        if (frame == recent_.end()) return;
        // A chunk named twice in one request goes out once.
        std::vector<bool> taken(size_t{UINT16_MAX} + 1, false);
        for (uint16_t idx : indices) {
            if (taken[idx]) continue;
            taken[idx] = true;
            auto it = frame->second.find(idx);
            if (it != frame->second.end()) out.push_back(it->second);
        }
    }
    for (const Bytes& d : out) sendTo(d.data(), d.size(), to);
}

// ---- state for the other rooms --------------------------------------------------

bool Sink::sending() {
    std::lock_guard<std::mutex> g(lock_);
    return sending_;
}

void Sink::setParamPayload(Bytes payload) {
    std::lock_guard<std::mutex> g(lock_);
    paramPayload_ = std::move(payload);
}

std::optional<Bytes> Sink::paramPayload() {
    std::lock_guard<std::mutex> g(lock_);
    return paramPayload_;
}

std::optional<std::vector<Bytes>> Sink::thumbnailChunks() {
    std::optional<Bytes> jpeg;
    if (d_.thumbnailJPEG) jpeg = d_.thumbnailJPEG(160);
    if (!jpeg) {
        d_.log.streamLog("썸네일 요청 — 아직 프레임이 없다");
        return std::nullopt;
    }
    uint8_t gen = static_cast<uint8_t>(thumbGen_.fetch_add(1) + 1);
    size_t size = jpeg->size();
    if (size == 0 || size > kThumbMaxBytes) {
        d_.log.streamLog("썸네일이 너무 크다 " + std::to_string(size) + "B");
        return std::nullopt;
    }
    size_t count = (size + kThumbChunk - 1) / kThumbChunk;
    std::vector<Bytes> chunks;
    chunks.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        size_t off = i * kThumbChunk;
        size_t len = std::min(kThumbChunk, size - off);
        Bytes c(5 + len);
        c[0] = 'T';
        c[1] = 'H';
        c[2] = gen;
        c[3] = static_cast<uint8_t>(count);
        c[4] = static_cast<uint8_t>(i);
        std::copy(jpeg->begin() + static_cast<std::ptrdiff_t>(off),
                  jpeg->begin() + static_cast<std::ptrdiff_t>(off + len), c.begin() + 5);
        chunks.push_back(std::move(c));
    }
    return chunks;
}

}  // namespace vm::video
