#pragma once
// The two ways the phone talks to the agent, as far as its commands care: plain
// datagrams (pairing, liveness, key check) and encrypted messages (control). The
// real ones sit on sockets; tests put scripted agents behind them.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace vm::phone {

class DatagramLink {
public:
    virtual ~DatagramLink() = default;
    virtual bool send(const std::string& text) = 0;
    // The next datagram from the agent, waiting at most `timeoutSeconds`.
    virtual std::optional<Bytes> receive(double timeoutSeconds) = 0;
};

class MessageLink {
public:
    virtual ~MessageLink() = default;
    virtual bool send(const std::string& text) = 0;
    // The next message, waiting at most `timeoutSeconds`; nothing on time-out or close.
    virtual std::optional<Bytes> receive(double timeoutSeconds) = 0;
    virtual bool closed() const = 0;
};

// Where a command writes: `out` for results (stdout), `err` for progress and
// problems (stderr). Each call is one line without its line feed.
struct Output {
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
};

// A UDP socket connected to host:port (IPv4), so only the agent's answers arrive.
class UdpLink final : public DatagramLink {
public:
    static std::unique_ptr<UdpLink> open(const std::string& host, uint16_t port, std::string* error);
    ~UdpLink() override;
    UdpLink(const UdpLink&) = delete;
    UdpLink& operator=(const UdpLink&) = delete;

    bool send(const std::string& text) override;
    std::optional<Bytes> receive(double timeoutSeconds) override;

private:
    explicit UdpLink(int fd) : fd_(fd) {}
    int fd_;
};

// Resolves an IPv4 host name or dotted address.
bool resolveIPv4(const std::string& host, uint16_t port, struct sockaddr_in* out, std::string* error);

}  // namespace vm::phone
