#include "phone/file_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>

#include "base/base64.h"

namespace vm::phone {

namespace {

struct Tls {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string identity;
    Bytes psk;
    ~Tls() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }
};

unsigned int clientPsk(SSL* ssl, const char*, char* identity, unsigned int maxIdentity, unsigned char* psk,
                       unsigned int maxPsk) {
    auto* t = static_cast<Tls*>(SSL_get_app_data(ssl));
    if (!t || t->identity.size() + 1 > maxIdentity || t->psk.size() > maxPsk) return 0;
    std::memcpy(identity, t->identity.c_str(), t->identity.size() + 1);
    std::copy(t->psk.begin(), t->psk.end(), psk);
    return static_cast<unsigned int>(t->psk.size());
}

std::string sslErr() {
    unsigned long e = ERR_get_error();
    if (!e) return errno ? std::strerror(errno) : "connection closed";
    char b[256];
    ERR_error_string_n(e, b, sizeof b);
    return b;
}

std::unique_ptr<Tls> open(const FileLink& l, std::string* err) {
    ::signal(SIGPIPE, SIG_IGN);
    auto t = std::make_unique<Tls>();
    t->identity = l.identity;
    t->psk = l.psk;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(l.host.c_str(), std::to_string(l.port).c_str(), &hints, &res) != 0 || !res) {
        *err = "cannot resolve " + l.host;
        return nullptr;
    }
    t->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{static_cast<time_t>(l.timeout), 0};
    ::setsockopt(t->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(t->fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int rc = ::connect(t->fd, res->ai_addr, res->ai_addrlen);
    ::freeaddrinfo(res);
    if (rc != 0) {
        *err = std::string("connect: ") + std::strerror(errno);
        return nullptr;
    }
    t->ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(t->ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(t->ctx, TLS1_2_VERSION);
    SSL_CTX_set_security_level(t->ctx, 1);
    SSL_CTX_set_cipher_list(t->ctx, "PSK-AES128-GCM-SHA256");
    SSL_CTX_set_psk_client_callback(t->ctx, clientPsk);
    t->ssl = SSL_new(t->ctx);
    SSL_set_app_data(t->ssl, t.get());
    SSL_set_fd(t->ssl, t->fd);
    if (SSL_connect(t->ssl) != 1) {
        *err = "TLS handshake failed: " + sslErr();
        return nullptr;
    }
    return t;
}

bool writeAll(Tls& t, const void* d, size_t n) {
    const auto* p = static_cast<const uint8_t*>(d);
    while (n > 0) {
        int w = SSL_write(t.ssl, p, static_cast<int>(std::min<size_t>(n, 1 << 16)));
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads until the peer ends the stream; the reply line without its line feed.
std::string readReply(Tls& t) {
    std::string r;
    char buf[1024];
    while (true) {
        int n = SSL_read(t.ssl, buf, sizeof buf);
        if (n <= 0) break;
        r.append(buf, static_cast<size_t>(n));
        if (r.size() > 4096) break;
    }
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
    return r;
}

}  // namespace

FileResult filePut(const FileLink& link, const std::string& path, const std::string& nameOverride) {
    FileResult res;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        res.error = "cannot read " + path;
        if (fd >= 0) ::close(fd);
        return res;
    }
    auto t = open(link, &res.error);
    if (!t) {
        ::close(fd);
        return res;
    }
    const std::string name = nameOverride.empty() ? std::filesystem::path(path).filename().string() : nameOverride;
    const std::string line = "PUT " + std::to_string(st.st_size) + " " + base64Encode(name) + "\n";
    bool ok = writeAll(*t, line.data(), line.size());
    std::vector<char> buf(262144);
    while (ok) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        ok = writeAll(*t, buf.data(), static_cast<size_t>(n));
        res.bytes += n;
    }
    ::close(fd);
    res.reply = readReply(*t);
    res.ok = !res.reply.empty();
    if (!res.ok) res.error = "no reply from the Mac";
    return res;
}

FileResult fileTxt(const FileLink& link, const std::string& text, int64_t seq) {
    FileResult res;
    auto t = open(link, &res.error);
    if (!t) return res;
    const std::string msg = "TXT " + std::to_string(text.size()) + " " + std::to_string(seq) + "\n" + text;
    writeAll(*t, msg.data(), msg.size());
    res.bytes = static_cast<int64_t>(text.size());
    res.reply = readReply(*t);
    res.ok = !res.reply.empty();
    if (!res.ok) res.error = "no reply from the Mac";
    return res;
}

FileResult fileGet(const FileLink& link, int64_t id, bool fast, const std::string& outDir, const std::string& name) {
    FileResult res;
    auto t = open(link, &res.error);
    if (!t) return res;
    const std::string line = "GET " + std::to_string(id) + (fast ? " fast" : "") + "\n";
    if (!writeAll(*t, line.data(), line.size())) {
        res.error = "send failed";
        return res;
    }
    std::error_code ec;
    std::filesystem::create_directories(outDir, ec);
    std::string safe = name;
    std::replace(safe.begin(), safe.end(), '/', '_');
    if (safe.empty() || safe == "." || safe == "..") safe = "file";
    std::string target = outDir + "/" + safe;
    for (int n = 2; std::filesystem::exists(target); ++n) target = outDir + "/" + std::to_string(n) + "-" + safe;
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        res.error = "cannot create " + target;
        return res;
    }
    std::vector<char> buf(65536);
    bool clean = false;
    while (true) {
        int n = SSL_read(t->ssl, buf.data(), static_cast<int>(buf.size()));
        if (n <= 0) {
            clean = SSL_get_error(t->ssl, n) == SSL_ERROR_ZERO_RETURN;
            break;
        }
        if (::write(fd, buf.data(), static_cast<size_t>(n)) != n) break;
        res.bytes += n;
    }
    ::close(fd);
    res.path = target;
    res.ok = clean;
    if (!clean) res.error = "the transfer ended early";
    return res;
}

FileResult fileRaw(const FileLink& link, const Bytes& request, bool closeWrite) {
    FileResult res;
    auto t = open(link, &res.error);
    if (!t) return res;
    writeAll(*t, request.data(), request.size());
    if (closeWrite) {
        SSL_shutdown(t->ssl);
        ::shutdown(t->fd, SHUT_WR);
    }
    res.reply = readReply(*t);
    res.ok = true;
    return res;
}

}  // namespace vm::phone
