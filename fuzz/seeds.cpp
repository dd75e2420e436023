// Writes the seed corpus of every fuzz target into DIR/<target>/, made by our own
// code: the phone peer's message and input-line builders, the pairing arithmetic, the
// video sealing, and the pair store, settings and status writers. Run it after a wire
// format changes and check the result in under fuzz/corpus/:
//   build-fuzz/bin/fuzz_seeds fuzz/corpus
// The found-* files beside them were picked from long runs by `scripts/fuzz.sh distill`;
// after a wire format change, delete them and distill again from a new run.
#include <cstdio>
#include <fstream>
#include <iostream>

#include "base/base64.h"
#include "base/settings.h"
#include "files/outbox.h"
#include "fuzz/loop_rig.h"
#include "pairing/pair_store.h"
#include "pairing/pairing_crypto.h"
#include "phone/phone_input.h"
#include "phone/phone_protocol.h"
#include "share/share.h"
#include "video/video_wire.h"

using namespace vm;
namespace fs = std::filesystem;

namespace {

std::string root;

void put(const std::string& target, const std::string& name, const std::string& bytes) {
    fs::create_directories(root + "/" + target);
    std::ofstream(root + "/" + target + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
}

// Pieces joined by the 0xFF the targets cut at.
std::string joined(std::initializer_list<std::string> pieces) {
    std::string out;
    bool first = true;
    for (const auto& p : pieces) {
        if (!first) out += '\xFF';
        out += p;
        first = false;
    }
    return out;
}

// A piece of the given kind (its first byte), as the multi-origin targets read it.
std::string kind(int k, const std::string& rest) { return std::string(1, static_cast<char>(k)) + rest; }

std::string lines(std::initializer_list<std::string> ls) {
    std::string out;
    for (const auto& l : ls) out += l + "\n";
    return out;
}

std::string phoneLines(const std::string& command, std::vector<std::string> args, int64_t seq = 1) {
    std::string err;
    auto ls = phone::inputLines(command, args, seq, &err);
    std::string out;
    if (ls)
        for (const auto& l : *ls) out += l + "\n";
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string kPairedIdentity = std::string(fuzz::kPairedPhone) + "." + pskTag(Bytes(32, 0x5A));

void controlLines() {
    put("control_lines", "move-click", phoneLines("move", {"12", "-3"}) + phoneLines("click", {"L"}) +
                                            phoneLines("click", {"R"}) + phoneLines("scroll", {"0", "-40"}));
    put("control_lines", "keys-text", phoneLines("key", {"4"}) + "K 225 1\n" + phoneLines("key", {"29"}) +
                                          "K 225 0\n" + phoneLines("type", {"안녕 hello ✓"}, 7));
    put("control_lines", "session", lines({"HELLO", "VD 1170 2532", "A 100.5 200", "H L 1", "M 5 5", "H L 0",
                                           "W 1", "W -1", "G", "R", "BYE"}));
    put("control_lines", "agent", lines({"STOP", "B L 1", "GO", "ALLOW 3", "NOPE 4", "AI x", "AXDO y", "T 2 " +
                                         base64Encode(std::string("line\nbreak")), "M 1e308 -1e308"}));
}

void plainPort() {
    const Bytes commit = pairCommit(fuzz::phonePub());
    put("plain_port", "liveness", joined({"PING\n", "KNOWN " + kPairedIdentity + "\n", "KNOWN nobody.000000000000\n",
                                          "PAIR phone x y\n", "M 10 10\n"}));
    put("plain_port", "pairing", joined({phone::pair2Message("phone-B", "Minji's iPad", commit),
                                         phone::pair2Message("phone-B", "Minji's iPad", commit),
                                         phone::popenMessage(1, fuzz::phonePub()),
                                         phone::popenMessage(1, fuzz::phonePub())}));
    put("plain_port", "pairing-busy",
        joined({phone::pair2Message("phone-B", "iPad", commit), phone::pair2Message("phone-C", "Other", commit),
                phone::pair2Message("phone-B", "iPad", pairCommit(fuzz::notAPoint())),
                phone::popenMessage(2, fuzz::notAPoint()), phone::popenMessage(2, fuzz::phonePub())}));
    put("plain_port", "placeholders", joined({"PAIR2 phone-D TmFtZQ== @BADCOMMIT@\n", "POPEN 1 @BADPUB@\n",
                                              "PAIR2 phone-D TmFtZQ== @COMMIT@\n", "POPEN 2 @PUB@\n"}));
}

void inputLoop() {
    const std::string a = std::string(1, '\0'), b = "\x01", local = "\x02", closed = "\x03";
    put("input_loop", "phone", joined({a + "ID phone-A\nM 12 -3 1\nM 1 1 4\n", a + "P 42\nD 0 0\nD 1170 2532\nIS?\n",
                                       a + "APPS?\nAICON 1\nAPPUP 1\n", a + "VKEY?\nVH 50000\nVI\nVN 1 0 1\nVQ3\nVF5\n",
                                       a + "FILENO 1\nFILESLOW 1\nFILECANCEL 1\n", a + "VT",
                                       a + phoneLines("click", {"L"})}));
    put("input_loop", "two-phones", joined({b + "K 4 1\n", b + "ID phone-B\nHELLO\n", a + "ID phone-A\nK 4 1\n",
                                            closed, b + "BYE\n"}));
    put("input_loop", "local", joined({local + "R 0\nBYE 0\n", a + "ID phone-A\nB L 1\n", local + "KICK 0\n",
                                       a + "M 1 1\n", local + "SAY " + base64Encode(std::string("hi")) + "\n",
                                       local + "SNAP\n", local + "UNPAIR phone-A\n", local + "STOP\n"}));
}

void localControl() {
    put("local_control", "decide", lines({"PAIROK 1"}));
    put("local_control", "refuse", lines({"PAIRNO 1", "PAIROK 1"}));
    put("local_control", "disconnect", lines({"R 0", "BYE 0", "KICK 0"}));
    put("local_control", "files", lines({"SENDFILE " + base64Encode(std::string("/tmp/report 2025.pdf")),
                                         "FILECANCEL", "UNPAIR phone-A"}));
    put("local_control", "agent", lines({"STOP", "SNAP", "SAY " + base64Encode(std::string("멈춤")), "M 3 3"}));
}

void videoAgent() {
    // Kinds: 0 control line of phone A, 1 of phone B, 2 datagram from A, 3 from A at a new port.
    put("video_agent", "register", joined({kind(0, "H 50000"), kind(2, "VP @KEY@ @NOW@ @AUTH@"), kind(0, "I"),
                                           kind(0, "N 1201 0 1 2 2"), kind(0, "F4"), kind(0, "Q2")}));
    put("video_agent", "nat-move", joined({kind(0, "H 50000"), kind(2, "VP @KEY@ @NOW@ @AUTH@"),
                                           kind(3, "VP @KEY@ @NOW@ @AUTH@"), kind(1, "H 50002"),
                                           kind(1, "N 1201 3"), kind(3, "XYZ"), kind(2, "VP 1 2 AAAA")}));
}

// The receiver target's steps, byte by byte.
struct Steps {
    std::string s;
    Steps& u8(unsigned v) {
        s += static_cast<char>(v & 0xFF);
        return *this;
    }
    Steps& u16(unsigned v) { return u8(v).u8(v >> 8); }
    Steps& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Steps& bytes(const std::string& b) {
        s += b;
        return *this;
    }
    // Step 4: a whole frame of n bytes, as the sender cuts it, some datagrams dropped.
    Steps& frame(unsigned n, unsigned seq, unsigned divisor, uint32_t drop, bool reversed, const std::string& small = "") {
        u8(4).u16(n).u8(seq).u8(divisor).u32(drop).u8(reversed);
        if (n <= 64) bytes(small.empty() ? std::string(n, 'f') : small);
        return *this;
    }
    // Step 5: time passes, frames and resend requests are taken.
    Steps& turn(unsigned hundredths) { return u8(5).u8(hundredths); }
    // Steps 1–3: key number (0: ours), seq, index, count, timestamp.
    Steps& head(unsigned step, unsigned key, unsigned seq, unsigned index, unsigned count, unsigned ts) {
        return u8(step).u8(key).u8(seq).u8(index).u16(count).u8(ts);
    }
};

void phoneVideo() {
    put("phone_video", "frames", Steps{}.frame(3000, 1, 4, 0, false).turn(5).frame(5000, 2, 2, 0x6, true).turn(32).s);
    put("phone_video", "lost-frame",
        Steps{}.frame(20, 1, 0, 0, false, std::string(20, 'a')).frame(9000, 3, 3, 0xFF, false).turn(80).turn(80).s);
    put("phone_video", "hostile", Steps{}
                                      .head(1, 0, 2, 0, 9, 1).u16(16).bytes("abcdefghijklmnop")
                                      .head(2, 0, 2, 1, 9, 1).u8(2).u32(0xA1040000).bytes(std::string(40, 'p'))
                                      .head(3, 0, 0, 0, 1, 1).u8(4).bytes("sets")
                                      .u8(6).u8(9).u8(7).turn(16).s);
    const auto header = video::Header{1, 7, 3, 0, 1, 99}.encode();
    const Bytes key(32, 0x47);
    Bytes sealed = video::sealChunk(reinterpret_cast<const uint8_t*>("frame"), 5, header, key);
    std::string raw(header.begin(), header.end());
    raw.append(sealed.begin(), sealed.end());
    put("phone_video", "raw", Steps{}.u8(0).u16(static_cast<unsigned>(raw.size())).bytes(raw).turn(1).s);
}

void fileChannel() {
    auto b64 = [](const std::string& s) { return base64Encode(s); };
    put("file_channel", "put", "PUT 11 " + b64("notes.txt") + "\nhello world");
    put("file_channel", "put-names", "PUT 4 " + b64("../../.ssh/a\u202Egpj.exe") + "\nabcdEXTRA");
    put("file_channel", "put-short", "PUT 100 " + b64("photo 1.jpg") + "\nonly part");
    put("file_channel", "txt", "TXT 14 1\n" + std::string("안녕 ✓ a\n"));
    put("file_channel", "get", "GET 1 fast\n");
    put("file_channel", "get-wrong", "GET 2\n");
}

void storedFiles() {
    auto& w = fuzz::World::get();
    const std::string dir = fuzz::scratch("seeds");
    fuzz::clearFolder(dir);
    {
        PairStore store(PairStore::pathIn(dir), w.log);
        Bytes a(32, 0x5A), b(32, 0x17);
        store.insert("phone-A." + pskTag(a), PairRecord{"Minji's iPhone", a, fuzz::kStart});
        store.insert("phone-B." + pskTag(b), PairRecord{"iPad", b, fuzz::kStart + 60});
        put("stored_files", "pairings", std::string("\0", 1) + readFile(store.path()));
    }
    {
        Settings s(dir + "/settings.json");
        s.setInteger("videoFrameSeq", 123600);
        put("stored_files", "settings", "\1" + readFile(s.path()) );
        put("stored_files", "settings-key", "\1{\"commandKey\":\"super\",\"videoFrameSeq\":-5}");
    }
    {
        PhoneState phone(w.clock.now());
        phone.setPhoneConn(std::make_shared<fuzz::SilentPeer>(w.clock.now()));
        phone.setPhoneName("Minji's iPhone");
        Outbox outbox(w.clock, w.log, phone, dir + "/group", nullptr, nullptr);
        outbox.fileStatusSweep();
        put("stored_files", "status", "\2" + readFile(outbox.statusFile()));
    }
    put("stored_files", "outbox-item", "\3" + share::newUuid() + "\xFF" + "report 2025.pdf" + "\xFF" + "%PDF-1.7");
    put("stored_files", "outbox-empty", "\3" + share::newUuid());
}

void headlessScene() {
    put("headless_scene", "displays", R"({"displays":[{"width":1920,"height":1080},
 {"width":2560,"height":1440,"online":false},{"width":1170,"height":2532,"vendor":13398,"scale":3}]})");
    put("headless_scene", "apps", R"({"displays":[{"width":1920,"height":1080}],
 "apps":[{"pid":41,"name":"Notes","bundleID":"com.example.notes","policy":"regular"},
  {"pid":42,"name":"Pages","bundleID":"com.example.pages","policy":"regular","hiddenWindowsUntilActivated":true}],
 "frontmost":41,
 "windows":[{"owner":41,"number":1,"x":700,"y":100,"width":1200,"height":800},
  {"owner":42,"number":2,"x":800,"y":200,"width":400,"height":300,"accessible":false}],
 "workspaces":4,"workspace":1,"trusted":true,"pointer":{"x":10,"y":20}})");
    // Every display field, listed modes, and input sources in both forms: structure the
    // fuzzer does not build from the plainer scenes.
    put("headless_scene", "modes-and-sources", R"({"displays":[
 {"width":1440,"height":900,"scale":2,"refresh":120,"mm":[286,179],"name":"Built-in","product":41000,"serial":777,
  "modes":[{"width":1440,"height":900,"scale":2},{"width":1280,"height":800,"scale":2,"refresh":120},
   {"width":1920,"height":1080}]},
 {"width":1920,"height":1080,"refresh":75,"online":true,"vendor":4268}],
 "inputSources":["org.vellomark.inputsource.English",
  {"id":"org.vellomark.inputsource.Korean","keyboard":true,"selectCapable":true},
  {"id":"org.example.palette","keyboard":false,"selectCapable":false}],
 "inputSource":"org.vellomark.inputsource.Korean","workspaces":3,"workspace":2})");
    put("headless_scene", "empty", "{}");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: fuzz_seeds DIR\n";
        return 1;
    }
    root = argv[1];
    controlLines();
    plainPort();
    inputLoop();
    localControl();
    videoAgent();
    phoneVideo();
    fileChannel();
    storedFiles();
    headlessScene();
    return 0;
}
