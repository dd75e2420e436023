// The input-side loop: routing by origin, the control side's own words, and the
// hand-off of every other line to the dispatcher.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/cursor_main.h"
#include "base/base64.h"
#include "control/plain_port.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "pairing/pairing.h"
#include "platform/headless/headless_desktop.h"
#include "support/fake_peer.h"
#include "support/recording_events.h"

namespace fs = std::filesystem;
using namespace vm;
using vm::testing::RecordingPeer;
using vm::testing::RecordingPlain;

namespace {

struct LoopFixture : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("vm-cursor-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    FakeClock clock;
    Logger log{(dir / "logs").string(), clock};
    platform::headless::HeadlessDesktop desktop{platform::Locations{}, platform::headless::Scene{}};
    HookTables hooks;
    CtlInbox inbox;
    PhoneState phone{clock.now()};
    RecordingPlain plain;
    CtlSender sender{phone, &plain};
    PairStore store{PairStore::pathIn((dir / "support").string()), log};
    Pairing pairing{PairingDeps{clock, log, store, sender, hooks, [] {}}};
    std::vector<std::string> handled;
    CursorRooms rooms;
    std::unique_ptr<CursorMain> loop;
    // Real keyboard and pointer state behind a small stand-in for the dispatcher.
    vm::testing::RecordingEvents events;
    Keyboard keyboard{clock, log, events, [] {}};
    Pointer pointer{clock, log, events, keyboard};

    void SetUp() override {
        rooms.handle = [this](const std::string& l) { handled.push_back(l); };
        rooms.currentDisplaySize = [] { return std::pair<uint32_t, uint32_t>{1170, 2532}; };
        rooms.inputSourceTag = [] { return std::string("en"); };
        build();
    }
    void build(PlainPort* plainPort = nullptr, uint16_t plainPortNumber = 0) {
        CursorDeps deps{clock, log, desktop, hooks, inbox, phone, sender, store, pairing};
        deps.plainPort = plainPort;
        deps.plainPortNumber = plainPortNumber;
        loop = std::make_unique<CursorMain>(deps, rooms);
    }
    // "K hid 0|1" and "B name 0|1" press and release for real; the rest is only recorded.
    void wireInput() {
        rooms.handle = [this](const std::string& l) {
            handled.push_back(l);
            auto w = ctlWords(l);
            if (w.size() != 3) return;
            if (w[0] == "K") keyboard.handleKey(std::stoi(w[1]), w[2] == "1");
            if (w[0] == "B" && w[2] == "1") {
                ButtonInfo b = buttonInfo(w[1]);
                pointer.buttonsDown.insert(w[1]);
                pointer.post(b.downType, pointer.currentCursor(), b.number);
            }
        };
        rooms.releaseAll = [this] { pointer.releaseAll(); };
        rooms.holdsInput = [this] {
            return !pointer.buttonsDown.empty() || !keyboard.modsDown().empty() || !keyboard.keysDown().empty();
        };
        build();
    }
    // Whether the last key event for `hid` let it go, and the last left-button event too.
    bool keyReleased(int hid) {
        auto keys = events.keyList();
        for (auto it = keys.rbegin(); it != keys.rend(); ++it)
            if (it->hid == hid) return !it->down;
        return false;
    }
    bool leftReleased() { return !events.mouse.empty() && events.mouse.back().type == platform::ev::kLeftMouseUp; }
    CtlMsg closedNotice(const std::shared_ptr<RecordingPeer>& peer) {
        CtlMsg m;
        m.peer = peer;
        m.peerClosed = true;
        return m;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    CtlMsg encrypted(const std::shared_ptr<RecordingPeer>& peer, const std::string& text) {
        CtlMsg m;
        m.bytes = toBytes(text);
        m.peer = peer;
        return m;
    }
    CtlMsg plainMsg(const std::string& text, uint8_t host = 7) {
        CtlMsg m;
        m.bytes = toBytes(text);
        m.plain = true;
        vm::testing::setSource(m.from, m.fromLen, host);
        return m;
    }
    CtlMsg local(const std::string& text) {
        CtlMsg m;
        m.bytes = toBytes(text);
        m.plain = m.loopback = true;
        return m;
    }
    std::string logText() {
        std::ifstream in(dir / "logs" / "inputd.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static size_t count(const std::string& hay, const std::string& needle) {
        size_t n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    }
};

}  // namespace

TEST_F(LoopFixture, IdentityThenPointerMoveAttachesOnceAndHandsTheMoveOn) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    loop->route(encrypted(peer, "ID phone-0123456789\nM 12 -3\n"));
    loop->route(encrypted(peer, "ID phone-0123456789\n"));
    EXPECT_EQ(peer->phoneID(), "phone-0123456789");
    EXPECT_EQ(count(logText(), "폰 붙음 — 이름 모름 (phone-01)"), 1u);
    ASSERT_EQ(handled, std::vector<std::string>{"M 12 -3"});
    EXPECT_TRUE(phone.hasPhone.load());
    EXPECT_EQ(phone.phoneConn().get(), peer.get());
    EXPECT_TRUE(peer->lines().empty()) << "a peer that identified itself is never asked ID?";
}

TEST_F(LoopFixture, PeerWithoutIdentityIsAskedAtMostEveryFiveSeconds) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    loop->route(encrypted(peer, "K 4 1"));
    loop->route(encrypted(peer, "K 4 0"));
    clock.advance(4.0);
    loop->route(encrypted(peer, "K 4 1"));
    EXPECT_EQ(peer->lines(), std::vector<std::string>{"ID?\n"});
    clock.advance(1.5);
    loop->route(encrypted(peer, "K 4 0"));
    EXPECT_EQ(peer->lines().size(), 2u);
    EXPECT_EQ(handled.size(), 4u) << "asking for the identity does not swallow the line";
}

TEST_F(LoopFixture, PingLineIsEchoedWithTheMicrosecondClock) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    loop->route(encrypted(peer, "P 42"));
    ASSERT_EQ(peer->lines().size(), 1u);
    EXPECT_EQ(peer->lines()[0], "P 42 " + std::to_string(clock.nowMicros()) + "\n");
    EXPECT_TRUE(handled.empty());
}

TEST_F(LoopFixture, DisplaySizeLineAnswersSizeInputSourceAndVersion) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    loop->route(encrypted(peer, "D 0 0"));
    EXPECT_EQ(peer->lines(), (std::vector<std::string>{"D 1170 2532\n", "IS en\n", "HV 2\n"}));
    loop->route(encrypted(peer, "D wide tall"));
    loop->route(encrypted(peer, "D -5 10"));
    loop->route(encrypted(peer, "D 5"));
    EXPECT_EQ(peer->lines().size(), 3u) << "unparsable sizes are dropped without an answer";
    EXPECT_TRUE(handled.empty());
}

TEST_F(LoopFixture, PointerMoveSequenceGapsCountLostMoves) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    for (const char* l : {"M 1 1 5", "M 1 1 6", "M 1 1 9"}) loop->route(encrypted(peer, l));
    EXPECT_EQ(loop->mLost(), 2);
    loop->route(encrypted(peer, "M 1 1 3"));  // smaller: new reference, nothing counted
    loop->route(encrypted(peer, "M 1 1 4"));
    EXPECT_EQ(loop->mLost(), 2);
    EXPECT_EQ(loop->mCount(), 5);
    EXPECT_EQ(handled.size(), 5u);
}

TEST_F(LoopFixture, PlainPortAnswersItsFewWordsAndRefusesTheRest) {
    loop->route(plainMsg("PING\n"));
    loop->route(plainMsg("PAIR phone x y\n"));
    loop->route(plainMsg("KNOWN nobody.000000000000\n"));
    ASSERT_EQ(plain.sent.size(), 3u);
    EXPECT_EQ(plain.sent[0].data, "PONG\n");
    EXPECT_EQ(plain.sent[1].data, "OLDAPP\n");
    EXPECT_EQ(plain.sent[2].data, "KNOWN 0\n");
    EXPECT_EQ(ntohs(plain.sent[0].to.sin_port), 40000);

    loop->route(plainMsg("M 10 10\n"));
    loop->route(plainMsg("M 10 10\n"));
    clock.advance(11);
    loop->route(plainMsg("K 4 1\n"));
    EXPECT_TRUE(handled.empty()) << "plain datagrams never reach the dispatcher";
    EXPECT_EQ(plain.sent.size(), 3u);
    std::string text = logText();
    EXPECT_EQ(count(text, "짝짓기 없는 평문 명령 거부 — 1개 (첫 칸 M)"), 1u);
    EXPECT_EQ(count(text, "짝짓기 없는 평문 명령 거부 — 2개 (첫 칸 K)"), 1u)
        << "the second M is counted silently and reported with the next log line";
}

TEST_F(LoopFixture, KnownAnswersOneForAStoredIdentity) {
    Bytes psk(32, 7);
    std::string identity = "phoneA." + pskTag(psk);
    store.insert(identity, PairRecord{"A", psk, clock.now()});
    loop->route(plainMsg("KNOWN " + identity));
    ASSERT_EQ(plain.sent.size(), 1u);
    EXPECT_EQ(plain.sent[0].data, "KNOWN 1\n");
}

TEST_F(LoopFixture, WithoutTheVideoSideTheKeyRequestIsLoggedAndVideoLinesIgnored) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    loop->route(encrypted(peer, "VKEY?\nVH 1 2\nIS?"));
    EXPECT_EQ(count(logText(), "VKEY? — 영상 갈고리 없음 (단독 inputd)"), 1u);
    EXPECT_EQ(peer->lines(), std::vector<std::string>{"IS en\n"});
    EXPECT_TRUE(handled.empty());
}

TEST_F(LoopFixture, VideoLinesReachTheVideoSideWithTheRawAddress) {
    std::vector<std::pair<std::string, uint32_t>> control;
    int rotations = 0;
    hooks.videoHooks = VideoHooks{
        [&](const std::string& l, uint32_t ip) { control.emplace_back(l, ip); },
        [] { return std::pair<uint8_t, Bytes>{3, Bytes(32, 0xAB)}; },
        [] { return std::optional<std::vector<Bytes>>(std::vector<Bytes>{toBytes("T0"), toBytes("T1")}); },
        [&] { ++rotations; }};
    build();
    auto peer = std::make_shared<RecordingPeer>(clock.now(), "192.168.1.20");
    peer->setPhoneID("p");
    loop->route(encrypted(peer, "VH 5000 1\nVI\nVIX\nVQ 2\nVKEY?"));
    ASSERT_EQ(control.size(), 3u);
    EXPECT_EQ(control[0].first, "H 5000 1");
    EXPECT_EQ(control[1].first, "I");
    EXPECT_EQ(control[2].first, "Q 2");
    const uint8_t* ip = reinterpret_cast<const uint8_t*>(&control[0].second);
    EXPECT_EQ(ip[0], 192);
    EXPECT_EQ(ip[3], 20);
    EXPECT_EQ(handled, std::vector<std::string>{"VIX"});
    EXPECT_EQ(peer->lines(), std::vector<std::string>{"VKEY 3 " + base64Encode(Bytes(32, 0xAB)) + "\n"});

    loop->route(encrypted(peer, "VT 1"));
    EXPECT_EQ(peer->lines().size(), 3u);
    EXPECT_EQ(peer->lines()[1], "T0");
    EXPECT_EQ(handled.size(), 1u) << "the thumbnail request is nothing else";
}

TEST_F(LoopFixture, LocalKickSaysGoodbyeAndForgetsThePhone) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    loop->route(encrypted(peer, "M 1 1"));
    ASSERT_TRUE(phone.hasPhone.load());
    loop->route(local("R 0\n"));
    loop->route(local("KICK 0\n"));
    EXPECT_EQ(handled, (std::vector<std::string>{"M 1 1", "R 0"}));
    EXPECT_EQ(peer->lines(), std::vector<std::string>{"BYE\n"});
    EXPECT_TRUE(peer->cancelled);
    EXPECT_FALSE(phone.hasPhone.load());
    EXPECT_EQ(phone.phoneConn(), nullptr);
    EXPECT_EQ(count(logText(), "폰을 끊었다 (KICK)"), 1u);
    loop->route(local("KICK 0\n"));
    EXPECT_EQ(count(logText(), "폰을 끊었다 (KICK)"), 1u) << "no phone, nothing to do";
}

TEST_F(LoopFixture, LocalUnpairRemovesEveryKeyOfThePhoneAndRotatesTheVideoKey) {
    int rotations = 0, releases = 0;
    hooks.videoHooks = VideoHooks{[](const std::string&, uint32_t) {}, [] { return std::pair<uint8_t, Bytes>{1, Bytes(32)}; },
                                  [] { return std::optional<std::vector<Bytes>>(); }, [&] { ++rotations; }};
    rooms.releaseAll = [&] { ++releases; };
    build();
    store.insert("phoneA." + pskTag(Bytes(32, 1)), PairRecord{"A", Bytes(32, 1), clock.now()});
    store.insert("phoneA." + pskTag(Bytes(32, 2)), PairRecord{"A", Bytes(32, 2), clock.now()});
    store.insert("phoneAB." + pskTag(Bytes(32, 3)), PairRecord{"AB", Bytes(32, 3), clock.now()});
    loop->route(local("UNPAIR phoneA \n"));
    EXPECT_EQ(store.count(), 1u);
    EXPECT_EQ(count(logText(), "짝 해제 — phoneA (키 2개)"), 1u);
    EXPECT_EQ(rotations, 1);
    EXPECT_EQ(releases, 1);
}

TEST_F(LoopFixture, LocalDecisionWordsReachThePairing) {
    loop->route(local("PAIROK 9\n"));
    EXPECT_EQ(count(logText(), "짝짓기 결정 #9 — 해당 요청 없음 (이미 끝났거나 시한이 지났다)"), 1u);
    loop->route(local("PAIRNO x\n"));
    EXPECT_EQ(count(logText(), "짝짓기 결정 #"), 1u) << "a non-numeric request number is dropped";
}

TEST_F(LoopFixture, NonUtf8MessagesAreDroppedWhole) {
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    CtlMsg m = encrypted(peer, "M 1 1\n");
    m.bytes.push_back(0xFF);
    loop->route(m);
    EXPECT_TRUE(handled.empty());
    EXPECT_FALSE(phone.hasPhone.load());
}

TEST_F(LoopFixture, PassPopsOneMessageAndRunsTheSweeps) {
    double quiet = -1;
    rooms.quietPhone = [&](double q) { quiet = q; };
    build();
    clock.advance(31);
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    inbox.push(encrypted(peer, "M 3 4"));
    loop->pass(0.1);
    EXPECT_DOUBLE_EQ(quiet, 31.0) << "the silence sweep runs before the message refreshes the phone";
    EXPECT_EQ(handled, std::vector<std::string>{"M 3 4"});
    loop->pass(0.0);
    EXPECT_DOUBLE_EQ(quiet, 0.0);
}

TEST_F(LoopFixture, APhoneThatLeavesOrFallsSilentLetsGoOfWhatItHeld) {
    wireInput();
    auto press = [&](const std::shared_ptr<RecordingPeer>& peer) {
        loop->route(encrypted(peer, "K 225 1\nK 4 1\nB L 1"));  // Shift, "a", the left button
        ASSERT_FALSE(keyReleased(4));
        ASSERT_FALSE(leftReleased());
    };
    auto expectAllReleased = [&] {
        EXPECT_TRUE(keyReleased(4)) << "an ordinary key is let go, not only the modifiers";
        EXPECT_TRUE(keyReleased(225));
        EXPECT_TRUE(leftReleased());
        EXPECT_TRUE(keyboard.keysDown().empty());
        EXPECT_TRUE(pointer.buttonsDown.empty());
    };

    // The session ends (the phone closed it, failed, or was swept for silence).
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    press(peer);
    loop->route(closedNotice(peer));
    expectAllReleased();
    EXPECT_EQ(count(logText(), "폰 연결이 끝났다 — 눌린 채인 키와 버튼을 놓는다"), 1u);
    loop->route(closedNotice(peer));
    EXPECT_EQ(count(logText(), "눌린 채인 키와 버튼을 놓는다"), 1u) << "nothing held, nothing to say";

    // The phone stops talking: 10 s are allowed, then everything goes up.
    auto quiet = std::make_shared<RecordingPeer>(clock.now());
    quiet->setPhoneID("q");
    press(quiet);
    clock.advance(9.5);
    loop->pass(0.0);
    EXPECT_FALSE(keyReleased(4));
    clock.advance(1.0);
    loop->pass(0.0);
    expectAllReleased();
    EXPECT_EQ(count(logText(), "초째 조용하다 — 눌린 채인 키와 버튼을 놓는다"), 1u);
    loop->pass(0.0);
    EXPECT_EQ(count(logText(), "초째 조용하다"), 1u);
}

TEST_F(LoopFixture, LinesQueuedByAKickedOrUnpairedPhoneAreDropped) {
    wireInput();
    auto peer = std::make_shared<RecordingPeer>(clock.now());
    peer->setPhoneID("p");
    loop->route(encrypted(peer, "K 4 1"));
    // Already queued behind the kick: a move and a key.
    inbox.push(encrypted(peer, "M 5 5"));
    inbox.push(encrypted(peer, "K 5 1"));
    loop->route(local("KICK 0\n"));
    EXPECT_TRUE(peer->revoked.load());
    EXPECT_TRUE(keyReleased(4)) << "a kicked phone holds nothing";
    loop->pass(0.0);
    loop->pass(0.0);
    EXPECT_EQ(handled, std::vector<std::string>{"K 4 1"});
    EXPECT_FALSE(phone.hasPhone.load()) << "the kicked phone is not made present again";
    EXPECT_EQ(phone.phoneConn(), nullptr);
    loop->route(closedNotice(peer));
    EXPECT_EQ(count(logText(), "눌린 채인 키와 버튼을 놓는다"), 1u) << "its end comes after its release";

    // Unpaired: the same for what the phone sent before.
    auto other = std::make_shared<RecordingPeer>(clock.now());
    other->setPhoneID("o");
    loop->route(encrypted(other, "M 1 1"));
    loop->route(local("UNPAIR o\n"));
    loop->route(encrypted(other, "M 2 2"));
    EXPECT_EQ(handled.back(), "M 1 1");
    EXPECT_FALSE(phone.hasPhone.load());

    // A phone that connects again is a new connection, and welcome.
    auto again = std::make_shared<RecordingPeer>(clock.now());
    again->setPhoneID("o");
    loop->route(encrypted(again, "M 3 3"));
    EXPECT_EQ(handled.back(), "M 3 3");
    EXPECT_TRUE(phone.hasPhone.load());
}

TEST_F(LoopFixture, APlainPortInUseIsSaidClearlyAndNeverCalledListening) {
    PlainPort first(inbox);
    ASSERT_TRUE(first.bind(0));
    PlainPort second(inbox);
    build(&second, first.boundPort());
    EXPECT_FALSE(loop->openPlainPort());
    const std::string text = logText();
    EXPECT_NE(text.find("⚠︎ 평문 포트 udp/" + std::to_string(first.boundPort()) +
                        " 를 못 열었다 — Address already in use · 다른 에이전트가 이미 떠 있나? 끝낸다\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("listening udp/"), std::string::npos);

    PlainPort free(inbox);
    build(&free, 0);
    EXPECT_TRUE(loop->openPlainPort());
    EXPECT_NE(logText().find("listening udp/0 — 평문: 짝짓기 + 로컬 도구\n"), std::string::npos);
}
