#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "phone/phone_link.h"

namespace vm::phone {

bool resolveIPv4(const std::string& host, uint16_t port, sockaddr_in* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || !res) {
        if (error) *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return false;
    }
    std::memcpy(out, res->ai_addr, sizeof *out);
    out->sin_port = htons(port);
    ::freeaddrinfo(res);
    return true;
}

std::unique_ptr<UdpLink> UdpLink::open(const std::string& host, uint16_t port, std::string* error) {
    sockaddr_in addr{};
    if (!resolveIPv4(host, port, &addr, error)) return nullptr;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (error) *error = "connect " + host + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<UdpLink>(new UdpLink(fd));
}

UdpLink::~UdpLink() {
    if (fd_ >= 0) ::close(fd_);
}

bool UdpLink::send(const std::string& text) {
    ssize_t n = ::send(fd_, text.data(), text.size(), 0);
    // Nobody listening shows up as a refused send after an earlier datagram; the
    // caller simply retransmits.
    return n == static_cast<ssize_t>(text.size());
}

std::optional<Bytes> UdpLink::receive(double timeoutSeconds) {
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + std::chrono::duration_cast<Steady::duration>(
                                              std::chrono::duration<double>(timeoutSeconds > 0 ? timeoutSeconds : 0));
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
        if (left < 0) left = 0;
        pollfd p{fd_, POLLIN, 0};
        int pr = ::poll(&p, 1, static_cast<int>(left));
        if (pr < 0 && errno == EINTR) continue;
        if (pr <= 0) return std::nullopt;
        Bytes buf(65536);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < 0) {
            // ECONNREFUSED: an ICMP answer to an earlier datagram; keep waiting.
            if (left == 0) return std::nullopt;
            continue;
        }
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
}

}  // namespace vm::phone
