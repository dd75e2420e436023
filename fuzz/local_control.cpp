// What a local tool writes to the control socket: the whole text is checked as the
// socket checks it, then queued line by line as local messages and routed by the
// input loop. A text that decides on a pairing ("PAIROK"/"PAIRNO") finds one waiting:
// the rig's phone asked and opened request 1 over the plain port first.
#include "control/local_control.h"
#include "fuzz/loop_rig.h"

using namespace vm;

namespace {

void openPairingRequest(fuzz::LoopRig& rig) {
    for (std::string line : {"PAIR2 phone-B TWluamkncyBpUGFk @COMMIT@", "POPEN 1 @PUB@"}) {
        fuzz::expandPairingPlaceholders(line);
        CtlMsg msg;
        msg.bytes = toBytes(line);
        msg.plain = true;
        fuzz::setSource(msg.from, msg.fromLen, 9);
        rig.route(msg);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& world = fuzz::World::get();
    world.resetClock();
    const std::string_view text = fuzz::asText(data, size);
    if (!localControlCheck(text).empty()) return 0;  // answered "ERR …", nothing queued
    fuzz::LoopRig rig;
    if (text.find("PAIROK") != std::string_view::npos || text.find("PAIRNO") != std::string_view::npos)
        openPairingRequest(rig);
    sendToCursor(rig.inbox, text);
    while (auto msg = rig.inbox.pop(0)) rig.route(*msg);
    return 0;
}
