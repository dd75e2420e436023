// The input loop's routing and line handling for everything that is not a plain
// datagram: messages of two encrypted connections (one with an IPv4 address, one
// without), local messages, and the notice that a connection ended. The input is cut
// into messages at 0xFF; the first byte of each says where it comes from (its value
// modulo 4: connection A, connection B, local, A ended), the rest is the message.
#include "fuzz/loop_rig.h"

using namespace vm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& world = fuzz::World::get();
    world.resetClock();
    fuzz::LoopRig rig;
    auto a = std::make_shared<fuzz::SilentPeer>(world.clock.now());
    auto b = std::make_shared<fuzz::SilentPeer>(world.clock.now(), std::nullopt);
    for (auto& piece : fuzz::pieces(data, size)) {
        if (piece.empty()) continue;
        const int origin = static_cast<uint8_t>(piece[0]) % 4;
        CtlMsg msg;
        msg.bytes = toBytes(std::string_view(piece).substr(1));
        if (origin == 3) {
            msg.peer = a;
            msg.peerClosed = true;
            rig.route(msg);
            a = std::make_shared<fuzz::SilentPeer>(world.clock.now());
            continue;
        }
        if (msg.bytes.empty()) continue;  // connections deliver non-empty messages only
        if (origin == 2) msg.plain = msg.loopback = true;
        else msg.peer = origin == 0 ? a : b;
        rig.route(msg);
    }
    return 0;
}
