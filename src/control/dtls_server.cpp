#include "control/dtls_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "base/crypto.h"
#include "control/ctl_peer.h"
#include "control/ctl_throttle.h"

namespace vm {

namespace {

constexpr size_t kRecordHeader = 13;
constexpr size_t kAeadOverhead = 8 + 16;  // AES-GCM's explicit nonce and tag
constexpr size_t kMaxPlain = 16384;
// Our datagrams stay below a common path MTU; handshake messages are fragmented to fit.
constexpr long kMtu = 1400;
constexpr double kHandshakeLimit = 15.0;
constexpr double kSilenceLimit = 60.0;
constexpr double kStrangerLogEvery = 10.0;
constexpr const char* kCipher = "PSK-AES128-GCM-SHA256";

uint64_t addrKey(const sockaddr_in& a) {
    return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
}

std::string hostOf(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return ip;
}

std::string endpointOf(const sockaddr_in& a) { return hostOf(a) + ":" + std::to_string(ntohs(a.sin_port)); }

// " · 모두 N개" when a throttled log line stands for more than one event.
std::string countNote(size_t n) { return n > 1 ? " · 모두 " + std::to_string(n) + "개" : std::string(); }

// A plaintext (epoch 0) ClientHello: a new connection attempt, never part of an
// established session.
bool isInitialClientHello(const Bytes& d) {
    return d.size() > kRecordHeader && d[0] == 22 && d[1] == 0xFE && d[3] == 0 && d[4] == 0 &&
           d[kRecordHeader] == 1;
}

// Whether every record of a datagram for a known peer could be one of its own.
// Anyone can send from the phone's address, and OpenSSL has been seen to end a
// whole session on a malformed record (an encrypted one too short for nonce and
// tag) instead of discarding it as DTLS should; such datagrams never reach it.
// What passes and still fails to authenticate, OpenSSL drops by itself.
bool plausibleRecords(const Bytes& d) {
    size_t off = 0;
    while (off < d.size()) {
        if (d.size() - off < kRecordHeader) return false;
        const uint8_t type = d[off];  // 20 to 23: the four record types of DTLS 1.2
        const unsigned epoch = (static_cast<unsigned>(d[off + 3]) << 8) | d[off + 4];
        const size_t len = (static_cast<size_t>(d[off + 11]) << 8) | d[off + 12];
        if (type < 20 || type > 23 || d[off + 1] != 0xFE) return false;
        if (len > d.size() - off - kRecordHeader) return false;
        // No renegotiation, so no epoch after the first encrypted one.
        if (epoch > 1 || (epoch == 1 && len < kAeadOverhead)) return false;
        off += kRecordHeader + len;
    }
    return true;
}

std::string lastSslError() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0) return "unknown error";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    const char* reason = ERR_reason_error_string(e);
    return reason ? std::string(reason) : std::string(buf);
}

}  // namespace

class DtlsPeer;

struct DtlsServer::Core : std::enable_shared_from_this<DtlsServer::Core> {
    Core(const Clock& c, Logger& l, CtlInbox& i, PhoneState& p, SerialQueue& q, uint16_t port)
        : clock(c), log(l), inbox(i), phone(p), queue(q), configuredPort(port), cookieSecret(randomBytes(32)) {}

    // Everything below, except the atomics, is touched only on `queue`.
    const Clock& clock;
    Logger& log;
    CtlInbox& inbox;
    PhoneState& phone;
    SerialQueue& queue;
    const uint16_t configuredPort;
    const Bytes cookieSecret;  // per process: cookies prove an address, they never outlive us

    SSL_CTX* ctx = nullptr;
    SSL* listener = nullptr;  // takes datagrams from sources without a peer
    std::vector<std::pair<std::string, Bytes>> psks;
    bool listening = false;
    bool shutDown = false;
    bool stopping = false;  // shutting down: ending sessions tells the input side nothing
    const sockaddr_in* currentSrc = nullptr;  // the address the SSL call in progress talks to

    std::vector<std::shared_ptr<DtlsPeer>> peers;  // acceptance order
    std::unordered_map<uint64_t, std::shared_ptr<DtlsPeer>> byAddr;

    // Log lines that strangers cause, one per period at most.
    LogThrottle capLog{kStrangerLogEvery};
    LogThrottle addressCapLog{kStrangerLogEvery};
    LogThrottle failedLog{kStrangerLogEvery};
    LogThrottle stalledLog{kStrangerLogEvery};
    std::unique_ptr<RepeatingTimer> sweepTimer;

    // Socket and its receive thread.
    int fd = -1;
    int wake[2] = {-1, -1};
    uint16_t lastPort = 0;
    uint64_t socketGen = 0;
    std::atomic<uint16_t> boundPort{0};
    std::atomic<bool> rxStop{false};
    std::atomic<size_t> pending{0};
    std::thread rx;

    bool ensureCtx();
    bool ensureListener();
    void freeListener();
    bool openSocket();
    void closeSocket();
    void rxLoop(int sock, int wakeFd, uint64_t gen);

    void restart(std::vector<std::pair<std::string, Bytes>> list);
    void onDatagram(const sockaddr_in& from, Bytes data);
    bool accept(const sockaddr_in& from, const Bytes& data, const std::shared_ptr<DtlsPeer>& replacing);
    bool makeRoomFor(const sockaddr_in& from);
    void feed(const std::shared_ptr<DtlsPeer>& p, const Bytes& data);
    void advanceHandshake(const std::shared_ptr<DtlsPeer>& p);
    void becameReady(const std::shared_ptr<DtlsPeer>& p);
    void handshakeFailed(const std::shared_ptr<DtlsPeer>& p);
    void readRecords(const std::shared_ptr<DtlsPeer>& p);
    void armTimer(const std::shared_ptr<DtlsPeer>& p);
    void flush(SSL* ssl, const sockaddr_in& to);
    void sendOn(const std::shared_ptr<DtlsPeer>& p, const Bytes& m, bool thenCancel);
    void remove(const std::shared_ptr<DtlsPeer>& p, bool notify);
    void sweep();
    void farewell();
    void shutdown();
    size_t handshaking() const;
    size_t handshakingFrom(const in_addr& host) const;
    bool knownIdentity(const std::string& id) const;
    Bytes cookieFor(const sockaddr_in& a) const;

    static Core* of(SSL* ssl) { return static_cast<Core*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))); }
};

class DtlsPeer final : public CtlPeer, public std::enable_shared_from_this<DtlsPeer> {
public:
    DtlsPeer(double bornAt, const sockaddr_in& a, std::weak_ptr<DtlsServer::Core> core)
        : CtlPeer(bornAt), addr(a), key(addrKey(a)), endpoint_(endpointOf(a)), core_(std::move(core)) {}

    void send(const Bytes& message) override { post(message, false); }
    void sendThenCancel(const Bytes& message) override { post(message, true); }
    void cancel() override {
        auto core = core_.lock();
        if (!core) return;
        core->queue.async([core, self = shared_from_this()] {
            if (!core->shutDown) core->remove(self, true);
        });
    }
    std::string endpoint() const override { return endpoint_; }
    std::optional<uint32_t> ipv4() const override {
        uint32_t v;
        std::memcpy(&v, &addr.sin_addr, 4);
        return v;
    }

    const sockaddr_in addr;
    const uint64_t key;
    // Control-queue state.
    SSL* ssl = nullptr;
    bool removed = false;
    bool timerArmed = false;
    std::string identity;  // as the handshake named it

private:
    void post(const Bytes& message, bool thenCancel) {
        auto core = core_.lock();
        if (!core) return;
        core->queue.async([core, self = shared_from_this(), message, thenCancel] {
            if (!core->shutDown) core->sendOn(self, message, thenCancel);
        });
    }

    const std::string endpoint_;
    std::weak_ptr<DtlsServer::Core> core_;
};

// ---- OpenSSL callbacks (run inside SSL calls made on the control queue) ----

static int genCookie(SSL* ssl, unsigned char* cookie, unsigned int* len) {
    auto* c = DtlsServer::Core::of(ssl);
    if (!c || !c->currentSrc) return 0;
    Bytes mac = c->cookieFor(*c->currentSrc);
    std::copy(mac.begin(), mac.end(), cookie);
    *len = static_cast<unsigned int>(mac.size());
    return 1;
}

static int verifyCookie(SSL* ssl, const unsigned char* cookie, unsigned int len) {
    auto* c = DtlsServer::Core::of(ssl);
    if (!c || !c->currentSrc) return 0;
    Bytes given(len);
    std::copy(cookie, cookie + len, given.begin());
    return constantTimeEqual(given, c->cookieFor(*c->currentSrc)) ? 1 : 0;
}

static unsigned int serverPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLen) {
    auto* c = DtlsServer::Core::of(ssl);
    if (!c || !identity) return 0;
    if (auto* p = static_cast<DtlsPeer*>(SSL_get_app_data(ssl))) p->identity = identity;
    for (const auto& [id, key] : c->psks) {
        if (id != identity) continue;
        if (key.empty() || key.size() > maxLen) return 0;
        std::copy(key.begin(), key.end(), psk);
        return static_cast<unsigned int>(key.size());
    }
    return 0;
}

// ---- Core ----

Bytes DtlsServer::Core::cookieFor(const sockaddr_in& a) const {
    Bytes in(6);
    std::memcpy(in.data(), &a.sin_addr, 4);
    std::memcpy(in.data() + 4, &a.sin_port, 2);
    return hmacSha256(cookieSecret, in);
}

bool DtlsServer::Core::ensureCtx() {
    if (ctx) return true;
    ctx = SSL_CTX_new(DTLS_server_method());
    if (!ctx) return false;
    SSL_CTX_set_app_data(ctx, this);
    SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, DTLS1_2_VERSION);
    // Plain PSK has no forward secrecy, which security levels above 2 refuse; pin a
    // level that allows our one suite whatever the system configuration says.
    SSL_CTX_set_security_level(ctx, 1);
    SSL_CTX_set_cipher_list(ctx, kCipher);
    SSL_CTX_set_options(ctx, SSL_OP_COOKIE_EXCHANGE | SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION |
                                 SSL_OP_NO_COMPRESSION | SSL_OP_NO_QUERY_MTU);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_cookie_generate_cb(ctx, genCookie);
    SSL_CTX_set_cookie_verify_cb(ctx, verifyCookie);
    SSL_CTX_set_psk_server_callback(ctx, serverPsk);
    return true;
}

bool DtlsServer::Core::ensureListener() {
    if (listener) return true;
    if (!ensureCtx()) return false;
    listener = SSL_new(ctx);
    if (!listener) return false;
    BIO* rb = BIO_new(BIO_s_mem());
    BIO* wb = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(rb, -1);
    BIO_set_mem_eof_return(wb, -1);
    SSL_set_bio(listener, rb, wb);
    SSL_set_mtu(listener, kMtu);
    return true;
}

void DtlsServer::Core::freeListener() {
    if (listener) SSL_free(listener);
    listener = nullptr;
}

bool DtlsServer::Core::openSocket() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return false;
    // No SO_REUSEADDR: on UDP it would let a second agent bind the same port and
    // quietly take over its datagrams; a second agent must fail and say so instead.
    auto tryBind = [s](uint16_t p) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(p);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        return ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    };
    // With port 0 we keep the port the system gave us the first time, so phones
    // (and tests) find the listener where it was after a restart.
    bool ok = configuredPort != 0 ? tryBind(configuredPort)
                                  : ((lastPort != 0 && tryBind(lastPort)) || tryBind(0));
    if (!ok || ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(s);
        return false;
    }
    sockaddr_in got{};
    socklen_t len = sizeof got;
    getsockname(s, reinterpret_cast<sockaddr*>(&got), &len);
    fd = s;
    lastPort = ntohs(got.sin_port);
    boundPort = lastPort;
    ++socketGen;
    rxStop = false;
    rx = std::thread([this, s, w = wake[0], g = socketGen] { rxLoop(s, w, g); });
    return true;
}

void DtlsServer::Core::closeSocket() {
    if (fd < 0) return;
    rxStop = true;
    char b = 1;
    ssize_t r = ::write(wake[1], &b, 1);
    (void)r;
    if (rx.joinable()) rx.join();
    ::close(fd);
    ::close(wake[0]);
    ::close(wake[1]);
    fd = wake[0] = wake[1] = -1;
    boundPort = 0;
    ++socketGen;  // datagrams still queued from this socket are ignored
}

void DtlsServer::Core::rxLoop(int sock, int wakeFd, uint64_t gen) {
    std::weak_ptr<Core> weak = weak_from_this();
    Bytes buf(65536);
    while (!rxStop.load()) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) break;
        for (;;) {
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            ssize_t n = ::recvfrom(sock, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &flen);
            if (n < 0) break;  // drained (or an ICMP error from a vanished phone)
            // Too short for a record header, or larger than any honest record: not ours.
            if (static_cast<size_t>(n) < kRecordHeader || static_cast<size_t>(n) > kDtlsMaxDatagram) continue;
            if (flen != sizeof from || from.sin_family != AF_INET) continue;
            // The control queue is busy: shed load here rather than queue without bound.
            if (pending.load() >= kDtlsMaxPending) continue;
            ++pending;
            Bytes data(static_cast<size_t>(n));
            std::copy(buf.begin(), buf.begin() + n, data.begin());
            queue.async([weak, gen, from, data = std::move(data)]() mutable {
                auto c = weak.lock();
                if (!c) return;
                --c->pending;
                if (c->shutDown || gen != c->socketGen) return;
                c->onDatagram(from, std::move(data));
            });
        }
    }
}

size_t DtlsServer::Core::handshaking() const {
    return static_cast<size_t>(std::count_if(peers.begin(), peers.end(), [](const auto& p) { return !p->ready; }));
}

size_t DtlsServer::Core::handshakingFrom(const in_addr& host) const {
    return static_cast<size_t>(std::count_if(peers.begin(), peers.end(), [&](const auto& p) {
        return !p->ready && p->addr.sin_addr.s_addr == host.s_addr;
    }));
}

bool DtlsServer::Core::knownIdentity(const std::string& id) const {
    return std::any_of(psks.begin(), psks.end(), [&](const auto& e) { return e.first == id; });
}

void DtlsServer::Core::restart(std::vector<std::pair<std::string, Bytes>> list) {
    if (shutDown) return;
    listening = false;
    freeListener();
    psks = std::move(list);

    // A phone whose key was removed must not keep its session (nor finish a handshake
    // begun under the old list).
    for (auto p : std::vector<std::shared_ptr<DtlsPeer>>(peers)) {
        bool drop = psks.empty() || (!p->identity.empty() && !knownIdentity(p->identity));
        if (!drop) continue;
        if (p->ready) log.logLine("짝이 풀린 폰의 DTLS 연결을 끊는다 — " + p->endpoint() + "\n");
        p->revoked = true;
        remove(p, true);
    }

    if (psks.empty()) {
        closeSocket();
        log.logLine("짝지어진 폰이 없다 — DTLS 리스너를 안 연다. 짝짓기(PAIR)를 기다린다\n");
        return;
    }
    if (fd < 0 && !openSocket()) {
        log.logLine("⚠︎ DTLS 리스너를 못 만들었다 (udp/" + std::to_string(configuredPort) + ")\n");
        return;
    }
    if (!ensureListener()) {
        log.logLine("⚠︎ DTLS 리스너 실패: " + lastSslError() + "\n");
        return;
    }
    listening = true;
    log.logLine("listening dtls/" + std::to_string(boundPort.load()) + " — 짝지어진 폰 " +
                std::to_string(psks.size()) + "대\n");
}

void DtlsServer::Core::onDatagram(const sockaddr_in& from, Bytes data) {
    auto it = byAddr.find(addrKey(from));
    if (it != byAddr.end()) {
        auto p = it->second;
        // A fresh ClientHello from the address of a finished session is a new
        // connection, e.g. the phone app restarted behind the same NAT port. It goes
        // through the cookie exchange like any stranger.
        if (p->ready && isInitialClientHello(data)) {
            if (listening) accept(from, data, p);
            return;
        }
        feed(p, data);
        return;
    }
    if (listening) accept(from, data, nullptr);
}

bool DtlsServer::Core::accept(const sockaddr_in& from, const Bytes& data, const std::shared_ptr<DtlsPeer>& replacing) {
    if (!ensureListener()) return false;
    BIO* rb = SSL_get_rbio(listener);
    BIO_reset(rb);
    BIO_reset(SSL_get_wbio(listener));
    BIO_write(rb, data.data(), static_cast<int>(data.size()));
    currentSrc = &from;
    BIO_ADDR* client = BIO_ADDR_new();
    int r = DTLSv1_listen(listener, client);
    BIO_ADDR_free(client);
    flush(listener, from);  // the HelloVerifyRequest, when one was made
    currentSrc = nullptr;
    ERR_clear_error();
    if (r < 0) freeListener();  // start over with a clean object
    if (r != 1) return false;
    // The source proved its address; only now may it take (or free) a place.
    if (!makeRoomFor(from)) {
        freeListener();
        return false;
    }

    // The listener becomes the source's connection.
    SSL* ssl = listener;
    listener = nullptr;
    if (replacing) remove(replacing, false);
    auto p = std::make_shared<DtlsPeer>(clock.now(), from, weak_from_this());
    p->ssl = ssl;
    SSL_set_app_data(ssl, p.get());
    peers.push_back(p);
    byAddr[p->key] = p;
    advanceHandshake(p);
    return true;
}

bool DtlsServer::Core::makeRoomFor(const sockaddr_in& from) {
    const double now = clock.now();
    const size_t fromHere = handshakingFrom(from.sin_addr);
    if (fromHere >= kDtlsMaxHandshakingPerAddress) {
        if (auto n = addressCapLog.tick(now))
            log.logLine("⚠︎ DTLS 핸드셰이크 중인 연결이 한 주소(" + hostOf(from) + ")에서 " +
                        std::to_string(kDtlsMaxHandshakingPerAddress) + "개 — 새 연결 시도를 버린다 (" +
                        std::to_string(*n) + "개)\n");
        return false;
    }
    if (handshaking() < kDtlsMaxHandshaking) return true;
    // All places taken: the address holding the most gives up its oldest one, so
    // that neither one host nor many hosts at their own cap keep a newcomer out.
    std::unordered_map<uint32_t, size_t> perHost;
    for (const auto& p : peers)
        if (!p->ready) ++perHost[p->addr.sin_addr.s_addr];
    std::shared_ptr<DtlsPeer> victim;
    size_t most = 0;
    for (const auto& p : peers) {  // acceptance order: the first found is the oldest
        if (p->ready) continue;
        const size_t n = perHost[p->addr.sin_addr.s_addr];
        if (n > most) {
            most = n;
            victim = p;
        }
    }
    if (victim && most > fromHere) {
        remove(victim, false);
        return true;
    }
    if (auto n = capLog.tick(now))
        log.logLine("⚠︎ DTLS 핸드셰이크 중인 연결이 " + std::to_string(kDtlsMaxHandshaking) +
                    "개 — 새 연결 시도를 버린다 (" + std::to_string(*n) + "개)\n");
    return false;
}

void DtlsServer::Core::feed(const std::shared_ptr<DtlsPeer>& p, const Bytes& data) {
    if (!p->ssl || !plausibleRecords(data)) return;
    BIO_write(SSL_get_rbio(p->ssl), data.data(), static_cast<int>(data.size()));
    if (p->ready) readRecords(p);
    else advanceHandshake(p);
}

void DtlsServer::Core::advanceHandshake(const std::shared_ptr<DtlsPeer>& p) {
    currentSrc = &p->addr;
    int r = SSL_do_handshake(p->ssl);
    int err = r == 1 ? SSL_ERROR_NONE : SSL_get_error(p->ssl, r);
    // Ready before our Finished leaves, so the phone never finds us behind it.
    if (r == 1) becameReady(p);
    flush(p->ssl, p->addr);
    currentSrc = nullptr;
    if (r == 1) {
        readRecords(p);  // application data may have come in the same datagram
        return;
    }
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
        armTimer(p);
        return;
    }
    handshakeFailed(p);
}

void DtlsServer::Core::becameReady(const std::shared_ptr<DtlsPeer>& p) {
    p->ready = true;
    p->lastSeen = clock.now();
    log.logLine("DTLS 연결 — " + p->endpoint() + "\n");
    const auto ready = std::count_if(peers.begin(), peers.end(), [](const auto& q) { return q->ready.load(); });
    if (static_cast<size_t>(ready) <= kDtlsMaxSessions) return;
    // Only a key holder gets here; still, the table stays bounded.
    std::shared_ptr<DtlsPeer> quietest;
    for (const auto& q : peers)
        if (q != p && q->ready && (!quietest || q->lastSeen.load() < quietest->lastSeen.load())) quietest = q;
    if (!quietest) return;
    log.logLine("⚠︎ DTLS 연결이 " + std::to_string(kDtlsMaxSessions) + "개를 넘었다 — 가장 오래 조용한 연결을 끊는다 (" +
                quietest->endpoint() + ")\n");
    remove(quietest, true);
}

void DtlsServer::Core::handshakeFailed(const std::shared_ptr<DtlsPeer>& p) {
    // Unknown identity or a broken exchange: its place is free at once. (A wrong key
    // cannot be told from lost datagrams; that handshake stalls until the sweep.)
    ERR_clear_error();
    if (auto n = failedLog.tick(clock.now()))
        log.logLine("DTLS 핸드셰이크 실패 — 끊는다 (" + p->endpoint() + ") · PSK 가 다른 폰?" + countNote(*n) + "\n");
    remove(p, false);
}

void DtlsServer::Core::readRecords(const std::shared_ptr<DtlsPeer>& p) {
    static thread_local Bytes buf(kMaxPlain);
    while (p->ssl && !p->removed) {
        currentSrc = &p->addr;
        int n = SSL_read(p->ssl, buf.data(), static_cast<int>(buf.size()));
        currentSrc = nullptr;
        if (n > 0) {
            p->lastSeen = clock.now();
            CtlMsg m;
            m.bytes.resize(static_cast<size_t>(n));
            std::copy(buf.begin(), buf.begin() + n, m.bytes.begin());
            m.peer = p;
            inbox.push(std::move(m));
            continue;
        }
        int err = SSL_get_error(p->ssl, n);
        flush(p->ssl, p->addr);  // e.g. our last flight again, for a phone that missed it
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return;
        if (err == SSL_ERROR_ZERO_RETURN) {
            remove(p, true);  // the phone said goodbye
            return;
        }
        log.logLine("DTLS 연결 끊김 — " + p->endpoint() + ": " + lastSslError() + "\n");
        remove(p, false);
        return;
    }
}

void DtlsServer::Core::armTimer(const std::shared_ptr<DtlsPeer>& p) {
    if (p->timerArmed || !p->ssl || p->ready) return;
    timeval tv{};
    if (DTLSv1_get_timeout(p->ssl, &tv) <= 0) return;
    double s = static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
    p->timerArmed = true;
    std::weak_ptr<Core> wc = weak_from_this();
    std::weak_ptr<DtlsPeer> wp = p;
    queue.asyncAfter(std::max(s, 0.001), [wc, wp] {
        auto c = wc.lock();
        auto peer = wp.lock();
        if (!c || !peer || c->shutDown) return;
        peer->timerArmed = false;
        if (peer->removed || !peer->ssl || peer->ready) return;
        c->currentSrc = &peer->addr;
        int r = DTLSv1_handle_timeout(peer->ssl);  // retransmits our last flight when due
        c->flush(peer->ssl, peer->addr);
        c->currentSrc = nullptr;
        if (r < 0) {
            c->handshakeFailed(peer);
            return;
        }
        c->armTimer(peer);
    });
}

void DtlsServer::Core::flush(SSL* ssl, const sockaddr_in& to) {
    BIO* wb = SSL_get_wbio(ssl);
    size_t avail = BIO_ctrl_pending(wb);
    if (avail == 0 || fd < 0) {
        if (avail) BIO_reset(wb);
        return;
    }
    Bytes out(avail);
    int n = BIO_read(wb, out.data(), static_cast<int>(out.size()));
    if (n <= 0) return;
    out.resize(static_cast<size_t>(n));
    // The memory BIO joins what OpenSSL meant as separate datagrams; send each record
    // on its own so one record stays one message on the wire.
    size_t off = 0;
    while (off < out.size()) {
        size_t len = out.size() - off;
        if (len >= kRecordHeader) {
            size_t rec = kRecordHeader + ((static_cast<size_t>(out[off + 11]) << 8) | out[off + 12]);
            if (rec <= len) len = rec;
        }
        ::sendto(fd, out.data() + off, len, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        off += len;
    }
}

void DtlsServer::Core::sendOn(const std::shared_ptr<DtlsPeer>& p, const Bytes& m, bool thenCancel) {
    if (p->removed) return;
    if (p->ready && p->ssl && !m.empty() && m.size() <= kMaxPlain) {
        currentSrc = &p->addr;
        if (SSL_write(p->ssl, m.data(), static_cast<int>(m.size())) <= 0) ERR_clear_error();
        flush(p->ssl, p->addr);
        currentSrc = nullptr;
    }
    if (thenCancel) remove(p, true);
}

void DtlsServer::Core::remove(const std::shared_ptr<DtlsPeer>& p, bool notify) {
    if (p->removed) return;
    p->removed = true;
    if (p->ssl) {
        if (notify && p->ready) {
            currentSrc = &p->addr;
            SSL_shutdown(p->ssl);  // close_notify, so the phone knows at once
            flush(p->ssl, p->addr);
            currentSrc = nullptr;
        }
        ERR_clear_error();
        SSL_free(p->ssl);
        p->ssl = nullptr;
    }
    peers.erase(std::remove(peers.begin(), peers.end(), p), peers.end());
    auto it = byAddr.find(p->key);
    if (it != byAddr.end() && it->second == p) byAddr.erase(it);
    phone.clearPhoneConnIf(p.get());
    if (p->ready && !stopping) {
        // Behind everything the session delivered, so the input side sees it last.
        CtlMsg closed;
        closed.peer = p;
        closed.peerClosed = true;
        inbox.push(std::move(closed));
    }
}

void DtlsServer::Core::sweep() {
    if (shutDown) return;
    const double now = clock.now();
    std::vector<std::shared_ptr<DtlsPeer>> stalled;
    for (auto p : std::vector<std::shared_ptr<DtlsPeer>>(peers)) {
        if (!p->ready && now - p->born > kHandshakeLimit) {
            stalled.push_back(p);
        } else if (p->ready && now - p->lastSeen.load() > kSilenceLimit) {
            remove(p, true);
        }
    }
    if (stalled.empty()) return;
    if (auto n = stalledLog.tick(now, stalled.size()))
        log.logLine("DTLS 핸드셰이크 15초 미완 — 끊는다 (" + stalled.front()->endpoint() + ") · PSK 가 다른 폰?" +
                    countNote(*n) + "\n");
    for (const auto& p : stalled) remove(p, false);
}

void DtlsServer::Core::farewell() {
    if (shutDown) return;
    static const Bytes bye = toBytes("BYE\n");
    for (auto p : std::vector<std::shared_ptr<DtlsPeer>>(peers)) {
        p->revoked = true;
        sendOn(p, bye, true);
    }
    peers.clear();
    byAddr.clear();
    phone.setPhoneConn(nullptr);
    phone.hasPhone = false;
}

void DtlsServer::Core::shutdown() {
    if (shutDown) return;
    stopping = true;
    sweepTimer.reset();
    for (auto p : std::vector<std::shared_ptr<DtlsPeer>>(peers)) remove(p, true);
    listening = false;
    closeSocket();
    freeListener();
    if (ctx) SSL_CTX_free(ctx);
    ctx = nullptr;
    shutDown = true;
}

// ---- DtlsServer ----

DtlsServer::DtlsServer(const Clock& clock, Logger& log, CtlInbox& inbox, PhoneState& phone, SerialQueue& ctlQueue,
                       uint16_t port)
    : core_(std::make_shared<Core>(clock, log, inbox, phone, ctlQueue, port)) {}

DtlsServer::~DtlsServer() {
    auto c = core_;
    c->queue.sync([c] { c->shutdown(); });
}

void DtlsServer::restart(std::vector<std::pair<std::string, Bytes>> psks) {
    auto c = core_;
    c->queue.sync([c, &psks] { c->restart(std::move(psks)); });
}

void DtlsServer::startPeerSweep() {
    auto c = core_;
    c->queue.sync([c] {
        if (c->shutDown) return;
        std::weak_ptr<Core> weak = c;
        c->sweepTimer = std::make_unique<RepeatingTimer>(c->queue, 5.0, 5.0, [weak] {
            if (auto core = weak.lock()) core->sweep();
        });
    });
}

void DtlsServer::sweepPeers() {
    auto c = core_;
    c->queue.sync([c] { c->sweep(); });
}

void DtlsServer::farewellAll() {
    auto c = core_;
    c->queue.sync([c] { c->farewell(); });
}

void DtlsServer::sendToReadyPeers(const Bytes& message) {
    auto c = core_;
    c->queue.async([c, message] {
        for (auto& p : c->peers)
            if (p->ready) p->send(message);
    });
}

size_t DtlsServer::peerCount() {
    auto c = core_;
    size_t n = 0;
    c->queue.sync([c, &n] { n = c->peers.size(); });
    return n;
}

uint16_t DtlsServer::boundPort() const { return core_->boundPort.load(); }

}  // namespace vm
