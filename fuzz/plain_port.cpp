// Datagrams on the plain port, pairing included, as the input loop routes them.
// The input is cut into datagrams at 0xFF; they come from three source addresses in
// turn. "@COMMIT@", "@PUB@", "@BADCOMMIT@" and "@BADPUB@" stand for a phone's real
// commitment and key (and for a committed string that is no curve point), which a
// fuzzer could never find, so a whole exchange up to the confirmation code is reached.
#include "control/plain_port.h"
#include "fuzz/loop_rig.h"

using namespace vm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& world = fuzz::World::get();
    world.resetClock();
    fuzz::LoopRig rig;
    uint8_t host = 0;
    for (auto& datagram : fuzz::pieces(data, size)) {
        // The socket cuts what it reads to its buffer.
        fuzz::expandPairingPlaceholders(datagram);
        if (datagram.size() > PlainPort::kRecvBuffer) datagram.resize(PlainPort::kRecvBuffer);
        if (datagram.empty()) continue;  // the loop never queues an empty datagram
        CtlMsg msg;
        msg.bytes = toBytes(datagram);
        msg.plain = true;
        fuzz::setSource(msg.from, msg.fromLen, static_cast<uint8_t>(1 + host++ % 3));
        rig.route(msg);
    }
    return 0;
}
