// vellomark-share: the status check, its texts and the outbox items it builds, on real files.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/log.h"
#include "control/phone_state.h"
#include "files/outbox.h"
#include "platform/group_paths.h"
#include "share/share.h"
#include "support/fake_peer.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace vm;

using vm::testing::TempDir;
using vm::testing::readAll;
using vm::testing::countOf;

namespace {

class ShareToolTest : public ::testing::Test {
protected:
    TempDir tmp;
    std::string group = tmp.path + "/group";
    std::string outbox = group + "/outbox";
    const double now = 1'800'000'000.0;

    void SetUp() override { fs::create_directories(group); }
    void writeStatus(const std::string& text) { std::ofstream(group + "/status.json") << text; }
    void connectedAt(double at) {
        writeStatus(R"({"phone":"Mina","connected":true,"at":)" + std::to_string(at) + "}");
    }
    std::string makeFile(const std::string& name, size_t bytes, char fill = 'x') {
        const std::string p = tmp.path + "/" + name;
        std::ofstream(p, std::ios::binary) << std::string(bytes, fill);
        return p;
    }
    std::vector<fs::path> outboxEntries() {
        std::vector<fs::path> v;
        for (const auto& e : fs::directory_iterator(outbox)) v.push_back(e.path());
        return v;
    }
};

TEST_F(ShareToolTest, StatusFreshnessAndConnectedFlag) {
    const std::string file = makeFile("a.txt", 3);

    connectedAt(now - 29.9);
    EXPECT_TRUE(share::shareFiles(group, {file}, now).ok);

    connectedAt(now - 30.0);
    auto r = share::shareFiles(group, {file}, now);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "iPhone not connected.\nOpen Vellomark on your iPhone and connect to this Mac, then share again.");

    const std::vector<std::string> notConnected = {
        R"({"phone":"Mina","connected":"true","at":)" + std::to_string(now) + "}",  // a string is not the boolean
        R"({"phone":"Mina","connected":false,"at":)" + std::to_string(now) + "}",
        R"({"phone":"Mina","connected":1,"at":)" + std::to_string(now) + "}",
        R"({"phone":"Mina","connected":true,"at":")" + std::to_string(now) + "\"}",  // "at" must be a number
        R"({"phone":"Mina","connected":true})",
        R"([true])",
        R"({"connected":true,"at":)",
        "",
    };
    for (const auto& text : notConnected) {
        writeStatus(text);
        r = share::shareFiles(group, {file}, now);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_EQ(r.message, share::kTextNotConnected) << text;
    }
    fs::remove(group + "/status.json");
    EXPECT_EQ(share::shareFiles(group, {file}, now).message, share::kTextNotConnected);

    // Only the two accepted shares made items.
    EXPECT_EQ(outboxEntries().size(), 1u);
}

TEST_F(ShareToolTest, MissingGroupFolderMeansNotSetUp) {
    const auto r = share::shareFiles(tmp.path + "/no-such-group", {makeFile("a", 1)}, now);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Vellomark isn’t set up on this Mac.");
}

TEST_F(ShareToolTest, ItemIsAUuidFolderHoldingTheCopy) {
    connectedAt(now);
    const std::string file = makeFile("photo 1.jpg", 1000, 'q');
    const auto r = share::shareFiles(group, {file}, now);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sent, 1);
    EXPECT_EQ(r.skipped, 0);
    const auto entries = outboxEntries();
    ASSERT_EQ(entries.size(), 1u);  // no ".tmp-" folder left behind
    const std::string name = entries[0].filename().string();
    EXPECT_EQ(name.size(), 36u);
    EXPECT_EQ(name[0] == '.', false);
    EXPECT_EQ(r.items, std::vector<std::string>{entries[0].string()});
    ASSERT_TRUE(fs::is_directory(entries[0]));
    std::vector<std::string> inside;
    for (const auto& e : fs::directory_iterator(entries[0])) inside.push_back(e.path().filename().string());
    EXPECT_EQ(inside, std::vector<std::string>{"photo 1.jpg"});
    EXPECT_EQ(readAll(entries[0].string() + "/photo 1.jpg"), std::string(1000, 'q'));
    EXPECT_TRUE(fs::exists(file));  // the original stays
}

TEST_F(ShareToolTest, TwoFilesMakeTwoItems) {
    connectedAt(now);
    const auto r = share::shareFiles(group, {makeFile("one", 1), makeFile("two", 2)}, now);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.sent, 2);
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_NE(r.items[0], r.items[1]);
    EXPECT_TRUE(fs::exists(r.items[0] + "/one"));
    EXPECT_TRUE(fs::exists(r.items[1] + "/two"));
}

TEST_F(ShareToolTest, FoldersAndOversizedFilesAreSkipped) {
    connectedAt(now);
    const std::string folder = tmp.path + "/folder";
    fs::create_directories(folder);

    auto r = share::shareFiles(group, {folder}, now);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Nothing sent — folders and files over 2 GB can’t be sent.");

    r = share::shareFiles(group, {folder, makeFile("small", 5)}, now);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.message, "");
    EXPECT_EQ(r.sent, 1);
    EXPECT_EQ(r.skipped, 1);

    // The limit is inclusive: exactly the limit is copied, one byte more is skipped.
    EXPECT_EQ(share::kMaxShareBytes, 2147483648ULL);
    r = share::shareFiles(group, {makeFile("exact", 100)}, now, 100);
    EXPECT_TRUE(r.ok);
    r = share::shareFiles(group, {makeFile("over", 101)}, now, 100);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, share::kTextAllSkipped);

    r = share::shareFiles(group, {tmp.path + "/does-not-exist"}, now);
    EXPECT_EQ(r.message, share::kTextAllSkipped);
}

TEST_F(ShareToolTest, NothingToSend) {
    connectedAt(now);
    auto r = share::shareFiles(group, {}, now);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, "Nothing to send.");
    // A web page is not a file at all: nothing to send, not a skipped file.
    for (const char* url : {"http://example.com/page", "https://example.com/a%20b?x=1", "HTTPS://x.y/",
                            "ftp://host/file.txt", "file://otherhost/tmp/x"}) {
        r = share::shareFiles(group, {url}, now);
        EXPECT_EQ(r.message, share::kTextNothing) << url;
    }
    // Next to a real file the URL is passed over and the file goes.
    r = share::shareFiles(group, {"https://example.com/", makeFile("real.txt", 4)}, now);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.skipped, 0);
}

TEST_F(ShareToolTest, FailedItemLeavesNoTrace) {
    connectedAt(now);
    // An outbox that is a plain file cannot take items.
    std::ofstream(outbox) << "in the way";
    const auto r = share::shareFiles(group, {makeFile("a", 1)}, now);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, share::kTextAllSkipped);
    for (const auto& e : fs::directory_iterator(group))
        EXPECT_NE(e.path().filename().string().rfind(".tmp-", 0), 0u) << e.path();
}

TEST(ShareToolUuid, StandardFormAndFresh) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        const std::string u = share::newUuid();
        ASSERT_EQ(u.size(), 36u) << u;
        for (size_t k : {8u, 13u, 18u, 23u}) EXPECT_EQ(u[k], '-') << u;
        EXPECT_EQ(u[14], '4') << u;  // random (version 4)
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(ShareToolArguments, FileUrlsBecomePaths) {
    EXPECT_EQ(share::argumentPath("/home/a/b c.txt"), "/home/a/b c.txt");
    EXPECT_EQ(share::argumentPath("file:///home/a/b%20c.txt"), "/home/a/b c.txt");
    EXPECT_EQ(share::argumentPath("file://localhost/tmp/x"), "/tmp/x");
    EXPECT_EQ(share::argumentPath("file://otherhost/tmp/x"), "");
    EXPECT_EQ(share::argumentPath("file:///tmp/%00x"), "");
    EXPECT_EQ(share::argumentPath("https://example.com/x"), "");
    // A colon alone does not make a URL.
    EXPECT_EQ(share::argumentPath("notes:v2.txt"), "notes:v2.txt");
    EXPECT_EQ(share::argumentPath("/tmp/a://b"), "/tmp/a://b");
}

// The tool's item is what the agent's sweep offers: the copied file inside the new folder.
TEST(ShareToolWithAgent, SharedFileIsOfferedByTheOutbox) {
    TempDir tmp;
    FakeClock clock(SystemClock().now());  // items are dated by the file system
    Logger log(tmp.path + "/logs", clock);
    PhoneState phone(clock.now());
    phone.setPhoneConn(std::make_shared<vm::testing::RecordingPeer>(clock.now()));
    phone.setPhoneName("Mina");
    std::vector<std::pair<std::string, std::string>> offers;
    const std::string group = tmp.path + "/group";
    Outbox agent(
        clock, log, phone, group,
        [&](const std::string& path, const std::string& item) { offers.emplace_back(path, item); },
        [] { return false; });
    agent.fileStatusSweep();

    const std::string file = tmp.path + "/notes.txt";
    std::ofstream(file) << "hello phone";
    const auto r = share::shareFiles(group, {file}, clock.now() + 1.0);
    ASSERT_TRUE(r.ok) << r.message;
    agent.fileOutboxSweep();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].second, r.items[0]);
    EXPECT_EQ(readAll(offers[0].first), "hello phone");

    // Unsent for ten minutes: the agent gives up on it.
    clock.advance(601.0);
    agent.fileOutboxSweep();
    EXPECT_FALSE(fs::exists(r.items[0]));
}

}  // namespace
