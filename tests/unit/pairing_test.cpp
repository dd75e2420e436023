// The pairing exchange end to end, with the test playing the phone.
#include "pairing/pairing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/base64.h"
#include "base/crypto.h"
#include "control/phone_state.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

struct Datagram {
    sockaddr_storage to;
    socklen_t toLen;
    std::string text;
};

class CapturePlain final : public PlainSender {
public:
    void sendTo(const sockaddr_storage& to, socklen_t toLen, const Bytes& data) override {
        sent.push_back({to, toLen, toString(data)});
    }
    std::vector<Datagram> sent;
};

CtlMsg fromIPv4(const char* ip, uint16_t port) {
    CtlMsg m;
    m.plain = true;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    std::memcpy(&m.from, &a, sizeof a);
    m.fromLen = sizeof a;
    return m;
}

CtlMsg fromIPv6(const char* ip, uint16_t port) {
    CtlMsg m;
    m.plain = true;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    inet_pton(AF_INET6, ip, &a.sin6_addr);
    std::memcpy(&m.from, &a, sizeof a);
    m.fromLen = sizeof a;
    return m;
}

std::string ipOf(const sockaddr_storage& s) {
    sockaddr_in a{};
    std::memcpy(&a, &s, sizeof a);
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

size_t countOf(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// The phone's side of the exchange.
struct TestPhone {
    explicit TestPhone(std::string phoneID, std::string displayName = "Mina's iPhone")
        : id(std::move(phoneID)), name(std::move(displayName)), key(P256Key::generate()), pub(key.publicX963()),
          commit(pairCommit(pub)) {}
    std::vector<std::string> pair2() const {
        return {"PAIR2", id, base64Encode(name), base64Encode(commit)};
    }
    std::vector<std::string> popen(int n) const { return {"POPEN", std::to_string(n), base64Encode(pub)}; }

    std::string id, name;
    P256Key key;
    Bytes pub, commit;
};

class PairingTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vm-pairing-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        log = std::make_unique<Logger>((dir / "logs").string(), clock);
        storePath = PairStore::pathIn((dir / "support").string());
        store = std::make_unique<PairStore>(storePath, *log);
        hooks.pairPrompt = [this](int id, const std::string& name, const std::string& code) {
            prompts.push_back({id, name, code});
        };
        hooks.pairPromptDone = [this](int id) { dones.push_back(id); };
        makePairing();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    void makePairing() {
        pairing = std::make_unique<Pairing>(
            PairingDeps{clock, *log, *store, sender, hooks, [this] { ++restarts; }});
    }

    std::string logText() const {
        std::ifstream in(dir / "logs" / "inputd.log", std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::vector<std::string> sentTexts() const {
        std::vector<std::string> out;
        for (const auto& d : plain.sent) out.push_back(d.text);
        return out;
    }
    // The number and agent key of a "PAIRING2" answer.
    static std::pair<int, Bytes> parsePairing2(const std::string& text) {
        auto words = ctlWords(text.substr(0, text.find('\n')));
        EXPECT_EQ(words.size(), 3u);
        EXPECT_EQ(words.at(0), "PAIRING2");
        auto key = base64Decode(words.at(2));
        EXPECT_TRUE(key.has_value());
        return {std::stoi(words.at(1)), key.value_or(Bytes{})};
    }

    struct Prompt {
        int id;
        std::string name, code;
    };

    fs::path dir;
    FakeClock clock;
    std::unique_ptr<Logger> log;
    std::string storePath;
    std::unique_ptr<PairStore> store;
    PhoneState phone{0};
    CapturePlain plain;
    CtlSender sender{phone, &plain};
    HookTables hooks;
    std::vector<Prompt> prompts;
    std::vector<int> dones;
    int restarts = 0;
    std::unique_ptr<Pairing> pairing;
};

// ---- derivations ----

TEST(PairingCrypto, CodeIsAlwaysSixDigits) {
    EXPECT_EQ(pairCodeFrom(42), "000042");
    EXPECT_EQ(pairCodeFrom(0), "000000");
    EXPECT_EQ(pairCodeFrom(999'999), "999999");
    EXPECT_EQ(pairCodeFrom(1'000'000), "000000");
    EXPECT_EQ(pairCodeFrom(4'294'967'295u), "967295");
}

TEST(PairingCrypto, BothSidesAgreeAndDeriveTheSameValues) {
    P256Key phoneKey = P256Key::generate();
    P256Key macKey = P256Key::generate();
    Bytes phonePub = phoneKey.publicX963(), macPub = macKey.publicX963();
    ASSERT_EQ(phonePub.size(), 65u);
    ASSERT_EQ(macPub.size(), 65u);
    EXPECT_EQ(phonePub[0], 0x04);
    EXPECT_NE(phonePub, macPub);

    auto a = phoneKey.agree(macPub);
    auto b = macKey.agree(phonePub);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), 32u);
    EXPECT_EQ(*a, *b);

    Bytes salt = phonePub;
    salt.resize(130);
    std::copy(macPub.begin(), macPub.end(), salt.begin() + 65);
    auto derived = pairDerive(*a, phonePub, macPub);
    ASSERT_TRUE(derived);
    auto sas = hkdfSha256(*a, salt, "vellomark-sas", 4);
    ASSERT_TRUE(sas);
    uint32_t v = (uint32_t{(*sas)[0]} << 24) | (uint32_t{(*sas)[1]} << 16) | (uint32_t{(*sas)[2]} << 8) | (*sas)[3];
    EXPECT_EQ(derived->code, pairCodeFrom(v));
    EXPECT_EQ(derived->psk, hkdfSha256(*a, salt, "vellomark-control-psk", 32));
    // The order of the two keys in the salt matters: swapped, the key differs.
    EXPECT_NE(pairDerive(*a, macPub, phonePub)->psk, derived->psk);

    EXPECT_EQ(pairConfirm(derived->psk, 7), hmacSha256(derived->psk, toBytes("vellomark-paired7")));
    EXPECT_EQ(pairCommit(phonePub), sha256(toBytes("vellomark-commit" + toString(phonePub))));
}

TEST(PairingCrypto, AgreementRefusesKeysThatAreNotUncompressedCurvePoints) {
    P256Key mine = P256Key::generate();
    Bytes good = P256Key::generate().publicX963();
    ASSERT_TRUE(mine.agree(good));

    Bytes shortKey(good.begin(), good.end() - 1);
    Bytes longKey = good;
    longKey.push_back(0);
    EXPECT_FALSE(mine.agree(shortKey));
    EXPECT_FALSE(mine.agree(longKey));
    EXPECT_FALSE(mine.agree({}));

    // The compressed form is refused: the phone always sends 65 bytes.
    Bytes compressed(good.begin(), good.begin() + 33);
    compressed[0] = static_cast<uint8_t>(0x02 | (good[64] & 1));
    EXPECT_FALSE(mine.agree(compressed));
    Bytes wrongTag = good;
    wrongTag[0] = 0x06;
    EXPECT_FALSE(mine.agree(wrongTag));

    Bytes offCurve = good;
    offCurve[64] ^= 0x01;
    EXPECT_FALSE(mine.agree(offCurve));
    Bytes zero(65, 0);
    zero[0] = 0x04;
    EXPECT_FALSE(mine.agree(zero));
    Bytes beyondField(65, 0xFF);
    beyondField[0] = 0x04;
    EXPECT_FALSE(mine.agree(beyondField));
}

TEST(PairingName, LineBreaksAndControlsBecomeSingleBlanksAndLengthIsCounted) {
    EXPECT_EQ(pairNormaliseName("Mina\nPhone"), "Mina Phone");
    EXPECT_EQ(pairNormaliseName("\r\n  a\r\n\r\nb\n"), "  a b");
    EXPECT_EQ(pairNormaliseName("x\xC2\x85y\xE2\x80\xA8z\xE2\x80\xA9w\x0B\x0Cv"), "x y z w v");
    EXPECT_EQ(pairNormaliseName("\n\r\n"), "");
    // Other controls part words the same way; direction controls vanish, since the
    // menu and the logs show the name and they would reorder what follows it.
    EXPECT_EQ(pairNormaliseName("tab\tgoes"), "tab goes");
    EXPECT_EQ(pairNormaliseName(std::string("a\0b", 3) + "\x1B[2J\x7F" + "c\xC2\x9B"), "a b [2J c");
    EXPECT_EQ(pairNormaliseName("Mina\xE2\x80\xAE" "3gpj.exe\xE2\x81\xA6\xD8\x9C\xE2\x80\x8F"), "Mina3gpj.exe");
    EXPECT_EQ(pairNormaliseName("\xE2\x80\xAE\xE2\x80\xAD"), "");
    // Joiners inside an emoji are part of it.
    EXPECT_EQ(pairNormaliseName("\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB"), "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB");

    std::string fifty;
    for (int i = 0; i < 50; ++i) fifty += "가";  // three bytes each
    std::string forty;
    for (int i = 0; i < 40; ++i) forty += "가";
    EXPECT_EQ(pairNormaliseName(fifty), forty);
    EXPECT_EQ(pairNormaliseName(std::string(50, 'a')), std::string(40, 'a'));
    // A blank from a line break counts as a character too.
    EXPECT_EQ(pairNormaliseName(std::string(39, 'a') + "\n" + "bc"), std::string(39, 'a') + " ");
    EXPECT_EQ(pairNormaliseName(std::string(40, 'a') + "\nbc"), std::string(40, 'a'));
}

// ---- requests ----

TEST_F(PairingTest, RequestIsAnsweredWithNumberAndAgentKeyAndLogged) {
    TestPhone p("PHONE-1", "Mina\nPhone");
    pairing->pairRequest(p.pair2(), fromIPv4("192.168.1.20", 5000));
    ASSERT_EQ(plain.sent.size(), 1u);
    EXPECT_EQ(ipOf(plain.sent[0].to), "192.168.1.20:5000");
    auto [n, macPub] = parsePairing2(plain.sent[0].text);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(macPub.size(), 65u);
    EXPECT_EQ(pairing->pendingID(), 1);
    EXPECT_EQ(countOf(logText(), "짝짓기 요청 #1 (Mina Phone · PHONE-1) 약속 받음, 열쇠를 기다린다\n"), 1u);
}

TEST_F(PairingTest, FourthRequestFromOneAddressWithinAMinuteIsDropped) {
    auto from = fromIPv4("10.0.0.5", 4000);
    for (int i = 0; i < 4; ++i) {
        TestPhone p("PHONE-1");  // a fresh key each time: not a retransmission
        pairing->pairRequest(p.pair2(), from);
        clock.advance(5);
    }
    ASSERT_EQ(plain.sent.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parsePairing2(plain.sent[static_cast<size_t>(i)].text).first, i + 1);
    EXPECT_EQ(pairing->pendingID(), 3);
    EXPECT_EQ(countOf(logText(), "짝짓기 요청 너무 잦다 — 버린다 (Mina's iPhone)\n"), 1u);

    // Another address is counted on its own.
    TestPhone other("PHONE-1");
    pairing->pairRequest(other.pair2(), fromIPv4("10.0.0.6", 4000));
    EXPECT_EQ(plain.sent.size(), 4u);

    // Once the first times are a minute old, the address may ask again.
    clock.advance(45);  // first request now 65 s old, second 60 s
    TestPhone later("PHONE-1");
    pairing->pairRequest(later.pair2(), from);
    ASSERT_EQ(plain.sent.size(), 5u);
    EXPECT_EQ(parsePairing2(plain.sent.back().text).first, 5);
}

TEST_F(PairingTest, RetransmittedRequestGetsTheSameAnswerAndIsNotCounted) {
    TestPhone p("PHONE-1");
    auto from = fromIPv4("10.0.0.5", 4000);
    for (int i = 0; i < 6; ++i) {
        pairing->pairRequest(p.pair2(), from);
        clock.advance(1);
    }
    ASSERT_EQ(plain.sent.size(), 6u);
    for (const auto& d : plain.sent) EXPECT_EQ(d.text, plain.sent[0].text);
    EXPECT_EQ(pairing->pendingID(), 1);
    EXPECT_EQ(countOf(logText(), "약속 받음"), 1u);

    // Only the first counted: two more new requests still pass, a third does not.
    TestPhone p2("PHONE-1"), p3("PHONE-1"), p4("PHONE-1");
    pairing->pairRequest(p2.pair2(), from);
    pairing->pairRequest(p3.pair2(), from);
    EXPECT_EQ(pairing->pendingID(), 3);
    pairing->pairRequest(p4.pair2(), from);
    EXPECT_EQ(pairing->pendingID(), 3);
    EXPECT_EQ(countOf(logText(), "너무 잦다"), 1u);
}

TEST_F(PairingTest, RetransmissionFromANewPortMovesWhereTheDecisionGoes) {
    TestPhone p("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4001));
    ASSERT_EQ(plain.sent.size(), 2u);
    EXPECT_EQ(ipOf(plain.sent[1].to), "10.0.0.5:4001");
    pairing->pairDecide(1, false);
    ASSERT_EQ(plain.sent.size(), 3u);
    EXPECT_EQ(plain.sent[2].text, "DENIED 1\n");
    EXPECT_EQ(ipOf(plain.sent[2].to), "10.0.0.5:4001");
}

TEST_F(PairingTest, AnotherPhoneIsBusyUntilTheRequestIsAMinuteOld) {
    TestPhone a("PHONE-A"), b("PHONE-B");
    pairing->pairRequest(a.pair2(), fromIPv4("10.0.0.5", 4000));
    clock.advance(30);
    pairing->pairRequest(b.pair2(), fromIPv4("10.0.0.7", 4000));
    ASSERT_EQ(plain.sent.size(), 2u);
    EXPECT_EQ(plain.sent[1].text, "BUSY\n");
    EXPECT_EQ(ipOf(plain.sent[1].to), "10.0.0.7:4000");
    EXPECT_EQ(pairing->pendingID(), 1);

    clock.advance(30);  // exactly 60 s: no longer protected
    pairing->pairRequest(b.pair2(), fromIPv4("10.0.0.7", 4000));
    ASSERT_EQ(plain.sent.size(), 3u);
    EXPECT_EQ(parsePairing2(plain.sent[2].text).first, 2);
    EXPECT_EQ(pairing->pendingID(), 2);
    EXPECT_EQ(dones, std::vector<int>{1});
}

TEST_F(PairingTest, SamePhoneWithANewCommitmentReplacesTheRequest) {
    TestPhone first("PHONE-1"), second("PHONE-1");
    pairing->pairRequest(first.pair2(), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(first.popen(1), fromIPv4("10.0.0.5", 4000));
    ASSERT_EQ(prompts.size(), 1u);
    pairing->pairRequest(second.pair2(), fromIPv4("10.0.0.5", 4000));
    EXPECT_EQ(pairing->pendingID(), 2);
    EXPECT_EQ(dones, std::vector<int>{1});
    EXPECT_EQ(countOf(logText(), "짝짓기 요청 #1 — 같은 폰이 새 키로 다시 요청, 바꾼다\n"), 1u);

    pairing->pairOpen(first.popen(1), fromIPv4("10.0.0.5", 4000));
    EXPECT_EQ(countOf(logText(), "짝짓기 열기 #1 — 해당 요청 없음\n"), 1u);
    // The first key does not open the second request either.
    pairing->pairOpen(first.popen(2), fromIPv4("10.0.0.5", 4000));
    EXPECT_EQ(countOf(logText(), "⚠︎ 짝짓기 열기 #2 — 약속과 다른 열쇠다. 무시한다\n"), 1u);
    pairing->pairOpen(second.popen(2), fromIPv4("10.0.0.5", 4000));
    ASSERT_EQ(prompts.size(), 2u);
    EXPECT_EQ(prompts[1].id, 2);
}

// ---- opening ----

TEST_F(PairingTest, KeyNotMatchingTheCommitmentIsIgnoredAndTheRightKeyStillWorks) {
    TestPhone p("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    TestPhone impostor("PHONE-1");
    pairing->pairOpen(impostor.popen(1), fromIPv4("10.0.0.9", 4000));
    EXPECT_TRUE(prompts.empty());
    EXPECT_EQ(countOf(logText(), "⚠︎ 짝짓기 열기 #1 — 약속과 다른 열쇠다. 무시한다\n"), 1u);
    EXPECT_EQ(pairing->pendingID(), 1);

    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].id, 1);
    EXPECT_EQ(prompts[0].name, "Mina's iPhone");
    EXPECT_EQ(prompts[0].code.size(), 6u);
    EXPECT_EQ(countOf(logText(), "짝짓기 요청 #1 (Mina's iPhone · PHONE-1) 확인 코드 " + prompts[0].code + "\n"), 1u);
    // Nothing is answered to an open.
    EXPECT_EQ(plain.sent.size(), 1u);
}

TEST_F(PairingTest, RepeatedOpenIsLoggedAndDoesNotPromptAgain) {
    TestPhone p("PHONE-1"), other("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(other.popen(1), fromIPv4("10.0.0.5", 4000));
    ASSERT_EQ(prompts.size(), 1u);
    std::string text = logText();
    EXPECT_EQ(countOf(text, "짝짓기 열기 #1 재전송 (코드 " + prompts[0].code + ")\n"), 1u);
    EXPECT_EQ(countOf(text, "짝짓기 열기 #1 — 다른 열쇠가 또 왔다, 버린다\n"), 1u);
}

TEST_F(PairingTest, WithoutAnApprovalUIThePromptBecomesAHintNamingTheLocalTool) {
    hooks.pairPrompt.reset();
    hooks.pairPromptDone.reset();
    makePairing();
    TestPhone p("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    EXPECT_EQ(countOf(logText(), "승인 UI 없음 — 허용: vellomark-ctl \"PAIROK 1\" · 거부: vellomark-ctl \"PAIRNO 1\"\n"), 1u);
    // Absent hooks are no obstacle to finishing.
    pairing->pairDecide(1, true);
    EXPECT_EQ(store->count(), 1u);
}

// ---- decisions ----

TEST_F(PairingTest, ApprovalBeforeTheKeyEndsTheRequestAndSendsNothing) {
    TestPhone p("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    plain.sent.clear();
    pairing->pairDecide(1, true);
    EXPECT_TRUE(plain.sent.empty());
    EXPECT_FALSE(pairing->pendingID());
    EXPECT_EQ(dones, std::vector<int>{1});
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(store->count(), 0u);
    EXPECT_EQ(countOf(logText(), "짝짓기 허용 #1 — 아직 열쇠가 없다. 버린다\n"), 1u);
    // The phone's key arriving late finds nothing.
    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    EXPECT_TRUE(prompts.empty());
}

TEST_F(PairingTest, FullRoundTripStoresTheKeyBothSidesDerived) {
    TestPhone p("PHONE-1", "Mina\r\nPhone");
    auto from = fromIPv4("192.168.1.20", 5000);
    pairing->pairRequest(p.pair2(), from);
    ASSERT_EQ(plain.sent.size(), 1u);
    auto [n, macPub] = parsePairing2(plain.sent[0].text);

    // The phone's own derivation.
    auto shared = p.key.agree(macPub);
    ASSERT_TRUE(shared);
    auto mine = pairDerive(*shared, p.pub, macPub);
    ASSERT_TRUE(mine);

    pairing->pairOpen(p.popen(n), from);
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0].code, mine->code);
    EXPECT_EQ(prompts[0].name, "Mina Phone");

    clock.advance(10);
    pairing->pairDecide(n, true);
    EXPECT_FALSE(pairing->pendingID());
    EXPECT_EQ(restarts, 1);
    EXPECT_EQ(dones, std::vector<int>{n});

    ASSERT_EQ(plain.sent.size(), 2u);
    EXPECT_EQ(ipOf(plain.sent[1].to), "192.168.1.20:5000");
    auto words = ctlWords(plain.sent[1].text.substr(0, plain.sent[1].text.size() - 1));
    ASSERT_EQ(words.size(), 3u);
    EXPECT_EQ(words[0], "PAIRED2");
    EXPECT_EQ(words[1], std::to_string(n));
    EXPECT_EQ(base64Decode(words[2]), pairConfirm(mine->psk, n));

    const std::string identity = "PHONE-1." + pskTag(mine->psk);
    EXPECT_EQ(countOf(logText(), "짝짓기 허용 — #1 (Mina Phone · PHONE-1) 열쇠 " + pskTag(mine->psk) + "\n"), 1u);
    EXPECT_TRUE(store->contains(identity));

    // What reached the file, read back by a fresh store.
    PairStore reread(storePath, *log);
    ASSERT_TRUE(reread.contains(identity));
    auto list = reread.pskList();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].first, identity);
    EXPECT_EQ(list[0].second, mine->psk);
    EXPECT_EQ(reread.name("PHONE-1"), "Mina Phone");
    auto phones = reread.phones();
    ASSERT_EQ(phones.size(), 1u);
    EXPECT_NEAR(phones[0].pairedAt, clock.now(), 1e-3);

    // A late decision on the finished request changes nothing.
    pairing->pairDecide(n, false);
    EXPECT_EQ(plain.sent.size(), 2u);
    EXPECT_EQ(countOf(logText(), "짝짓기 결정 #1 — 해당 요청 없음 (이미 끝났거나 시한이 지났다)\n"), 1u);
}

TEST_F(PairingTest, RefusalSendsDeniedAndStoresNothing) {
    TestPhone p("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    pairing->pairDecide(1, false);
    EXPECT_EQ(sentTexts().back(), "DENIED 1\n");
    EXPECT_EQ(store->count(), 0u);
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(dones, std::vector<int>{1});
    EXPECT_EQ(countOf(logText(), "짝짓기 거부 — #1 (Mina's iPhone · PHONE-1)\n"), 1u);
}

TEST_F(PairingTest, AKeyThatCannotBeStoredIsNotConfirmed) {
    TestPhone p("PHONE-1");
    const auto from = fromIPv4("192.168.1.20", 5000);
    pairing->pairRequest(p.pair2(), from);
    pairing->pairOpen(p.popen(1), from);
    // A folder has taken the file's place since the store was read.
    fs::create_directories(storePath + "/occupied");
    plain.sent.clear();
    pairing->pairDecide(1, true);

    // No confirmation: the phone hears a refusal, and no listener learns the key.
    ASSERT_EQ(plain.sent.size(), 1u);
    EXPECT_EQ(plain.sent[0].text, "DENIED 1\n");
    EXPECT_EQ(ipOf(plain.sent[0].to), "192.168.1.20:5000");
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(store->count(), 0u);
    EXPECT_TRUE(store->pskList().empty());
    EXPECT_FALSE(pairing->pendingID());
    EXPECT_EQ(dones, std::vector<int>{1});
    const std::string text = logText();
    EXPECT_EQ(countOf(text, "짝짓기 허용 — "), 0u) << text;
    EXPECT_EQ(countOf(text, "⚠︎ 짝짓기 저장 실패 — #1 (Mina's iPhone · PHONE-1) 열쇠를 저장하지 못했다 ("), 1u) << text;
    EXPECT_EQ(countOf(text, "). 폰에는 확인 대신 거부를 보냈다\n"), 1u) << text;
}

TEST_F(PairingTest, UndecidedRequestExpiresAfterAMinuteWithDenied) {
    TestPhone p("PHONE-1");
    pairing->pairRequest(p.pair2(), fromIPv4("10.0.0.5", 4000));
    pairing->pairOpen(p.popen(1), fromIPv4("10.0.0.5", 4000));
    clock.advance(60);
    pairing->pairSweep();
    EXPECT_EQ(pairing->pendingID(), 1);
    EXPECT_EQ(plain.sent.size(), 1u);

    clock.advance(0.5);
    pairing->pairSweep();
    EXPECT_FALSE(pairing->pendingID());
    ASSERT_EQ(plain.sent.size(), 2u);
    EXPECT_EQ(plain.sent[1].text, "DENIED 1\n");
    EXPECT_EQ(ipOf(plain.sent[1].to), "10.0.0.5:4000");
    EXPECT_EQ(dones, std::vector<int>{1});
    EXPECT_EQ(store->count(), 0u);
    EXPECT_EQ(countOf(logText(), "짝짓기 시한 만료 (60초) — Mina's iPhone\n"), 1u);

    pairing->pairSweep();
    EXPECT_EQ(plain.sent.size(), 2u);
}

// ---- the rate table ----

TEST_F(PairingTest, RateTableIsPrunedAboveSixtyFourAddresses) {
    for (int i = 0; i < 70; ++i) {
        std::string ip = "10.1.0." + std::to_string(i + 1);
        EXPECT_FALSE(pairing->pairRateLimited(fromIPv4(ip.c_str(), 4000), clock.now()));
    }
    EXPECT_EQ(pairing->pairAttemptsSize(), 70u);
    clock.advance(30);
    EXPECT_FALSE(pairing->pairRateLimited(fromIPv4("10.2.0.1", 4000), clock.now()));
    EXPECT_EQ(pairing->pairAttemptsSize(), 71u);  // nothing old enough yet

    clock.advance(31);
    EXPECT_FALSE(pairing->pairRateLimited(fromIPv4("10.2.0.2", 4000), clock.now()));
    EXPECT_EQ(pairing->pairAttemptsSize(), 2u);  // 10.2.0.1 (31 s old) and the new one
}

TEST_F(PairingTest, RateTableStaysBoundedUnderAFloodOfAddresses) {
    for (uint32_t i = 0; i < kPairAttemptsCap + 500; ++i) {
        CtlMsg m = fromIPv4("10.0.0.0", 4000);
        sockaddr_in a{};
        std::memcpy(&a, &m.from, sizeof a);
        a.sin_addr.s_addr = htonl(0x0A000000u + i);
        std::memcpy(&m.from, &a, sizeof a);
        pairing->pairRateLimited(m, clock.now() + i * 1e-3);
    }
    EXPECT_EQ(pairing->pairAttemptsSize(), kPairAttemptsCap);
}

TEST_F(PairingTest, RateIsCountedPerHostWhateverTheAddressForm) {
    const double now = clock.now();
    auto v4 = fromIPv4("10.0.0.5", 4000);
    auto mapped = fromIPv6("::ffff:10.0.0.5", 4001);
    auto v6 = fromIPv6("fe80::1", 4000);
    auto v6port = fromIPv6("fe80::1", 4999);
    EXPECT_FALSE(pairing->pairRateLimited(v4, now));
    EXPECT_FALSE(pairing->pairRateLimited(mapped, now));
    EXPECT_FALSE(pairing->pairRateLimited(v4, now));
    EXPECT_TRUE(pairing->pairRateLimited(mapped, now));  // the fourth from 10.0.0.5

    EXPECT_FALSE(pairing->pairRateLimited(v6, now));
    EXPECT_FALSE(pairing->pairRateLimited(v6port, now));
    EXPECT_FALSE(pairing->pairRateLimited(v6, now));
    EXPECT_TRUE(pairing->pairRateLimited(v6port, now));
    EXPECT_FALSE(pairing->pairRateLimited(fromIPv6("fe80::2", 4000), now));
}

}  // namespace
}  // namespace vm
