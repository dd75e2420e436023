// vellomark-phone: a stand-in for the phone app. It pairs with a running agent over
// the plain port, keeps the resulting key in a key file, checks liveness and keys,
// and sends control lines over the encrypted channel.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/clock.h"
#include "control/ports.h"
#include "phone/dtls_client.h"
#include "phone/file_client.h"
#include "phone/phone_flows.h"
#include "phone/phone_input.h"
#include "phone/phone_keyfile.h"
#include "phone/phone_link.h"
#include "phone/phone_protocol.h"
#include "phone/phone_session.h"
#include "phone/phone_video.h"
#ifdef VELLOMARK_PHONE_VIEW
#include "phone/phone_view.h"
#endif

using namespace vm;
using namespace vm::phone;

namespace {

constexpr double kHandshakeSeconds = 10.0;

const char* kUsage =
    "usage: vellomark-phone [--host H] [--key FILE] COMMAND [OPTIONS]\n"
    "\n"
    "A stand-in for the Vellomark phone app.\n"
    "\n"
    "Global options:\n"
    "  --host H     the agent's host (default 127.0.0.1)\n"
    "  --key FILE   the key file (default ~/.config/vellomark-phone/key.json)\n"
    "  Ports follow VELLOMARK_PORT_OFFSET like the agent: plain 47822, control 47824.\n"
    "\n"
    "Commands:\n"
    "  pair [--name NAME] [--id PHONEID] [--timeout S]\n"
    "      Pairs with the agent. Prints \"code: NNNNNN\" and \"request: N\", waits up to S\n"
    "      seconds (default 120) for the decision on the desktop, stores the key in the\n"
    "      key file (0600) and prints \"identity: ID.TAG\". The phone id defaults to the\n"
    "      one in the key file, else a new random one.\n"
    "  ping [--timeout S]\n"
    "      Sends PING on the plain port until PONG (default 5 s).\n"
    "  known [--timeout S] [IDENTITY]\n"
    "      Asks whether the agent holds a key identity (default: the key file's);\n"
    "      prints \"KNOWN 1\" or \"KNOWN 0\".\n"
    "  move DX DY | scroll DX DY | click [L|R|M] | key HID | type TEXT\n"
    "      Input as the phone app sends it (\"M\", \"S\", \"B\" press+release, \"K\"\n"
    "      press+release of a HID keyboard usage, \"T\" with base64 text) over the\n"
    "      encrypted channel; prints what the agent pushes meanwhile (IS, SAY, LOCKED).\n"
    "  ctl [--wait PREFIX] [--timeout S] [--linger S] LINE...\n"
    "      Opens the encrypted channel with the key file, sends \"ID <phone id>\" and\n"
    "      each LINE as one message, and prints every line received. With --wait, ends\n"
    "      as soon as a received line starts with PREFIX (fails after --timeout,\n"
    "      default 10 s); without it, listens for --linger seconds (default 1).\n"
    "      While it waits it repeats \"ID\" every 4 s, as a phone stays in touch, so\n"
    "      the agent keeps counting it as connected.\n"
    "      --accept-files DIR fetches every \"FILE\" offer into DIR (GET fast);\n"
    "      --decline-files answers each offer with \"FILENO id\".\n"
    "  put FILE [--name NAME]\n"
    "      Sends FILE over the file channel (TLS, port 47825) and prints the reply\n"
    "      (OK, TOOBIG, BUSY, ERR ...); exit 0 only on OK.\n"
    "  txt TEXT [--seq N]\n"
    "      Sends TEXT as a long text over the file channel; prints the reply.\n"
    "  get ID [--fast] [--out DIR] [--name NAME]\n"
    "      Fetches the file the agent offered as ID (GET) into DIR (default .).\n"
    "  video [--seconds S] [--drop PCT] [--seed N] [--level L] [--fec N] [--save-png FILE]\n"
    "      Watches the screen for S seconds (default 5): asks for the video key\n"
    "      (\"VKEY?\"), registers its own UDP port (\"VH port\" every 2 s), repairs lost\n"
    "      chunks from parity and by asking again (\"VN\"), decodes the HEVC video and\n"
    "      prints one summary line:\n"
    "        video frames=N decoded=N keyframes=N skipped=N size=WxH lost=N recovered=N\n"
    "        resent=N unrecoverable=N decodeErrors=N keyNumber=N keyChanges=N\n"
    "        decodedAfterKeyChange=N latencyMedianMs=X latencyP99Ms=X\n"
    "      --drop throws PCT % of the datagrams away on purpose; --save-png keeps the\n"
    "      last picture. Exit 0 when at least one frame was decoded.\n"
    "  apps [--icon PID FILE]\n"
    "      Prints the agent's app list (JSON); with --icon also saves that app's icon (PNG).\n"
    "  session --vd W H [--d W H] [--seconds S] [--drop PCT] [--save-png FILE] [--no-bye]\n"
    "      One whole phone session on one connection: HELLO, \"D w h\" (prints the\n"
    "      answers), \"VD W H\" (a virtual display of the phone's shape), video as above\n"
    "      for S seconds, then BYE.\n"
    "  view [--host H] [--vd W H] [--level L]\n"
    "      A window that plays the screen and drives it: the pointer over the picture\n"
    "      moves the desktop's (\"A\"; F2 switches to relative moves \"M\", a click then\n"
    "      holds the pointer and Ctrl+Alt lets it go), buttons (\"B\", held ones as\n"
    "      \"H\"), the wheel (\"S\"), keys as HID usages (\"K\") and typed text (\"T\").\n"
    "      F1 shows the figures: fps, Mbit/s, latency p50/p99, lost, recovered and\n"
    "      resent chunks, level. With --vd a whole session: HELLO, a virtual display\n"
    "      of W x H, BYE when the window closes. Closing releases everything held\n"
    "      (\"R 0\"). A lost agent is shown and connected to again. Prints\n"
    "      \"showing WxH\" whenever a new picture size (or a new connection) is shown.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  usage error\n"
    "  2  network problem or time-out (no answer, connection closed, no --wait line)\n"
    "  3  pairing denied\n"
    "  4  the agent is busy with another pairing\n"
    "  5  the agent's pairing confirmation does not match our key\n"
    "  6  no key file, or a bad or unwritable key file\n"
    "  7  the encrypted channel's handshake failed\n"
    "  8  view: no window could be opened (no display)\n";

Output stdio() {
    return Output{[](const std::string& s) {
                      std::fputs((s + "\n").c_str(), stdout);
                      std::fflush(stdout);
                  },
                  [](const std::string& s) { std::fputs(("vellomark-phone: " + s + "\n").c_str(), stderr); }};
}

int usageError(const std::string& why) {
    std::fprintf(stderr, "vellomark-phone: %s\n(see vellomark-phone --help)\n", why.c_str());
    return kExitUsage;
}

bool parseSeconds(const std::string& s, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !(v >= 0) || v > 86400) return false;
    *out = v;
    return true;
}

// Takes the value of option `name` at args[i+1].
bool takeValue(const std::vector<std::string>& args, size_t& i, std::string* value) {
    if (i + 1 >= args.size()) return false;
    *value = args[++i];
    return true;
}

class DtlsLink final : public MessageLink {
public:
    explicit DtlsLink(std::unique_ptr<DtlsClient> c) : c_(std::move(c)) {}
    ~DtlsLink() override { c_->close(); }
    bool send(const std::string& text) override { return c_->send(text); }
    std::optional<Bytes> receive(double timeoutSeconds) override { return c_->receive(timeoutSeconds); }
    bool closed() const override { return c_->closed(); }

private:
    std::unique_ptr<DtlsClient> c_;
};

struct Globals {
    std::string host = "127.0.0.1";
    std::string keyFile;
};

std::unique_ptr<UdpLink> plainLink(const Globals& g, int* exitCode) {
    std::string err;
    auto link = UdpLink::open(g.host, port(kPlainPort), &err);
    if (!link) {
        stdio().err(err);
        *exitCode = kExitNetwork;
    }
    return link;
}

int cmdPair(const Globals& g, const std::vector<std::string>& args) {
    PairOptions opt;
    opt.name = "vellomark-phone";
    std::optional<std::string> id;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (args[i] == "--name") {
            if (!takeValue(args, i, &v)) return usageError("--name needs a value");
            opt.name = v;
        } else if (args[i] == "--id") {
            if (!takeValue(args, i, &v)) return usageError("--id needs a value");
            id = v;
        } else if (args[i] == "--timeout") {
            if (!takeValue(args, i, &v) || !parseSeconds(v, &opt.timeout)) return usageError("--timeout needs seconds");
        } else {
            return usageError("pair: unexpected argument " + args[i]);
        }
    }
    if (opt.name.empty()) return usageError("--name may not be empty");
    if (!isValidUtf8(opt.name)) return usageError("--name must be UTF-8");

    Output io = stdio();
    KeyFileRead existing = readKeyFile(g.keyFile);
    if (existing.status == KeyFileStatus::Bad) {
        io.err(existing.error + " — not overwriting it; move it away to pair again");
        return kExitKeyFile;
    }
    if (id) {
        if (!validPhoneId(*id)) return usageError("--id: use 1 to 64 letters, digits, '-' or '_'");
        opt.phoneId = *id;
    } else if (existing.status == KeyFileStatus::Ok) {
        opt.phoneId = existing.key.id;
    } else {
        opt.phoneId = randomPhoneId();
    }

    int code = kExitOk;
    auto link = plainLink(g, &code);
    if (!link) return code;
    SystemClock clock;
    PairResult r = runPairing(*link, clock, opt, io);
    if (r.exit != kExitOk || !r.key) return r.exit;
    std::string err;
    if (!writeKeyFile(g.keyFile, *r.key, &err)) {
        io.err("paired, but the key could not be stored: " + err);
        return kExitKeyFile;
    }
    io.out("identity: " + r.key->identity);
    return kExitOk;
}

int cmdPing(const Globals& g, const std::vector<std::string>& args) {
    double timeout = 5;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (args[i] == "--timeout") {
            if (!takeValue(args, i, &v) || !parseSeconds(v, &timeout)) return usageError("--timeout needs seconds");
        } else {
            return usageError("ping: unexpected argument " + args[i]);
        }
    }
    int code = kExitOk;
    auto link = plainLink(g, &code);
    if (!link) return code;
    SystemClock clock;
    return runPing(*link, clock, timeout, stdio());
}

int cmdKnown(const Globals& g, const std::vector<std::string>& args) {
    double timeout = 5;
    std::optional<std::string> identity;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        if (args[i] == "--timeout") {
            if (!takeValue(args, i, &v) || !parseSeconds(v, &timeout)) return usageError("--timeout needs seconds");
        } else if (!identity && !args[i].empty() && args[i][0] != '-') {
            identity = args[i];
        } else {
            return usageError("known: unexpected argument " + args[i]);
        }
    }
    Output io = stdio();
    if (!identity) {
        KeyFileRead kf = readKeyFile(g.keyFile);
        if (kf.status != KeyFileStatus::Ok) {
            io.err(kf.error);
            return kExitKeyFile;
        }
        identity = kf.key.identity;
    }
    if (identity->find_first_of(" \t\r\n") != std::string::npos) return usageError("an identity has no blanks");
    int code = kExitOk;
    auto link = plainLink(g, &code);
    if (!link) return code;
    SystemClock clock;
    return runKnown(*link, clock, *identity, timeout, io);
}

// Answers the agent's "FILE id size name64" offers while ctl runs: fetches each offer
// once into a folder (GET) or declines it ("FILENO id").
class FileOfferLink final : public MessageLink {
public:
    FileOfferLink(MessageLink& inner, FileLink files, std::optional<std::string> acceptDir, bool decline,
                  const Output& io)
        : inner_(inner), files_(std::move(files)), acceptDir_(std::move(acceptDir)), decline_(decline), io_(io) {}
    bool send(const std::string& text) override { return inner_.send(text); }
    bool closed() const override { return inner_.closed(); }
    std::optional<Bytes> receive(double timeoutSeconds) override {
        auto msg = inner_.receive(timeoutSeconds);
        if (msg) {
            std::istringstream in(toString(*msg));
            for (std::string line; std::getline(in, line);) offer(line);
        }
        return msg;
    }

private:
    void offer(const std::string& line) {
        std::istringstream w(line);
        std::string head, name64;
        long long id = 0, size = 0;
        if (!(w >> head >> id >> size >> name64) || head != "FILE" || handled_.count(id)) return;
        handled_.insert(id);
        if (decline_) {
            inner_.send("FILENO " + std::to_string(id) + "\n");
            io_.err("declined offer " + std::to_string(id));
            return;
        }
        if (!acceptDir_) return;
        auto name = base64Decode(name64);
        std::string n = name ? toString(*name) : "offer-" + std::to_string(id);
        FileResult r = fileGet(files_, id, true, *acceptDir_, n);
        if (r.ok) {
            io_.err("saved " + r.path + " (" + std::to_string(r.bytes) + " bytes)");
        } else {
            io_.err("fetching offer " + std::to_string(id) + " failed: " + r.error);
        }
    }

    MessageLink& inner_;
    FileLink files_;
    std::optional<std::string> acceptDir_;
    bool decline_;
    const Output& io_;
    std::set<long long> handled_;
};

int cmdCtl(const Globals& g, const std::vector<std::string>& args) {
    CtlOptions opt;
    std::optional<std::string> acceptDir;
    bool declineFiles = false;
    bool options = true;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        const std::string& a = args[i];
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--wait") {
            if (!takeValue(args, i, &v) || v.empty()) return usageError("--wait needs a prefix");
            opt.waitPrefix = v;
        } else if (options && a == "--timeout") {
            if (!takeValue(args, i, &v) || !parseSeconds(v, &opt.timeout)) return usageError("--timeout needs seconds");
        } else if (options && a == "--accept-files") {
            if (!takeValue(args, i, &v) || v.empty()) return usageError("--accept-files needs a folder");
            acceptDir = v;
        } else if (options && a == "--decline-files") {
            declineFiles = true;
        } else if (options && a == "--linger") {
            if (!takeValue(args, i, &v) || !parseSeconds(v, &opt.linger)) return usageError("--linger needs seconds");
        } else if (options && a.rfind("--", 0) == 0) {
            return usageError("ctl: unknown option " + a);
        } else {
            opt.lines.push_back(a);
        }
    }
    Output io = stdio();
    KeyFileRead kf = readKeyFile(g.keyFile);
    if (kf.status != KeyFileStatus::Ok) {
        io.err(kf.error);
        return kExitKeyFile;
    }
    opt.phoneId = kf.key.id;
    std::string err;
    auto client = DtlsClient::connect(g.host, port(kCtlPort), kf.key.identity, kf.key.psk, kHandshakeSeconds, &err);
    if (!client) {
        io.err("DTLS handshake with " + g.host + " failed: " + err);
        return kExitHandshake;
    }
    DtlsLink link(std::move(client));
    SystemClock clock;
    if (acceptDir || declineFiles) {
        FileLink files;
        files.host = g.host;
        files.port = port(kFilePort);
        files.identity = kf.key.identity;
        files.psk = kf.key.psk;
        FileOfferLink answering(link, files, acceptDir, declineFiles, io);
        return runCtl(answering, clock, opt, io);
    }
    return runCtl(link, clock, opt, io);
}

// Opens the encrypted control link with the key file; on failure returns nothing and sets `exitCode`.
std::unique_ptr<MessageLink> controlLink(const Globals& g, const Output& io, std::string* phoneId, int* exitCode) {
    KeyFileRead kf = readKeyFile(g.keyFile);
    if (kf.status != KeyFileStatus::Ok) {
        io.err(kf.error);
        *exitCode = kExitKeyFile;
        return nullptr;
    }
    *phoneId = kf.key.id;
    std::string err;
    auto client = DtlsClient::connect(g.host, port(kCtlPort), kf.key.identity, kf.key.psk, kHandshakeSeconds, &err);
    if (!client) {
        io.err("DTLS handshake with " + g.host + " failed: " + err);
        *exitCode = kExitHandshake;
        return nullptr;
    }
    return std::make_unique<DtlsLink>(std::move(client));
}

bool parseInt(const std::string& s, int lo, int hi, int* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = static_cast<int>(v);
    return true;
}

// Options shared by `video` and `session`; false with a usage error in `why`.
bool videoOption(const std::vector<std::string>& args, size_t& i, VideoOptions* v, std::string* why) {
    const std::string& a = args[i];
    std::string val;
    int n = 0;
    if (a == "--seconds") {
        if (!takeValue(args, i, &val) || !parseSeconds(val, &v->seconds)) return *why = "--seconds needs seconds", false;
    } else if (a == "--drop") {
        if (!takeValue(args, i, &val) || !parseSeconds(val, &v->dropPercent) || v->dropPercent > 100)
            return *why = "--drop needs a percentage", false;
    } else if (a == "--seed") {
        if (!takeValue(args, i, &val) || !parseInt(val, 0, 1 << 30, &n)) return *why = "--seed needs a number", false;
        v->dropSeed = static_cast<uint32_t>(n);
    } else if (a == "--level") {
        if (!takeValue(args, i, &val) || !parseInt(val, -100, 100, &n)) return *why = "--level needs a number", false;
        v->level = n;
    } else if (a == "--fec") {
        if (!takeValue(args, i, &val) || !parseInt(val, 0, 100, &n)) return *why = "--fec needs a number", false;
        v->fecDivisor = n;
    } else if (a == "--save-png") {
        if (!takeValue(args, i, &val) || val.empty()) return *why = "--save-png needs a file", false;
        v->savePng = val;
    } else {
        return *why = "unknown option " + a, false;
    }
    return true;
}

int cmdVideo(const Globals& g, const std::vector<std::string>& args) {
    VideoOptions opt;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string why;
        if (!videoOption(args, i, &opt, &why)) return usageError("video: " + why);
    }
    Output io = stdio();
    int rc = kExitNetwork;
    auto link = controlLink(g, io, &opt.phoneId, &rc);
    if (!link) return rc;
    if (!link->send("ID " + opt.phoneId + "\n")) return kExitNetwork;
    opt.reconnect = [&g, &io]() -> std::unique_ptr<MessageLink> {
        std::string id;
        int rc = 0;
        return controlLink(g, io, &id, &rc);
    };
    return runVideo(link, opt, io, nullptr);
}

int cmdApps(const Globals& g, const std::vector<std::string>& args) {
    AppsOptions opt;
    for (size_t i = 0; i < args.size(); ++i) {
        int pid = 0;
        if (args[i] == "--icon" && i + 2 < args.size() && parseInt(args[i + 1], 1, 1 << 30, &pid)) {
            opt.iconPid = pid;
            opt.iconFile = args[i + 2];
            i += 2;
        } else {
            return usageError("apps: expected [--icon PID FILE]");
        }
    }
    Output io = stdio();
    int rc = kExitNetwork;
    auto link = controlLink(g, io, &opt.phoneId, &rc);
    if (!link) return rc;
    return runApps(*link, opt, io);
}

int cmdSession(const Globals& g, const std::vector<std::string>& args) {
    SessionOptions opt;
    bool haveVD = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        int w = 0, h = 0;
        if (a == "--vd" || a == "--d") {
            if (i + 2 >= args.size() || !parseInt(args[i + 1], 0, 100000, &w) || !parseInt(args[i + 2], 0, 100000, &h))
                return usageError("session: " + a + " needs a width and a height");
            i += 2;
            if (a == "--vd") {
                opt.vdWidth = w;
                opt.vdHeight = h;
                haveVD = true;
            } else {
                opt.displaySize = std::make_pair(w, h);
            }
        } else if (a == "--no-bye") {
            opt.bye = false;
        } else {
            std::string why;
            if (!videoOption(args, i, &opt.video, &why)) return usageError("session: " + why);
        }
    }
    if (!haveVD) return usageError("session needs --vd W H");
    Output io = stdio();
    int rc = kExitNetwork;
    auto link = controlLink(g, io, &opt.phoneId, &rc);
    if (!link) return rc;
    opt.video.reconnect = [&g, &io]() -> std::unique_ptr<MessageLink> {
        std::string id;
        int code = 0;
        return controlLink(g, io, &id, &code);
    };
    return runSession(link, opt, io);
}

#ifdef VELLOMARK_PHONE_VIEW
int cmdView(const Globals& globals, const std::vector<std::string>& args) {
    Globals g = globals;
    ViewOptions opt;
    for (size_t i = 0; i < args.size(); ++i) {
        int w = 0, h = 0, level = 0;
        if (args[i] == "--host") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return usageError("view: --host needs a value");
            g.host = args[++i];
        } else if (args[i] == "--vd") {
            if (i + 2 >= args.size() || !parseInt(args[i + 1], 1, 100000, &w) || !parseInt(args[i + 2], 1, 100000, &h))
                return usageError("view: --vd needs a width and a height");
            opt.vd = std::make_pair(w, h);
            i += 2;
        } else if (args[i] == "--level") {
            if (i + 1 >= args.size() || !parseInt(args[i + 1], -100, 100, &level))
                return usageError("view: --level needs a number");
            opt.level = level;
            ++i;
        } else {
            return usageError("view: unexpected argument " + args[i]);
        }
    }
    opt.host = g.host;
    Output io = stdio();
    KeyFileRead kf = readKeyFile(g.keyFile);
    if (kf.status != KeyFileStatus::Ok) {
        io.err(kf.error);
        return kExitKeyFile;
    }
    opt.phoneId = kf.key.id;
    // A short handshake: while the agent is away the window says so and tries again.
    opt.connect = [&g, kf](std::string* why) -> std::unique_ptr<MessageLink> {
        auto client = DtlsClient::connect(g.host, port(kCtlPort), kf.key.identity, kf.key.psk, 3.0, why);
        if (!client) return nullptr;
        return std::make_unique<DtlsLink>(std::move(client));
    };
    return runView(opt, io);
}
#else
int cmdView(const Globals&, const std::vector<std::string>&) {
    std::fputs("vellomark-phone: view: built without SDL2 (install libsdl2-dev libsdl2-ttf-dev)\n", stderr);
    return 8;
}
#endif

int cmdFiles(const Globals& g, const std::string& cmd, const std::vector<std::string>& args) {
    Output io = stdio();
    std::vector<std::string> pos;
    std::string name, out = ".";
    bool fast = false;
    int64_t seq = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string v;
        const std::string& a = args[i];
        if (a == "--fast") {
            fast = true;
        } else if (a == "--name") {
            if (!takeValue(args, i, &v) || v.empty()) return usageError("--name needs a value");
            name = v;
        } else if (a == "--out") {
            if (!takeValue(args, i, &v) || v.empty()) return usageError("--out needs a folder");
            out = v;
        } else if (a == "--seq") {
            if (!takeValue(args, i, &v)) return usageError("--seq needs a number");
            try {
                seq = std::stoll(v);
            } catch (...) {
                return usageError("--seq needs a number");
            }
        } else if (a.rfind("--", 0) == 0 && a.size() > 2) {
            return usageError(cmd + ": unknown option " + a);
        } else {
            pos.push_back(a);
        }
    }
    if (pos.size() != 1) return usageError(cmd + " needs exactly one argument");
    KeyFileRead kf = readKeyFile(g.keyFile);
    if (kf.status != KeyFileStatus::Ok) {
        io.err(kf.error);
        return kExitKeyFile;
    }
    FileLink link;
    link.host = g.host;
    link.port = port(kFilePort);
    link.identity = kf.key.identity;
    link.psk = kf.key.psk;
    FileResult r;
    if (cmd == "put") {
        r = filePut(link, pos[0], name);
    } else if (cmd == "txt") {
        if (seq < 0) seq = static_cast<int64_t>(::time(nullptr)) * 1000 + (::getpid() % 1000);
        r = fileTxt(link, pos[0], seq);
    } else {
        int64_t id = 0;
        try {
            id = std::stoll(pos[0]);
        } catch (...) {
            return usageError("get needs an offer id");
        }
        r = fileGet(link, id, fast, out, name.empty() ? "offer-" + pos[0] : name);
        if (r.ok) io.out("saved " + r.path + " (" + std::to_string(r.bytes) + " bytes)");
    }
    if (!r.ok) {
        io.err(cmd + ": " + r.error);
        return kExitNetwork;
    }
    if (cmd != "get") io.out(r.reply);
    return cmd == "get" || r.reply == "OK" ? kExitOk : kExitNetwork;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> all(argv + 1, argv + argc);
    Globals g;
    g.keyFile = defaultKeyFilePath();
    size_t i = 0;
    for (; i < all.size(); ++i) {
        const std::string& a = all[i];
        std::string v;
        if (a == "--help" || a == "-h" || a == "help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (a == "--host") {
            if (!takeValue(all, i, &v) || v.empty()) return usageError("--host needs a value");
            g.host = v;
        } else if (a == "--key") {
            if (!takeValue(all, i, &v) || v.empty()) return usageError("--key needs a file");
            g.keyFile = v;
        } else if (a.rfind("-", 0) == 0) {
            return usageError("unknown option " + a);
        } else {
            break;
        }
    }
    if (i >= all.size()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string cmd = all[i];
    std::vector<std::string> rest(all.begin() + static_cast<std::ptrdiff_t>(i) + 1, all.end());
    for (const auto& a : rest) {
        if (a == "--") break;
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
    }
    if (cmd == "pair") return cmdPair(g, rest);
    if (cmd == "ping") return cmdPing(g, rest);
    if (cmd == "known") return cmdKnown(g, rest);
    if (cmd == "ctl") return cmdCtl(g, rest);
    if (cmd == "video") return cmdVideo(g, rest);
    if (cmd == "apps") return cmdApps(g, rest);
    if (cmd == "session") return cmdSession(g, rest);
    if (cmd == "view") return cmdView(g, rest);
    if (cmd == "put" || cmd == "txt" || cmd == "get") return cmdFiles(g, cmd, rest);
    if (cmd == "move" || cmd == "click" || cmd == "key" || cmd == "type" || cmd == "scroll") {
        std::string err;
        auto lines = inputLines(cmd, rest, static_cast<int64_t>(SystemClock().now() * 1000) % 1000000000, &err);
        if (!lines) return usageError(err);
        std::vector<std::string> ctlArgs{"--linger", "0.3"};
        ctlArgs.insert(ctlArgs.end(), lines->begin(), lines->end());
        return cmdCtl(g, ctlArgs);
    }
    return usageError("unknown command " + cmd);
}
