#pragma once
// The phone's video socket on loopback, as the latency benchmarks receive the stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace vm::bench {

class LoopbackSocket {
public:
    LoopbackSocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd_ < 0) fail("socket");
        int buf = 8 << 20;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            fail("bind");
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackSocket() { ::close(fd_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    uint16_t port() const { return port_; }
    // Waits up to `ms` for a datagram, then hands every datagram waiting to `take`.
    template <typename F>
    void drain(int ms, F&& take) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) return;
        uint8_t buf[2048];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n < 0) return;
            take(buf, static_cast<size_t>(n));
        }
    }

private:
    [[noreturn]] static void fail(const char* what) {
        std::perror(what);
        std::exit(1);
    }
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace vm::bench
