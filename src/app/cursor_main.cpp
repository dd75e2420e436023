#include "app/cursor_main.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <thread>

#include "app/sigterm.h"
#include "base/base64.h"
#include "control/dtls_server.h"
#include "control/local_control.h"
#include "control/plain_port.h"
#include "pairing/pairing.h"

namespace vm {

namespace {

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Decimal integer with an optional sign, nothing else (no blanks, no trailing text).
template <typename Int>
std::optional<Int> parseInt(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.front() == '+') return std::nullopt;
    Int value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string trimmed(std::string_view s) {
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return std::string(s);
}

// The first `n` characters (not bytes) of a UTF-8 string.
std::string firstChars(const std::string& s, size_t n) {
    size_t i = 0, count = 0;
    while (i < s.size() && count < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
        i = std::min(s.size(), i + len);
        ++count;
    }
    return s.substr(0, i);
}

}  // namespace

void CursorMain::startUp() {
    // An earlier run may have left the physical displays off.
    if (r_.physicalDisplaysOn) r_.physicalDisplaysOn();
    auto& platform = d_.platform;
    startSigtermPath(r_.physicalDisplaysOn, [&platform](int status) { platform.exitProcess(status); });
    bool trusted = d_.platform.accessibility().isTrusted(true);
    d_.log.logLine(std::string("접근성 권한: ") + (trusted ? "허용" : "⚠︎ 거부 — 커서가 안 움직인다") + "\n");

    if (d_.plainPort) {
        d_.plainPort->bind(d_.plainPortNumber);
        d_.log.logLine("listening udp/" + std::to_string(d_.plainPortNumber) + " — 평문: 짝짓기 + 로컬 도구\n");
    }
    if (r_.startWatchers) r_.startWatchers();
    if (d_.plainPort) {
        PlainPort* port = d_.plainPort;
        std::thread([port] { port->rawLoop(); }).detach();
    }
    if (d_.localControl) d_.localControl->start();

    ctlStartListener();
    if (d_.dtls) d_.dtls->startPeerSweep();
    if (r_.startInputSourceWatch) r_.startInputSourceWatch();
}

void CursorMain::run() {
    startUp();
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
}

void CursorMain::runSweeps() {
    if (r_.sweepHolds) r_.sweepHolds();
    sweepPhone();
    d_.pairing.pairSweep();
    if (r_.sweepVDispGrace) r_.sweepVDispGrace();
    if (r_.fileSweep) r_.fileSweep();
    if (r_.fileInSweep) r_.fileInSweep();
}

void CursorMain::pass(double popTimeout) {
    const double now = d_.clock.referenceNow();
    if (statAt_ < 0) statAt_ = now;
    if (afterSweep_ > 0) maxHandle_ = std::max(maxHandle_, now - afterSweep_);
    if (mCount_ > 0 && now - statAt_ >= 1.0) {
        char line[256];
        std::snprintf(line, sizeof line, "지연 — M %d개/초 · 잃음 %d · 간격 최대 %.0fms · 스윕 최대 %.0fms · 처리 최대 %.0fms\n",
                      mCount_, mLost_, maxGap_ * 1000, maxSweep_ * 1000, maxHandle_ * 1000);
        d_.log.logLine(line);
        mCount_ = 0;
        mLost_ = 0;
        maxGap_ = maxSweep_ = maxHandle_ = 0;
        statAt_ = now;
    }

    auto msg = d_.inbox.pop(popTimeout);

    passT_ = d_.clock.referenceNow();
    runSweeps();
    afterSweep_ = d_.clock.referenceNow();
    maxSweep_ = std::max(maxSweep_, afterSweep_ - passT_);

    if (msg) route(*msg);
}

void CursorMain::route(const CtlMsg& msg) {
    std::string_view raw(reinterpret_cast<const char*>(msg.bytes.data()), msg.bytes.size());
    if (!isValidUtf8(raw)) return;
    const std::string text(raw);
    if (!msg.plain) routeEncrypted(msg, text);
    else if (msg.loopback) routeLocal(msg, text);
    else routePlain(msg, text);
}

void CursorMain::onMain(std::function<void()> work) {
    if (d_.mainQueue) d_.mainQueue->async(std::move(work));
    else work();
}

void CursorMain::routeEncrypted(const CtlMsg& msg, const std::string& text) {
    if (startsWith(text, "VT")) {
        if (d_.hooks.videoHooks && msg.peer) {
            if (auto chunks = d_.hooks.videoHooks->thumb())
                for (const auto& chunk : *chunks) msg.peer->send(chunk);
        }
        return;
    }
    if (msg.peer) {
        d_.phone.setPhoneConn(msg.peer);
        std::string id = msg.peer->phoneID();
        if (!id.empty())
            if (auto name = d_.pairStore.name(id)) d_.phone.setPhoneName(*name);
    }
    d_.phone.hasPhone = true;
    d_.phone.phoneLastSeen = d_.clock.now();
    if (r_.ensureVDisp) r_.ensureVDisp();
    if (d_.phone.phoneWantsScreen.load()) {
        if (r_.mainIsVirtual && r_.setMain && !r_.mainIsVirtual()) r_.setMain(true, true);
        if (d_.hooks.vdispHooks && d_.hooks.vdispHooks->alive() && r_.physicalDisplaysOff) r_.physicalDisplaysOff();
    }
    processLines(msg, text);
}

void CursorMain::routeLocal(const CtlMsg& msg, const std::string& text) {
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
        processLines(msg, text);
    }
}

void CursorMain::unpair(const std::string& id) {
    int n = id.empty() ? 0 : d_.pairStore.remove(id);
    d_.log.logLine("짝 해제 — " + firstChars(id, 8) + " (키 " + std::to_string(n) + "개)\n");
    if (d_.dtls) {
        d_.dtls->farewellAll();
    } else {
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
    conn->sendThenCancel(toBytes("BYE\n"));
    d_.phone.setPhoneConn(nullptr);
    d_.phone.hasPhone = false;
    d_.log.logLine("폰을 끊었다 (KICK)\n");
}

void CursorMain::routePlain(const CtlMsg& msg, const std::string& text) {
    std::string first = text.substr(0, text.find('\n'));
    auto words = ctlWords(first);
    const std::string head = words.empty() ? std::string() : words[0];
    if (head == "PAIR2") {
        d_.pairing.pairRequest(words, msg);
    } else if (head == "POPEN") {
        d_.pairing.pairOpen(words, msg);
    } else if (head == "PAIR") {
        d_.sender.ctlReply(msg, "OLDAPP");
    } else if (head == "PING") {
        d_.sender.ctlReply(msg, "PONG");
    } else if (head == "KNOWN") {
        if (words.size() >= 2) d_.sender.ctlReply(msg, d_.pairStore.contains(words[1]) ? "KNOWN 1" : "KNOWN 0");
    } else {
        ++refuseCount_;
        const double now = d_.clock.now();
        if (now - refuseLastAt_ > 10.0) {
            // The first word comes from the network: keep the log line short and printable.
            std::string shown = head.empty() ? "?" : firstChars(head, 16);
            if (!isValidUtf8(shown)) shown = "?";
            d_.log.logLine("짝짓기 없는 평문 명령 거부 — " + std::to_string(refuseCount_) + "개 (첫 칸 " + shown + ")\n");
            refuseLastAt_ = now;
            refuseCount_ = 0;
        }
    }
}

void CursorMain::processLines(const CtlMsg& msg, const std::string& text) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) processLine(msg, text.substr(start, end - start));
        start = end + 1;
    }
}

void CursorMain::processLine(const CtlMsg& msg, const std::string& line) {
    CtlPeer* peer = msg.peer.get();
    if (peer && startsWith(line, "ID ")) {
        std::string id = trimmed(std::string_view(line).substr(3));
        if (id != peer->phoneID()) {
            peer->setPhoneID(id);
            d_.phone.phoneWantsScreen = false;
            std::string name = d_.pairStore.name(id).value_or("");
            d_.phone.setPhoneName(name);
            d_.log.logLine("폰 붙음 — " + (name.empty() ? std::string("이름 모름") : name) + " (" + firstChars(id, 8) + ")\n");
            if (d_.hooks.vdispHooks && d_.hooks.vdispHooks->alive() && r_.setVDispGraceUntil)
                r_.setVDispGraceUntil(d_.clock.now() + 10.0);
        }
        return;
    }
    if (peer && peer->phoneID().empty()) {
        const double now = d_.clock.now();
        if (now - peer->askedIDAt.load() > 5.0) {
            peer->askedIDAt = now;
            d_.sender.ctlReply(msg, "ID?");
        }
    }

    if (line == "APPS?") {
        if (r_.runningAppsJSON) {
            CtlMsg copy = msg;
            onMain([this, copy] { d_.sender.sendChunked(copy, "APPS", r_.runningAppsJSON()); });
        }
        return;
    }
    if (startsWith(line, "AICON ")) {
        auto pid = parseInt<int32_t>(std::string_view(line).substr(6));
        if (pid && r_.appIconPNG) {
            CtlMsg copy = msg;
            int32_t p = *pid;
            onMain([this, copy, p] {
                if (auto png = r_.appIconPNG(p)) d_.sender.sendChunked(copy, "AICON " + std::to_string(p), *png);
            });
        }
        return;
    }
    if (startsWith(line, "APPUP ")) {
        auto pid = parseInt<int32_t>(std::string_view(line).substr(6));
        if (pid && r_.bringAppToFront) {
            int32_t p = *pid;
            onMain([this, p] { r_.bringAppToFront(p); });
        }
        return;
    }
    if (startsWith(line, "FILENO ")) {
        if (auto id = parseInt<int64_t>(std::string_view(line).substr(7)); id && r_.fileDeclined) r_.fileDeclined(*id);
        return;
    }
    if (startsWith(line, "FILESLOW ")) {
        if (auto id = parseInt<int64_t>(std::string_view(line).substr(9)); id && r_.fileSlow) r_.fileSlow(*id);
        return;
    }
    if (startsWith(line, "FILECANCEL ")) {
        if (auto id = parseInt<int64_t>(std::string_view(line).substr(11)); id && r_.fileCancelByPhone)
            r_.fileCancelByPhone(*id);
        return;
    }
    if (line == "VKEY?") {
        if (d_.hooks.videoHooks) {
            auto [number, key] = d_.hooks.videoHooks->key();
            d_.sender.ctlReply(msg, "VKEY " + std::to_string(number) + " " + base64Encode(key));
        } else {
            d_.log.logLine("VKEY? — 영상 갈고리 없음 (단독 inputd)\n");
        }
        return;
    }
    if (startsWith(line, "VH ") || line == "VI" || startsWith(line, "VN ") || startsWith(line, "VQ") ||
        startsWith(line, "VF")) {
        if (peer && d_.hooks.videoHooks)
            if (auto ip = peer->ipv4()) d_.hooks.videoHooks->control(line.substr(1), *ip);
        return;
    }
    if (startsWith(line, "M ")) {
        if (lastM_ > 0) maxGap_ = std::max(maxGap_, passT_ - lastM_);
        lastM_ = passT_;
        ++mCount_;
        auto words = ctlWords(line);
        if (words.size() > 3) {
            if (auto seq = parseInt<long long>(words[3])) {
                if (lastSeq_ > 0 && *seq > lastSeq_) mLost_ += static_cast<int>(std::min<long long>(*seq - lastSeq_ - 1, 1'000'000));
                lastSeq_ = *seq;
            }
        }
    }
    if (startsWith(line, "P ")) {
        d_.sender.ctlReply(msg, line + " " + std::to_string(d_.clock.nowMicros()));
        return;
    }
    if (startsWith(line, "D ")) {
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
        return;
    }
    if (line == "IS?") {
        d_.sender.ctlReply(msg, "IS " + (r_.inputSourceTag ? r_.inputSourceTag() : std::string()));
        return;
    }
    if (r_.handle) r_.handle(line);
}

}  // namespace vm
