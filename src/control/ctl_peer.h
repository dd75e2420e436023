#pragma once
// One encrypted control connection as the rest of the agent sees it. The DTLS
// transport provides the real one; tests provide their own.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace vm {

class CtlPeer {
public:
    explicit CtlPeer(double bornAt) : born(bornAt), lastSeen(bornAt) {}
    virtual ~CtlPeer() = default;
    CtlPeer(const CtlPeer&) = delete;
    CtlPeer& operator=(const CtlPeer&) = delete;

    // Sends one complete message; fire and forget.
    virtual void send(const Bytes& message) = 0;
    // Sends one message and closes the connection once it has gone out.
    virtual void sendThenCancel(const Bytes& message) = 0;
    virtual void cancel() = 0;
    // The remote endpoint for logs, "a.b.c.d:port".
    virtual std::string endpoint() const = 0;
    // The remote IPv4 address as its four bytes lie in the socket address (memory
    // order), when the remote endpoint is an IPv4 host.
    virtual std::optional<uint32_t> ipv4() const = 0;

    std::string phoneID() const {
        std::lock_guard<std::mutex> lk(idMu_);
        return phoneID_;
    }
    void setPhoneID(std::string id) {
        std::lock_guard<std::mutex> lk(idMu_);
        phoneID_ = std::move(id);
    }

    const double born;               // seconds since 1970 when accepted
    std::atomic<bool> ready{false};  // handshake complete
    std::atomic<double> lastSeen;    // last non-empty message (or becoming ready)
    std::atomic<double> askedIDAt{0};
    // The agent sent this phone away (kick, unpair): what it sent before is no longer
    // obeyed, even if it still waits in the inbox.
    std::atomic<bool> revoked{false};
    // Some line of this connection reached the input dispatcher, so it may hold keys or buttons.
    std::atomic<bool> gaveInput{false};

private:
    mutable std::mutex idMu_;
    std::string phoneID_;
};

}  // namespace vm
