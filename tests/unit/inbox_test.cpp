// The control inbox, the framing of a message into command lines, chunk lines,
// and where replies and pushes go.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "control/ctl_inbox.h"
#include "control/ctl_msg.h"
#include "control/ctl_peer.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"

using namespace vm;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

CtlMsg textMsg(std::string_view text) {
    CtlMsg m;
    m.bytes = toBytes(text);
    return m;
}

// A connection that records what is sent on it.
class RecordingPeer final : public CtlPeer {
public:
    RecordingPeer() : CtlPeer(1000.0) {}
    void send(const Bytes& message) override {
        std::lock_guard<std::mutex> lk(mu);
        sent.push_back(toString(message));
    }
    void sendThenCancel(const Bytes& message) override { send(message); }
    void cancel() override {}
    std::string endpoint() const override { return "127.0.0.1:5555"; }
    std::optional<uint32_t> ipv4() const override { return 0x0100007f; }

    std::vector<std::string> messages() {
        std::lock_guard<std::mutex> lk(mu);
        return sent;
    }

private:
    std::mutex mu;
    std::vector<std::string> sent;
};

// The plain socket, recording each datagram with its destination.
class RecordingPlain final : public PlainSender {
public:
    struct Datagram {
        sockaddr_storage to;
        socklen_t toLen;
        std::string data;
    };
    void sendTo(const sockaddr_storage& to, socklen_t toLen, const Bytes& data) override {
        sent.push_back({to, toLen, toString(data)});
    }
    std::vector<Datagram> sent;
};

CtlMsg plainFrom(const char* ip, uint16_t port, std::string_view text) {
    CtlMsg m = textMsg(text);
    m.plain = true;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    std::memcpy(&m.from, &a, sizeof a);
    m.fromLen = sizeof a;
    return m;
}

uint16_t portOf(const sockaddr_storage& s) { return ntohs(reinterpret_cast<const sockaddr_in&>(s).sin_port); }

// ---------------------------------------------------------------- inbox

TEST(CtlInbox, PopsInArrivalOrder) {
    CtlInbox inbox;
    inbox.push(textMsg("one"));
    inbox.push(textMsg("two"));
    EXPECT_EQ(inbox.size(), 2u);
    EXPECT_EQ(toString(inbox.pop(1.0)->bytes), "one");
    EXPECT_EQ(toString(inbox.pop(1.0)->bytes), "two");
    EXPECT_EQ(inbox.size(), 0u);
}

TEST(CtlInbox, KeepsAllMessageFields) {
    CtlInbox inbox;
    auto peer = std::make_shared<RecordingPeer>();
    CtlMsg viaPeer = textMsg("A");
    viaPeer.peer = peer;
    inbox.push(viaPeer);
    inbox.push(plainFrom("127.0.0.1", 4242, "B"));
    CtlMsg local = textMsg("C");
    local.plain = local.loopback = true;
    inbox.push(local);

    auto a = inbox.pop(1.0);
    EXPECT_EQ(a->peer, peer);
    EXPECT_FALSE(a->plain);
    auto b = inbox.pop(1.0);
    EXPECT_TRUE(b->plain);
    EXPECT_EQ(b->fromLen, sizeof(sockaddr_in));
    EXPECT_EQ(portOf(b->from), 4242);
    auto c = inbox.pop(1.0);
    EXPECT_TRUE(c->loopback);
    EXPECT_EQ(c->fromLen, 0u);
}

TEST(CtlInbox, FullInboxDropsTheNewMessageAndKeepsTheOldest) {
    CtlInbox inbox;
    for (size_t i = 0; i < CtlInbox::kCap; ++i) inbox.push(textMsg(std::to_string(i)));
    EXPECT_EQ(inbox.dropped(), 0u);
    inbox.push(textMsg("one too many"));
    EXPECT_EQ(inbox.dropped(), 1u);
    EXPECT_EQ(inbox.size(), 4096u);

    EXPECT_EQ(toString(inbox.pop(1.0)->bytes), "0");
    // Room again: the next message is taken, and the dropped one never appears.
    inbox.push(textMsg("late"));
    EXPECT_EQ(inbox.dropped(), 1u);
    std::string last;
    size_t popped = 0;
    while (auto m = inbox.pop(0.0)) {
        last = toString(m->bytes);
        EXPECT_NE(last, "one too many");
        ++popped;
    }
    EXPECT_EQ(popped, 4096u);
    EXPECT_EQ(last, "late");
}

TEST(CtlInbox, PopOnEmptyInboxWaitsThenReturnsNothing) {
    CtlInbox inbox;
    auto t0 = std::chrono::steady_clock::now();
    auto m = inbox.pop(0.2);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_FALSE(m.has_value());
    EXPECT_GE(waited, 0.19);
}

TEST(CtlInbox, PopWakesForAMessagePushedWhileWaiting) {
    CtlInbox inbox;
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        inbox.push(textMsg("wake"));
    });
    auto m = inbox.pop(30.0);
    producer.join();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(toString(m->bytes), "wake");
}

TEST(CtlInbox, ManyProducersOneConsumerLoseNothing) {
    CtlInbox inbox;
    constexpr int kProducers = 3, kEach = 1000;  // stays below the capacity
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i) inbox.push(textMsg(std::to_string(p) + ":" + std::to_string(i)));
        });
    std::vector<int> next(kProducers, 0);
    int received = 0;
    while (received < kProducers * kEach) {
        auto m = inbox.pop(10.0);
        ASSERT_TRUE(m.has_value()) << "only " << received << " arrived";
        std::string s = toString(m->bytes);
        int p = std::stoi(s.substr(0, s.find(':')));
        int i = std::stoi(s.substr(s.find(':') + 1));
        EXPECT_EQ(i, next[p]) << "producer " << p << " out of order";
        next[p] = i + 1;
        ++received;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(inbox.dropped(), 0u);
    EXPECT_FALSE(inbox.pop(0.0).has_value());
}

// ---------------------------------------------------------------- framing

TEST(CtlFraming, SplitsAtLineFeedsAndDropsEmptyPieces) {
    EXPECT_THAT(*ctlLines(toBytes("PING\nAPPS?\n")), ElementsAre("PING", "APPS?"));
    EXPECT_THAT(*ctlLines(toBytes("\n\nPING")), ElementsAre("PING"));
    EXPECT_THAT(*ctlLines(toBytes("M 12 -3")), ElementsAre("M 12 -3"));
    EXPECT_THAT(*ctlLines(toBytes("A\n\n\nB\n\n")), ElementsAre("A", "B"));
    EXPECT_THAT(*ctlLines(toBytes("")), IsEmpty());
    EXPECT_THAT(*ctlLines(toBytes("\n\n")), IsEmpty());
}

TEST(CtlFraming, LinesAreNotTrimmed) {
    EXPECT_THAT(*ctlLines(toBytes(" T  hello \r\nX")), ElementsAre(" T  hello \r", "X"));
    EXPECT_THAT(*ctlLines(toBytes("T 안녕\n")), ElementsAre("T 안녕"));
}

TEST(CtlFraming, NonUtf8MessageIsIgnoredWhole) {
    EXPECT_FALSE(ctlLines(toBytes("PING\n\xff\n")).has_value());
    EXPECT_FALSE(ctlLines(toBytes("T \xc0\xaf")).has_value());       // overlong "/"
    EXPECT_FALSE(ctlLines(toBytes("T \xed\xa0\x80")).has_value());   // surrogate
    EXPECT_FALSE(ctlLines(toBytes("T \xea\xb0")).has_value());       // cut short
}

TEST(CtlFraming, WordsAreSplitAtBlanks) {
    EXPECT_THAT(ctlWords("M 12 -3"), ElementsAre("M", "12", "-3"));
    EXPECT_THAT(ctlWords("  M  1 "), ElementsAre("M", "1"));
    EXPECT_THAT(ctlWords(""), IsEmpty());
}

// ---------------------------------------------------------------- chunk lines

Bytes patterned(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 131 + 7);
    return b;
}

struct Chunk {
    std::string head;
    size_t index, count;
    std::string piece;
};

// Parses "head i/n piece\n" where head may itself contain blanks.
Chunk parseChunk(const std::string& line) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    std::string body = line.substr(0, line.size() - 1);
    size_t lastBlank = body.rfind(' ');
    size_t midBlank = body.rfind(' ', lastBlank - 1);
    std::string counter = body.substr(midBlank + 1, lastBlank - midBlank - 1);
    size_t slash = counter.find('/');
    return {body.substr(0, midBlank), std::stoul(counter.substr(0, slash)), std::stoul(counter.substr(slash + 1)),
            body.substr(lastBlank + 1)};
}

TEST(ChunkLines, FiveHundredTwentyFiveBytesFitOneLine) {
    Bytes data = patterned(525);
    auto lines = chunkLines("H", data);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("H 0/1 ", 0), 0u);
    Chunk c = parseChunk(lines[0]);
    EXPECT_EQ(c.piece.size(), 700u);
    EXPECT_EQ(base64Decode(c.piece), data);
}

TEST(ChunkLines, FiveHundredTwentySixBytesTakeTwoLines) {
    Bytes data = patterned(526);
    auto lines = chunkLines("H", data);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("H 0/2 ", 0), 0u);
    EXPECT_EQ(lines[1].rfind("H 1/2 ", 0), 0u);
    EXPECT_EQ(parseChunk(lines[0]).piece.size(), 700u);
    EXPECT_EQ(parseChunk(lines[1]).piece.size(), 4u);
    EXPECT_EQ(base64Decode(parseChunk(lines[0]).piece + parseChunk(lines[1]).piece), data);
}

TEST(ChunkLines, FifteenHundredCharactersAreCut700_700_100) {
    Bytes data = patterned(1125);  // 1,500 base64 characters
    ASSERT_EQ(base64Encode(data).size(), 1500u);
    auto lines = chunkLines("APPS", data);
    ASSERT_EQ(lines.size(), 3u);
    std::string joined;
    std::vector<size_t> sizes;
    for (size_t i = 0; i < lines.size(); ++i) {
        Chunk c = parseChunk(lines[i]);
        EXPECT_EQ(c.head, "APPS");
        EXPECT_EQ(c.index, i);
        EXPECT_EQ(c.count, 3u);
        sizes.push_back(c.piece.size());
        joined += c.piece;
    }
    EXPECT_THAT(sizes, ElementsAre(700u, 700u, 100u));
    EXPECT_EQ(joined, base64Encode(data));
}

TEST(ChunkLines, HeadMayContainABlank) {
    auto lines = chunkLines("AICON 4711", toBytes("png"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "AICON 4711 0/1 cG5n\n");
}

TEST(ChunkLines, EmptyDataGivesNoLine) { EXPECT_THAT(chunkLines("APPS", {}), IsEmpty()); }

// ---------------------------------------------------------------- replies and pushes

class Replies : public ::testing::Test {
protected:
    PhoneState phone{1000.0};
    RecordingPlain plain;
    CtlSender sender{phone, &plain};
    std::shared_ptr<RecordingPeer> peer = std::make_shared<RecordingPeer>();
};

TEST_F(Replies, ReplyAddsALineFeedOnlyWhenMissing) {
    CtlMsg m = textMsg("PING");
    m.peer = peer;
    sender.ctlReply(m, "PONG");
    sender.ctlReply(m, "PONG\n");
    sender.ctlReply(m, "");
    EXPECT_THAT(peer->messages(), ElementsAre("PONG\n", "PONG\n", "\n"));
    EXPECT_TRUE(plain.sent.empty());
}

TEST_F(Replies, ReplyToAPlainMessageGoesToItsSourceAddress) {
    CtlMsg m = plainFrom("127.0.0.1", 50001, "KNOWN? x");
    sender.ctlReply(m, "KNOWN 1");
    ASSERT_EQ(plain.sent.size(), 1u);
    EXPECT_EQ(plain.sent[0].data, "KNOWN 1\n");
    EXPECT_EQ(plain.sent[0].toLen, sizeof(sockaddr_in));
    EXPECT_EQ(portOf(plain.sent[0].to), 50001);
    EXPECT_EQ(std::memcmp(&plain.sent[0].to, &m.from, sizeof(sockaddr_in)), 0);
}

TEST_F(Replies, ThePeerWinsOverAnAddress) {
    CtlMsg m = plainFrom("127.0.0.1", 50001, "X");
    m.peer = peer;
    sender.ctlReply(m, "Y");
    EXPECT_THAT(peer->messages(), ElementsAre("Y\n"));
    EXPECT_TRUE(plain.sent.empty());
}

TEST_F(Replies, ReplyToALocalMessageGoesNowhere) {
    CtlMsg m = textMsg("PAIROK");
    m.plain = m.loopback = true;
    phone.setPhoneConn(peer);  // a phone being attached changes nothing
    sender.ctlReply(m, "ignored");
    sender.sendChunked(m, "APPS", patterned(2000));
    EXPECT_TRUE(plain.sent.empty());
    EXPECT_TRUE(peer->messages().empty());
}

TEST_F(Replies, PlainReplyWithoutASocketIsDropped) {
    CtlSender noSocket(phone, nullptr);
    EXPECT_NO_THROW(noSocket.ctlReply(plainFrom("127.0.0.1", 9, "X"), "Y"));
    EXPECT_TRUE(plain.sent.empty()) << "the fixture's socket is not borrowed";
}

TEST_F(Replies, SendChunkedSendsOneMessagePerLine) {
    Bytes data = patterned(1125);
    CtlMsg viaPeer = textMsg("APPS?");
    viaPeer.peer = peer;
    sender.sendChunked(viaPeer, "APPS", data);
    EXPECT_EQ(peer->messages(), chunkLines("APPS", data));

    sender.sendChunked(plainFrom("127.0.0.1", 50002, "APPS?"), "APPS", data);
    ASSERT_EQ(plain.sent.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(plain.sent[i].data, chunkLines("APPS", data)[i]);
        EXPECT_EQ(portOf(plain.sent[i].to), 50002);
    }
}

TEST_F(Replies, ReplyRawSendsTheBytesUnchanged) {
    CtlMsg m = textMsg("X");
    m.peer = peer;
    sender.replyRaw(m, toBytes("no line feed"));
    EXPECT_THAT(peer->messages(), ElementsAre("no line feed"));
}

TEST_F(Replies, PhoneSendWithoutAPhoneReturnsFalse) {
    EXPECT_FALSE(sender.phoneSend("CLIP x"));
    sender.pushChunked("AICON 1", patterned(100));
    EXPECT_TRUE(plain.sent.empty());
    EXPECT_TRUE(peer->messages().empty());
}

TEST_F(Replies, PushesGoToTheCurrentPhone) {
    phone.setPhoneConn(peer);
    EXPECT_TRUE(sender.phoneSend("LOCKED 1"));
    EXPECT_TRUE(sender.phoneSend("LOCKED 0\n"));
    sender.pushChunked("AICON 7", patterned(600));
    sender.pushChunked("AICON 8", {});
    auto sent = peer->messages();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], "LOCKED 1\n");
    EXPECT_EQ(sent[1], "LOCKED 0\n");
    EXPECT_EQ(sent[2].rfind("AICON 7 0/2 ", 0), 0u);
    EXPECT_EQ(sent[3].rfind("AICON 7 1/2 ", 0), 0u);
}

TEST_F(Replies, PushesStopWhenThePhoneGoes) {
    phone.setPhoneConn(peer);
    auto other = std::make_shared<RecordingPeer>();
    phone.clearPhoneConnIf(other.get());  // not the current one: nothing changes
    EXPECT_TRUE(sender.phoneSend("A"));
    phone.clearPhoneConnIf(peer.get());
    EXPECT_FALSE(sender.phoneSend("B"));
    sender.pushChunked("APPS", patterned(10));
    EXPECT_THAT(peer->messages(), ElementsAre("A\n"));
}

TEST(PhoneStateTest, ConnectedNeedsPhoneScreenWishAndRecentContact) {
    PhoneState phone(1000.0);
    EXPECT_FALSE(phone.connected(1001.0));
    phone.hasPhone = true;
    EXPECT_FALSE(phone.connected(1001.0));
    phone.phoneWantsScreen = true;
    EXPECT_TRUE(phone.connected(1029.9));
    EXPECT_FALSE(phone.connected(1030.0));
    phone.setPhoneName("iPhone");
    EXPECT_EQ(phone.phoneName(), "iPhone");
}

}  // namespace
