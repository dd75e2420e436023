// Files both ways and long texts, driven through a scripted connection and the fake clock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
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
#include "support/fake_peer.h"

namespace vm {
namespace {

namespace fs = std::filesystem;

class ScriptConn final : public FileConn {
public:
    struct Step {
        std::string data;
        bool eof = false;
        bool error = false;
    };
    std::deque<Step> reads;
    std::function<void()> beforeRead;
    std::string written;
    std::vector<std::string> replies;
    bool cancelled = false;
    bool finished = false;
    bool failWrites = false;
    bool dropped = false;  // the failed write was the peer going away

    void feed(const std::string& s) { reads.push_back({s, false, false}); }
    void feedEof() { reads.push_back({"", true, false}); }
    ReadResult read(uint8_t* buf, size_t len) override {
        if (beforeRead) beforeRead();
        ReadResult r;
        if (reads.empty()) {
            r.error = true;
            return r;
        }
        Step& s = reads.front();
        r.eof = s.eof;
        r.error = s.error;
        r.n = std::min(len, s.data.size());
        std::copy(s.data.begin(), s.data.begin() + static_cast<std::ptrdiff_t>(r.n), buf);
        s.data.erase(0, r.n);
        if (s.data.empty()) reads.pop_front();
        return r;
    }
    bool write(const uint8_t* d, size_t n, std::string* err) override {
        if (failWrites) {
            if (err) *err = dropped ? "Connection reset by peer" : "broken pipe";
            return false;
        }
        written.append(reinterpret_cast<const char*>(d), n);
        return true;
    }
    bool lost() const override { return failWrites && dropped; }
    void replyAndClose(std::string_view line) override {
        replies.emplace_back(line);
        finished = true;
    }
    void finishAndClose() override { finished = true; }
    void cancel() override { cancelled = true; }
    void setReadTimeout(double) override {}
    std::string endpoint() const override { return "10.0.0.9:5555"; }
};

// A queue that keeps delayed work for the test to run, moving the fake clock to each due time.
class StepQueue final : public DispatchQueue {
public:
    explicit StepQueue(FakeClock& clock) : clock_(clock) {}
    void async(Task t) override { asyncAfter(0, std::move(t)); }
    void asyncAfter(double s, Task t) override { items_.push_back({clock_.now() + s, std::move(t)}); }
    const std::string& label() const override { return label_; }
    // Runs everything, in due order, including work the tasks add.
    int drain(int limit = 1000000) {
        int n = 0;
        while (!items_.empty() && n < limit) {
            auto it = std::min_element(items_.begin(), items_.end(),
                                       [](const Item& a, const Item& b) { return a.due < b.due; });
            Item item = std::move(*it);
            items_.erase(it);
            if (item.due > clock_.now()) clock_.set(item.due);
            item.task();
            ++n;
        }
        return n;
    }
    std::vector<double> dues() const {
        std::vector<double> d;
        for (auto& i : items_) d.push_back(i.due);
        return d;
    }

private:
    struct Item {
        double due;
        Task task;
    };
    FakeClock& clock_;
    std::vector<Item> items_;
    std::string label_ = "step";
};

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), {});
}

std::string logText(Logger& log) { return slurp(log.cursorLogPath()); }

struct TempDir {
    std::string path;
    TempDir() {
        char t[] = "/tmp/vm-files-XXXXXX";
        path = ::mkdtemp(t);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// ---- names and the first line ----

TEST(FileNames, SafeNamesFollowTheRules) {
    EXPECT_EQ(fileSafeName("a/b:c"), "a_b_c");
    EXPECT_EQ(fileSafeName("..hidden"), "_hidden");
    EXPECT_EQ(fileSafeName(".hidden"), "hidden");
    EXPECT_EQ(fileSafeName("report...pdf"), "report_.pdf");
    EXPECT_EQ(fileSafeName(" . . "), "file");
    EXPECT_EQ(fileSafeName(""), "file");
    EXPECT_EQ(fileSafeName("a\\b"), "a_b");
    EXPECT_EQ(fileSafeName("tab\there\x01.txt"), "tabhere.txt");
    EXPECT_EQ(fileSafeName("  name.txt \n"), "name.txt");
    EXPECT_EQ(fileSafeName("../../etc/passwd"), "____etc_passwd");
    EXPECT_EQ(fileSafeName("..."), "_.");
    const std::string longName = std::string(150, 'x') + ".jpeg";
    EXPECT_EQ(fileSafeName(longName), std::string(100, 'x') + ".jpeg");
    EXPECT_EQ(fileSafeName(std::string(130, 'y')), std::string(100, 'y'));
    // Multi-byte names are cut at character boundaries and stay within the name limit.
    std::string korean;
    for (int i = 0; i < 130; ++i) korean += "가";
    const std::string safeKorean = fileSafeName(korean + ".txt");
    EXPECT_TRUE(isValidUtf8(safeKorean));
    EXPECT_LE(safeKorean.size(), 200u);
    EXPECT_EQ(safeKorean.substr(safeKorean.size() - 4), ".txt");
}

TEST(FileNames, DisguisesGoAndUnicodeSpacesAreBlanks) {
    // A right-to-left override would show "invoice<RLO>fdp.exe" as "invoiceexe.pdf".
    EXPECT_EQ(fileSafeName("invoice\u202Efdp.exe"), "invoicefdp.exe");
    EXPECT_EQ(fileSafeName("\u2066a\u200Bb\u200D\u2069.txt"), "ab.txt");
    EXPECT_EQ(fileSafeName("\xEF\xBB\xBF" "bom\u00AD.txt"), "bom.txt");
    EXPECT_EQ(fileSafeName(".\u200B.hidden"), "_hidden") << "removed first, so the dots meet";
    EXPECT_EQ(fileSafeName("\u2003\u3000report.pdf\u00A0\u205F\u202F"), "report.pdf");
    EXPECT_EQ(fileSafeName("\u2000.\u2009.env"), "env");
    EXPECT_EQ(fileSafeName("\u200B\u2028"), "file");
    EXPECT_EQ(fileSafeName("a\xFF\xC0" "b"), "ab");
    EXPECT_EQ(fileSafeName("사진 1.jpg"), "사진 1.jpg");
    EXPECT_EQ(fileSafeName("a\u00A0b.txt"), "a\u00A0b.txt") << "inside a name a space stays";
}

TEST(FileNames, LogTextStaysOnItsLine) {
    EXPECT_EQ(fileLogText("사진 1.jpg"), "사진 1.jpg");
    EXPECT_EQ(fileLogText("a\nb\r\tc"), "a\\nb\\r\\tc");
    EXPECT_EQ(fileLogText("\x1B[31mred\x7F"), "\\x1B[31mred\\x7F");
    EXPECT_EQ(fileLogText("x\u202Ey\u200Bz\u2028"), "x\\u{202E}y\\u{200B}z\\u{2028}");
    EXPECT_EQ(fileLogText(std::string("n\0ul\xC2\x85", 6)), "n\\x00ul\\u{85}");
    EXPECT_EQ(fileLogText("\xFF\xE4\xB8"), "\\xFF\\xE4\\xB8");
}

TEST(FileChannelFirstLine, LengthLimit) {
    Bytes b(1023, 'a');
    EXPECT_EQ(fileFirstLine(b).state, FirstLine::more);
    b.push_back('a');
    EXPECT_EQ(fileFirstLine(b).state, FirstLine::tooLong);
    Bytes ok = toBytes("PUT 3 YWJj\nxyz");
    auto fl = fileFirstLine(ok);
    ASSERT_EQ(fl.state, FirstLine::done);
    EXPECT_EQ(fl.line, "PUT 3 YWJj");
    EXPECT_EQ(toString(fl.first), "xyz");
}

TEST(FileChannelFirstLine, ParsesTheThreeRequests) {
    auto put = fileParseRequest("PUT  12 " + base64Encode(std::string("사진.jpg")) + " extra");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->kind, FileRequest::put);
    EXPECT_EQ(put->size, 12);
    EXPECT_EQ(put->name, "사진.jpg");
    EXPECT_FALSE(fileParseRequest("PUT 12 not*base64"));
    EXPECT_FALSE(fileParseRequest("PUT 12 " + base64Encode(std::string("\xff\xfe"))));
    EXPECT_FALSE(fileParseRequest("PUT 12"));
    auto neg = fileParseRequest("PUT -5 YQ==");
    ASSERT_TRUE(neg);
    EXPECT_EQ(neg->size, -5);
    auto txt = fileParseRequest("TXT 10 7");
    ASSERT_TRUE(txt);
    EXPECT_EQ(txt->kind, FileRequest::txt);
    EXPECT_EQ(txt->seq, 7);
    EXPECT_FALSE(fileParseRequest("TXT ten 7"));
    auto get = fileParseRequest("GET 4 fast");
    ASSERT_TRUE(get && get->fast && get->id == 4);
    EXPECT_FALSE(fileParseRequest("GET 4")->fast);
    EXPECT_FALSE(fileParseRequest("GET 4 FAST")->fast);
    EXPECT_FALSE(fileParseRequest("get 4"));
    EXPECT_FALSE(fileParseRequest("GET"));
    EXPECT_FALSE(fileParseRequest("PUT 99999999999999999999 YQ=="));
}

// ---- receive ----

struct ReceiveFixture : ::testing::Test {
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    std::string dir = tmp.path + "/Vellomark";
    FileReceive rx{clock, log, dir, tmp.path + "/old/Received"};
};

TEST_F(ReceiveFixture, ShortTransferIsByteIdentical) {
    std::string received;
    rx.fileReceivedHook = [&](const std::string& p) { received = p; };
    auto c = std::make_shared<ScriptConn>();
    std::string body;
    for (int i = 0; i < 5000; ++i) body += static_cast<char>(i * 7);
    c->feed(body.substr(100, 2000));
    c->feed(body.substr(2100) + "SURPLUS");
    rx.fileInRun(c, "a/b.bin", static_cast<int64_t>(body.size()), toBytes(body.substr(0, 100)));
    ASSERT_EQ(c->replies, std::vector<std::string>{"OK"});
    EXPECT_EQ(received, dir + "/a_b.bin");
    EXPECT_EQ(slurp(dir + "/a_b.bin"), body);
    EXPECT_EQ(rx.fileInStatus(), "Received a_b.bin from iPhone");
    clock.advance(10.5);
    EXPECT_EQ(rx.fileInStatus(), "");
}

TEST_F(ReceiveFixture, SizeLimitAndBusyAndUniqueNames) {
    auto big = std::make_shared<ScriptConn>();
    EXPECT_FALSE(rx.fileInStart(big, "x", 2147483649LL, {}));
    EXPECT_EQ(big->replies, std::vector<std::string>{"TOOBIG"});
    EXPECT_FALSE(fs::exists(dir));
    auto neg = std::make_shared<ScriptConn>();
    EXPECT_FALSE(rx.fileInStart(neg, "x", -1, {}));
    EXPECT_EQ(neg->replies, std::vector<std::string>{"TOOBIG"});

    auto first = std::make_shared<ScriptConn>();
    ASSERT_TRUE(rx.fileInStart(first, "a.txt", 2147483648LL, toBytes("12")));
    EXPECT_EQ(rx.fileInStatus(), "Receiving a.txt — 0%");
    auto second = std::make_shared<ScriptConn>();
    EXPECT_FALSE(rx.fileInStart(second, "b.txt", 3, {}));
    EXPECT_EQ(second->replies, std::vector<std::string>{"BUSY"});
    EXPECT_TRUE(first->replies.empty());
    EXPECT_FALSE(fs::exists(dir + "/b.txt"));
    rx.fileInFinish(first, false, "test");
    EXPECT_FALSE(fs::exists(dir + "/a.txt"));

    for (const char* n : {"a.txt", "a.txt", "a", "a"}) {
        auto c = std::make_shared<ScriptConn>();
        rx.fileInRun(c, n, 1, toBytes("z"));
        EXPECT_EQ(c->replies, std::vector<std::string>{"OK"});
    }
    EXPECT_TRUE(fs::exists(dir + "/a.txt"));
    EXPECT_TRUE(fs::exists(dir + "/a 2.txt"));
    EXPECT_TRUE(fs::exists(dir + "/a"));
    EXPECT_TRUE(fs::exists(dir + "/a 2"));
    EXPECT_EQ(rx.fileUniqueURL("a.txt"), dir + "/a 3.txt");
}

TEST_F(ReceiveFixture, FolderAndFileErrors) {
    std::ofstream(tmp.path + "/blocker") << "x";
    FileReceive blocked(clock, log, tmp.path + "/blocker/sub", "");
    auto c = std::make_shared<ScriptConn>();
    EXPECT_FALSE(blocked.fileInStart(c, "a", 1, {}));
    EXPECT_EQ(c->replies, std::vector<std::string>{"ERR Could not create folder"});
    if (::geteuid() != 0) {
        fs::create_directories(dir);
        ::chmod(dir.c_str(), 0500);
        auto d = std::make_shared<ScriptConn>();
        EXPECT_FALSE(rx.fileInStart(d, "a", 1, {}));
        EXPECT_EQ(d->replies, std::vector<std::string>{"ERR Could not create file"});
        ::chmod(dir.c_str(), 0700);
    }
}

// The names in the received folder: hidden ".vellomark-part-…" files.
std::vector<std::string> partsIn(const std::string& dir) {
    std::vector<std::string> parts;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.rfind(kFilePartPrefix, 0) == 0) parts.push_back(it->path().string());
    }
    return parts;
}

TEST_F(ReceiveFixture, StallSweepRemovesPartialFile) {
    auto c = std::make_shared<ScriptConn>();
    ASSERT_TRUE(rx.fileInStart(c, "movie.mov", 1000, toBytes("abc")));
    const std::string path = dir + "/movie.mov";
    EXPECT_FALSE(fs::exists(path)) << "an incomplete file never carries its name";
    ASSERT_EQ(partsIn(dir).size(), 1u);
    clock.advance(30.0);
    rx.fileInSweep();
    EXPECT_EQ(partsIn(dir).size(), 1u) << "exactly 30 s is not yet a stall";
    clock.advance(0.5);
    rx.fileInSweep();
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_TRUE(c->cancelled);
    EXPECT_TRUE(c->replies.empty());
    EXPECT_EQ(rx.fileInStatus(), "movie.mov: not received");
    EXPECT_NE(logText(log).find("30초 동안 진행 없음 (3/1000)"), std::string::npos);
    // The next transfer is accepted again.
    auto d = std::make_shared<ScriptConn>();
    EXPECT_TRUE(rx.fileInStart(d, "next", 5, {}));
}

TEST_F(ReceiveFixture, FileGetsItsNameOnlyWhenComplete) {
    std::string received;
    rx.fileReceivedHook = [&](const std::string& p) { received = p; };
    auto c = std::make_shared<ScriptConn>();
    ASSERT_TRUE(rx.fileInStart(c, "clip.mp4", 10, toBytes("0123")));
    auto parts = partsIn(dir);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(slurp(parts[0]), "0123");
    EXPECT_EQ(rx.fileInStatus(), "Receiving clip.mp4 — 40%");
    // Someone puts a file of that name there meanwhile: it is neither replaced nor lost.
    std::ofstream(dir + "/clip.mp4") << "mine";
    EXPECT_FALSE(rx.fileInChunk(c, toBytes("456789")));
    EXPECT_EQ(c->replies, std::vector<std::string>{"OK"});
    EXPECT_EQ(slurp(dir + "/clip.mp4"), "mine");
    EXPECT_EQ(slurp(dir + "/clip 2.mp4"), "0123456789");
    EXPECT_EQ(received, dir + "/clip 2.mp4");
    EXPECT_TRUE(partsIn(dir).empty());
    EXPECT_NE(logText(log).find("파일 받기 — clip 2.mp4 끝 (10B) → " + dir + "/clip 2.mp4"), std::string::npos);
}

TEST_F(ReceiveFixture, LeftoversOfEarlierRunsAreRemovedAtStart) {
    fs::create_directories(dir);
    const std::string theirs = dir + "/" + kFilePartPrefix + "999999999-0123456789abcdef";
    std::ofstream(theirs) << "cut off by SIGTERM";
    auto c = std::make_shared<ScriptConn>();
    ASSERT_TRUE(rx.fileInStart(c, "now.bin", 10, toBytes("12")));
    std::ofstream(dir + "/.hidden-of-the-user") << "x";
    rx.migrateReceived();
    EXPECT_FALSE(fs::exists(theirs));
    EXPECT_EQ(partsIn(dir).size(), 1u) << "the transfer of this run keeps its part";
    EXPECT_TRUE(fs::exists(dir + "/.hidden-of-the-user"));
    EXPECT_NE(logText(log).find("받다 끊긴 부분 파일 1개를 지웠다"), std::string::npos);
}

TEST_F(ReceiveFixture, NamesFromThePhoneAreEscapedInTheLog) {
    auto c = std::make_shared<ScriptConn>();
    EXPECT_FALSE(rx.fileInStart(c, "a.txt\n12:00:00.000  파일 받기 — forged", 2147483649LL, {}));
    auto busyHolder = std::make_shared<ScriptConn>();
    ASSERT_TRUE(rx.fileInStart(busyHolder, "x\u202Efdp.exe", 5, {}));
    auto second = std::make_shared<ScriptConn>();
    EXPECT_FALSE(rx.fileInStart(second, "b\rc\x1B[2J", 1, {}));
    const std::string l = logText(log);
    EXPECT_NE(l.find("상한 초과 (2147483649B): a.txt\\n12:00:00.000  파일 받기 — forged"), std::string::npos) << l;
    EXPECT_EQ(l.find("\n12:00:00.000  파일 받기 — forged"), std::string::npos);
    EXPECT_NE(l.find("파일 받기 — xfdp.exe (5B) 시작"), std::string::npos) << l;
    EXPECT_NE(l.find("이미 받는 중 — 거절: b\\rc\\x1B[2J"), std::string::npos) << l;
}

TEST_F(ReceiveFixture, ShortStreamIsNotKept) {
    auto c = std::make_shared<ScriptConn>();
    c->feed("half");
    c->feedEof();
    rx.fileInRun(c, "short.bin", 10, {});
    EXPECT_FALSE(fs::exists(dir + "/short.bin"));
    EXPECT_TRUE(partsIn(dir).empty());
    EXPECT_TRUE(c->cancelled);
    EXPECT_NE(logText(log).find("모자란 채 끊김 (4/10)"), std::string::npos);
    auto z = std::make_shared<ScriptConn>();
    rx.fileInRun(z, "empty", 0, {});
    EXPECT_EQ(z->replies, std::vector<std::string>{"OK"});
    EXPECT_EQ(fs::file_size(dir + "/empty"), 0u);
}

TEST_F(ReceiveFixture, MigratesOldFolder) {
    fs::create_directories(tmp.path + "/old/Received");
    std::ofstream(tmp.path + "/old/Received/x.txt") << "old";
    std::ofstream(tmp.path + "/old/Received/.DS_Store") << "";
    fs::create_directories(dir);
    std::ofstream(dir + "/x.txt") << "new";
    rx.migrateReceived();
    EXPECT_EQ(slurp(dir + "/x 2.txt"), "old");
    EXPECT_EQ(slurp(dir + "/x.txt"), "new");
    EXPECT_FALSE(fs::exists(tmp.path + "/old/Received"));
    EXPECT_NE(logText(log).find("받은 파일 1개를 " + dir + " 로 옮겼다"), std::string::npos);
}

// ---- send ----

struct SendFixture : ::testing::Test {
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    PhoneState phone{clock.now()};
    std::shared_ptr<testing::RecordingPeer> peer = std::make_shared<testing::RecordingPeer>(clock.now());
    CtlSender sender{phone, nullptr};
    StepQueue offers{clock};
    StepQueue stream{clock};
    FileSend tx{clock, log, phone, sender, offers, stream};

    void SetUp() override {
        phone.setPhoneConn(peer);
        phone.phoneLastSeen.store(clock.now());
    }
    std::string makeFile(const std::string& name, size_t size) {
        std::string p = tmp.path + "/" + name;
        std::ofstream f(p, std::ios::binary);
        for (size_t i = 0; i < size; ++i) f.put(static_cast<char>(i * 31 + 7));
        return p;
    }
};

TEST_F(SendFixture, OfferIsSentThreeTimesAndDeclineEndsIt) {
    const std::string p = makeFile("photo.jpg", 10);
    const std::string item = tmp.path + "/item";
    fs::create_directories(item);
    tx.fileOfferStart(p, item);
    EXPECT_TRUE(tx.offerBusy());
    const double t0 = clock.now();
    auto dues = offers.dues();
    ASSERT_EQ(dues.size(), 3u);
    EXPECT_DOUBLE_EQ(dues[0] - t0, 0.0);
    EXPECT_NEAR(dues[1] - t0, 0.3, 1e-6);
    EXPECT_NEAR(dues[2] - t0, 0.6, 1e-6);
    offers.drain();
    const std::string line = "FILE 1 10 " + base64Encode(std::string("photo.jpg")) + "\n";
    EXPECT_EQ(peer->lines(), (std::vector<std::string>{line, line, line}));
    EXPECT_EQ(tx.fileSendStatus().second, "Waiting for iPhone to accept photo.jpg…");
    tx.fileDeclined(7);  // another id: ignored
    EXPECT_TRUE(tx.offerBusy());
    tx.fileDeclined(1);
    EXPECT_FALSE(tx.offerBusy());
    EXPECT_EQ(tx.fileSendStatus(), std::make_pair(false, std::string("iPhone declined photo.jpg")));
    EXPECT_FALSE(fs::exists(item));
    clock.advance(10.0);
    EXPECT_EQ(tx.fileSendStatus().second, "");
}

TEST_F(SendFixture, RefusedOffers) {
    const std::string p = makeFile("a.bin", 3);
    const std::string item = tmp.path + "/item";
    fs::create_directories(item);
    tx.fileOfferStart(tmp.path + "/missing", item);
    EXPECT_FALSE(fs::exists(item));
    EXPECT_EQ(tx.phase().kind, FilePhase::idle);

    fs::create_directories(item);
    clock.advance(10.0);  // phone quiet for 10 s
    tx.fileOfferStart(p, item);
    EXPECT_FALSE(fs::exists(item));
    EXPECT_NE(logText(log).find("붙은 폰이 없다: a.bin"), std::string::npos);

    phone.phoneLastSeen.store(clock.now());
    tx.fileOfferStart(p);
    fs::create_directories(item);
    tx.fileOfferStart(p, item);  // second offer while waiting: refused, item kept
    EXPECT_TRUE(fs::exists(item));
    EXPECT_NE(logText(log).find("이미 제안 중이다"), std::string::npos);

    const std::string big = tmp.path + "/big";
    { std::ofstream f(big); }
    fs::resize_file(big, 2147483649ULL);
    tx.fileCancel(false);
    tx.fileOfferStart(big);
    EXPECT_NE(logText(log).find("상한 초과 (2147483649B): big"), std::string::npos);
    fs::resize_file(big, 2147483648ULL);
    tx.fileOfferStart(big);
    EXPECT_TRUE(tx.offerBusy());
}

TEST_F(SendFixture, CancelFromMacAndTimeouts) {
    tx.fileCancel(false);  // nothing pending: nothing sent
    EXPECT_TRUE(peer->lines().empty());
    tx.fileOfferStart(makeFile("doc.pdf", 5));
    tx.fileCancel(false);
    auto lines = peer->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "FILECANCEL 1\n");
    EXPECT_EQ(tx.fileSendStatus().second, "doc.pdf: Cancelled");

    tx.fileOfferStart(makeFile("doc.pdf", 5));
    clock.advance(120.0);
    tx.fileSweep();
    EXPECT_TRUE(tx.offerBusy());
    clock.advance(0.5);
    tx.fileSweep();
    EXPECT_EQ(tx.fileSendStatus().second, "doc.pdf: No answer from iPhone");

    phone.phoneLastSeen.store(clock.now());
    tx.fileOfferStart(makeFile("doc.pdf", 5));
    auto conn = std::make_shared<ScriptConn>();
    tx.fileGet(conn, 3, false);
    EXPECT_EQ(tx.phase().kind, FilePhase::sending);
    tx.fileDeclined(3);  // too late: the phone is fetching
    EXPECT_EQ(tx.phase().kind, FilePhase::sending);
    auto again = std::make_shared<ScriptConn>();
    tx.fileGet(again, 3, true);
    EXPECT_TRUE(again->cancelled);
    clock.advance(30.5);
    tx.fileSweep();
    EXPECT_EQ(tx.fileSendStatus().second, "doc.pdf: Connection lost");
    EXPECT_TRUE(conn->cancelled);
}

TEST_F(SendFixture, StreamsWholeFileFastAndReportsProgress) {
    const std::string p = makeFile("clip.bin", 1000000);
    tx.fileOfferStart(p);
    auto conn = std::make_shared<ScriptConn>();
    tx.fileGet(conn, 1, true);
    phone.phoneWantsScreen.store(true);
    const double start = clock.now();
    stream.drain(1);
    // Unpaced, a step is 256 KiB.
    EXPECT_EQ(tx.fileSendStatus().second, "Sending clip.bin — 26% (262 KB of 1.0 MB)");
    stream.drain();
    EXPECT_EQ(clock.now(), start) << "fast mode does not pace";
    EXPECT_EQ(conn->written, slurp(p));
    EXPECT_TRUE(conn->finished);
    EXPECT_EQ(tx.fileSendStatus().second, "Sent clip.bin");
    EXPECT_NE(logText(log).find("#1 clip.bin 끝 (1000000B)"), std::string::npos);
}

TEST_F(SendFixture, SlowModePacesWhileThePhoneWatches) {
    const std::string p = makeFile("big.bin", 10000000);
    tx.fileOfferStart(p);
    phone.phoneWantsScreen.store(true);
    auto conn = std::make_shared<ScriptConn>();
    tx.fileGet(conn, 1, false);
    const double start = clock.now();
    stream.drain(1);
    EXPECT_EQ(tx.sentBytes(), 32768) << "paced steps stay small";
    stream.drain();
    EXPECT_GE(clock.now() - start, 10000000 / 312500.0 - 32768 / 312500.0);
    EXPECT_EQ(conn->written.size(), 10000000u);
    EXPECT_EQ(tx.phase().kind, FilePhase::sent);
    // The schedule itself: 10 MB take at least 32 s.
    double next = 0;
    for (size_t left = 10000000; left > 0;) {
        size_t n = std::min<size_t>(left, kFileChunk);
        next = fileNextAt(FileMode::slow, true, 0, next, n);
        left -= n;
    }
    EXPECT_GE(next, 32.0 - 1e-9);
    EXPECT_EQ(fileNextAt(FileMode::slow, false, 5, 100, 32768), 5);
    EXPECT_EQ(fileNextAt(FileMode::fast, true, 5, 100, 32768), 5);
    EXPECT_DOUBLE_EQ(fileNextAt(FileMode::slow, true, 200, 100, 31250), 200.1) << "idle time is not banked";
}

TEST_F(SendFixture, EmptyFileAndSendFailure) {
    tx.fileOfferStart(makeFile("empty", 0));
    auto conn = std::make_shared<ScriptConn>();
    tx.fileGet(conn, 1, true);
    stream.drain();
    EXPECT_TRUE(conn->written.empty());
    EXPECT_TRUE(conn->finished);
    EXPECT_EQ(tx.fileSendStatus().second, "Sent empty");

    tx.fileOfferStart(makeFile("x.bin", 100));
    auto broken = std::make_shared<ScriptConn>();
    broken->failWrites = true;
    tx.fileGet(broken, 2, true);
    stream.drain();
    EXPECT_TRUE(broken->cancelled);
    EXPECT_EQ(tx.fileSendStatus().second, "x.bin: Connection lost");
    EXPECT_NE(logText(log).find("#2 보내다 끊김: broken pipe"), std::string::npos);

    tx.fileOfferStart(makeFile("gone.bin", 100));
    fs::remove(tmp.path + "/gone.bin");
    auto c3 = std::make_shared<ScriptConn>();
    tx.fileGet(c3, 3, true);
    EXPECT_TRUE(c3->cancelled);
    EXPECT_EQ(tx.fileSendStatus().second, "gone.bin: Could not open file");
}

TEST_F(SendFixture, PhoneGoneMidTransferIsAFailedConnection) {
    tx.fileOfferStart(makeFile("x.bin", 1000000));
    auto conn = std::make_shared<ScriptConn>();
    tx.fileGet(conn, 1, true);
    stream.drain(1);
    ASSERT_TRUE(tx.offerBusy());
    conn->failWrites = true;
    conn->dropped = true;
    stream.drain();
    EXPECT_TRUE(conn->cancelled);
    EXPECT_EQ(tx.fileSendStatus().second, "x.bin: Connection lost");
    const std::string l = logText(log);
    EXPECT_NE(l.find("파일 보내기 — 전송 중 끊김: Connection reset by peer"), std::string::npos) << l;
    EXPECT_EQ(l.find("보내다 끊김"), std::string::npos);
}

TEST(FileByteCount, FileStyle) {
    EXPECT_EQ(fileByteCount(0), "Zero KB");
    EXPECT_EQ(fileByteCount(1), "1 byte");
    EXPECT_EQ(fileByteCount(999), "999 bytes");
    EXPECT_EQ(fileByteCount(32768), "33 KB");
    EXPECT_EQ(fileByteCount(10000000), "10.0 MB");
    EXPECT_EQ(fileByteCount(2147483648LL), "2.15 GB");
}

// ---- long texts ----

struct TextFixture : ::testing::Test {
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    std::vector<int64_t> seqs;
    std::vector<std::string> typed;
    LongText text{LongTextDeps{clock, log,
                               [this](int64_t s) {
                                   if (std::find(seqs.begin(), seqs.end(), s) != seqs.end()) return false;
                                   seqs.push_back(s);
                                   return true;
                               },
                               [this](const std::string& t) { typed.push_back(t); }, nullptr}};
};

TEST_F(TextFixture, Limits) {
    for (int64_t size : {0LL, -3LL, 1048577LL}) {
        auto c = std::make_shared<ScriptConn>();
        text.textInStart(c, size, 1, {});
        EXPECT_EQ(c->replies, std::vector<std::string>{"TOOBIG"}) << size;
    }
    auto c = std::make_shared<ScriptConn>();
    const std::string big(1048576, 'k');
    c->feed(big.substr(1000));
    text.textInStart(c, 1048576, 2, toBytes(big.substr(0, 1000)));
    EXPECT_EQ(c->replies, std::vector<std::string>{"OK"});
    ASSERT_EQ(typed.size(), 1u);
    EXPECT_EQ(typed[0].size(), 1048576u);
}

TEST_F(TextFixture, RepeatsAreEnteredOnce) {
    const std::string t = "첫 줄\n둘째 줄";
    auto a = std::make_shared<ScriptConn>();
    text.textInStart(a, static_cast<int64_t>(t.size()), 9, toBytes(t));
    auto b = std::make_shared<ScriptConn>();
    text.textInStart(b, static_cast<int64_t>(t.size()), 9, toBytes(t));
    EXPECT_EQ(a->replies, std::vector<std::string>{"OK"});
    EXPECT_EQ(b->replies, std::vector<std::string>{"OK"});
    EXPECT_EQ(typed, std::vector<std::string>{t});
    const auto l = logText(log);
    EXPECT_NE(l.find("긴 글 #9 받음 — 8자 ("), std::string::npos);
    EXPECT_NE(l.find("긴 글 #9 — 이미 친 것, 건너뛴다"), std::string::npos);
    EXPECT_EQ(l.find("둘째"), std::string::npos) << "the text never goes to the log";
}

TEST_F(TextFixture, SlowCutOffAndBadUtf8) {
    auto slow = std::make_shared<ScriptConn>();
    slow->feed("ab");
    slow->feed("cd");
    slow->beforeRead = [this] { clock.advance(8.0); };
    text.textInStart(slow, 10, 1, {});
    EXPECT_TRUE(slow->cancelled);
    EXPECT_TRUE(slow->replies.empty());
    EXPECT_NE(logText(log).find("너무 느리다, 닫는다 (4/10B)"), std::string::npos);

    // A read that completes the text counts whatever the time.
    auto late = std::make_shared<ScriptConn>();
    late->feed("abcdefghij");
    late->beforeRead = [this] { clock.advance(20.0); };
    text.textInStart(late, 10, 2, {});
    EXPECT_EQ(late->replies, std::vector<std::string>{"OK"});

    auto cut = std::make_shared<ScriptConn>();
    cut->feed("abc");
    cut->feedEof();
    text.textInStart(cut, 10, 3, {});
    EXPECT_NE(logText(log).find("긴 글 받기 — 끊겼다 (3/10B)"), std::string::npos);

    auto bad = std::make_shared<ScriptConn>();
    text.textInStart(bad, 2, 4, toBytes("a\xEA"));
    EXPECT_EQ(bad->replies, std::vector<std::string>{"ERR Not UTF-8"});
    EXPECT_EQ(typed, std::vector<std::string>{"abcdefghij"});
}

TEST_F(TextFixture, EntersOnTheMainQueueBeforeAnswering) {
    MainQueue main;
    std::atomic<bool> typedOnMain{false};
    LongText onMain{LongTextDeps{clock, log, [](int64_t) { return true; },
                                 [&](const std::string&) { typedOnMain = main.isCurrent(); }, &main}};
    auto c = std::make_shared<ScriptConn>();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        onMain.textInStart(c, 2, 1, toBytes("hi"));
        done = true;
    });
    main.adoptCurrentThread();
    for (int i = 0; i < 500 && !done.load(); ++i) main.spinRunLoop(0.01);
    worker.join();
    EXPECT_TRUE(typedOnMain.load());
    EXPECT_EQ(c->replies, std::vector<std::string>{"OK"});
}

}  // namespace
}  // namespace vm
