#pragma once
// The phone's end of the encrypted control channel: DTLS 1.2 over UDP with a
// pre-shared key and the one cipher suite the agent accepts. One send is one
// record (one datagram); one receive returns one record.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace vm::phone {

class DtlsClient {
public:
    // Connects to host:port and completes the handshake within `timeoutSeconds`.
    // On failure returns nothing and puts a readable reason into `error`.
    static std::unique_ptr<DtlsClient> connect(const std::string& host, uint16_t port,
                                               const std::string& identity, const Bytes& psk,
                                               double timeoutSeconds, std::string* error);
    ~DtlsClient();
    DtlsClient(const DtlsClient&) = delete;
    DtlsClient& operator=(const DtlsClient&) = delete;

    // Sends one message as one record; false when the connection is closed or the send failed.
    bool send(const Bytes& message);
    bool send(const std::string& text) { return send(toBytes(text)); }
    // The next record, waiting at most `timeoutSeconds`; nothing on time-out or when the
    // peer closed the connection (then closed() is true).
    std::optional<Bytes> receive(double timeoutSeconds);
    bool closed() const;
    // Sends a close_notify and closes the socket.
    void close();

private:
    struct Impl;
    explicit DtlsClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vm::phone
