// Pairing messages from a hostile or broken sender: each is dropped with its log
// line, nothing crashes, and no key is ever stored.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "base/base64.h"
#include "control/phone_state.h"
#include "pairing/pairing.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

class CountingPlain final : public PlainSender {
public:
    void sendTo(const sockaddr_storage&, socklen_t, const Bytes& data) override { sent.push_back(toString(data)); }
    std::vector<std::string> sent;
};

CtlMsg fromHost(uint32_t hostOrder, uint16_t port = 4000) {
    CtlMsg m;
    m.plain = true;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(hostOrder);
    std::memcpy(&m.from, &a, sizeof a);
    m.fromLen = sizeof a;
    return m;
}

class PairingBadInput : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vm-pairing-bad-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        log = std::make_unique<Logger>((dir / "logs").string(), clock);
        storePath = PairStore::pathIn((dir / "support").string());
        store = std::make_unique<PairStore>(storePath, *log);
        hooks.pairPrompt = [this](int, const std::string&, const std::string&) { ++prompts; };
        pairing = std::make_unique<Pairing>(PairingDeps{clock, *log, *store, sender, hooks, [this] { ++restarts; }});
        newLogLines();  // the store's own load line
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string logText() const {
        std::ifstream in(dir / "logs" / "inputd.log", std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // Log lines written since the last call, without their time stamps.
    std::vector<std::string> newLogLines() {
        std::string text = logText();
        std::vector<std::string> out;
        std::istringstream in(text.substr(std::min(seen, text.size())));
        seen = text.size();
        for (std::string line; std::getline(in, line);) {
            auto at = line.find("  ");
            out.push_back(at == std::string::npos ? line : line.substr(at + 2));
        }
        return out;
    }
    std::string onlyNewLine() {
        auto lines = newLogLines();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string() : lines.back();
    }
    void expectNothingGranted() {
        EXPECT_EQ(store->count(), 0u);
        EXPECT_EQ(restarts, 0);
        EXPECT_FALSE(fs::exists(storePath));
    }

    fs::path dir;
    FakeClock clock;
    std::unique_ptr<Logger> log;
    std::string storePath;
    std::unique_ptr<PairStore> store;
    PhoneState phone{0};
    CountingPlain plain;
    CtlSender sender{phone, &plain};
    HookTables hooks;
    int prompts = 0, restarts = 0;
    std::unique_ptr<Pairing> pairing;
    size_t seen = 0;
};

const std::string kRequestParse = "짝짓기 요청 해석 실패";
const std::string kOpenParse = "짝짓기 열기 해석 실패";

TEST_F(PairingBadInput, MalformedRequestsAreDroppedWithTheirLogLine) {
    const std::string goodName = base64Encode(std::string("phone"));
    const std::string goodCommit = base64Encode(Bytes(32, 7));
    struct Case {
        const char* what;
        std::vector<std::string> words;
        std::string log;
    };
    const std::vector<Case> corpus = {
        {"no fields", {"PAIR2"}, kRequestParse},
        {"three fields", {"PAIR2", "ID1", goodName}, kRequestParse},
        {"name not base64", {"PAIR2", "ID1", "bm*tZQ==", goodCommit}, kRequestParse},
        {"name with bad padding", {"PAIR2", "ID1", "cGhvbmU", goodCommit}, kRequestParse},
        {"name not UTF-8", {"PAIR2", "ID1", base64Encode(std::string("\xFF\xFEph")), goodCommit}, kRequestParse},
        {"name an overlong NUL", {"PAIR2", "ID1", base64Encode(std::string("a\xC0\x80")), goodCommit}, kRequestParse},
        {"name a lone surrogate", {"PAIR2", "ID1", base64Encode(std::string("\xED\xA0\x80")), goodCommit},
         kRequestParse},
        {"commit not base64", {"PAIR2", "ID1", goodName, "%%%%"}, kRequestParse},
        {"commit of 31 bytes", {"PAIR2", "ID1", goodName, base64Encode(Bytes(31, 1))}, kRequestParse},
        {"commit of 33 bytes", {"PAIR2", "ID1", goodName, base64Encode(Bytes(33, 1))}, kRequestParse},
        {"huge commit", {"PAIR2", "ID1", goodName, base64Encode(Bytes(48'000, 1))}, kRequestParse},
        {"huge phone id", {"PAIR2", std::string(40'000, 'A'), goodName, goodCommit}, kRequestParse},
        {"phone id with a full stop", {"PAIR2", "ID1.abcdef012345", goodName, goodCommit}, kRequestParse},
        {"phone id with a control", {"PAIR2", "ID\x01", goodName, goodCommit}, kRequestParse},
        {"phone id not UTF-8", {"PAIR2", "\xC3", goodName, goodCommit}, kRequestParse},
        {"name of line breaks only", {"PAIR2", "ID1", base64Encode(std::string("\r\n\xE2\x80\xA8")), goodCommit},
         "짝짓기 요청 — 이름이 비었다"},
    };
    for (const auto& c : corpus) {
        SCOPED_TRACE(c.what);
        pairing->pairRequest(c.words, fromHost(0x0A000001));
        EXPECT_EQ(onlyNewLine(), c.log);
        EXPECT_FALSE(pairing->pendingID());
    }
    EXPECT_TRUE(plain.sent.empty());
    expectNothingGranted();
}

TEST_F(PairingBadInput, HugeNameIsCutNotRefused) {
    std::string name(60'000, 'n');
    pairing->pairRequest({"PAIR2", "ID1", base64Encode(name), base64Encode(Bytes(32, 7))}, fromHost(0x0A000001));
    EXPECT_EQ(pairing->pendingID(), 1);
    EXPECT_EQ(onlyNewLine(), "짝짓기 요청 #1 (" + std::string(40, 'n') + " · ID1) 약속 받음, 열쇠를 기다린다");
}

TEST_F(PairingBadInput, MalformedOrFalseOpensAreDroppedWithTheirLogLine) {
    // The "phone" commits to whatever key it is about to send, so the key itself is
    // what gets tested, not the commitment.
    auto commitTo = [&](const Bytes& key, int expectId) {
        pairing->pairRequest({"PAIR2", "ID" + std::to_string(expectId), base64Encode(std::string("p")),
                              base64Encode(pairCommit(key))},
                             fromHost(0x0A000000u + static_cast<uint32_t>(expectId)));
        ASSERT_EQ(pairing->pendingID(), expectId);
        newLogLines();
    };
    Bytes real = P256Key::generate().publicX963();
    Bytes offCurve = real;
    offCurve[40] ^= 0x5A;
    Bytes compressed(real.begin(), real.begin() + 33);
    compressed[0] = static_cast<uint8_t>(0x02 | (real[64] & 1));
    Bytes hybrid = real;
    hybrid[0] = static_cast<uint8_t>(0x06 | (real[64] & 1));
    Bytes noPrefix(real.begin() + 1, real.end());

    const std::string notP256 = " — P-256 열쇠가 아니다, 버린다";
    int id = 0;
    for (const Bytes* key : {&offCurve, &compressed, &hybrid, &noPrefix}) {
        ++id;
        clock.advance(61);  // a new request each time, with a fresh rate window
        commitTo(*key, id);
        pairing->pairOpen({"POPEN", std::to_string(id), base64Encode(*key)}, fromHost(1));
        EXPECT_EQ(onlyNewLine(), "⚠︎ 짝짓기 열기 #" + std::to_string(id) + notP256);
        EXPECT_EQ(pairing->pendingID(), id);  // still open for a proper key
    }

    const std::string key = base64Encode(real);
    struct Case {
        const char* what;
        std::vector<std::string> words;
        std::string log;
    };
    const std::string n = std::to_string(id);
    const std::vector<Case> corpus = {
        {"no fields", {"POPEN"}, kOpenParse},
        {"no key", {"POPEN", n}, kOpenParse},
        {"number not numeric", {"POPEN", "x" + n, key}, kOpenParse},
        {"number with a tail", {"POPEN", n + "a", key}, kOpenParse},
        {"number fractional", {"POPEN", n + ".0", key}, kOpenParse},
        {"number too large", {"POPEN", "99999999999999999999", key}, kOpenParse},
        {"number with two signs", {"POPEN", "+-" + n, key}, kOpenParse},
        {"number with a blank", {"POPEN", " " + n, key}, kOpenParse},
        {"key not base64", {"POPEN", n, "not*base64"}, kOpenParse},
        {"key with a stray pad", {"POPEN", n, "=AAA"}, kOpenParse},
        {"unknown number", {"POPEN", "77", key}, "짝짓기 열기 #77 — 해당 요청 없음"},
        {"negative number", {"POPEN", "-1", key}, "짝짓기 열기 #-1 — 해당 요청 없음"},
        // A plus sign is read as every decimal field is read: "+n" is n.
        {"number with a plus", {"POPEN", "+" + n, key}, "⚠︎ 짝짓기 열기 #" + n + " — 약속과 다른 열쇠다. 무시한다"},
        {"key of another", {"POPEN", n, key}, "⚠︎ 짝짓기 열기 #" + n + " — 약속과 다른 열쇠다. 무시한다"},
        {"huge key", {"POPEN", n, base64Encode(Bytes(48'000, 4))},
         "⚠︎ 짝짓기 열기 #" + n + " — 약속과 다른 열쇠다. 무시한다"},
    };
    for (const auto& c : corpus) {
        SCOPED_TRACE(c.what);
        pairing->pairOpen(c.words, fromHost(1));
        EXPECT_EQ(onlyNewLine(), c.log);
        EXPECT_EQ(pairing->pendingID(), id);
    }
    EXPECT_EQ(prompts, 0);

    // Whatever the user says, a request without a proper key stores nothing.
    pairing->pairDecide(id, true);
    EXPECT_EQ(onlyNewLine(), "짝짓기 허용 #" + n + " — 아직 열쇠가 없다. 버린다");
    expectNothingGranted();
}

// Random words, random bytes, random numbers and keys that almost fit, thousands
// of times, with the clock moving and the sweep and decisions mixed in.
TEST_F(PairingBadInput, RandomTrafficNeverCrashesOrGrantsAKey) {
    std::mt19937 rng(0x7A1B5EEDu);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    auto randomBytes = [&](size_t maxLen) {
        std::string s(pick(maxLen + 1), '\0');
        for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
        return s;
    };
    auto randomB64 = [&](size_t maxLen) {
        if (pick(8) == 0) return randomBytes(maxLen);  // not base64 at all
        return base64Encode(randomBytes(maxLen));
    };
    // Mostly well-formed UTF-8, with line breaks and multi-byte characters mixed in.
    auto randomText = [&](size_t maxLen) {
        static const char* const pieces[] = {"a", "Z", " ", "\n", "\r", "\xC2\x85", "\xE2\x80\xA8", "가", "😀", "\t", "\x01"};
        std::string s;
        for (size_t k = pick(maxLen + 1); k > 0; --k) s += std::string(pieces[pick(std::size(pieces))]);
        if (pick(10) == 0 && !s.empty()) s[pick(s.size())] = static_cast<char>(0x80 | (rng() & 0x3F));
        return s;
    };
    auto fixedBytes = [&](size_t len) {
        std::string s(len, '\0');
        for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
        return s;
    };
    auto almostKey = [&]() {
        Bytes k(pick(4) == 0 ? pick(80) : 65);
        for (auto& b : k) b = static_cast<uint8_t>(rng());
        if (!k.empty() && pick(2)) k[0] = 0x04;
        return base64Encode(k);
    };
    auto randomNumber = [&]() -> std::string {
        switch (pick(5)) {
            case 0: return std::to_string(pick(5));
            case 1: return std::to_string(static_cast<int>(rng()));
            case 2: return randomBytes(12);
            case 3: return pairing->pendingID() ? std::to_string(*pairing->pendingID()) : "1";
            default: return "";
        }
    };
    auto splitAtBlanks = [](const std::string& s) {
        std::vector<std::string> w;
        size_t i = 0;
        while (i <= s.size()) {
            size_t j = s.find(' ', i);
            if (j == std::string::npos) j = s.size();
            if (j > i) w.push_back(s.substr(i, j - i));
            i = j + 1;
        }
        return w;
    };

    constexpr int kCases = 4000;
    for (int i = 0; i < kCases; ++i) {
        CtlMsg from = fromHost(0x0A000000u + static_cast<uint32_t>(pick(300)), static_cast<uint16_t>(rng()));
        if (pick(50) == 0) from.fromLen = 0;
        std::vector<std::string> words;
        switch (pick(7)) {
            case 0:  // a line of random bytes
                words = splitAtBlanks(randomBytes(200));
                if (!words.empty()) words[0] = pick(2) ? "PAIR2" : "POPEN";
                break;
            case 1:
            case 2:  // a request whose fields are each possibly wrong
                words = {"PAIR2", pick(6) ? "P" + std::to_string(pick(4)) : randomBytes(20),
                         pick(3) ? base64Encode(randomText(60)) : randomB64(60),
                         pick(3) ? base64Encode(fixedBytes(pick(4) ? 32 : 31 + 2 * pick(2))) : randomB64(40)};
                words.resize(pick(6) == 0 ? pick(5) : 4);
                break;
            case 3:
            case 4:  // an open with a number and a key that almost fit
                words = {"POPEN", randomNumber(), pick(4) ? almostKey() : randomB64(100)};
                words.resize(pick(6) == 0 ? pick(4) : 3);
                break;
            case 5:
                pairing->pairDecide(static_cast<int>(pick(6)), pick(2) == 0);
                break;
            default:
                clock.advance(static_cast<double>(pick(40)));
                pairing->pairSweep();
                break;
        }
        if (words.empty()) continue;
        if (words[0] == "PAIR2") pairing->pairRequest(words, from);
        else pairing->pairOpen(words, from);
    }

    expectNothingGranted();
    EXPECT_EQ(prompts, 0);
    // Only the three answers of a request and a refusal ever went out; the random
    // traffic did get requests accepted and refused, so those paths ran too.
    std::map<std::string, int> kinds;
    for (const auto& s : plain.sent) {
        auto w = ctlWords(s.substr(0, s.find('\n')));
        ASSERT_FALSE(w.empty());
        ++kinds[w[0]];
        EXPECT_TRUE(w[0] == "PAIRING2" || w[0] == "BUSY" || w[0] == "DENIED") << s;
    }
    EXPECT_GT(kinds["PAIRING2"], 0);
    EXPECT_GT(kinds["BUSY"], 0);
    EXPECT_GT(kinds["DENIED"], 0);
    // Every log line is one the pairing code writes.
    const std::vector<std::string> known = {
        "짝짓기 요청 해석 실패", "짝짓기 요청 — 이름이 비었다", "짝짓기 요청 너무 잦다 — 버린다 (",
        "짝짓기 요청 #",         "짝짓기 열기 해석 실패",       "짝짓기 열기 #",
        "⚠︎ 짝짓기 열기 #",      "짝짓기 결정 #",               "짝짓기 거부 — #",
        "짝짓기 허용 #",         "짝짓기 시한 만료 (60초) — ",  "짝짓기 기록 ",
    };
    size_t lines = 0;
    std::istringstream in(logText());
    for (std::string line; std::getline(in, line);) {
        ++lines;
        ASSERT_NE(line.find("  "), std::string::npos) << line;  // names never carry a line break
        std::string body = line.substr(line.find("  ") + 2);
        bool ok = false;
        for (const auto& k : known) ok = ok || body.rfind(k, 0) == 0;
        EXPECT_TRUE(ok) << body;
    }
    EXPECT_GT(lines, static_cast<size_t>(kCases / 2));
}

}  // namespace
}  // namespace vm
