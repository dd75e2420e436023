#include "pairing/pairing.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "base/base64.h"
#include "base/crypto.h"
#include "base/text.h"

namespace vm {

namespace {

constexpr size_t kCommitLen = 32;

// The phone's part of a key identity. A full stop would make the identity
// ambiguous (the store splits at the first one), and blanks or control characters
// have no place in a PSK identity or a log line.
bool validPhoneID(const std::string& id) {
    if (id.empty() || id.size() > kPairPhoneIDMax) return false;
    for (unsigned char c : id)
        if (c <= 0x20 || c >= 0x7F || c == '.') return false;
    return true;
}

uint64_t fnv1a(const uint8_t* p, size_t n) {
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

// The rate table's key for a source: the IPv4 address field as stored (an
// IPv4-mapped IPv6 source counts as its IPv4 host), else a hash of the host
// address with the top bit set so that it never meets an IPv4 key.
uint64_t rateKey(const CtlMsg& msg) {
    constexpr uint64_t kOther = 1ull << 63;
    if (msg.from.ss_family == AF_INET && msg.fromLen >= sizeof(sockaddr_in)) {
        sockaddr_in a{};
        std::memcpy(&a, &msg.from, sizeof a);
        return a.sin_addr.s_addr;
    }
    if (msg.from.ss_family == AF_INET6 && msg.fromLen >= sizeof(sockaddr_in6)) {
        sockaddr_in6 a{};
        std::memcpy(&a, &msg.from, sizeof a);
        const uint8_t* b = a.sin6_addr.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a.sin6_addr)) {
            uint32_t v4 = 0;
            std::memcpy(&v4, b + 12, 4);
            return v4;
        }
        return kOther | fnv1a(b, 16);
    }
    size_t n = std::min<size_t>(msg.fromLen, sizeof(sockaddr_storage));
    return kOther | fnv1a(reinterpret_cast<const uint8_t*>(&msg.from), n);
}

CtlMsg replyTo(const sockaddr_storage& from, socklen_t fromLen) {
    CtlMsg m;
    m.plain = true;
    m.from = from;
    m.fromLen = fromLen;
    return m;
}

}  // namespace

Pairing::Pairing(PairingDeps deps) : d_(std::move(deps)) {}

std::optional<int> Pairing::pendingID() const {
    if (!pairPending_) return std::nullopt;
    return pairPending_->id;
}

std::string Pairing::who(const PairPending& p) const { return "(" + p.name + " · " + p.phoneID + ")"; }

void Pairing::promptDone(int id) {
    if (d_.hooks.pairPromptDone && *d_.hooks.pairPromptDone) (*d_.hooks.pairPromptDone)(id);
}

bool Pairing::pairRateLimited(const CtlMsg& msg, double now) {
    auto young = [now](double t) { return now - t < kPairTimeLimit; };
    auto pruneList = [&](std::vector<double>& times) {
        std::erase_if(times, [&](double t) { return !young(t); });
    };
    if (pairAttempts_.size() > kPairAttemptsPruneAbove) {
        for (auto it = pairAttempts_.begin(); it != pairAttempts_.end();) {
            pruneList(it->second);
            it = it->second.empty() ? pairAttempts_.erase(it) : std::next(it);
        }
    }
    const uint64_t key = rateKey(msg);
    auto& times = pairAttempts_[key];
    pruneList(times);
    if (times.size() >= kPairAttemptsPerWindow) return true;
    times.push_back(now);
    if (pairAttempts_.size() > kPairAttemptsCap) {
        // Every address is live: forget the one heard from least recently.
        auto victim = pairAttempts_.end();
        for (auto it = pairAttempts_.begin(); it != pairAttempts_.end(); ++it) {
            if (it->first == key) continue;
            double last = it->second.empty() ? 0.0 : it->second.back();
            if (victim == pairAttempts_.end() || last < (victim->second.empty() ? 0.0 : victim->second.back()))
                victim = it;
        }
        if (victim != pairAttempts_.end()) pairAttempts_.erase(victim);
    }
    return false;
}

void Pairing::pairRequest(const std::vector<std::string>& words, const CtlMsg& msg) {
    static const std::string kParseFailed = "짝짓기 요청 해석 실패\n";
    if (words.size() < 4 || !validPhoneID(words[1])) return log(kParseFailed);
    const std::string& phoneID = words[1];
    auto nameBytes = base64Decode(words[2]);
    if (!nameBytes) return log(kParseFailed);
    std::string rawName = toString(*nameBytes);
    if (!isValidUtf8(rawName)) return log(kParseFailed);
    auto commit = base64Decode(words[3]);
    if (!commit || commit->size() != kCommitLen) return log(kParseFailed);

    std::string name = pairNormaliseName(rawName);
    if (name.empty()) return log("짝짓기 요청 — 이름이 비었다\n");

    const double now = d_.clock.now();
    auto& pending = pairPending_;
    const bool young = pending && now - pending->at < kPairTimeLimit;
    const bool samePhone = pending && pending->phoneID == phoneID;
    const bool sameCommit = pending && pending->commit == *commit;

    // A lost answer makes the phone send the same request again; that is not a new attempt.
    const bool retransmit = young && samePhone && sameCommit && !pending->phonePub;
    if (!retransmit && pairRateLimited(msg, now)) return log("짝짓기 요청 너무 잦다 — 버린다 (" + name + ")\n");

    if (pending && young) {
        if (samePhone && sameCommit) {
            pending->from = msg.from;
            pending->fromLen = msg.fromLen;
            d_.sender.ctlReply(msg, "PAIRING2 " + std::to_string(pending->id) + " " + base64Encode(pending->macPub));
            return;
        }
        if (!samePhone) {
            d_.sender.ctlReply(msg, "BUSY");
            return;
        }
        const int old = pending->id;
        log("짝짓기 요청 #" + std::to_string(old) + " — 같은 폰이 새 키로 다시 요청, 바꾼다\n");
        pending.reset();
        promptDone(old);
    } else if (pending) {
        // Stale; the sweep would have ended it. Close its panel should one still show.
        const int old = pending->id;
        pending.reset();
        promptDone(old);
    }

    std::optional<P256Key> key;
    try {
        key.emplace(P256Key::generate());
    } catch (const std::exception&) {
        return log("⚠︎ 짝짓기 요청 — 열쇠를 만들지 못했다\n");
    }
    Bytes macPub = key->publicX963();
    if (macPub.empty()) return log("⚠︎ 짝짓기 요청 — 열쇠를 만들지 못했다\n");

    PairPending p{.id = ++pairSerial_,
                  .phoneID = phoneID,
                  .name = name,
                  .code = std::nullopt,
                  .psk = std::nullopt,
                  .commit = std::move(*commit),
                  .phonePub = std::nullopt,
                  .macPriv = std::move(*key),
                  .macPub = macPub,
                  .from = msg.from,
                  .fromLen = msg.fromLen,
                  .at = now};
    pending.emplace(std::move(p));
    const std::string n = std::to_string(pending->id);
    d_.sender.ctlReply(msg, "PAIRING2 " + n + " " + base64Encode(macPub));
    log("짝짓기 요청 #" + n + " " + who(*pending) + " 약속 받음, 열쇠를 기다린다\n");
}

void Pairing::pairOpen(const std::vector<std::string>& words, const CtlMsg& /*msg*/) {
    static const std::string kParseFailed = "짝짓기 열기 해석 실패\n";
    if (words.size() < 3) return log(kParseFailed);
    auto id = parseInt<int>(words[1]);
    auto pub = base64Decode(words[2]);
    if (!id || !pub) return log(kParseFailed);
    const std::string n = std::to_string(*id);

    if (!pairPending_ || pairPending_->id != *id) return log("짝짓기 열기 #" + n + " — 해당 요청 없음\n");
    PairPending& p = *pairPending_;

    if (p.phonePub) {
        if (*p.phonePub == *pub) return log("짝짓기 열기 #" + n + " 재전송 (코드 " + p.code.value_or("") + ")\n");
        return log("짝짓기 열기 #" + n + " — 다른 열쇠가 또 왔다, 버린다\n");
    }
    if (!constantTimeEqual(pairCommit(*pub), p.commit))
        return log("⚠︎ 짝짓기 열기 #" + n + " — 약속과 다른 열쇠다. 무시한다\n");

    auto shared = p.macPriv.agree(*pub);
    std::optional<PairDerived> derived;
    if (shared) derived = pairDerive(*shared, *pub, p.macPub);
    if (!derived) return log("⚠︎ 짝짓기 열기 #" + n + " — P-256 열쇠가 아니다, 버린다\n");

    p.phonePub = std::move(*pub);
    p.code = derived->code;
    p.psk = std::move(derived->psk);
    log("짝짓기 요청 #" + n + " " + who(p) + " 확인 코드 " + *p.code + "\n");

    if (d_.hooks.pairPrompt && *d_.hooks.pairPrompt) {
        (*d_.hooks.pairPrompt)(p.id, p.name, *p.code);
    } else {
        // The plain port refuses decisions; they come from the local control tool.
        log("승인 UI 없음 — 허용: vellomark-ctl \"PAIROK " + n + "\" · 거부: vellomark-ctl \"PAIRNO " + n + "\"\n");
    }
}

void Pairing::pairDecide(int id, bool allow) {
    const std::string n = std::to_string(id);
    if (!pairPending_ || pairPending_->id != id)
        return log("짝짓기 결정 #" + n + " — 해당 요청 없음 (이미 끝났거나 시한이 지났다)\n");
    PairPending p = std::move(*pairPending_);
    pairPending_.reset();

    if (!allow) {
        if (p.fromLen != 0) d_.sender.ctlReply(replyTo(p.from, p.fromLen), "DENIED " + n);
        log("짝짓기 거부 — #" + n + " " + who(p) + "\n");
    } else if (p.psk) {
        const std::string tag = pskTag(*p.psk);
        const std::string why = d_.store.insert(p.phoneID + "." + tag, PairRecord{p.name, *p.psk, d_.clock.now()});
        if (!why.empty()) {
            // A key the next start would not know must not be confirmed: the phone
            // would believe it is paired. The wire has no "failed", so it is refused.
            if (p.fromLen != 0) d_.sender.ctlReply(replyTo(p.from, p.fromLen), "DENIED " + n);
            log("⚠︎ 짝짓기 저장 실패 — #" + n + " " + who(p) + " 열쇠를 저장하지 못했다 (" + why +
                "). 폰에는 확인 대신 거부를 보냈다\n");
        } else {
            if (d_.restartListeners) d_.restartListeners();
            if (p.fromLen != 0)
                d_.sender.ctlReply(replyTo(p.from, p.fromLen), "PAIRED2 " + n + " " + base64Encode(pairConfirm(*p.psk, id)));
            log("짝짓기 허용 — #" + n + " " + who(p) + " 열쇠 " + tag + "\n");
        }
    } else {
        log("짝짓기 허용 #" + n + " — 아직 열쇠가 없다. 버린다\n");
    }
    promptDone(id);
}

void Pairing::pairSweep() {
    if (!pairPending_ || d_.clock.now() - pairPending_->at <= kPairTimeLimit) return;
    log("짝짓기 시한 만료 (" + std::to_string(static_cast<int>(kPairTimeLimit)) + "초) — " + pairPending_->name + "\n");
    pairDecide(pairPending_->id, false);
}

}  // namespace vm
