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

inline PairRecord pristineRecord() { return PairRecord{"Minji's iPhone", Bytes(32, 0x5A), kStart}; }
inline std::string pristineIdentity() { return std::string(kPairedPhone) + "." + pskTag(pristineRecord().psk); }

// pairings.json with one phone, written once; the loop's store is loaded from a copy of it.
inline const std::string& pristinePairings() {
    static const std::string path = [] {
        auto& w = World::get();
        const std::string dir = scratch("pristine");
        PairStore store(PairStore::pathIn(dir), w.log);
        store.insert(pristineIdentity(), pristineRecord());
        return store.path();
    }();
    return path;
}

// Brings the store back to the one pristine phone, through its own remove and insert
// (which save the file as well); nothing to do when the input left it alone.
inline void restorePairings(PairStore& store) {
    const auto phones = store.phones();
    const auto psks = store.pskList();
    const PairRecord want = pristineRecord();
    const bool pristine = phones.size() == 1 && psks.size() == 1 && psks[0].first == pristineIdentity() &&
                          psks[0].second == want.psk && phones[0].name == want.name &&
                          phones[0].pairedAt == want.pairedAt;
    if (pristine) return;
    for (const auto& phone : phones) store.remove(phone.id);
    store.insert(pristineIdentity(), want);
}

// The store the input loop reads and pairing writes: loaded once per process from a
// copy of the pristine file. Each input that changes it restores it before it ends,
// so what the restore runs counts for that input, and every input starts the same.
inline PairStore& loopPairStore() {
    static PairStore& store = *[] {
        const std::string path = PairStore::pathIn(scratch("support"));
        std::error_code ec;
        fs::copy_file(pristinePairings(), path, fs::copy_options::overwrite_existing, ec);
        fs::remove(path + ".broken", ec);
        return new PairStore(path, World::get().log);
    }();
    return store;
}

struct LoopRig {
    InputRooms in;
    CtlInbox inbox;
    PairStore& store = loopPairStore();
    Pairing pairing{PairingDeps{in.w.clock, in.w.log, store, in.sender, in.hooks, [] {}}};
    std::vector<std::string> offered;
    std::unique_ptr<CursorMain> loop;

    LoopRig() {
        CursorDeps deps{in.w.clock, in.w.log, in.w.desktop, in.hooks, inbox, in.phone, in.sender, store, pairing};
        loop = std::make_unique<CursorMain>(deps, rooms());
    }
    ~LoopRig() {
        loop.reset();
        restorePairings(store);
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
    CursorRooms rooms() {
        CursorRooms r;
        r.handle = [this](const std::string& line) { in.handle(line); };
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
