#pragma once
// The plain local port: one IPv4 UDP socket for pairing, liveness and key checks.
// Its receive loop turns every datagram into a plain CtlMsg; replies leave through
// the same socket so they come from the port the phone wrote to.
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "control/ctl_inbox.h"
#include "control/ctl_send.h"

namespace vm {

class PlainPort : public PlainSender {
public:
    static constexpr size_t kRecvBuffer = 2048;  // longer datagrams are cut to this
    static constexpr size_t kAddrBuffer = 128;

    explicit PlainPort(CtlInbox& inbox);
    ~PlainPort() override;
    PlainPort(const PlainPort&) = delete;
    PlainPort& operator=(const PlainPort&) = delete;

    // Binds to `port` on all IPv4 addresses (0 picks a free one). False on failure,
    // with the system's reason in `why` when given.
    bool bind(uint16_t port, std::string* why = nullptr);
    // The port actually bound, 0 when not bound.
    uint16_t boundPort() const;

    // One sendto; the result is ignored.
    void sendTo(const sockaddr_storage& to, socklen_t toLen, const Bytes& data) override;

    // The receive loop (`ctlRawLoop`): returns only after stop().
    void rawLoop();
    // Ends rawLoop() from any thread; the socket stays usable for sends.
    void stop();

private:
    CtlInbox& inbox_;
    int fd_ = -1;
    int socketError_ = 0;     // errno of a socket that could not be made
    int wake_[2] = {-1, -1};  // self-pipe that interrupts the loop's poll
    std::atomic<bool> stopping_{false};
};

}  // namespace vm
