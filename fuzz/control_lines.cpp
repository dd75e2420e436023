// Control lines as the command dispatcher gets them: the message's lines (the
// input loop drops messages that are not UTF-8), each handed to `handle` in order,
// over the headless desktop with the real pointer, keyboard, text and agent rooms.
#include "control/ctl_msg.h"
#include "fuzz/rig.h"

using namespace vm;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& world = fuzz::World::get();
    world.resetClock();
    fuzz::InputRooms rooms;
    auto peer = std::make_shared<fuzz::SilentPeer>(world.clock.now());
    rooms.phone.setPhoneConn(peer);
    auto lines = ctlLines(Bytes(data, data + size));
    if (!lines) return 0;
    for (const auto& line : *lines) {
        rooms.handle(line);
        // Holds and clicks are timed: let a little time pass between lines.
        world.clock.advance(0.05);
        rooms.pointer.sweepHolds();
    }
    return 0;
}
