// The encrypted control channel end to end on loopback: the agent's DTLS server
// against the phone's client, plus a hand-driven OpenSSL client for the cases a
// well-behaved phone never produces (cookie-less floods, stalled handshakes,
// reconnects from the same port).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "base/crypto.h"
#include "control/dtls_server.h"
#include "phone/dtls_client.h"

namespace fs = std::filesystem;
using namespace vm;
using vm::phone::DtlsClient;

namespace {

bool waitFor(const std::function<bool()>& cond, double seconds = 5.0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

size_t count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// An OpenSSL DTLS client on memory BIOs over a UDP socket of its own, driven step by step.
class RawClient {
public:
    // `host` is the client's own loopback address (127.0.0.host), so tests can play several machines.
    RawClient(uint16_t serverPort, std::string identity = "nobody.000000000000", Bytes key = Bytes(32, 1),
              uint8_t host = 1)
        : identity_(std::move(identity)), key_(std::move(key)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl((127u << 24) | host);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        server_.sin_family = AF_INET;
        server_.sin_port = htons(serverPort);
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ctx_ = SSL_CTX_new(DTLS_client_method());
        SSL_CTX_set_min_proto_version(ctx_, DTLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(ctx_, DTLS1_2_VERSION);
        SSL_CTX_set_security_level(ctx_, 1);
        SSL_CTX_set_cipher_list(ctx_, "PSK-AES128-GCM-SHA256");
        SSL_CTX_set_options(ctx_, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_TICKET);
        SSL_CTX_set_psk_client_callback(ctx_, &RawClient::psk);
        newSession();
    }
    ~RawClient() {
        if (ssl_) SSL_free(ssl_);
        SSL_CTX_free(ctx_);
        ::close(fd_);
    }

    // A fresh client session on the same socket (same source address and port).
    void newSession() {
        if (ssl_) SSL_free(ssl_);
        ssl_ = SSL_new(ctx_);
        SSL_set_app_data(ssl_, this);
        BIO* rb = BIO_new(BIO_s_mem());
        BIO* wb = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(rb, -1);
        BIO_set_mem_eof_return(wb, -1);
        SSL_set_bio(ssl_, rb, wb);
        SSL_set_mtu(ssl_, 1400);
        SSL_set_connect_state(ssl_);
    }
    void sendRaw(const Bytes& d) {
        ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&server_), sizeof server_);
    }
    std::optional<Bytes> recvRaw(double seconds) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return std::nullopt;
        Bytes buf(65536);
        ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
    // One handshake step; whatever it produced goes out. Returns SSL_do_handshake's result.
    int step() {
        int r = SSL_do_handshake(ssl_);
        ERR_clear_error();
        pump();
        return r;
    }
    void feed(const Bytes& d) { BIO_write(SSL_get_rbio(ssl_), d.data(), static_cast<int>(d.size())); }
    // The full handshake; false when it did not finish in time.
    bool handshake(double seconds) {
        auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) {
            if (step() == 1) return true;
            if (auto d = recvRaw(0.2)) feed(*d);
            else DTLSv1_handle_timeout(ssl_);
        }
        return false;
    }
    // ClientHello, HelloVerifyRequest, ClientHello with the cookie: the server now holds a peer.
    bool proveAddress(double wait = 2.0) {
        step();
        auto hvr = recvRaw(wait);
        if (!hvr || !isHelloVerify(*hvr)) return false;
        feed(*hvr);
        step();
        return true;
    }
    void write(const std::string& text) {
        SSL_write(ssl_, text.data(), static_cast<int>(text.size()));
        pump();
    }
    static bool isHelloVerify(const Bytes& d) { return d.size() > 13 && d[0] == 22 && d[13] == 3; }

private:
    void pump() {
        BIO* wb = SSL_get_wbio(ssl_);
        size_t n = BIO_ctrl_pending(wb);
        if (n == 0) return;
        Bytes out(n);
        BIO_read(wb, out.data(), static_cast<int>(n));
        sendRaw(out);
    }
    static unsigned int psk(SSL* ssl, const char*, char* id, unsigned int maxId, unsigned char* key,
                            unsigned int maxKey) {
        auto* self = static_cast<RawClient*>(SSL_get_app_data(ssl));
        if (self->identity_.size() + 1 > maxId || self->key_.size() > maxKey) return 0;
        std::memcpy(id, self->identity_.c_str(), self->identity_.size() + 1);
        std::copy(self->key_.begin(), self->key_.end(), key);
        return static_cast<unsigned int>(self->key_.size());
    }

    std::string identity_;
    Bytes key_;
    int fd_ = -1;
    sockaddr_in server_{};
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
};

struct DtlsServerTest : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("vm-dtls-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    FakeClock clock;
    Logger log{(dir / "logs").string(), clock};
    CtlInbox inbox;
    PhoneState phone{clock.now()};
    SerialQueue ctlQueue{"local.umo.inputd.ctl"};
    std::unique_ptr<DtlsServer> server;

    const std::string idA = "PHONE-A.a1b2c3d4e5f6";
    const std::string idB = "PHONE-B.0123456789ab";
    const Bytes keyA = randomBytes(32);
    const Bytes keyB = randomBytes(32);

    void SetUp() override {
        server = std::make_unique<DtlsServer>(clock, log, inbox, phone, ctlQueue, 0);
        server->restart({{idA, keyA}, {idB, keyB}});
        ASSERT_NE(server->boundPort(), 0);
    }
    void TearDown() override {
        server.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::unique_ptr<DtlsClient> connect(const std::string& id, const Bytes& key, double timeout = 5.0,
                                        std::string* err = nullptr) {
        return DtlsClient::connect("127.0.0.1", server->boundPort(), id, key, timeout, err);
    }
    std::string logText() {
        std::ifstream in(log.cursorLogPath());
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    // The next message with a payload; notices of ended sessions are counted in `closedSeen`.
    std::optional<CtlMsg> nextMessage(double timeout = 5.0) {
        for (;;) {
            auto m = inbox.pop(timeout);
            if (!m || !m->peerClosed) return m;
            closedSeen.push_back(m->peer);
        }
    }
    // Sends `text` from the client and returns the message as the inbox got it.
    CtlMsg roundTrip(DtlsClient& c, const std::string& text) {
        EXPECT_TRUE(c.send(text));
        auto m = nextMessage();
        EXPECT_TRUE(m.has_value());
        return m ? *m : CtlMsg{};
    }
    std::vector<std::shared_ptr<CtlPeer>> closedSeen;
};

TEST_F(DtlsServerTest, RightKeyBecomesReadyAndMessagesFlowBothWays) {
    EXPECT_NE(logText().find("listening dtls/" + std::to_string(server->boundPort()) + " — 짝지어진 폰 2대\n"),
              std::string::npos);
    std::string err;
    auto c = connect(idA, keyA, 5.0, &err);
    ASSERT_TRUE(c) << err;
    EXPECT_TRUE(waitFor([&] { return logText().find("DTLS 연결 — 127.0.0.1:") != std::string::npos; }));

    clock.advance(3.0);
    CtlMsg m = roundTrip(*c, "PING\n");
    EXPECT_EQ(toString(m.bytes), "PING\n");
    EXPECT_FALSE(m.plain);
    EXPECT_FALSE(m.loopback);
    EXPECT_EQ(m.fromLen, 0u);
    ASSERT_TRUE(m.peer);
    EXPECT_TRUE(m.peer->ready.load());
    EXPECT_EQ(m.peer->lastSeen.load(), clock.now());
    EXPECT_EQ(m.peer->endpoint().rfind("127.0.0.1:", 0), 0u);
    ASSERT_TRUE(m.peer->ipv4().has_value());
    const uint8_t loop[4] = {127, 0, 0, 1};
    uint32_t expect;
    std::memcpy(&expect, loop, 4);
    EXPECT_EQ(*m.peer->ipv4(), expect);

    // The peer's sends reach the client, one record per message, large ones included.
    m.peer->send(toBytes("PONG\n"));
    auto r = c->receive(5.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(toString(*r), "PONG\n");
    std::string big(4000, 'x');
    m.peer->send(toBytes(big));
    r = c->receive(5.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(toString(*r), big);
    EXPECT_EQ(toString(roundTrip(*c, big).bytes), big);

    // Several lines in one record stay one message.
    EXPECT_EQ(toString(roundTrip(*c, "A\nB\n").bytes), "A\nB\n");

    // sendThenCancel: the message, then the end of the session.
    m.peer->sendThenCancel(toBytes("BYE\n"));
    r = c->receive(5.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(toString(*r), "BYE\n");
    EXPECT_FALSE(c->receive(2.0));
    EXPECT_TRUE(c->closed());
    EXPECT_EQ(server->peerCount(), 0u);
}

TEST_F(DtlsServerTest, ClientCloseRemovesPeerAndClearsPhoneConn) {
    auto c = connect(idB, keyB);
    ASSERT_TRUE(c);
    CtlMsg m = roundTrip(*c, "ID PHONE-B\n");
    phone.setPhoneConn(m.peer);
    c->close();
    EXPECT_TRUE(waitFor([&] { return server->peerCount() == 0; }));
    EXPECT_EQ(phone.phoneConn(), nullptr);
    EXPECT_FALSE(c->send("late\n"));
    // The input side hears of the end, after everything the session delivered.
    auto closed = inbox.pop(5.0);
    ASSERT_TRUE(closed);
    EXPECT_TRUE(closed->peerClosed);
    EXPECT_EQ(closed->peer, m.peer);
    EXPECT_TRUE(closed->bytes.empty());
    EXPECT_FALSE(closed->peer->revoked.load()) << "the phone left by itself";
}

TEST_F(DtlsServerTest, TwoClientsAreSeparatePeers) {
    auto a = connect(idA, keyA);
    auto b = connect(idB, keyB);
    ASSERT_TRUE(a && b);
    CtlMsg ma = roundTrip(*a, "from a\n");
    CtlMsg mb = roundTrip(*b, "from b\n");
    EXPECT_EQ(toString(ma.bytes), "from a\n");
    EXPECT_EQ(toString(mb.bytes), "from b\n");
    ASSERT_TRUE(ma.peer && mb.peer);
    EXPECT_NE(ma.peer, mb.peer);
    EXPECT_NE(ma.peer->endpoint(), mb.peer->endpoint());
    EXPECT_EQ(server->peerCount(), 2u);

    mb.peer->send(toBytes("to b\n"));
    ma.peer->send(toBytes("to a\n"));
    auto ra = a->receive(5.0);
    auto rb = b->receive(5.0);
    ASSERT_TRUE(ra && rb);
    EXPECT_EQ(toString(*ra), "to a\n");
    EXPECT_EQ(toString(*rb), "to b\n");
}

TEST_F(DtlsServerTest, UnknownIdentityFreesItsPlaceAtOnceAndAWrongKeyIsSweptAfter15s) {
    std::string err;
    // An identity we do not know fails the handshake on our side: its place is free at once.
    EXPECT_FALSE(connect("PHONE-X.ffffffffffff", keyA, 1.5, &err));
    EXPECT_FALSE(connect("PHONE-Y.ffffffffffff", keyA, 1.5, &err));
    EXPECT_TRUE(waitFor([&] { return server->peerCount() == 0; }));
    std::string text = logText();
    EXPECT_EQ(count(text, "DTLS 핸드셰이크 실패 — 끊는다 (127.0.0.1:"), 1u) << "strangers cost one line per 10 s";
    EXPECT_EQ(count(text, ") · PSK 가 다른 폰?\n"), 1u);
    clock.advance(11.0);
    EXPECT_FALSE(connect("PHONE-Z.ffffffffffff", keyA, 1.5, &err));
    EXPECT_TRUE(waitFor([&] { return count(logText(), "DTLS 핸드셰이크 실패 — 끊는다") == 2; }));
    EXPECT_NE(logText().find(") · PSK 가 다른 폰? · 모두 2개\n"), std::string::npos) << logText();

    // A wrong key is never told apart from a lost datagram (DTLS drops what does not
    // authenticate): that handshake stalls until the sweep.
    EXPECT_FALSE(connect(idA, keyB, 1.5, &err));
    EXPECT_EQ(server->peerCount(), 1u);
    EXPECT_EQ(logText().find("DTLS 연결 — "), std::string::npos);
    EXPECT_FALSE(inbox.pop(0.1));
    clock.advance(15.0);
    server->sweepPeers();
    EXPECT_EQ(server->peerCount(), 1u);  // not yet more than 15 s
    clock.advance(0.5);
    server->sweepPeers();
    EXPECT_EQ(server->peerCount(), 0u);
    EXPECT_EQ(count(logText(), "DTLS 핸드셰이크 15초 미완 — 끊는다 (127.0.0.1:"), 1u);

    // The right key still gets in afterwards.
    EXPECT_TRUE(connect(idA, keyA));
}

TEST_F(DtlsServerTest, ReadyPeerSilentMoreThan60sIsCancelled) {
    auto c = connect(idA, keyA);
    ASSERT_TRUE(c);
    CtlMsg m = roundTrip(*c, "hello\n");
    phone.setPhoneConn(m.peer);
    clock.advance(60.0);
    server->sweepPeers();
    EXPECT_EQ(server->peerCount(), 1u);
    clock.advance(1.0);
    server->sweepPeers();
    EXPECT_EQ(server->peerCount(), 0u);
    EXPECT_EQ(phone.phoneConn(), nullptr);
    EXPECT_EQ(logText().find("핸드셰이크 15초"), std::string::npos);
    EXPECT_FALSE(c->receive(3.0));
    EXPECT_TRUE(c->closed());
    auto closed = inbox.pop(1.0);
    ASSERT_TRUE(closed && closed->peerClosed);
    EXPECT_EQ(closed->peer, m.peer);
}

TEST_F(DtlsServerTest, RestartWithEmptyListStopsAnsweringAndKeepsThePortForLater) {
    const uint16_t port = server->boundPort();
    auto c = connect(idA, keyA);
    ASSERT_TRUE(c);
    server->restart({});
    EXPECT_NE(logText().find("짝지어진 폰이 없다 — DTLS 리스너를 안 연다. 짝짓기(PAIR)를 기다린다\n"),
              std::string::npos);
    EXPECT_EQ(server->boundPort(), 0);
    EXPECT_EQ(server->peerCount(), 0u);
    EXPECT_FALSE(c->receive(2.0));
    EXPECT_TRUE(c->closed());

    RawClient raw(port);
    raw.step();
    EXPECT_FALSE(raw.recvRaw(0.5));
    EXPECT_FALSE(DtlsClient::connect("127.0.0.1", port, idA, keyA, 1.0, nullptr));

    server->restart({{idB, keyB}});
    EXPECT_EQ(server->boundPort(), port);
    EXPECT_NE(logText().find("listening dtls/" + std::to_string(port) + " — 짝지어진 폰 1대\n"), std::string::npos);
    EXPECT_TRUE(connect(idB, keyB));
}

TEST_F(DtlsServerTest, RestartKeepsPeersButDropsThoseWhoseKeyWasRemoved) {
    auto a = connect(idA, keyA);
    auto b = connect(idB, keyB);
    ASSERT_TRUE(a && b);
    CtlMsg ma = roundTrip(*a, "a\n");
    CtlMsg mb = roundTrip(*b, "b\n");
    phone.setPhoneConn(ma.peer);
    const uint16_t port = server->boundPort();

    server->restart({{idB, keyB}});
    EXPECT_EQ(server->boundPort(), port);
    EXPECT_EQ(server->peerCount(), 1u);
    EXPECT_EQ(phone.phoneConn(), nullptr);
    EXPECT_TRUE(ma.peer->revoked.load()) << "what the unpaired phone still has queued is not obeyed";
    EXPECT_FALSE(mb.peer->revoked.load());
    EXPECT_NE(logText().find("짝이 풀린 폰의 DTLS 연결을 끊는다 — " + ma.peer->endpoint()), std::string::npos);
    EXPECT_FALSE(a->receive(2.0));
    EXPECT_TRUE(a->closed());

    // B's session carries on across the restart.
    EXPECT_EQ(roundTrip(*b, "still here\n").peer, mb.peer);
    mb.peer->send(toBytes("yes\n"));
    auto r = b->receive(5.0);
    ASSERT_TRUE(r);
    EXPECT_EQ(toString(*r), "yes\n");
    // And A's key no longer opens the door.
    EXPECT_FALSE(connect(idA, keyA, 1.0));
}

TEST_F(DtlsServerTest, FarewellAllSaysByeToEveryPeer) {
    auto a = connect(idA, keyA);
    auto b = connect(idB, keyB);
    ASSERT_TRUE(a && b);
    CtlMsg ma = roundTrip(*a, "a\n");
    roundTrip(*b, "b\n");
    phone.setPhoneConn(ma.peer);
    phone.hasPhone = true;

    server->farewellAll();
    EXPECT_EQ(server->peerCount(), 0u);
    EXPECT_EQ(phone.phoneConn(), nullptr);
    EXPECT_FALSE(phone.hasPhone.load());
    EXPECT_TRUE(ma.peer->revoked.load());
    for (auto* c : {a.get(), b.get()}) {
        auto r = c->receive(5.0);
        ASSERT_TRUE(r);
        EXPECT_EQ(toString(*r), "BYE\n");
        EXPECT_FALSE(c->receive(2.0));
        EXPECT_TRUE(c->closed());
    }
    // Sends on a cancelled peer go nowhere and do not resurrect it.
    ma.peer->send(toBytes("ghost\n"));
    EXPECT_EQ(server->peerCount(), 0u);
}

TEST_F(DtlsServerTest, GarbageAndCookielessHellosLeaveNoPeers) {
    RawClient junk(server->boundPort());
    for (size_t n : {1u, 12u, 13u, 100u, 1400u, 30000u}) junk.sendRaw(randomBytes(n));
    Bytes fakeHeader(40, 0);
    fakeHeader[0] = 22;
    fakeHeader[1] = 0xFE;
    fakeHeader[2] = 0xFD;
    fakeHeader[12] = 200;  // claims more than it carries
    fakeHeader[13] = 1;
    junk.sendRaw(fakeHeader);

    // A flood of first ClientHellos from many sources: each is answered statelessly.
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 60; ++i) {
        flood.push_back(std::make_unique<RawClient>(server->boundPort()));
        flood.back()->step();
    }
    size_t verifies = 0;
    for (auto& r : flood)
        if (auto d = r->recvRaw(2.0); d && RawClient::isHelloVerify(*d)) ++verifies;
    EXPECT_EQ(verifies, flood.size());
    EXPECT_EQ(server->peerCount(), 0u);

    // A second ClientHello carrying a forged cookie gets no state either.
    RawClient forger(server->boundPort());
    forger.step();
    auto hvr = forger.recvRaw(2.0);
    ASSERT_TRUE(hvr && RawClient::isHelloVerify(*hvr));
    (*hvr)[hvr->size() - 1] ^= 0x55;  // last cookie byte
    forger.feed(*hvr);
    forger.step();
    EXPECT_TRUE(forger.recvRaw(1.0));  // just another HelloVerifyRequest
    EXPECT_EQ(server->peerCount(), 0u);

    auto c = connect(idA, keyA);
    ASSERT_TRUE(c);
    EXPECT_EQ(toString(roundTrip(*c, "ok\n").bytes), "ok\n");
}

TEST_F(DtlsServerTest, StalledHandshakesFromOtherHostsNeverLockAPairedPhoneOut) {
    std::vector<std::unique_ptr<RawClient>> stalled;
    auto stall = [&](uint8_t host) {
        stalled.push_back(std::make_unique<RawClient>(server->boundPort(), "nobody.000000000000", Bytes(32, 1), host));
        return stalled.back()->proveAddress();
    };
    // One host gets four places; its fifth and sixth proven hellos are turned away.
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(stall(2)) << "the cookie exchange itself is never refused";
    EXPECT_TRUE(waitFor([&] { return server->peerCount() == 4; }));
    EXPECT_TRUE(waitFor([&] {
        return count(logText(), "⚠︎ DTLS 핸드셰이크 중인 연결이 한 주소(127.0.0.2)에서 4개 — 새 연결 시도를 버린다") == 1;
    }));
    EXPECT_EQ(server->peerCount(), 4u);
    auto a = connect(idA, keyA);
    ASSERT_TRUE(a) << "a phone on another host gets in beside the flood";
    EXPECT_EQ(toString(roundTrip(*a, "in\n").bytes), "in\n");

    // Seven more hosts at their cap fill every place (4 × 8 = 32) …
    for (uint8_t host = 3; host <= 9; ++host)
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(stall(host));
    EXPECT_TRUE(waitFor([&] { return server->peerCount() == 33; }));  // 32 handshakes and phone A
    // … and still a newcomer takes the oldest place of a busiest host: one more host,
    // then the second phone.
    ASSERT_TRUE(stall(10));
    auto b = connect(idB, keyB);
    ASSERT_TRUE(b) << "a full table gives way to a phone";
    EXPECT_EQ(toString(roundTrip(*b, "in too\n").bytes), "in too\n");
    EXPECT_EQ(server->peerCount(), 33u);  // the phone took one stalled handshake's place

    clock.advance(16.0);
    server->sweepPeers();
    EXPECT_EQ(server->peerCount(), 2u);
    EXPECT_EQ(count(logText(), "DTLS 핸드셰이크 15초 미완 — 끊는다"), 1u) << "one line for the whole flood";
    EXPECT_NE(logText().find("PSK 가 다른 폰? · 모두 31개\n"), std::string::npos) << logText();
}

TEST_F(DtlsServerTest, ForgedRecordsFromThePhonesOwnAddressLeaveItsSessionAlone) {
    RawClient raw(server->boundPort(), idA, keyA);
    ASSERT_TRUE(raw.handshake(5.0));
    raw.write("before\n");
    auto first = nextMessage();
    ASSERT_TRUE(first && first->peer);

    // Records anyone can send from the phone's address and port, without its key.
    auto record = [](uint8_t type, uint16_t epoch, size_t claimed, size_t carried) {
        Bytes r(13 + carried, 0x5A);
        r[0] = type;
        r[1] = 0xFE;
        r[2] = 0xFD;
        r[3] = static_cast<uint8_t>(epoch >> 8);
        r[4] = static_cast<uint8_t>(epoch);
        for (int i = 5; i < 11; ++i) r[i] = 0;
        r[10] = 0x40;  // a sequence number ahead of the phone's
        r[11] = static_cast<uint8_t>(claimed >> 8);
        r[12] = static_cast<uint8_t>(claimed);
        return r;
    };
    std::vector<Bytes> forged;
    for (size_t len = 0; len < 24; ++len) forged.push_back(record(23, 1, len, len));  // shorter than nonce + tag
    forged.push_back(record(21, 1, 2, 2));                                            // a 15-byte "alert"
    forged.push_back(record(23, 1, 40, 40));                                          // garbage that fails to authenticate
    forged.push_back(record(23, 1, 400, 40));                                         // claims more than it carries
    forged.push_back(record(23, 2, 40, 40));                                          // an epoch that never was
    forged.push_back(record(99, 1, 40, 40));                                          // no such record type
    forged.push_back(record(21, 0, 2, 2));                                            // a plaintext alert
    Bytes two = record(23, 1, 40, 40);
    Bytes shortOne = record(23, 1, 2, 2);
    two.insert(two.end(), shortOne.begin(), shortOne.end());
    forged.push_back(two);                                                            // a good-looking one, then a short one
    for (const auto& f : forged) raw.sendRaw(f);

    raw.write("after\n");
    auto m = nextMessage();
    ASSERT_TRUE(m) << logText();
    EXPECT_EQ(toString(m->bytes), "after\n");
    EXPECT_EQ(m->peer, first->peer) << "the same session carries on";
    EXPECT_EQ(server->peerCount(), 1u);
    EXPECT_EQ(logText().find("DTLS 연결 끊김"), std::string::npos) << logText();
    EXPECT_TRUE(closedSeen.empty());
}

TEST_F(DtlsServerTest, FinishedSessionsAreBoundedTooTheQuietestGoing) {
    std::vector<std::unique_ptr<DtlsClient>> phones;
    for (size_t i = 0; i < kDtlsMaxSessions; ++i) {
        phones.push_back(connect(idA, keyA));
        ASSERT_TRUE(phones.back());
    }
    clock.advance(1.0);
    auto last = connect(idB, keyB);
    ASSERT_TRUE(last);
    EXPECT_EQ(toString(roundTrip(*last, "new\n").bytes), "new\n");
    EXPECT_EQ(server->peerCount(), kDtlsMaxSessions);
    EXPECT_EQ(count(logText(), "⚠︎ DTLS 연결이 64개를 넘었다 — 가장 오래 조용한 연결을 끊는다 (127.0.0.1:"), 1u);
    // All were equally quiet: the oldest goes, and hears of it.
    EXPECT_FALSE(phones.front()->receive(2.0));
    EXPECT_TRUE(phones.front()->closed());
    EXPECT_FALSE(phones.back()->closed());
}

TEST_F(DtlsServerTest, HandshakeFlightIsRetransmittedByTheTimer) {
    RawClient raw(server->boundPort(), idA, keyA);
    ASSERT_TRUE(raw.proveAddress());
    // The server's flight arrives; we pretend it was lost and stay silent.
    auto first = raw.recvRaw(2.0);
    ASSERT_TRUE(first);
    while (raw.recvRaw(0.2)) {
    }
    auto again = raw.recvRaw(5.0);
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)[0], 22);  // handshake record, sent again
    // The handshake can still finish from here.
    raw.feed(*again);
    EXPECT_TRUE(raw.handshake(5.0));
    EXPECT_TRUE(waitFor([&] { return logText().find("DTLS 연결 — ") != std::string::npos; }));
}

TEST_F(DtlsServerTest, NewSessionFromTheSamePortReplacesTheOldOne) {
    RawClient raw(server->boundPort(), idA, keyA);
    ASSERT_TRUE(raw.handshake(5.0));
    raw.write("one\n");
    auto m1 = nextMessage();
    ASSERT_TRUE(m1 && m1->peer);

    raw.newSession();  // the app restarted, same source port
    ASSERT_TRUE(raw.handshake(5.0));
    raw.write("two\n");
    auto m2 = nextMessage();
    ASSERT_TRUE(m2 && m2->peer);
    EXPECT_EQ(toString(m2->bytes), "two\n");
    EXPECT_NE(m1->peer, m2->peer);
    EXPECT_EQ(m1->peer->endpoint(), m2->peer->endpoint());
    EXPECT_EQ(server->peerCount(), 1u);
    ASSERT_EQ(closedSeen.size(), 1u) << "the replaced session ended";
    EXPECT_EQ(closedSeen[0], m1->peer);
}

TEST_F(DtlsServerTest, BusyPortIsReportedAndLeavesTheChannelClosed) {
    // Another agent already holds the port.
    const uint16_t taken = server->boundPort();
    DtlsServer second(clock, log, inbox, phone, ctlQueue, taken);
    second.restart({{idA, keyA}});
    EXPECT_EQ(second.boundPort(), 0);
    EXPECT_NE(logText().find("⚠︎ DTLS 리스너를 못 만들었다 (udp/" + std::to_string(taken) + ")\n"),
              std::string::npos);
    // The first one still serves.
    auto c = connect(idA, keyA);
    ASSERT_TRUE(c);
    EXPECT_EQ(toString(roundTrip(*c, "first\n").bytes), "first\n");
}

TEST_F(DtlsServerTest, PeerSweepTimerRunsOnTheQueue) {
    auto c = connect(idA, keyA);
    ASSERT_TRUE(c);
    roundTrip(*c, "x\n");
    clock.advance(120.0);
    server->startPeerSweep();
    // The first firing comes 5 s after the start.
    EXPECT_TRUE(waitFor([&] { return server->peerCount() == 0; }, 8.0));
}

}  // namespace
