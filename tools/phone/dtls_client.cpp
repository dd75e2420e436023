#include "phone/dtls_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace vm::phone {

namespace {

constexpr const char* kCipher = "PSK-AES128-GCM-SHA256";
constexpr size_t kMaxPlain = 16384;

double monoNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string sslReason() {
    unsigned long e = ERR_peek_last_error();
    ERR_clear_error();
    if (e == 0) return {};
    const char* r = ERR_reason_error_string(e);
    if (r) return r;
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

int toPollMs(double seconds) {
    if (seconds <= 0) return 0;
    return static_cast<int>(std::min(seconds * 1000.0 + 1.0, 60'000.0));
}

}  // namespace

struct DtlsClient::Impl {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string identity;
    Bytes psk;
    mutable std::mutex mu;  // the SSL object is shared by senders and the receiver
    std::atomic<bool> isClosed{false};

    ~Impl() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }

    static unsigned int pskCallback(SSL* ssl, const char*, char* identity, unsigned int maxIdentity,
                                    unsigned char* psk, unsigned int maxPsk) {
        auto* self = static_cast<Impl*>(SSL_get_app_data(ssl));
        if (!self || self->identity.size() + 1 > maxIdentity || self->psk.size() > maxPsk || self->psk.empty())
            return 0;
        std::memcpy(identity, self->identity.c_str(), self->identity.size() + 1);
        std::copy(self->psk.begin(), self->psk.end(), psk);
        return static_cast<unsigned int>(self->psk.size());
    }
};

DtlsClient::DtlsClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DtlsClient::~DtlsClient() { close(); }

std::unique_ptr<DtlsClient> DtlsClient::connect(const std::string& host, uint16_t port, const std::string& identity,
                                                const Bytes& psk, double timeoutSeconds, std::string* error) {
    auto fail = [error](std::string why) -> std::unique_ptr<DtlsClient> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    const double deadline = monoNow() + timeoutSeconds;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res) != 0 || !res)
        return fail("cannot resolve " + host);
    sockaddr_in to{};
    std::memcpy(&to, res->ai_addr, std::min<size_t>(sizeof to, res->ai_addrlen));
    freeaddrinfo(res);

    auto impl = std::make_unique<Impl>();
    impl->identity = identity;
    impl->psk = psk;
    impl->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (impl->fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
    if (::connect(impl->fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        return fail(std::string("connect: ") + std::strerror(errno));

    impl->ctx = SSL_CTX_new(DTLS_client_method());
    if (!impl->ctx) return fail("TLS context: " + sslReason());
    SSL_CTX_set_min_proto_version(impl->ctx, DTLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(impl->ctx, DTLS1_2_VERSION);
    SSL_CTX_set_security_level(impl->ctx, 1);
    if (SSL_CTX_set_cipher_list(impl->ctx, kCipher) != 1) return fail("cipher suite: " + sslReason());
    SSL_CTX_set_options(impl->ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_session_cache_mode(impl->ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_psk_client_callback(impl->ctx, &Impl::pskCallback);

    impl->ssl = SSL_new(impl->ctx);
    if (!impl->ssl) return fail("TLS session: " + sslReason());
    SSL_set_app_data(impl->ssl, impl.get());
    BIO* bio = BIO_new_dgram(impl->fd, BIO_NOCLOSE);
    if (!bio) return fail("datagram BIO: " + sslReason());
    BIO_ADDR* peer = BIO_ADDR_new();
    BIO_ADDR_rawmake(peer, AF_INET, &to.sin_addr, sizeof to.sin_addr, to.sin_port);
    BIO_ctrl(bio, BIO_CTRL_DGRAM_SET_CONNECTED, 0, peer);
    BIO_ADDR_free(peer);
    SSL_set_bio(impl->ssl, bio, bio);
    SSL_set_connect_state(impl->ssl);

    for (;;) {
        int r = SSL_do_handshake(impl->ssl);
        if (r == 1) break;
        int err = SSL_get_error(impl->ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
            std::string why = sslReason();
            if (why.empty()) why = errno ? std::strerror(errno) : "handshake failed";
            return fail("DTLS handshake: " + why);
        }
        double left = deadline - monoNow();
        if (left <= 0) return fail("DTLS handshake timed out");
        double wait = left;
        timeval tv{};
        if (DTLSv1_get_timeout(impl->ssl, &tv) > 0)
            wait = std::min(wait, static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6);
        pollfd p{impl->fd, POLLIN, 0};
        int pr = ::poll(&p, 1, toPollMs(wait));
        if (pr == 0 && DTLSv1_handle_timeout(impl->ssl) < 0) return fail("DTLS handshake: " + sslReason());
    }
    return std::unique_ptr<DtlsClient>(new DtlsClient(std::move(impl)));
}

bool DtlsClient::send(const Bytes& message) {
    if (message.empty() || message.size() > kMaxPlain) return false;
    int fd = -1;
    for (int attempt = 0; attempt < 50; ++attempt) {
        {
            std::lock_guard<std::mutex> lk(impl_->mu);
            if (impl_->isClosed) return false;
            int n = SSL_write(impl_->ssl, message.data(), static_cast<int>(message.size()));
            if (n > 0) return true;
            int err = SSL_get_error(impl_->ssl, n);
            ERR_clear_error();
            if (err != SSL_ERROR_WANT_WRITE) return false;
            fd = impl_->fd;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
    return false;
}

std::optional<Bytes> DtlsClient::receive(double timeoutSeconds) {
    const double deadline = monoNow() + timeoutSeconds;
    Bytes buf(kMaxPlain);
    int fd = -1;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(impl_->mu);
            if (impl_->isClosed) return std::nullopt;
            int n = SSL_read(impl_->ssl, buf.data(), static_cast<int>(buf.size()));
            if (n > 0) {
                buf.resize(static_cast<size_t>(n));
                return buf;
            }
            int err = SSL_get_error(impl_->ssl, n);
            if (err == SSL_ERROR_ZERO_RETURN) {
                // The agent closed the session: answer in kind, then stop.
                SSL_shutdown(impl_->ssl);
                impl_->isClosed = true;
                ERR_clear_error();
                return std::nullopt;
            }
            if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) {
                // A fatal alert or a socket error: the session is gone.
                impl_->isClosed = true;
                ERR_clear_error();
                return std::nullopt;
            }
            ERR_clear_error();
            fd = impl_->fd;
        }
        double left = deadline - monoNow();
        if (left <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, toPollMs(std::min(left, 0.25)));
    }
}

bool DtlsClient::closed() const { return impl_->isClosed.load(); }

void DtlsClient::close() {
    if (!impl_) return;
    std::lock_guard<std::mutex> lk(impl_->mu);
    if (impl_->isClosed.exchange(true)) return;
    SSL_shutdown(impl_->ssl);
    ERR_clear_error();
    if (impl_->fd >= 0) ::close(impl_->fd);
    impl_->fd = -1;
}

}  // namespace vm::phone
