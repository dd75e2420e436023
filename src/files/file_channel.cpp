#include "files/file_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <thread>

#include "base/base64.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"

namespace vm {

namespace {

constexpr const char* kCipher = "PSK-AES128-GCM-SHA256";
constexpr double kFirstLineSeconds = 10.0;  // handshake and first line together
constexpr double kPutReadSeconds = 60.0;    // backstop behind the 30 s stall sweep
constexpr double kWriteSeconds = 30.0;

void setTimeout(int fd, int opt, double seconds) {
    timeval tv{};
    if (seconds > 0) {
        tv.tv_sec = static_cast<time_t>(seconds);
        tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
    }
    ::setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
}

bool parseInt(const std::string& s, int64_t* out) {
    std::string_view v(s);
    if (!v.empty() && v[0] == '+') v.remove_prefix(1);
    if (v.empty() || v[0] == '+') return false;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), *out);
    return ec == std::errc() && p == v.data() + v.size();
}

std::string sslError() {
    unsigned long e = ERR_get_error();
    if (e == 0) return std::strerror(errno);
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return buf;
}

// One accepted TLS connection on a blocking socket.
class TlsConn final : public FileConn {
public:
    TlsConn(int fd, SSL* ssl, std::string endpoint) : fd_(fd), ssl_(ssl), endpoint_(std::move(endpoint)) {}
    ~TlsConn() override {
        if (ssl_) SSL_free(ssl_);
        ::close(fd_);
    }

    bool handshake() {
        ERR_clear_error();
        return SSL_accept(ssl_) == 1;
    }

    ReadResult read(size_t maxBytes) override {
        ReadResult r;
        if (cancelled_.load() || closed_) {
            r.error = true;
            r.why = "cancelled";
            return r;
        }
        r.data.resize(std::max<size_t>(1, maxBytes));
        ERR_clear_error();
        int n = SSL_read(ssl_, r.data.data(), static_cast<int>(r.data.size()));
        if (n > 0) {
            r.data.resize(static_cast<size_t>(n));
            return r;
        }
        r.data.clear();
        const int err = SSL_get_error(ssl_, n);
        if (err == SSL_ERROR_ZERO_RETURN) {
            r.eof = true;
        } else {
            r.error = true;
            r.why = cancelled_.load() ? "cancelled" : (errno == EAGAIN || errno == EWOULDBLOCK) ? "timed out" : sslError();
            broken_ = true;
        }
        return r;
    }

    bool write(const uint8_t* data, size_t len, std::string* error) override {
        if (cancelled_.load() || broken_ || closed_) {
            if (error) *error = "connection closed";
            return false;
        }
        size_t off = 0;
        while (off < len) {
            ERR_clear_error();
            const int chunk = static_cast<int>(std::min<size_t>(len - off, 1 << 20));
            int n = SSL_write(ssl_, data + off, chunk);
            if (n <= 0) {
                if (error)
                    *error = cancelled_.load() ? "cancelled"
                             : (errno == EAGAIN || errno == EWOULDBLOCK) ? "timed out" : sslError();
                broken_ = true;
                return false;
            }
            off += static_cast<size_t>(n);
        }
        return true;
    }

    void replyAndClose(std::string_view line) override {
        std::string text(line);
        text += '\n';
        write(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr);
        finishAndClose();
    }

    void finishAndClose() override {
        if (closed_) return;
        closed_ = true;
        if (!broken_ && !cancelled_.load()) {
            ERR_clear_error();
            SSL_shutdown(ssl_);
            ::shutdown(fd_, SHUT_WR);
            // Let the phone read what was sent: closing with unread input would reset
            // the connection and could throw away the reply. Drain briefly.
            setTimeout(fd_, SO_RCVTIMEO, 0.25);
            char sink[4096];
            for (int i = 0; i < 8 && !cancelled_.load(); ++i) {
                ssize_t n = ::recv(fd_, sink, sizeof sink, 0);
                if (n <= 0) break;
            }
        }
        cancel();
    }

    void cancel() override {
        if (cancelled_.exchange(true)) return;
        ::shutdown(fd_, SHUT_RDWR);
    }

    void setReadTimeout(double seconds) override { setTimeout(fd_, SO_RCVTIMEO, seconds); }
    std::string endpoint() const override { return endpoint_; }
    int fd() const { return fd_; }

private:
    int fd_;
    SSL* ssl_;
    std::string endpoint_;
    std::atomic<bool> cancelled_{false};
    bool broken_ = false;
    bool closed_ = false;
};

}  // namespace

struct FileChannel::Listener {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    std::vector<std::pair<std::string, Bytes>> psks;
    std::atomic<bool> stopped{false};
    std::thread acceptThread;
    std::mutex connsMu;
    std::vector<std::weak_ptr<FileConn>> conns;
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
                         SerialQueue& fileQueue, uint16_t port)
    : clock_(clock), log_(log), receive_(receive), send_(send), text_(text), fileQueue_(fileQueue), port_(port) {
    // A phone that vanishes mid-write must fail the write, not end the process.
    ::signal(SIGPIPE, SIG_IGN);
}

FileChannel::~FileChannel() {
    stop();
    // Connection threads use this object; wait for them to notice the cancel.
    for (int i = 0; i < 500 && conns_.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
    SSL_CTX_set_psk_server_callback(l->ctx, filePsk);

    l->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (l->fd < 0) return fail();
    int one = 1;
    ::setsockopt(l->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port_);
    if (::bind(l->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(l->fd, 16) != 0) return fail();
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
    l->acceptThread = std::thread([this, raw = l.get()] {
        while (!raw->stopped.load()) {
            pollfd p{raw->fd, POLLIN, 0};
            int r = ::poll(&p, 1, 200);
            if (r <= 0) continue;
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            int c = ::accept4(raw->fd, reinterpret_cast<sockaddr*>(&from), &flen, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
            if (conns_.load() >= kFileMaxConns) {
                ::close(c);
                continue;
            }
            char ip[INET_ADDRSTRLEN] = {0};
            ::inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
            std::string endpoint = std::string(ip) + ":" + std::to_string(ntohs(from.sin_port));
            std::shared_ptr<Listener> self;
            {
                std::lock_guard<std::mutex> lk(mu_);
                if (listener_.get() == raw) self = listener_;
            }
            if (!self) {
                ::close(c);
                continue;
            }
            conns_.fetch_add(1);
            std::thread([this, self, c, endpoint] {
                serve(self, c, endpoint);
                conns_.fetch_sub(1);
            }).detach();
        }
    });
}

void FileChannel::serve(std::shared_ptr<Listener> l, int fd, std::string endpoint) {
    SSL* ssl = SSL_new(l->ctx);
    if (!ssl) {
        ::close(fd);
        return;
    }
    SSL_set_fd(ssl, fd);
    auto conn = std::make_shared<TlsConn>(fd, ssl, endpoint);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setTimeout(fd, SO_RCVTIMEO, kFirstLineSeconds);
    setTimeout(fd, SO_SNDTIMEO, kWriteSeconds);
    {
        std::lock_guard<std::mutex> lk(l->connsMu);
        l->conns.erase(std::remove_if(l->conns.begin(), l->conns.end(), [](auto& w) { return w.expired(); }),
                       l->conns.end());
        l->conns.push_back(conn);
    }
    if (l->stopped.load()) return;
    // The handshake and the first line share one deadline, so trickling bytes buys nothing.
    auto pastFirst = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<FileConn> weak = conn;
    fileQueue_.asyncAfter(kFirstLineSeconds, [weak, pastFirst] {
        if (pastFirst->load()) return;
        if (auto c = weak.lock()) c->cancel();
    });
    if (!conn->handshake()) {
        conn->cancel();
        return;
    }
    log_.logLine("파일 채널 연결 — " + endpoint + "\n");
    conn->setReadTimeout(kFirstLineSeconds);
    readRequest(conn, [pastFirst] { pastFirst->store(true); });
}

void FileChannel::fileReadRequest(const FileConnPtr& conn) { readRequest(conn, nullptr); }

void FileChannel::readRequest(const FileConnPtr& conn, const std::function<void()>& onLine) {
    Bytes buffer;
    FirstLine fl;
    while (true) {
        auto r = conn->read(1024);
        if (r.data.empty()) {
            conn->cancel();
            return;
        }
        const size_t old = buffer.size();
        buffer.resize(old + r.data.size());
        std::copy(r.data.begin(), r.data.end(), buffer.begin() + static_cast<std::ptrdiff_t>(old));
        fl = fileFirstLine(buffer);
        if (fl.state == FirstLine::tooLong) {
            log_.logLine("파일 채널 — 첫 줄이 너무 길다, 닫는다\n");
            conn->cancel();
            return;
        }
        if (fl.state == FirstLine::done) break;
    }
    if (onLine) onLine();
    auto req = fileParseRequest(fl.line);
    if (!req) {
        log_.logLine("파일 채널 — 첫 줄이 이상하다, 닫는다\n");
        conn->cancel();
        return;
    }
    switch (req->kind) {
        case FileRequest::put:
            conn->setReadTimeout(kPutReadSeconds);
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
