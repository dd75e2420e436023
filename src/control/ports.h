#pragma once
// The agent's network ports. VELLOMARK_PORT_OFFSET (0…10000) moves all of them
// together, so that several agents (tests) can run on one machine.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/text.h"

namespace vm {

inline constexpr uint16_t kPlainPort = 47822;  // plain UDP: pairing, liveness, local tools
inline constexpr uint16_t kVideoPort = 47823;  // video datagrams
inline constexpr uint16_t kCtlPort = 47824;    // DTLS control channel
inline constexpr uint16_t kFilePort = 47825;   // TLS file channel

inline uint16_t portOffset() {
    const char* v = std::getenv("VELLOMARK_PORT_OFFSET");
    const auto n = parseInt<int>(v ? v : "");
    if (!n || *n < 0 || *n > 10000) return 0;
    return static_cast<uint16_t>(*n);
}

inline uint16_t port(uint16_t base) { return static_cast<uint16_t>(base + portOffset()); }

}  // namespace vm
