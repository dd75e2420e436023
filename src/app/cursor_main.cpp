#include "app/cursor_main.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/sigterm.h"
#include "base/base64.h"
#include "base/text.h"
#include "control/dtls_server.h"
#include "control/local_control.h"
#include "control/plain_port.h"
#include "pairing/pairing.h"

namespace vm {

namespace {

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string trimmed(std::string_view s) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// The first `n` characters of `s`, for log lines.
std::string firstChars(const std::string& s, size_t n) { return std::string(utf8Prefix(s, n)); }

// The number after a word and its blank ("AICON 42"), when the rest is exactly one.
template <typename Int>
std::optional<Int> numberAfter(const std::string& line, size_t wordLength) {
    return parseInt<Int>(std::string_view(line).substr(wordLength));
}

// The source address of a plain datagram as a budget key (IPv4 host; 0 for anything else).
uint64_t sourceKey(const CtlMsg& msg) {
    if (msg.from.ss_family != AF_INET || msg.fromLen < sizeof(sockaddr_in)) return 0;
    sockaddr_in a{};
    std::memcpy(&a, &msg.from, sizeof a);
    return a.sin_addr.s_addr;
}

}  // namespace

// ---- start-up and the loop ----

bool CursorMain::startUp() {
    // An earlier run may have left the physical displays off.
    if (r_.physicalDisplaysOn) r_.physicalDisplaysOn();
    auto& platform = d_.platform;
    startSigtermPath(r_.physicalDisplaysOn, [&platform](int status) { platform.exitProcess(status); });
    bool trusted = d_.platform.accessibility().isTrusted(true);
    d_.log.logLine(std::string("접근성 권한: ") + (trusted ? "허용" : "⚠︎ 거부 — 커서가 안 움직인다") + "\n");

    if (!openPlainPort()) return false;
    if (r_.startWatchers) r_.startWatchers();
    if (d_.plainPort) {
        PlainPort* port = d_.plainPort;
        std::thread([port] { port->rawLoop(); }).detach();
    }
    if (d_.localControl) d_.localControl->start();

    ctlStartListener();
    if (d_.dtls) d_.dtls->startPeerSweep();
    if (r_.startInputSourceWatch) r_.startInputSourceWatch();
    return true;
}

bool CursorMain::openPlainPort() {
    if (!d_.plainPort) return true;
    std::string why;
    if (!d_.plainPort->bind(d_.plainPortNumber, &why)) {
        // Most often a second agent: the first one holds the port and keeps serving.
        const std::string line = "⚠︎ 평문 포트 udp/" + std::to_string(d_.plainPortNumber) + " 를 못 열었다 — " + why +
                                 " · 다른 에이전트가 이미 떠 있나? 끝낸다\n";
        d_.log.logLine(line);
        std::fprintf(stderr, "vellomark: %s", line.c_str());
        return false;
    }
    d_.log.logLine("listening udp/" + std::to_string(d_.plainPortNumber) + " — 평문: 짝짓기 + 로컬 도구\n");
    return true;
}

void CursorMain::run() {
    if (!startUp()) d_.platform.exitProcess(1);
    for (;;) pass(1.0);
}

void CursorMain::ctlStartListener() {
    // The file channel takes the same key list.
    if (r_.restartFileListener) r_.restartFileListener();
    if (d_.dtls) d_.dtls->restart(d_.pairStore.pskList());
}

void CursorMain::sweepPhone() {
    const double quiet = d_.clock.now() - d_.phone.phoneLastSeen.load();
    if (r_.quietPhone) r_.quietPhone(quiet);
    if (quiet > kHeldSilenceLimit && r_.holdsInput && r_.holdsInput())
        releaseHeld("폰이 " + std::to_string(static_cast<long long>(quiet)) + "초째 조용하다");
}

void CursorMain::runSweeps() {
    if (r_.sweepHolds) r_.sweepHolds();
    sweepPhone();
    d_.pairing.pairSweep();
    if (r_.sweepVDispGrace) r_.sweepVDispGrace();
    if (r_.fileSweep) r_.fileSweep();
    if (r_.fileInSweep) r_.fileInSweep();
}

void CursorMain::logLatencyWindow(double now) {
    if (statAt_ < 0) statAt_ = now;
    if (afterSweep_ > 0) maxHandle_ = std::max(maxHandle_, now - afterSweep_);
    if (mCount_ == 0 || now - statAt_ < 1.0) return;
    char line[256];
    std::snprintf(line, sizeof line,
                  "지연 — M %d개/초 · 잃음 %lld · 간격 최대 %.0fms · 스윕 최대 %.0fms · 처리 최대 %.0fms\n", mCount_,
                  mLost_, maxGap_ * 1000, maxSweep_ * 1000, maxHandle_ * 1000);
    d_.log.logLine(line);
    mCount_ = 0;
    mLost_ = 0;
    maxGap_ = maxSweep_ = maxHandle_ = 0;
    statAt_ = now;
}

void CursorMain::pass(double popTimeout) {
    logLatencyWindow(d_.clock.referenceNow());

    auto msg = d_.inbox.pop(popTimeout);

    passT_ = d_.clock.referenceNow();
    runSweeps();
    afterSweep_ = d_.clock.referenceNow();
    maxSweep_ = std::max(maxSweep_, afterSweep_ - passT_);

    if (msg) route(*msg);
}

// ---- routing by origin ----

void CursorMain::route(const CtlMsg& msg) {
    if (msg.peerClosed) {
        if (msg.peer) onPeerClosed(*msg.peer);
        return;
    }
    // A phone sent away keeps no say, not even through lines it sent before.
    if (msg.peer && msg.peer->revoked.load()) return;
    auto lines = ctlLines(msg.bytes);
    if (!lines) return;
    const std::string text(msg.bytes.begin(), msg.bytes.end());
    if (!msg.plain) routeEncrypted(msg, text, *lines);
    else if (msg.loopback) routeLocal(msg, text, *lines);
    else routePlain(msg, *lines);
}

void CursorMain::routeEncrypted(const CtlMsg& msg, const std::string& text, const std::vector<std::string>& lines) {
    if (startsWith(text, "VT")) {
        if (d_.hooks.videoHooks && msg.peer) {
            if (auto chunks = d_.hooks.videoHooks->thumb())
                for (const auto& chunk : *chunks) msg.peer->send(chunk);
        }
        return;
    }
    notePhonePresent(msg);
    for (const auto& line : lines) processLine(msg, line);
}

void CursorMain::notePhonePresent(const CtlMsg& msg) {
    if (msg.peer) {
        d_.phone.setPhoneConn(msg.peer);
        std::string id = msg.peer->phoneID();
        if (!id.empty())
            if (auto name = d_.pairStore.name(id)) d_.phone.setPhoneName(*name);
    }
    d_.phone.hasPhone = true;
    d_.phone.phoneLastSeen = d_.clock.now();
    if (r_.phoneTraffic) r_.phoneTraffic();
}

void CursorMain::routeLocal(const CtlMsg& msg, const std::string& text, const std::vector<std::string>& lines) {
    if (startsWith(text, "STOP")) {
        if (r_.agentStop) r_.agentStop();
        if (r_.releaseAll) r_.releaseAll();
        d_.log.logLine("에이전트 중단 요청\n");
    } else if (startsWith(text, "SAY ")) {
        d_.sender.phoneSend(text);
    } else if (startsWith(text, "SNAP")) {
        if (d_.sender.phoneSend("SNAP")) d_.log.logLine("SNAP 요청을 폰으로 전달\n");
        else d_.log.logLine("SNAP 요청 — 붙은 폰이 없다\n");
    } else if (startsWith(text, "PAIROK ") || startsWith(text, "PAIRNO ")) {
        auto words = ctlWords(text);
        if (words.size() >= 2)
            if (auto n = parseInt<int>(trimmed(words[1]))) d_.pairing.pairDecide(*n, words[0] == "PAIROK");
    } else if (startsWith(text, "UNPAIR ")) {
        unpair(trimmed(std::string_view(text).substr(7)));
    } else if (startsWith(text, "SENDFILE ")) {
        auto decoded = base64Decode(trimmed(std::string_view(text).substr(9)));
        if (decoded) {
            std::string path = toString(*decoded);
            if (isValidUtf8(path) && r_.offerFile) r_.offerFile(path);
        }
    } else if (startsWith(text, "FILECANCEL")) {
        if (r_.fileCancelLocal) r_.fileCancelLocal();
    } else if (startsWith(text, "KICK")) {
        kick();
    } else {
        for (const auto& line : lines) processLine(msg, line);
    }
}

void CursorMain::routePlain(const CtlMsg& msg, const std::vector<std::string>& lines) {
    auto words = lines.empty() ? std::vector<std::string>() : ctlWords(lines.front());
    const std::string head = words.empty() ? std::string() : words[0];
    if (head == "PAIR2" || head == "POPEN") {
        if (!pairingWithinBudget(msg)) return;
        if (head == "PAIR2") d_.pairing.pairRequest(words, msg);
        else d_.pairing.pairOpen(words, msg);
    } else if (head == "PAIR") {
        d_.sender.ctlReply(msg, "OLDAPP");
    } else if (head == "PING") {
        d_.sender.ctlReply(msg, "PONG");
    } else if (head == "KNOWN") {
        if (words.size() >= 2) d_.sender.ctlReply(msg, d_.pairStore.contains(words[1]) ? "KNOWN 1" : "KNOWN 0");
    } else {
        refusePlain(head);
    }
}

bool CursorMain::pairingWithinBudget(const CtlMsg& msg) {
    const double now = d_.clock.now();
    if (pairingPerSource_.take(sourceKey(msg), now) && pairingTotal_.take(now)) return true;
    if (auto n = pairingDropLog_.tick(now))
        d_.log.logLine("짝짓기 평문이 너무 잦다 — " + std::to_string(*n) + "개를 읽지 않고 버렸다\n");
    return false;
}

void CursorMain::refusePlain(const std::string& head) {
    auto n = refusedLog_.tick(d_.clock.now());
    if (!n) return;
    // The first word comes from the network: keep the log line short and printable.
    std::string shown = head.empty() ? "?" : firstChars(head, 16);
    d_.log.logLine("짝짓기 없는 평문 명령 거부 — " + std::to_string(*n) + "개 (첫 칸 " + shown + ")\n");
}

// ---- a phone going away ----

void CursorMain::onPeerClosed(const CtlPeer& peer) {
    d_.phone.clearPhoneConnIf(&peer);
    // Kicked and unpaired phones were let go of when they were sent away.
    if (peer.revoked.load() || !peer.gaveInput.load()) return;
    if (r_.holdsInput && r_.holdsInput()) releaseHeld("폰 연결이 끝났다");
}

void CursorMain::releaseHeld(const std::string& why) {
    d_.log.logLine(why + " — 눌린 채인 키와 버튼을 놓는다\n");
    if (r_.releaseAll) r_.releaseAll();
}

void CursorMain::unpair(const std::string& id) {
    int n = id.empty() ? 0 : d_.pairStore.remove(id);
    d_.log.logLine("짝 해제 — " + firstChars(id, 8) + " (키 " + std::to_string(n) + "개)\n");
    if (d_.dtls) {
        d_.dtls->farewellAll();
    } else {
        if (auto conn = d_.phone.phoneConn()) conn->revoked = true;
        d_.phone.setPhoneConn(nullptr);
        d_.phone.hasPhone = false;
    }
    ctlStartListener();
    if (d_.hooks.videoHooks) d_.hooks.videoHooks->rotateKey();
    if (r_.releaseAll) r_.releaseAll();
}

void CursorMain::kick() {
    auto conn = d_.phone.phoneConn();
    if (!conn) return;
    conn->revoked = true;
    conn->sendThenCancel(toBytes("BYE\n"));
    d_.phone.setPhoneConn(nullptr);
    d_.phone.hasPhone = false;
    d_.log.logLine("폰을 끊었다 (KICK)\n");
    if (r_.holdsInput && r_.holdsInput()) releaseHeld("폰을 끊었다");
}

// ---- line processing ----

void CursorMain::processLine(const CtlMsg& msg, const std::string& line) {
    if (msg.peer && takeIdentity(*msg.peer, line)) return;
    askIdentityIfMissing(msg);
    if (appWord(msg, line) || fileWord(line) || videoWord(msg, line)) return;
    if (startsWith(line, "M ")) countMove(line);  // and on to the dispatcher
    if (echoOrDisplayWord(msg, line)) return;
    handOn(msg, line);
}

bool CursorMain::takeIdentity(CtlPeer& peer, const std::string& line) {
    if (!startsWith(line, "ID ")) return false;
    std::string id = trimmed(std::string_view(line).substr(3));
    if (id == peer.phoneID()) return true;
    peer.setPhoneID(id);
    d_.phone.phoneWantsScreen = false;
    std::string name = d_.pairStore.name(id).value_or("");
    d_.phone.setPhoneName(name);
    d_.log.logLine("폰 붙음 — " + (name.empty() ? std::string("이름 모름") : name) + " (" + firstChars(id, 8) + ")\n");
    if (d_.hooks.vdispHooks && d_.hooks.vdispHooks->alive() && r_.setVDispGraceUntil)
        r_.setVDispGraceUntil(d_.clock.now() + 10.0);
    return true;
}

void CursorMain::askIdentityIfMissing(const CtlMsg& msg) {
    if (!msg.peer || !msg.peer->phoneID().empty()) return;
    const double now = d_.clock.now();
    if (now - msg.peer->askedIDAt.load() <= 5.0) return;
    msg.peer->askedIDAt = now;
    d_.sender.ctlReply(msg, "ID?");
}

bool CursorMain::appWord(const CtlMsg& msg, const std::string& line) {
    if (line == "APPS?") {
        if (r_.runningAppsJSON)
            onMain(d_.mainQueue, [this, msg] { d_.sender.sendChunked(msg, "APPS", r_.runningAppsJSON()); });
        return true;
    }
    if (startsWith(line, "AICON ")) {
        auto pid = numberAfter<int32_t>(line, 6);
        if (pid && r_.appIconPNG) {
            onMain(d_.mainQueue, [this, msg, p = *pid] {
                if (auto png = r_.appIconPNG(p)) d_.sender.sendChunked(msg, "AICON " + std::to_string(p), *png);
            });
        }
        return true;
    }
    if (startsWith(line, "APPUP ")) {
        auto pid = numberAfter<int32_t>(line, 6);
        if (pid && r_.bringAppToFront) onMain(d_.mainQueue, [this, p = *pid] { r_.bringAppToFront(p); });
        return true;
    }
    return false;
}

bool CursorMain::fileWord(const std::string& line) {
    if (startsWith(line, "FILENO ")) {
        if (auto id = numberAfter<int64_t>(line, 7); id && r_.fileDeclined) r_.fileDeclined(*id);
        return true;
    }
    if (startsWith(line, "FILESLOW ")) {
        if (auto id = numberAfter<int64_t>(line, 9); id && r_.fileSlow) r_.fileSlow(*id);
        return true;
    }
    if (startsWith(line, "FILECANCEL ")) {
        if (auto id = numberAfter<int64_t>(line, 11); id && r_.fileCancelByPhone) r_.fileCancelByPhone(*id);
        return true;
    }
    return false;
}

bool CursorMain::videoWord(const CtlMsg& msg, const std::string& line) {
    if (line == "VKEY?") {
        if (d_.hooks.videoHooks) {
            auto [number, key] = d_.hooks.videoHooks->key();
            d_.sender.ctlReply(msg, "VKEY " + std::to_string(number) + " " + base64Encode(key));
        } else {
            d_.log.logLine("VKEY? — 영상 갈고리 없음 (단독 inputd)\n");
        }
        return true;
    }
    if (startsWith(line, "VH ") || line == "VI" || startsWith(line, "VN ") || startsWith(line, "VQ") ||
        startsWith(line, "VF")) {
        if (msg.peer && d_.hooks.videoHooks)
            if (auto ip = msg.peer->ipv4()) d_.hooks.videoHooks->control(line.substr(1), *ip);
        return true;
    }
    return false;
}

void CursorMain::countMove(const std::string& line) {
    if (lastM_ > 0) maxGap_ = std::max(maxGap_, passT_ - lastM_);
    lastM_ = passT_;
    ++mCount_;
    auto words = ctlWords(line);
    if (words.size() <= 3) return;
    if (auto seq = parseInt<long long>(words[3])) {
        if (lastSeq_ > 0 && *seq > lastSeq_) mLost_ += std::min<long long>(*seq - lastSeq_ - 1, 1'000'000);
        lastSeq_ = *seq;
    }
}

bool CursorMain::echoOrDisplayWord(const CtlMsg& msg, const std::string& line) {
    if (startsWith(line, "P ")) {
        d_.sender.ctlReply(msg, line + " " + std::to_string(d_.clock.nowMicros()));
        return true;
    }
    if (startsWith(line, "D ")) {
        answerDisplaySize(msg, line);
        return true;
    }
    if (line == "IS?") {
        d_.sender.ctlReply(msg, "IS " + (r_.inputSourceTag ? r_.inputSourceTag() : std::string()));
        return true;
    }
    return false;
}

void CursorMain::answerDisplaySize(const CtlMsg& msg, const std::string& line) {
    auto words = ctlWords(line);
    if (words.size() < 3) return;
    auto w = parseInt<long long>(words[1]);
    auto h = parseInt<long long>(words[2]);
    // Sizes beyond what a display can be are dropped like unparsable ones.
    if (!w || !h || *w < 0 || *h < 0 || *w > 32768 || *h > 32768) return;
    std::optional<std::pair<uint32_t, uint32_t>> size;
    if (*w == 0 || *h == 0) {
        if (r_.currentDisplaySize) size = r_.currentDisplaySize();
    } else if (r_.setDisplayMode) {
        size = r_.setDisplayMode(static_cast<uint32_t>(*w), static_cast<uint32_t>(*h));
    }
    if (!size) return;
    d_.sender.ctlReply(msg, "D " + std::to_string(size->first) + " " + std::to_string(size->second));
    d_.sender.ctlReply(msg, "IS " + (r_.inputSourceTag ? r_.inputSourceTag() : std::string()));
    d_.sender.ctlReply(msg, "HV 2");
}

void CursorMain::handOn(const CtlMsg& msg, const std::string& line) {
    if (msg.peer) msg.peer->gaveInput = true;
    if (r_.handle) r_.handle(line);
}

}  // namespace vm
