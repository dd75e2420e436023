#include "phone/phone_protocol.h"

#include "base/base64.h"
#include "base/crypto.h"
#include "base/text.h"
#include "control/ctl_msg.h"
#include "pairing/pair_store.h"

namespace vm::phone {

namespace {

std::vector<std::string> wordsOf(std::string_view line) {
    std::string l(line);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    return ctlWords(l);
}

std::optional<Bytes> decodeExactly(std::string_view b64, size_t len) {
    auto b = base64Decode(b64);
    if (!b || b->size() != len) return std::nullopt;
    return b;
}

}  // namespace

std::optional<int> parseRequestNumber(std::string_view s) {
    // Digits only: no sign, no blank, and no request is number 0.
    if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
    auto v = parseInt<int>(s);
    if (!v || *v <= 0) return std::nullopt;
    return v;
}

std::string pair2Message(const std::string& phoneId, const std::string& name, const Bytes& commit) {
    return "PAIR2 " + phoneId + " " + base64Encode(name) + " " + base64Encode(commit) + "\n";
}

std::string popenMessage(int n, const Bytes& phonePub) {
    return "POPEN " + std::to_string(n) + " " + base64Encode(phonePub) + "\n";
}

std::optional<Pairing2> parsePairing2(std::string_view line) {
    auto w = wordsOf(line);
    if (w.size() != 3 || w[0] != "PAIRING2") return std::nullopt;
    auto n = parseRequestNumber(w[1]);
    auto pub = decodeExactly(w[2], kPubKeyBytes);
    if (!n || !pub) return std::nullopt;
    return Pairing2{*n, *pub};
}

std::optional<Paired2> parsePaired2(std::string_view line) {
    auto w = wordsOf(line);
    if (w.size() != 3 || w[0] != "PAIRED2") return std::nullopt;
    auto n = parseRequestNumber(w[1]);
    auto mac = decodeExactly(w[2], kConfirmBytes);
    if (!n || !mac) return std::nullopt;
    return Paired2{*n, *mac};
}

std::optional<int> parseDenied(std::string_view line) {
    auto w = wordsOf(line);
    if (w.size() != 2 || w[0] != "DENIED") return std::nullopt;
    return parseRequestNumber(w[1]);
}

bool isBusy(std::string_view line) {
    auto w = wordsOf(line);
    return w.size() == 1 && w[0] == "BUSY";
}

std::optional<bool> parseKnown(std::string_view line) {
    auto w = wordsOf(line);
    if (w.size() != 2 || w[0] != "KNOWN") return std::nullopt;
    if (w[1] == "1") return true;
    if (w[1] == "0") return false;
    return std::nullopt;
}

std::vector<std::string> messageLines(const Bytes& message) {
    std::vector<std::string> out;
    const std::string text = toString(message);
    for (std::string_view line : splitLines(text)) {
        if (line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) out.emplace_back(line);
    }
    return out;
}

std::string randomPhoneId() { return hexLower(randomBytes(8)); }

bool validPhoneId(std::string_view id) {
    if (id.empty() || id.size() > kMaxPhoneIdChars) return false;
    for (char c : id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string identityFor(const std::string& phoneId, const Bytes& psk) { return phoneId + "." + pskTag(psk); }

}  // namespace vm::phone
