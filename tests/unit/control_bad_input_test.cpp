// Hostile input on the control side: whatever arrives on the plain port, over the
// encrypted channel or from a local tool is dropped or refused, never crashes the
// loop, never stores a key and never reaches the dispatcher from the plain port.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/cursor_main.h"
#include "base/base64.h"
#include "pairing/pairing.h"
#include "platform/headless/headless_desktop.h"
#include "support/fake_peer.h"

namespace fs = std::filesystem;
using namespace vm;

namespace {

struct BadInput : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("vm-badinput-" + std::to_string(::getpid()));
    FakeClock clock;
    Logger log{(dir / "logs").string(), clock};
    platform::headless::HeadlessDesktop desktop{platform::Locations{}, platform::headless::Scene{}};
    HookTables hooks;
    CtlInbox inbox;
    PhoneState phone{clock.now()};
    vm::testing::RecordingPlain plain;
    CtlSender sender{phone, &plain};
    PairStore store{PairStore::pathIn((dir / "support").string()), log};
    int restarts = 0;
    Pairing pairing{PairingDeps{clock, log, store, sender, hooks, [this] { ++restarts; }}};
    std::vector<std::string> handled;
    std::unique_ptr<CursorMain> loop;

    void SetUp() override {
        CursorRooms rooms;
        rooms.handle = [this](const std::string& l) { handled.push_back(l); };
        loop = std::make_unique<CursorMain>(CursorDeps{clock, log, desktop, hooks, inbox, phone, sender, store, pairing},
                                            rooms);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

// Inputs that are each wrong in one way, plus the words that matter, as seeds.
std::vector<std::string> seeds() {
    const std::string b64commit = base64Encode(Bytes(32, 1));
    return {"",
            "\n\n\n",
            "PAIR2",
            "PAIR2 id",
            "PAIR2 id !!! " + b64commit,
            "PAIR2 id " + base64Encode(std::string("\xff\xfe")) + " " + b64commit,
            "PAIR2 id bmFtZQ== " + base64Encode(Bytes(31, 1)),
            "PAIR2 id bmFtZQ== " + base64Encode(Bytes(33, 1)),
            "PAIR2 " + std::string(5000, 'x') + " bmFtZQ== " + b64commit,
            "POPEN",
            "POPEN x AAAA",
            "POPEN 1 ====",
            "POPEN 99999999999999999999 " + base64Encode(Bytes(65, 4)),
            "POPEN -1 " + base64Encode(Bytes(65, 4)),
            "KNOWN",
            "KNOWN " + std::string(3000, 'k'),
            "PING extra words here",
            "M 1 1",
            "PAIROK 1",
            "UNPAIR x",
            "VKEY?",
            std::string("\xc3\x28 bad utf8"),
            std::string("PING\0PING", 9)};
}

}  // namespace

TEST_F(BadInput, RandomPlainDatagramsAreDroppedAndStoreNothing) {
    std::mt19937 rng(20261207);
    auto all = seeds();
    for (int i = 0; i < 6000; ++i) {
        std::string s = all[static_cast<size_t>(i) % all.size()];
        // Mutate: flip, insert and cut bytes, sometimes all random.
        int mode = static_cast<int>(rng() % 4);
        if (mode == 0) {
            s.assign(rng() % 300, '\0');
            for (auto& c : s) c = static_cast<char>(rng());
        } else if (!s.empty()) {
            for (int k = 0; k < 3; ++k) s[rng() % s.size()] = static_cast<char>(rng());
            if (mode == 2) s.resize(rng() % (s.size() + 1));
            if (mode == 3) s.insert(rng() % (s.size() + 1), std::string(rng() % 40, ' '));
        }
        CtlMsg m;
        m.bytes = toBytes(s);
        m.plain = true;
        vm::testing::setSource(m.from, m.fromLen, static_cast<uint8_t>(rng() % 250 + 1));
        loop->route(m);
        if (i % 500 == 0) clock.advance(61);  // let pending requests expire now and then
    }
    EXPECT_EQ(store.count(), 0u);
    EXPECT_EQ(restarts, 0);
    EXPECT_TRUE(handled.empty()) << "the plain port never reaches the dispatcher";
    for (const auto& sent : plain.sent) {
        const std::string& d = sent.data;
        bool known = d.rfind("PONG", 0) == 0 || d.rfind("OLDAPP", 0) == 0 || d.rfind("KNOWN ", 0) == 0 ||
                     d.rfind("PAIRING2 ", 0) == 0 || d.rfind("BUSY", 0) == 0 || d.rfind("DENIED ", 0) == 0;
        EXPECT_TRUE(known) << "unexpected answer: " << d;
    }
}

TEST_F(BadInput, RandomEncryptedAndLocalMessagesNeverCrashTheLoop) {
    std::mt19937 rng(7);
    auto peer = std::make_shared<vm::testing::RecordingPeer>(clock.now());
    const std::vector<std::string> words = {"ID ", "APPS?", "AICON ", "APPUP ", "FILENO ", "FILESLOW ", "FILECANCEL ",
                                            "VKEY?", "VH ", "VI", "M ", "P ", "D ", "IS?", "VT", "PAIROK ",
                                            "PAIRNO ", "UNPAIR ", "SENDFILE ", "KICK", "SAY ", "SNAP", "STOP"};
    for (int i = 0; i < 6000; ++i) {
        std::string s = words[rng() % words.size()];
        size_t extra = rng() % 4 == 0 ? rng() % 4000 : rng() % 24;
        for (size_t k = 0; k < extra; ++k) s.push_back(static_cast<char>(rng() % 3 == 0 ? ' ' : rng()));
        CtlMsg m;
        m.bytes = toBytes(s);
        if (rng() % 2) {
            m.peer = peer;
        } else {
            m.plain = m.loopback = true;
        }
        loop->route(m);
    }
    EXPECT_EQ(store.count(), 0u);
    // Only the control side's own answers travel back on the peer.
    for (const auto& line : peer->lines()) {
        bool known = line.rfind("ID?", 0) == 0 || line.rfind("P ", 0) == 0 || line.rfind("IS ", 0) == 0 ||
                     line.rfind("D ", 0) == 0 || line.rfind("HV ", 0) == 0 || line.rfind("BYE", 0) == 0 ||
                     line.rfind("SAY ", 0) == 0 || line.rfind("SNAP", 0) == 0;
        EXPECT_TRUE(known) << "unexpected answer: " << line.substr(0, 60);
    }
}

TEST_F(BadInput, OversizedPlainDatagramIsRefusedWithAShortLogLine) {
    CtlMsg m;
    m.bytes = toBytes(std::string(2048, 'Z'));
    m.plain = true;
    vm::testing::setSource(m.from, m.fromLen, 9);
    loop->route(m);
    std::ifstream in(dir / "logs" / "inputd.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto at = text.find("짝짓기 없는 평문 명령 거부 — 1개 (첫 칸 ");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_LT(text.size() - at, 120u) << "the refused word is cut short in the log";
}

TEST_F(BadInput, APairingFloodCostsTheLogATrickleAndLeavesRoomForAPhone) {
    auto logText = [&] {
        std::ifstream in(dir / "logs" / "inputd.log");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    auto count = [](const std::string& hay, const std::string& needle) {
        size_t n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    };
    auto datagram = [](const std::string& text, uint8_t host) {
        CtlMsg m;
        m.bytes = toBytes(text);
        m.plain = true;
        vm::testing::setSource(m.from, m.fromLen, host);
        return m;
    };
    const std::string popen = "POPEN 7 " + base64Encode(Bytes(65, 4));
    // 20,000 openings of a request nobody made, from one host.
    for (int i = 0; i < 20000; ++i) loop->route(datagram(popen, 7));
    std::string text = logText();
    EXPECT_EQ(count(text, "짝짓기 열기 #7 — 해당 요청 없음"), 5u) << "a short burst is read, the rest is not";
    EXPECT_EQ(count(text, "짝짓기 평문이 너무 잦다 — 1개를 읽지 않고 버렸다"), 1u);

    // A phone on another host still pairs meanwhile.
    loop->route(datagram("PAIR2 phone-1 " + base64Encode(std::string("Phone")) + " " + base64Encode(Bytes(32, 1)), 8));
    ASSERT_FALSE(plain.sent.empty());
    EXPECT_EQ(plain.sent.back().data.rfind("PAIRING2 ", 0), 0u);

    // Forged sources each get a fresh budget; all of them together do not.
    for (int i = 0; i < 2000; ++i) loop->route(datagram(popen, static_cast<uint8_t>(10 + i % 240)));
    text = logText();
    EXPECT_EQ(count(text, "짝짓기 열기 #7 — 해당 요청 없음"), 5u + 14u) << "20 at once for everyone together";
    EXPECT_EQ(count(text, "짝짓기 평문이 너무 잦다"), 1u) << "one line per 10 s";

    clock.advance(10.0);
    loop->route(datagram(popen, 7));
    text = logText();
    EXPECT_EQ(count(text, "짝짓기 열기 #7 — 해당 요청 없음"), 20u) << "the budget fills up again";
    loop->route(datagram(popen + "x", 200));
    for (int i = 0; i < 50; ++i) loop->route(datagram(popen, 7));
    EXPECT_NE(logText().find("짝짓기 평문이 너무 잦다 — "), std::string::npos);
    EXPECT_LE(count(logText(), "짝짓기 평문이 너무 잦다"), 2u);
}
