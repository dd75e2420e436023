#include "files/file_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <list>
#include <optional>
#include <thread>

#include "base/text.h"
#include "base/base64.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"

namespace vm {

namespace {

using Steady = std::chrono::steady_clock;
constexpr const char* kCipher = "PSK-AES128-GCM-SHA256";
// After the last reply the peer gets this long to stop sending and close.
constexpr double kLingerSeconds = 5.0;
constexpr size_t kLingerBytes = 64u << 20;
constexpr size_t kReadAheadBytes = 128u << 10;

// A number of the first line, as base's strict parser reads it.
bool parseInt(const std::string& s, int64_t* out) {
    const auto v = vm::parseInt<int64_t>(s);
    if (v) *out = *v;
    return v.has_value();
}

std::string sslError(int sysErr) {
    unsigned long e = ERR_get_error();
    if (e == 0) return sysErr ? std::strerror(sysErr) : "connection closed";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

std::optional<Steady::time_point> deadlineIn(double seconds) {
    if (seconds <= 0) return std::nullopt;
    return Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(seconds));
}

// One accepted TLS connection. The socket does not block: every wait is a poll
// that also watches an event descriptor, so cancel() from any thread ends a wait
// at once, and every wait has its deadline. Records are read straight from the
// socket (several per system call); records written collect in a buffer that goes
// out in large sends rather than one system call per 16 KiB record.
class TlsConn final : public FileConn, public std::enable_shared_from_this<TlsConn> {
public:
    TlsConn(int fd, SSL* ssl, std::string endpoint, uint32_t addr)
        : fd_(fd), ssl_(ssl), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), endpoint_(std::move(endpoint)),
          addr_(addr) {
        BIO* in = BIO_new_socket(fd_, BIO_NOCLOSE);
        BIO* inner = nullptr;
        if (in && BIO_new_bio_pair(&inner, kSendBuffer, &out_, 0) == 1) {
            SSL_set_bio(ssl_, in, inner);
        } else {
            BIO_free(in);
            out_ = nullptr;
        }
    }
    ~TlsConn() override {
        // A connection given up resets, so a phone stuck behind unsent data learns it now.
        if (cancelled_.load() && !drained_) {
            linger lg{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        SSL_free(ssl_);
        if (out_) BIO_free(out_);
        ::close(fd_);
        if (wake_ >= 0) ::close(wake_);
        if (slot_) slot_->fetch_sub(1);
    }
    TlsConn(const TlsConn&) = delete;
    TlsConn& operator=(const TlsConn&) = delete;

    bool usable() const { return wake_ >= 0 && out_; }
    uint32_t addr() const { return addr_; }
    void setWriteTimeout(double seconds) { writeTimeout_ = seconds; }
    // Counts this connection in `counter` until it is destroyed.
    void holdSlot(std::shared_ptr<std::atomic<int>> counter) { slot_ = std::move(counter); }

    bool handshake(double seconds) {
        const auto deadline = deadlineIn(seconds);
        std::string why;
        while (true) {
            ERR_clear_error();
            const int rc = SSL_accept(ssl_);
            if (!flush(deadline, &why)) return false;
            if (rc == 1) return true;
            const int e = SSL_get_error(ssl_, rc);
            if (e == SSL_ERROR_WANT_WRITE) continue;  // the buffer went out just now
            if (e != SSL_ERROR_WANT_READ || waitFor(POLLIN, deadline) != Wait::ready) return false;
        }
    }

    ReadResult read(uint8_t* buf, size_t len) override {
        ReadResult r;
        if (cancelled_.load() || closed_) {
            r.error = true;
            r.why = "cancelled";
            return r;
        }
        if (ended_) return *ended_;
        const auto deadline = deadlineIn(readTimeout_);
        size_t got = 0;
        // Everything that has already arrived is taken in one call, record after record.
        while (got < len) {
            size_t n = 0;
            ERR_clear_error();
            errno = 0;
            const int rc = SSL_read_ex(ssl_, buf + got, len - got, &n);
            if (rc == 1) {
                got += n;
                continue;
            }
            const int sysErr = errno;
            const int e = SSL_get_error(ssl_, rc);
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                std::string why;
                if (e == SSL_ERROR_WANT_WRITE && flush(deadline, &why)) continue;
                if (got > 0) break;
                const Wait w = why.empty() ? waitFor(POLLIN, deadline) : Wait::timedOut;
                if (w == Wait::ready) continue;
                r.error = true;
                r.why = !why.empty() ? why : w == Wait::cancelled ? "cancelled" : "timed out";
                return r;
            }
            ReadResult end;
            if (e == SSL_ERROR_ZERO_RETURN) {
                end.eof = true;
            } else {
                end.error = true;
                end.why = sslError(sysErr);
                broken_ = true;
                if (!cancelled_.load()) lost_.store(true);
            }
            ended_ = end;
            if (got > 0) break;  // the end shows on the next read
            return end;
        }
        r.n = got;
        return r;
    }

    bool write(const uint8_t* data, size_t len, std::string* error) override {
        if (cancelled_.load() || broken_ || closed_) {
            if (error) *error = cancelled_.load() ? "cancelled" : "connection closed";
            return false;
        }
        const auto deadline = deadlineIn(writeTimeout_);
        std::string why;
        size_t off = 0;
        while (off < len) {
            size_t n = 0;
            ERR_clear_error();
            // A retry after WANT_WRITE passes the same bytes, as OpenSSL requires.
            const int rc = SSL_write_ex(ssl_, data + off, len - off, &n);
            if (rc == 1) {
                off += n;
                continue;
            }
            const int e = SSL_get_error(ssl_, rc);
            if (e == SSL_ERROR_WANT_WRITE) {
                if (flush(deadline, &why)) continue;
            } else {
                why = cancelled_.load() ? "cancelled" : sslError(0);
            }
            if (error) *error = why;
            broken_ = true;
            return false;
        }
        if (!flush(deadline, &why)) {
            if (error) *error = why;
            broken_ = true;
            return false;
        }
        return true;
    }

    bool lost() const override { return lost_.load(); }

    void replyAndClose(std::string_view line) override {
        std::string text(line);
        text += '\n';
        write(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr);
        finishAndClose();
    }

    void finishAndClose() override {
        if (closed_) return;
        closed_ = true;
        if (broken_ || cancelled_.load()) {
            cancel();
            return;
        }
        std::string why;
        ERR_clear_error();
        SSL_shutdown(ssl_);
        if (!flush(deadlineIn(writeTimeout_), &why)) {
            cancel();
            return;
        }
        ::shutdown(fd_, SHUT_WR);
        // Closing with the peer's bytes unread would reset the connection, and a reset
        // can destroy the reply before the phone reads it (a phone that sent more than
        // it announced is still sending). So what still comes is read and dropped
        // until the phone closes, on a thread of its own so no queue waits for it.
        std::thread([self = shared_from_this()] { self->drain(); }).detach();
    }

    void cancel() override {
        if (cancelled_.exchange(true)) return;
        const uint64_t one = 1;
        if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
            // Only a full counter fails, and that is awake already.
        }
        ::shutdown(fd_, SHUT_RDWR);
    }

    void setReadTimeout(double seconds) override { readTimeout_ = seconds; }
    std::string endpoint() const override { return endpoint_; }

private:
    enum class Wait { ready, timedOut, cancelled };
    static constexpr size_t kSendBuffer = 64u << 10;

    Wait waitFor(short events, std::optional<Steady::time_point> deadline) {
        pollfd p[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
        while (true) {
            if (cancelled_.load()) return Wait::cancelled;
            int timeout = -1;
            if (deadline) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Steady::now()).count();
                if (left <= 0) return Wait::timedOut;
                timeout = static_cast<int>(std::min<long long>(left, 1 << 30));
            }
            const int r = ::poll(p, 2, timeout);
            if (r < 0 && errno != EINTR) return Wait::ready;  // the next call reports the error
            if (cancelled_.load() || (r > 0 && p[1].revents)) return Wait::cancelled;
            if (r > 0 && p[0].revents) return Wait::ready;
        }
    }

    // Sends what TLS has written so far; false with the reason when the connection
    // failed, was cancelled or the deadline passed.
    bool flush(std::optional<Steady::time_point> deadline, std::string* why) {
        while (true) {
            char* p = nullptr;
            const int n = BIO_nread0(out_, &p);
            if (n <= 0) return true;
            const ssize_t k = ::send(fd_, p, static_cast<size_t>(n), MSG_NOSIGNAL);
            if (k > 0) {
                BIO_nread(out_, &p, static_cast<int>(k));
                continue;
            }
            if (k < 0 && errno == EINTR) continue;
            if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const Wait w = waitFor(POLLOUT, deadline);
                if (w == Wait::ready) continue;
                *why = w == Wait::cancelled ? "cancelled" : "timed out";
                return false;
            }
            if (cancelled_.load()) {
                *why = "cancelled";
            } else {
                *why = std::strerror(k < 0 ? errno : EPIPE);
                lost_.store(true);
            }
            return false;
        }
    }

    void drain() {
        const auto deadline = deadlineIn(kLingerSeconds);
        size_t dropped = 0;
        char sink[16384];
        while (dropped < kLingerBytes && waitFor(POLLIN, deadline) == Wait::ready) {
            const ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
            if (n > 0) {
                dropped += static_cast<size_t>(n);
            } else if (n == 0) {
                drained_ = true;
                return;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return;
            }
        }
    }

    int fd_;
    SSL* ssl_;
    BIO* out_ = nullptr;  // our end of the pair TLS writes into
    int wake_;
    std::string endpoint_;
    uint32_t addr_;
    std::shared_ptr<std::atomic<int>> slot_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> lost_{false};
    std::optional<ReadResult> ended_;
    double readTimeout_ = 0;
    double writeTimeout_ = 30.0;
    bool broken_ = false;
    bool closed_ = false;
    bool drained_ = false;
};

}  // namespace

struct FileChannel::Listener {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    std::vector<std::pair<std::string, Bytes>> psks;
    FileChannelLimits limits;
    std::atomic<bool> stopped{false};
    std::thread acceptThread;
    std::mutex connsMu;
    std::vector<std::weak_ptr<TlsConn>> conns;  // for stop()
    std::list<std::weak_ptr<TlsConn>> pending;  // still in their handshake, oldest first
    std::shared_ptr<std::atomic<int>> authed = std::make_shared<std::atomic<int>>(0);
    ~Listener() {
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }
};

static unsigned int filePsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLen) {
    auto* l = static_cast<FileChannel::Listener*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    if (!l || !identity) return 0;
    for (const auto& [id, key] : l->psks) {
        if (id != identity) continue;
        if (key.empty() || key.size() > maxLen) return 0;
        std::copy(key.begin(), key.end(), psk);
        return static_cast<unsigned int>(key.size());
    }
    return 0;
}

FirstLine fileFirstLine(const Bytes& buffer) {
    FirstLine r;
    auto nl = std::find(buffer.begin(), buffer.end(), uint8_t{'\n'});
    if (nl == buffer.end()) {
        r.state = buffer.size() > kFileFirstLineMax ? FirstLine::tooLong : FirstLine::more;
        return r;
    }
    r.state = FirstLine::done;
    r.line.assign(buffer.begin(), nl);
    r.first.resize(static_cast<size_t>(buffer.end() - nl - 1));
    std::copy(nl + 1, buffer.end(), r.first.begin());
    return r;
}

std::optional<FileRequest> fileParseRequest(const std::string& line) {
    if (!isValidUtf8(line)) return std::nullopt;
    std::vector<std::string> w;
    for (size_t i = 0; i <= line.size();) {
        size_t j = line.find(' ', i);
        if (j == std::string::npos) j = line.size();
        if (j > i) w.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    if (w.empty()) return std::nullopt;
    FileRequest r;
    if (w[0] == "PUT" && w.size() >= 3) {
        r.kind = FileRequest::put;
        if (!parseInt(w[1], &r.size)) return std::nullopt;
        auto name = base64Decode(w[2]);
        if (!name) return std::nullopt;
        r.name = toString(*name);
        if (!isValidUtf8(r.name)) return std::nullopt;
        return r;
    }
    if (w[0] == "TXT" && w.size() >= 3) {
        r.kind = FileRequest::txt;
        if (!parseInt(w[1], &r.size) || !parseInt(w[2], &r.seq)) return std::nullopt;
        return r;
    }
    if (w[0] == "GET" && w.size() >= 2) {
        r.kind = FileRequest::get;
        if (!parseInt(w[1], &r.id)) return std::nullopt;
        r.fast = w.size() >= 3 && w[2] == "fast";
        return r;
    }
    return std::nullopt;
}

FileChannel::FileChannel(const Clock& clock, Logger& log, FileReceive& receive, FileSend& send, LongText& text,
                         SerialQueue& /*fileQueue*/, uint16_t port)
    : clock_(clock), log_(log), receive_(receive), send_(send), text_(text), port_(port) {
    // A phone that vanishes mid-write must fail the write, not end the process.
    ::signal(SIGPIPE, SIG_IGN);
}

FileChannel::~FileChannel() {
    stop();
    // Connection threads use this object; wait for them to notice the cancel.
    for (int i = 0; i < 500 && conns_.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void FileChannel::setLimits(const FileChannelLimits& limits) {
    std::lock_guard<std::mutex> serial(restartMu_);
    limits_ = limits;
}

void FileChannel::stop() {
    std::lock_guard<std::mutex> serial(restartMu_);
    stopLocked();
}

void FileChannel::stopLocked() {
    std::shared_ptr<Listener> old;
    {
        std::lock_guard<std::mutex> lk(mu_);
        old = std::move(listener_);
    }
    bound_.store(0);
    if (!old) return;
    old->stopped.store(true);
    if (old->acceptThread.joinable()) old->acceptThread.join();
    std::lock_guard<std::mutex> lk(old->connsMu);
    for (auto& w : old->conns)
        if (auto c = w.lock()) c->cancel();
}

void FileChannel::restart(std::vector<std::pair<std::string, Bytes>> psks) {
    std::lock_guard<std::mutex> serial(restartMu_);
    stopLocked();
    if (psks.empty()) return;
    auto l = std::make_shared<Listener>();
    l->psks = std::move(psks);
    l->limits = limits_;
    const std::string portText = std::to_string(port_);
    auto fail = [&] { log_.logLine("⚠︎ 파일 리스너를 못 만들었다 (tcp/" + portText + ")\n"); };
    l->ctx = SSL_CTX_new(TLS_server_method());
    if (!l->ctx) return fail();
    SSL_CTX_set_app_data(l->ctx, l.get());
    SSL_CTX_set_min_proto_version(l->ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(l->ctx, TLS1_2_VERSION);
    // Plain PSK has no forward secrecy, which higher security levels refuse.
    SSL_CTX_set_security_level(l->ctx, 1);
    if (SSL_CTX_set_cipher_list(l->ctx, kCipher) != 1) return fail();
    SSL_CTX_set_options(l->ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                                    SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(l->ctx, SSL_SESS_CACHE_OFF);
    // One socket read takes in many records at once: far fewer system calls per byte
    // than a header read and a body read for each 16 KiB record.
    SSL_CTX_set_read_ahead(l->ctx, 1);
    SSL_CTX_set_default_read_buffer_len(l->ctx, kReadAheadBytes);
    SSL_CTX_set_psk_server_callback(l->ctx, filePsk);

    l->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l->fd < 0) return fail();
    int one = 1;
    ::setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port_);
    if (::bind(l->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l->fd, 64) != 0) return fail();
    socklen_t alen = sizeof a;
    ::getsockname(l->fd, reinterpret_cast<sockaddr*>(&a), &alen);
    const uint16_t actual = ntohs(a.sin_port);
    bound_.store(actual);
    log_.logLine("listening tls/" + std::to_string(actual) + " — 파일 채널\n");
    {
        // Published before the accept thread runs, so its first connection finds it.
        std::lock_guard<std::mutex> lk(mu_);
        listener_ = l;
    }
    l->acceptThread = std::thread([this, raw = l.get()] { acceptLoop(raw); });
}

void FileChannel::acceptLoop(Listener* raw) {
    const FileChannelLimits& lim = raw->limits;
    // Threads of connections that were told to go may take a moment to end; beyond
    // this many, newcomers are turned away until they have.
    const int maxThreads = lim.pending + lim.conns + 16;
    while (!raw->stopped.load()) {
        pollfd p{raw->fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) continue;
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        const int c = ::accept4(raw->fd, reinterpret_cast<sockaddr*>(&from), &flen, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (c < 0) {
            if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        std::shared_ptr<Listener> self;
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (listener_.get() == raw) self = listener_;
        }
        SSL* ssl = self && conns_.load() < maxThreads ? SSL_new(self->ctx) : nullptr;
        if (!ssl) {
            ::close(c);
            continue;
        }
        int one = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char ip[INET_ADDRSTRLEN] = {0};
        ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        auto conn = std::make_shared<TlsConn>(c, ssl, std::string(ip) + ":" + std::to_string(ntohs(from.sin_port)),
                                              from.sin_addr.s_addr);
        if (!conn->usable()) continue;
        conn->setWriteTimeout(lim.writeSeconds);
        {
            // Before the handshake nobody is known. The newest connection from an address
            // pushes out that address's oldest, and the newest overall the oldest overall,
            // so idle sockets can delay a phone by no more than its own handshake.
            std::lock_guard<std::mutex> lk(self->connsMu);
            auto& q = self->pending;
            q.remove_if([](const std::weak_ptr<TlsConn>& w) { return w.expired(); });
            int fromHere = 0;
            for (auto& w : q)
                if (auto p = w.lock(); p && p->addr() == conn->addr()) ++fromHere;
            for (auto it = q.begin(); fromHere >= lim.pendingPerAddress && it != q.end();) {
                auto p = it->lock();
                if (p && p->addr() == conn->addr()) {
                    p->cancel();
                    it = q.erase(it);
                    --fromHere;
                } else {
                    ++it;
                }
            }
            while (static_cast<int>(q.size()) >= lim.pending && !q.empty()) {
                if (auto p = q.front().lock()) p->cancel();
                q.pop_front();
            }
            q.push_back(conn);
            self->conns.erase(std::remove_if(self->conns.begin(), self->conns.end(),
                                             [](const std::weak_ptr<TlsConn>& w) { return w.expired(); }),
                              self->conns.end());
            self->conns.push_back(conn);
        }
        conns_.fetch_add(1);
        std::thread([this, self, conn] {
            serve(self, conn);
            conns_.fetch_sub(1);
        }).detach();
    }
}

void FileChannel::serve(const std::shared_ptr<Listener>& l, const std::shared_ptr<FileConn>& base) {
    auto conn = std::static_pointer_cast<TlsConn>(base);
    const bool shook = !l->stopped.load() && conn->handshake(l->limits.handshakeSeconds);
    {
        std::lock_guard<std::mutex> lk(l->connsMu);
        l->pending.remove_if([&](const std::weak_ptr<TlsConn>& w) {
            auto p = w.lock();
            return !p || p == conn;
        });
    }
    if (!shook || l->stopped.load()) {
        conn->cancel();
        return;
    }
    // Only key holders get this far; their number is bounded as well.
    if (l->authed->fetch_add(1) >= l->limits.conns) {
        l->authed->fetch_sub(1);
        conn->cancel();
        return;
    }
    conn->holdSlot(l->authed);
    log_.logLine("파일 채널 연결 — " + conn->endpoint() + "\n");
    readRequest(conn, l->limits);
}

void FileChannel::fileReadRequest(const FileConnPtr& conn) {
    FileChannelLimits limits;
    {
        std::lock_guard<std::mutex> serial(restartMu_);
        limits = limits_;
    }
    readRequest(conn, limits);
}

void FileChannel::readRequest(const FileConnPtr& conn, const FileChannelLimits& limits) {
    const double deadline = clock_.now() + limits.firstLineSeconds;
    Bytes buffer;
    FirstLine fl;
    uint8_t chunk[1024];
    while (true) {
        // The first line has one deadline in all, so trickling bytes buys nothing.
        const double left = deadline - clock_.now();
        if (left <= 0) {
            conn->cancel();
            return;
        }
        conn->setReadTimeout(left);
        auto r = conn->read(chunk, sizeof chunk);
        if (r.n == 0) {
            conn->cancel();
            return;
        }
        buffer.insert(buffer.end(), chunk, chunk + r.n);
        fl = fileFirstLine(buffer);
        if (fl.state == FirstLine::tooLong) {
            log_.logLine("파일 채널 — 첫 줄이 너무 길다, 닫는다\n");
            conn->cancel();
            return;
        }
        if (fl.state == FirstLine::done) break;
    }
    auto req = fileParseRequest(fl.line);
    if (!req) {
        log_.logLine("파일 채널 — 첫 줄이 이상하다, 닫는다\n");
        conn->cancel();
        return;
    }
    switch (req->kind) {
        case FileRequest::put:
            conn->setReadTimeout(limits.putReadSeconds);
            receive_.fileInRun(conn, req->name, req->size, fl.first);
            break;
        case FileRequest::txt:
            text_.textInStart(conn, req->size, req->seq, fl.first);
            break;
        case FileRequest::get:
            send_.fileGet(conn, req->id, req->fast);
            break;
    }
}

}  // namespace vm
