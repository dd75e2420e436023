#include "control/plain_port.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vm {

static void setCloexec(int fd) {
    if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

PlainPort::PlainPort(CtlInbox& inbox) : inbox_(inbox) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) socketError_ = errno;
    setCloexec(fd_);
    if (::pipe(wake_) != 0) {
        wake_[0] = wake_[1] = -1;
    } else {
        setCloexec(wake_[0]);
        setCloexec(wake_[1]);
        ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
    }
}

PlainPort::~PlainPort() {
    stop();
    if (fd_ >= 0) ::close(fd_);
    for (int& w : wake_) {
        if (w >= 0) ::close(w);
        w = -1;
    }
}

bool PlainPort::bind(uint16_t port, std::string* why) {
    int err = socketError_;
    if (fd_ >= 0) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return true;
        err = errno;
    }
    if (why) *why = std::strerror(err);
    return false;
}

uint16_t PlainPort::boundPort() const {
    if (fd_ < 0) return 0;
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

void PlainPort::sendTo(const sockaddr_storage& to, socklen_t toLen, const Bytes& data) {
    if (fd_ < 0 || toLen == 0) return;
    ssize_t r = ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                         std::min<socklen_t>(toLen, sizeof to));
    (void)r;
}

void PlainPort::rawLoop() {
    if (fd_ < 0) return;
    uint8_t buf[kRecvBuffer];
    static_assert(sizeof(sockaddr_storage) >= kAddrBuffer);
    while (!stopping_.load()) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int nfds = wake_[0] >= 0 ? 2 : 1;
        int pr = ::poll(fds, nfds, nfds == 2 ? -1 : 500);
        if (pr < 0) {
            if (errno == EINTR) continue;
            // Socket errors on the plain port are ignored; do not spin on them.
            ::usleep(10'000);
            continue;
        }
        if (nfds == 2 && (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & (POLLIN | POLLERR))) continue;

        sockaddr_storage from{};
        socklen_t fromLen = kAddrBuffer;
        // A datagram longer than the buffer is truncated by the kernel to the buffer size.
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 1) continue;  // error or empty datagram
        CtlMsg msg;
        msg.bytes.resize(static_cast<size_t>(n));
        std::copy(buf, buf + n, msg.bytes.begin());
        msg.plain = true;
        msg.loopback = false;
        msg.from = from;
        msg.fromLen = std::min<socklen_t>(fromLen, kAddrBuffer);
        inbox_.push(std::move(msg));
    }
}

void PlainPort::stop() {
    if (stopping_.exchange(true)) return;
    if (wake_[1] >= 0) {
        char c = 1;
        ssize_t r = ::write(wake_[1], &c, 1);
        (void)r;
    }
}

}  // namespace vm
