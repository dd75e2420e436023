#pragma once
// The input-side loop as the agent builds it, over the rig's input rooms: the pair
// store (one phone paired), pairing, the inbox and `CursorMain`, its rooms wired to
// the real dispatcher, pointer, keyboard, input sources and agent mode.
#include <fstream>

#include "app/cursor_main.h"
#include "control/ctl_inbox.h"
#include "fuzz/rig.h"
#include "pairing/pair_store.h"
#include "pairing/pairing.h"

namespace vm::fuzz {

inline constexpr const char* kPairedPhone = "phone-A";

// pairings.json with one phone, written once; each input starts from a copy of it.
inline const std::string& pristinePairings() {
    static const std::string path = [] {
        auto& w = World::get();
        const std::string dir = scratch("pristine");
        PairStore store(PairStore::pathIn(dir), w.log);
        Bytes psk(32, 0x5A);
        store.insert(std::string(kPairedPhone) + "." + pskTag(psk), PairRecord{"Minji's iPhone", psk, kStart});
        return store.path();
    }();
    return path;
}

struct LoopRig {
    InputRooms in;
    CtlInbox inbox;
    std::string storePath = fresh();
    PairStore store{storePath, in.w.log};
    Pairing pairing{PairingDeps{in.w.clock, in.w.log, store, in.sender, in.hooks, [] {}}};
    std::vector<std::string> offered;
    std::unique_ptr<CursorMain> loop;

    LoopRig() {
        CursorDeps deps{in.w.clock, in.w.log, in.w.desktop, in.hooks, inbox, in.phone, in.sender, store, pairing};
        loop = std::make_unique<CursorMain>(deps, rooms());
    }

    // Routes one message, then lets a little time pass and runs the sweeps as a pass would.
    void route(const CtlMsg& msg) {
        loop->route(msg);
        in.w.clock.advance(0.2);
        in.pointer.sweepHolds();
        loop->sweepPhone();
        pairing.pairSweep();
    }

private:
    static std::string fresh() {
        const std::string path = PairStore::pathIn(scratch("support"));
        std::error_code ec;
        fs::copy_file(pristinePairings(), path, fs::copy_options::overwrite_existing, ec);
        fs::remove(path + ".broken", ec);
        return path;
    }

    CursorRooms rooms() {
        CursorRooms r;
        r.handle = [this](const std::string& line) { in.dispatcher.handle(line); };
        r.sweepHolds = [this] { in.pointer.sweepHolds(); };
        r.releaseAll = [this] { in.pointer.releaseAll(); };
        r.holdsInput = [this] {
            return !in.pointer.buttonsDown.empty() || !in.keyboard.modsDown().empty() ||
                   !in.keyboard.keysDown().empty();
        };
        r.inputSourceTag = [this] { return in.sources().inputSourceTag(); };
        r.runningAppsJSON = [] { return toBytes("[]"); };
        r.appIconPNG = [](int32_t pid) { return pid == 1 ? std::optional<Bytes>(Bytes(600, 7)) : std::nullopt; };
        r.bringAppToFront = [](int32_t) {};
        r.currentDisplaySize = [] { return std::pair<uint32_t, uint32_t>{1170, 2532}; };
        r.setDisplayMode = [](uint32_t wd, uint32_t ht) { return std::pair<uint32_t, uint32_t>{wd, ht}; };
        r.fileDeclined = [](int64_t) {};
        r.fileSlow = [](int64_t) {};
        r.fileCancelByPhone = [](int64_t) {};
        r.fileCancelLocal = [] {};
        r.offerFile = [this](const std::string& path) { offered.push_back(path); };
        r.agentStop = [this] { in.agent.stopByLoopback(); };
        return r;
    }
};

}  // namespace vm::fuzz
