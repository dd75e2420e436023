// The file channel over real TLS on loopback, with the phone tool's client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <vector>

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

struct ChannelFixture : ::testing::Test {
    std::string tmp;
    SystemClock clock;
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
    EXPECT_FALSE(fs::exists(tmp + "/Vellomark/part"));
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

}  // namespace
}  // namespace vm
