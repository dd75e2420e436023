// Files the agent reads back that something else may have written or damaged: the
// pair store ("pairings.json"), the user defaults ("settings.json"), the status file
// the share tool reads, and outbox items the share tool (or anything else running as
// the user) leaves in the app-group folder. The first byte picks the file (its value
// modulo 4); the rest is its contents. An outbox item is "folder name", 0xFF, "file
// name", 0xFF, contents (further 0xFF pieces: more names), offered to a connected phone.
#include <fstream>

#include "base/settings.h"
#include "files/file_send.h"
#include "files/outbox.h"
#include "fuzz/rig.h"
#include "pairing/pair_store.h"
#include "platform/group_paths.h"
#include "share/share.h"

using namespace vm;
namespace fs = std::filesystem;

namespace {

void writeFile(const std::string& path, std::string_view text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(text.data(), static_cast<std::streamsize>(text.size()));
}

void pairings(fuzz::World& w, std::string_view text) {
    const std::string dir = fuzz::scratch("stored-support");
    fuzz::clearFolder(dir);
    const std::string path = PairStore::pathIn(dir);
    writeFile(path, text);
    PairStore store(path, w.log);
    // What the agent does with a store: the key list, the menu's phones, the plain
    // port's key check, one more pairing and an unpair.
    auto psks = store.pskList();
    for (const auto& phone : store.phones()) store.name(phone.id);
    if (!psks.empty()) store.contains(psks.front().first);
    Bytes psk(32, 0x21);
    store.insert("phone-Z." + pskTag(psk), PairRecord{"Z", psk, fuzz::kStart});
    for (const auto& phone : store.phones()) store.remove(phone.id);
}

void settings(std::string_view text) {
    const std::string path = fuzz::scratch("stored-settings.json");
    writeFile(path, text);
    Settings s(path);
    s.string("commandKey");
    auto seq = s.integer("videoFrameSeq");
    s.setInteger("videoFrameSeq", seq.value_or(0) + 1200);
    Settings again(path);
    again.integer("videoFrameSeq");
}

void statusFile(fuzz::World& w, std::string_view text) {
    const std::string dir = fuzz::scratch("stored-group");
    fuzz::clearFolder(dir);
    writeFile(group::statusPath(dir), text);
    share::statusSaysConnected(group::statusPath(dir), w.clock.now());
}

// A name the folder can hold: no "/" or NUL, not "." or "..", at most 255 bytes.
std::string asName(std::string s) {
    for (char& c : s)
        if (c == '/' || c == '\0') c = '_';
    if (s.size() > 255) s.resize(255);
    if (s.empty() || s == "." || s == "..") s = "item";
    return s;
}

void outboxItem(fuzz::World& w, const uint8_t* data, size_t size) {
    const std::string dir = fuzz::scratch("stored-group");
    fuzz::clearFolder(dir);
    fuzz::InputRooms in;
    auto peer = std::make_shared<fuzz::SilentPeer>(w.clock.now());
    in.phone.setPhoneConn(peer);
    in.phone.phoneLastSeen = w.clock.now();
    in.phone.setPhoneName("Minji's iPhone");
    FileSend send(w.clock, w.log, in.phone, in.sender, w.held, w.held);
    Outbox outbox(
        w.clock, w.log, in.phone, dir,
        [&send](const std::string& path, const std::string& item) { send.fileOfferStart(path, item); },
        [&send] { return send.offerBusy(); }, [&w](const std::string&) { return std::optional<double>(w.clock.now()); });
    // The status file first: it makes the folders, as the agent's first sweep does.
    outbox.fileStatusSweep();
    share::statusSaysConnected(outbox.statusFile(), w.clock.now());

    auto parts = fuzz::pieces(data, size);
    const std::string item = outbox.outboxDir() + "/" + asName(parts[0]);
    std::error_code ec;
    fs::create_directories(item, ec);
    const std::string contents = parts.size() > 2 ? parts[2] : std::string();
    for (size_t i = 1; i < parts.size(); ++i) {
        if (i == 2) continue;
        writeFile(item + "/" + asName(parts[i]), contents);
    }
    outbox.fileOutboxSweep();
    w.held.runAll();
    outbox.fileOutboxSweep();  // busy with the offer: nothing more
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    auto& world = fuzz::World::get();
    world.resetClock();
    const std::string_view text = fuzz::asText(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0: pairings(world, text); break;
        case 1: settings(text); break;
        case 2: statusFile(world, text); break;
        case 3: outboxItem(world, data + 1, size - 1); break;
    }
    return 0;
}
