#pragma once
// The encrypted control channel's server: DTLS 1.2 with pre-shared keys on one
// UDP socket, several phones demultiplexed by their source address. Every
// OpenSSL object lives on the control queue; a receive thread only reads
// datagrams and posts them there.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_inbox.h"
#include "control/phone_state.h"

namespace vm {

// Handshakes that may be in progress at once. When all are taken, the oldest one of
// the address holding the most gives way to a newcomer from an address holding fewer.
inline constexpr size_t kDtlsMaxHandshaking = 32;
// Handshakes in progress from one IPv4 address; further ones from it are turned away.
inline constexpr size_t kDtlsMaxHandshakingPerAddress = 4;
// Finished sessions kept at once; beyond it the one silent longest is closed.
inline constexpr size_t kDtlsMaxSessions = 64;
// The largest datagram taken in: one full DTLS 1.2 record (header, 2^14 bytes of
// plaintext and the 2048 bytes of expansion the protocol allows).
inline constexpr size_t kDtlsMaxDatagram = 13 + 16384 + 2048;
// Datagrams read but not yet handled on the control queue; beyond this they are dropped.
inline constexpr size_t kDtlsMaxPending = 1024;

// A finished session that ends (for whatever reason) leaves a message with
// `peerClosed` set in the inbox, after everything it delivered. A failed handshake
// gives up its place at once.
class DtlsServer {
public:
    DtlsServer(const Clock& clock, Logger& log, CtlInbox& inbox, PhoneState& phone, SerialQueue& ctlQueue,
               uint16_t port);
    ~DtlsServer();
    DtlsServer(const DtlsServer&) = delete;
    DtlsServer& operator=(const DtlsServer&) = delete;

    // Replaces the listener with one for `psks` (identity, key). With an empty list
    // the port is closed. Established peers keep their sessions, except those whose
    // identity is no longer in the list: an unpaired phone loses its access at once.
    void restart(std::vector<std::pair<std::string, Bytes>> psks);
    // A 5-second repeating sweep of the peers on the control queue.
    void startPeerSweep();
    // Handshakes older than 15 s are logged and cancelled; ready peers silent for more
    // than 60 s are cancelled silently.
    void sweepPeers();
    // "BYE\n" to every peer (each cancelled once it went out, and revoked at once), the
    // list emptied, the current phone forgotten.
    void farewellAll();
    // One message to every peer whose handshake is complete (sent on the control queue).
    void sendToReadyPeers(const Bytes& message);
    size_t peerCount();
    // The UDP port the listener is bound to (the configured one, or the one the
    // system chose for port 0); 0 when no socket is open.
    uint16_t boundPort() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace vm
