#include "phone/phone_protocol.h"

#include <charconv>

#include "base/base64.h"
#include "base/crypto.h"
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
    if (s.empty() || s.size() > 10) return std::nullopt;
    for (char c : s)
        if (c < '0' || c > '9') return std::nullopt;
    int v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v <= 0) return std::nullopt;
    return v;
}

std::string pair2Message(const std::string& phoneId, const std::string& name, const Bytes& commit) {
    return "PAIR2 " + phoneId + " " + base64Encode(name) + " " + base64Encode(commit) + "\n";
}

std::optional<Pair2> parsePair2(std::string_view line) {
    auto w = wordsOf(line);
    if (w.size() < 4 || w[0] != "PAIR2") return std::nullopt;
    auto name = base64Decode(w[2]);
    auto commit = decodeExactly(w[3], kCommitBytes);
    if (!name || !commit || !isValidUtf8(toString(*name))) return std::nullopt;
    return Pair2{w[1], toString(*name), *commit};
}

std::string popenMessage(int n, const Bytes& phonePub) {
    return "POPEN " + std::to_string(n) + " " + base64Encode(phonePub) + "\n";
}

std::optional<Popen> parsePopen(std::string_view line) {
    auto w = wordsOf(line);
    if (w.size() < 3 || w[0] != "POPEN") return std::nullopt;
    auto n = parseRequestNumber(w[1]);
    auto pub = base64Decode(w[2]);
    if (!n || !pub) return std::nullopt;
    return Popen{*n, *pub};
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
    std::string text = toString(message);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(std::move(line));
        start = end + 1;
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
