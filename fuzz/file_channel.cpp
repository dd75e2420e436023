// The file channel after its handshake: the first line ("PUT size name", "TXT size
// seq", "GET id [fast]") and everything after it, read from an in-memory connection
// in pieces of varying size. PUT lands in the received folder through the real
// receive room (received names included), TXT is entered through the real text entry
// over the headless desktop, and GET finds a small file offered to the phone, number 1.
#include <algorithm>
#include <fstream>

#include "files/file_channel.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"
#include "fuzz/rig.h"

using namespace vm;

namespace {

// The phone's bytes, handed out a few at a time; what the agent writes is counted.
class MemoryConn final : public FileConn {
public:
    MemoryConn(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    ReadResult read(uint8_t* buf, size_t len) override {
        ReadResult r;
        if (cancelled_ || at_ == size_) {
            r.eof = !cancelled_;
            r.error = cancelled_;
            return r;
        }
        // Piece sizes follow the data, so the fuzzer also decides where reads split.
        size_t piece = 1 + (data_[at_] * 37u + at_) % 1400;
        r.n = std::min({len, size_ - at_, piece});
        std::memcpy(buf, data_ + at_, r.n);
        at_ += r.n;
        return r;
    }
    bool write(const uint8_t*, size_t len, std::string* error) override {
        if (cancelled_) {
            if (error) *error = "cancelled";
            return false;
        }
        written_ += len;
        return true;
    }
    void replyAndClose(std::string_view line) override {
        written_ += line.size() + 1;
        cancelled_ = true;
    }
    void finishAndClose() override { cancelled_ = true; }
    void cancel() override { cancelled_ = true; }
    void setReadTimeout(double) override {}
    std::string endpoint() const override { return "10.0.0.20:50001"; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
    size_t written_ = 0;
    bool cancelled_ = false;
};

const std::string& offeredFile() {
    static const std::string path = [] {
        const std::string p = fuzz::scratch("offer/report 2025.pdf");
        fuzz::clearFolder(fuzz::scratch("offer"));
        std::ofstream(p, std::ios::binary) << std::string(3000, 'x');
        return p;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto& world = fuzz::World::get();
    world.resetClock();
    fuzz::InputRooms in;
    auto peer = std::make_shared<fuzz::SilentPeer>(world.clock.now());
    in.phone.setPhoneConn(peer);
    in.phone.phoneLastSeen = world.clock.now();
    static SerialQueue unusedQueue("local.umo.inputd.file");

    const std::string received = fuzz::scratch("received");
    FileReceive receive(world.clock, world.log, received, fuzz::scratch("home/old-received"));
    FileSend send(world.clock, world.log, in.phone, in.sender, world.held, world.held);
    LongText text(LongTextDeps{world.clock, world.log, [&in](int64_t seq) { return in.text.claimTypedSeq(seq); },
                               [&in](const std::string& t) { in.text.typeText(t); }, nullptr});
    FileChannel channel(world.clock, world.log, receive, send, text, unusedQueue, 0);

    const bool get = size >= 3 && std::memcmp(data, "GET", 3) == 0;
    if (get) {
        send.fileOfferStart(offeredFile());
        world.held.runAll();
    }
    auto conn = std::make_shared<MemoryConn>(data, size);
    channel.fileReadRequest(conn);
    world.held.runAll();
    if (size >= 3 && std::memcmp(data, "PUT", 3) == 0) {
        receive.fileInSweep();
        fuzz::clearFolder(received);
    }
    return 0;
}
