// The file channel over real TLS on loopback, with the phone tool's client and a
// hand-driven TLS client for the phones that misbehave.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"
#include "files/file_channel.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"
#include "phone/file_client.h"
#include "support/fake_peer.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
}

// A TCP connection to the channel from a chosen loopback address; -1 on failure.
int tcpFrom(const char* source, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the channel closed `fd` within `seconds` (end of stream or reset).
bool closedByPeer(int fd, double seconds) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// A phone driven by hand: handshake, then whatever the test writes and reads.
struct RawPhone {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    std::string identity;
    Bytes psk;
    static unsigned int pskCb(SSL* s, const char*, char* id, unsigned int maxId, unsigned char* key,
                              unsigned int maxKey) {
        auto* p = static_cast<RawPhone*>(SSL_get_app_data(s));
        if (p->identity.size() + 1 > maxId || p->psk.size() > maxKey) return 0;
        std::copy(p->identity.begin(), p->identity.end(), id);
        id[p->identity.size()] = 0;
        std::copy(p->psk.begin(), p->psk.end(), key);
        return static_cast<unsigned int>(p->psk.size());
    }
    bool open(uint16_t port, const std::string& id, const Bytes& key) {
        identity = id;
        psk = key;
        fd = tcpFrom("127.0.0.1", port);
        if (fd < 0) return false;
        timeval tv{20, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_security_level(ctx, 1);
        SSL_CTX_set_cipher_list(ctx, "PSK-AES128-GCM-SHA256");
        SSL_CTX_set_psk_client_callback(ctx, pskCb);
        ssl = SSL_new(ctx);
        SSL_set_app_data(ssl, this);
        SSL_set_fd(ssl, fd);
        return SSL_connect(ssl) == 1;
    }
    bool send(const std::string& s) {
        size_t n = 0;
        return SSL_write_ex(ssl, s.data(), s.size(), &n) == 1;
    }
    // Reads until the stream ends; the bytes, and whether it ended with close_notify.
    std::string readToEnd(bool* clean, size_t limit = SIZE_MAX) {
        std::string out;
        char buf[65536];
        while (out.size() < limit) {
            size_t n = 0;
            if (SSL_read_ex(ssl, buf, sizeof buf, &n) != 1) {
                *clean = SSL_get_error(ssl, 0) == SSL_ERROR_ZERO_RETURN;
                return out;
            }
            out.append(buf, n);
        }
        *clean = false;
        return out;
    }
    // Leaves with a reset, as a phone that is switched off mid-transfer does.
    void abort() {
        linger lg{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(fd);
        fd = -1;
    }
    ~RawPhone() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
        if (fd >= 0) ::close(fd);
    }
};

struct ChannelFixture : ::testing::Test {
    std::string tmp;
    FakeClock clock{SystemClock().now()};  // moved by hand where a test needs time to pass
    std::unique_ptr<Logger> log;
    PhoneState phone{clock.now()};
    std::shared_ptr<testing::RecordingPeer> peer = std::make_shared<testing::RecordingPeer>(clock.now());
    CtlSender sender{phone, nullptr};
    // Queues go before the rooms whose work they run (see TearDown).
    std::unique_ptr<SerialQueue> fileQueue = std::make_unique<SerialQueue>("local.umo.inputd.file");
    std::unique_ptr<SerialQueue> offerQueue = std::make_unique<SerialQueue>("offers");
    std::unique_ptr<FileReceive> rx;
    std::unique_ptr<FileSend> tx;
    std::unique_ptr<LongText> text;
    std::unique_ptr<FileChannel> channel;
    std::mutex typedMu;
    std::vector<std::string> typed;
    const Bytes key = Bytes(32, 0x5a);
    const std::string identity = "phone-1.0123456789ab";

    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        char t[] = "/tmp/vm-filechan-XXXXXX";
        tmp = ::mkdtemp(t);
        log = std::make_unique<Logger>(tmp + "/logs", clock);
        rx = std::make_unique<FileReceive>(clock, *log, tmp + "/Vellomark", "");
        tx = std::make_unique<FileSend>(clock, *log, phone, sender, *offerQueue, *fileQueue);
        text = std::make_unique<LongText>(LongTextDeps{clock, *log, [](int64_t) { return true; },
                                                       [this](const std::string& s) {
                                                           std::lock_guard<std::mutex> lk(typedMu);
                                                           typed.push_back(s);
                                                       },
                                                       nullptr});
        channel = std::make_unique<FileChannel>(clock, *log, *rx, *tx, *text, *fileQueue, 0);
        channel->restart({{identity, key}});
        ASSERT_NE(channel->boundPort(), 0);
        phone.setPhoneConn(peer);
    }
    void TearDown() override {
        channel.reset();
        fileQueue.reset();
        offerQueue.reset();
        std::error_code ec;
        fs::remove_all(tmp, ec);
    }
    phone::FileLink link() {
        phone::FileLink l;
        l.port = channel->boundPort();
        l.identity = identity;
        l.psk = key;
        l.timeout = 20;
        return l;
    }
    std::string logText() { return slurp(log->cursorLogPath()); }
    bool waitLog(const std::string& needle) {
        for (int i = 0; i < 300; ++i) {
            if (logText().find(needle) != std::string::npos) return true;
            ::usleep(10000);
        }
        return false;
    }
};

TEST_F(ChannelFixture, NoListenerWithoutKeys) {
    channel->restart({});
    EXPECT_EQ(channel->boundPort(), 0);
}

TEST_F(ChannelFixture, PutArrivesByteIdenticalAndRefusals) {
    std::string body(300000, '\0');
    std::mt19937 rng(7);
    for (auto& c : body) c = static_cast<char>(rng());
    const std::string src = tmp + "/src.bin";
    std::ofstream(src, std::ios::binary) << body;
    auto r = phone::filePut(link(), src, "사진 1.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.reply, "OK");
    EXPECT_EQ(slurp(tmp + "/Vellomark/사진 1.bin"), body);

    const std::string big = "PUT 2147483649 " + std::string("YQ==") + "\n";
    auto tooBig = phone::fileRaw(link(), toBytes(big), false);
    EXPECT_EQ(tooBig.reply, "TOOBIG");

    auto bad = phone::fileRaw(link(), toBytes("TXT abc 1\n"), false);
    EXPECT_EQ(bad.reply, "");
    EXPECT_TRUE(waitLog("파일 채널 — 첫 줄이 이상하다, 닫는다"));

    auto longLine = phone::fileRaw(link(), Bytes(1024, 'A'), false);
    EXPECT_EQ(longLine.reply, "");
    EXPECT_TRUE(waitLog("파일 채널 — 첫 줄이 너무 길다, 닫는다"));

    phone::FileLink wrong = link();
    wrong.psk = Bytes(32, 0x11);
    auto refused = phone::filePut(wrong, src);
    EXPECT_FALSE(refused.ok);
}

TEST_F(ChannelFixture, ShortPutLeavesNoFile) {
    auto r = phone::fileRaw(link(), toBytes("PUT 1000 " + std::string("cGFydA==") + "\nonly this"), true);
    EXPECT_EQ(r.reply, "");
    EXPECT_TRUE(waitLog("모자란 채 끊김 (9/1000)"));
    EXPECT_TRUE(fs::is_empty(tmp + "/Vellomark")) << "neither the file nor its hidden part stays";
}

TEST_F(ChannelFixture, TextIsEnteredBeforeOk) {
    auto r = phone::fileTxt(link(), "line one\nline two", 42);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.reply, "OK");
    std::lock_guard<std::mutex> lk(typedMu);
    EXPECT_EQ(typed, std::vector<std::string>{"line one\nline two"});
}

TEST_F(ChannelFixture, GetFetchesTheOfferedFile) {
    std::string body(200000, 'x');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13);
    const std::string src = tmp + "/offer.bin";
    std::ofstream(src, std::ios::binary) << body;
    phone.phoneLastSeen.store(clock.now());
    tx->fileOfferStart(src);
    ASSERT_TRUE(tx->offerBusy());
    auto r = phone::fileGet(link(), 1, true, tmp + "/got", "offer.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(slurp(r.path), body);
    for (int i = 0; i < 300 && tx->offerBusy(); ++i) ::usleep(10000);
    EXPECT_EQ(tx->phase().kind, FilePhase::sent);
    EXPECT_TRUE(waitLog("시작 (fast · 상한 없음)"));
    // The offer is over: a second GET is refused.
    auto again = phone::fileGet(link(), 1, true, tmp + "/got2", "again.bin");
    EXPECT_FALSE(again.ok);
    EXPECT_TRUE(waitLog("파일 채널 — 제안 #1 이 없거나 이미 끝났다, 닫는다"));
}

// Sockets that never start a handshake, from another host and from the phone's own
// address, do not keep the paired phone out; ones that stay silent are closed soon.
TEST_F(ChannelFixture, PairedPhoneGetsThroughWhileIdleSocketsSitOpen) {
    const uint16_t port = channel->boundPort();
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) idle.push_back(tcpFrom("127.0.0.2", port));
    for (int i = 0; i < 20; ++i) idle.push_back(tcpFrom("127.0.0.1", port));
    ASSERT_EQ(std::count(idle.begin(), idle.end(), -1), 0);
    const std::string src = tmp + "/photo.jpg";
    std::ofstream(src, std::ios::binary) << std::string(100000, 'p');
    for (int round = 0; round < 3; ++round) {
        auto r = phone::filePut(link(), src);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.reply, "OK");
    }
    EXPECT_TRUE(fs::exists(tmp + "/Vellomark/photo 3.jpg"));
    // The newest idle socket from the other host is still there, yet not for long.
    FileChannelLimits quick;
    quick.handshakeSeconds = 0.3;
    channel->setLimits(quick);
    channel->restart({{identity, key}});
    const int late = tcpFrom("127.0.0.2", channel->boundPort());
    EXPECT_TRUE(closedByPeer(late, 10.0)) << "a socket without a handshake is closed after its deadline";
    ::close(late);
    for (int fd : idle) ::close(fd);
}

// Bytes after the announced size are dropped; the phone still gets "OK" and a clean end.
TEST_F(ChannelFixture, SurplusAfterTheAnnouncedSizeStillGetsOkAndACleanClose) {
    RawPhone p;
    ASSERT_TRUE(p.open(channel->boundPort(), identity, key));
    ASSERT_TRUE(p.send("PUT 5 " + base64Encode(std::string("five.txt")) + "\nhello"));
    // Far more than socket buffers hold, so the channel has to read it to close cleanly.
    const std::string surplus(4 << 20, 's');
    ASSERT_TRUE(p.send(surplus));
    bool clean = false;
    EXPECT_EQ(p.readToEnd(&clean), "OK\n");
    EXPECT_TRUE(clean) << "the reply ends with close_notify, not a reset";
    EXPECT_EQ(slurp(tmp + "/Vellomark/five.txt"), "hello");
    SSL_shutdown(p.ssl);
    char c;
    EXPECT_EQ(::recv(p.fd, &c, 1, 0), 0) << "the connection ends with a FIN: " << std::strerror(errno);
}

// A phone that stops reading a download: the stall sweep cuts it, the blocked write
// gives up at once, and meanwhile other connections' deadlines still hold.
TEST_F(ChannelFixture, StalledDownloadIsCutByTheSweepAndBlocksNothingElse) {
    FileChannelLimits quick;
    quick.handshakeSeconds = 0.3;
    channel->setLimits(quick);
    channel->restart({{identity, key}});
    const std::string big = tmp + "/big.bin";
    { std::ofstream f(big); }
    fs::resize_file(big, 256u << 20);
    phone.phoneLastSeen.store(clock.now());
    tx->fileOfferStart(big);
    RawPhone p;
    ASSERT_TRUE(p.open(channel->boundPort(), identity, key));
    ASSERT_TRUE(p.send("GET 1 fast\n"));
    // Socket buffers fill up, then the write waits for a reader that never comes.
    int64_t sent = -1;
    for (int i = 0; i < 500; ++i) {
        const int64_t before = tx->sentBytes();
        ::usleep(20000);
        sent = tx->sentBytes();
        if (sent > 0 && sent == before) break;
    }
    ASSERT_EQ(tx->phase().kind, FilePhase::sending);
    ASSERT_GT(sent, 0);
    ASSERT_LT(sent, int64_t{256} << 20);

    const int idle = tcpFrom("127.0.0.2", channel->boundPort());
    EXPECT_TRUE(closedByPeer(idle, 10.0)) << "the handshake deadline holds while the download is stuck";
    ::close(idle);

    clock.advance(30.5);
    tx->fileSweep();
    EXPECT_EQ(tx->fileSendStatus().second, "big.bin: Connection lost");
    EXPECT_TRUE(waitLog("30초 동안 진행 없음 — 끊는다"));
    bool clean = true;
    const std::string got = p.readToEnd(&clean);
    EXPECT_FALSE(clean) << "a cut transfer must not look complete";
    EXPECT_LT(got.size(), size_t{256} << 20);

    // The queue that streams files is free again: the next offer is fetched.
    const std::string small = tmp + "/small.bin";
    std::ofstream(small, std::ios::binary) << std::string(5000, 'q');
    phone.phoneLastSeen.store(clock.now());
    tx->fileOfferStart(small);
    auto r = phone::fileGet(link(), 2, true, tmp + "/got", "small.bin");
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(slurp(r.path), std::string(5000, 'q'));
}

// The phone going away mid-download ends the offer on the failed-connection path.
TEST_F(ChannelFixture, DroppedDownloadIsAFailedConnection) {
    const std::string big = tmp + "/movie.mov";
    { std::ofstream f(big); }
    fs::resize_file(big, 256u << 20);
    phone.phoneLastSeen.store(clock.now());
    tx->fileOfferStart(big);
    RawPhone p;
    ASSERT_TRUE(p.open(channel->boundPort(), identity, key));
    ASSERT_TRUE(p.send("GET 1 fast\n"));
    bool clean = true;
    EXPECT_GE(p.readToEnd(&clean, 100000).size(), 100000u);
    p.abort();
    EXPECT_TRUE(waitLog("파일 보내기 — 전송 중 끊김: ")) << logText();
    for (int i = 0; i < 300 && tx->offerBusy(); ++i) ::usleep(10000);
    EXPECT_EQ(tx->fileSendStatus().second, "movie.mov: Connection lost");
    EXPECT_EQ(logText().find("보내다 끊김"), std::string::npos);
}

}  // namespace
}  // namespace vm
