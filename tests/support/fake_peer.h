#pragma once
// Test doubles for the transport edges: a control peer and a plain socket that
// record what the agent sends.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "control/ctl_peer.h"
#include "control/ctl_send.h"

namespace vm::testing {

class RecordingPeer final : public CtlPeer {
public:
    explicit RecordingPeer(double born, std::string ip = "192.168.1.20") : CtlPeer(born), ip_(std::move(ip)) {}
    void send(const Bytes& m) override {
        std::lock_guard<std::mutex> lk(mu);
        sent.push_back(toString(m));
    }
    void sendThenCancel(const Bytes& m) override {
        send(m);
        cancelled = true;
    }
    void cancel() override { cancelled = true; }
    std::string endpoint() const override { return ip_ + ":50000"; }
    std::optional<uint32_t> ipv4() const override {
        in_addr a{};
        if (inet_pton(AF_INET, ip_.c_str(), &a) != 1) return std::nullopt;
        uint32_t v;
        std::memcpy(&v, &a, 4);
        return v;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lk(mu);
        return sent;
    }

    std::mutex mu;
    std::vector<std::string> sent;
    bool cancelled = false;

private:
    std::string ip_;
};

class RecordingPlain final : public PlainSender {
public:
    struct Sent {
        sockaddr_in to;
        std::string data;
    };
    void sendTo(const sockaddr_storage& to, socklen_t, const Bytes& data) override {
        sockaddr_in a{};
        std::memcpy(&a, &to, sizeof a);
        sent.push_back({a, toString(data)});
    }
    std::vector<Sent> sent;
};

// A plain-datagram source address 10.0.0.x:port.
inline void setSource(sockaddr_storage& ss, socklen_t& len, uint8_t host, uint16_t portNumber = 40000) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(portNumber);
    a.sin_addr.s_addr = htonl((10u << 24) | host);
    std::memset(&ss, 0, sizeof ss);
    std::memcpy(&ss, &a, sizeof a);
    len = sizeof a;
}

}  // namespace vm::testing
