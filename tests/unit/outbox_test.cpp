// The app-group status file and outbox sweep, driven by a fake clock over real folders.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "base/log.h"
#include "control/phone_state.h"
#include "files/outbox.h"
#include "support/fake_peer.h"
#include "support/test_files.h"

namespace fs = std::filesystem;
using namespace vm;

using vm::testing::TempDir;
using vm::testing::readAll;
using vm::testing::countOf;

namespace {

class OutboxTest : public ::testing::Test {
protected:
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    PhoneState phone{clock.now()};
    std::string group = tmp.path + "/group";
    std::vector<std::pair<std::string, std::string>> offers;  // (file path, item folder)
    bool busy = false;
    std::map<std::string, double> created;  // item name -> creation time
    Outbox outbox{clock,
                  log,
                  phone,
                  group,
                  [this](const std::string& path, const std::string& item) { offers.emplace_back(path, item); },
                  [this] { return busy; },
                  [this](const std::string& path) -> std::optional<double> {
                      auto it = created.find(fs::path(path).filename().string());
                      if (it == created.end()) return std::nullopt;
                      return it->second;
                  }};

    void connect(const std::string& name = "Mina's iPhone") {
        phone.setPhoneConn(std::make_shared<vm::testing::RecordingPeer>(clock.now()));
        phone.phoneLastSeen.store(clock.now());
        phone.setPhoneName(name);
    }
    void heard() { phone.phoneLastSeen.store(clock.now()); }
    nlohmann::json status() { return nlohmann::json::parse(readAll(outbox.statusFile())); }

    // An item folder holding one file, created `age` seconds ago.
    std::string addItem(const std::string& name, const std::string& file, double age) {
        const std::string dir = outbox.outboxDir() + "/" + name;
        fs::create_directories(dir);
        if (!file.empty()) std::ofstream(dir + "/" + file) << "payload of " << file;
        created[name] = clock.now() - age;
        return dir;
    }
    std::string logText() { return readAll(log.cursorLogPath()); }
};

TEST_F(OutboxTest, StatusFileIsCompactAtomicAndPrivate) {
    connect("Mina's iPhone");
    outbox.fileStatusSweep();
    const std::string text = readAll(outbox.statusFile());
    const auto j = nlohmann::json::parse(text);
    EXPECT_EQ(text, j.dump());  // compact: exactly what a plain dump gives, no blanks or line breaks
    ASSERT_TRUE(j.is_object());
    EXPECT_EQ(j.size(), 3u);
    EXPECT_EQ(j["phone"], "Mina's iPhone");
    EXPECT_EQ(j["connected"], true);
    EXPECT_DOUBLE_EQ(j["at"].get<double>(), clock.now());
    EXPECT_TRUE(fs::is_directory(outbox.outboxDir()));

    struct stat st {};
    ASSERT_EQ(::stat(outbox.statusFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u) << "the status file must not be readable by others";
    // Only the status file and the outbox remain: no temporary left behind.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(group)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"outbox", "status.json"}));
}

TEST_F(OutboxTest, StatusRewriteCadenceAndChanges) {
    connect();
    const double t0 = clock.now();
    outbox.fileStatusSweep();
    // Unchanged: the file keeps its "at" until more than 10 s have passed, then is rewritten.
    for (int s = 1; s <= 10; ++s) {
        clock.advance(1.0);
        heard();
        outbox.fileStatusSweep();
        EXPECT_DOUBLE_EQ(status()["at"].get<double>(), t0) << "after " << s << " s";
    }
    clock.advance(1.0);
    heard();
    outbox.fileStatusSweep();
    EXPECT_DOUBLE_EQ(status()["at"].get<double>(), t0 + 11.0);

    // A new name shows on the next pass.
    clock.advance(1.0);
    heard();
    phone.setPhoneName("Other");
    outbox.fileStatusSweep();
    EXPECT_EQ(status()["phone"], "Other");

    // A disconnect shows on the next pass.
    clock.advance(1.0);
    phone.setPhoneConn(nullptr);
    outbox.fileStatusSweep();
    EXPECT_EQ(status()["connected"], false);
    EXPECT_DOUBLE_EQ(status()["at"].get<double>(), clock.now());
}

TEST_F(OutboxTest, PhoneSilentForTenSecondsCountsAsDisconnected) {
    connect();
    clock.advance(9.9);
    outbox.fileStatusSweep();
    EXPECT_EQ(status()["connected"], true);
    clock.advance(0.1);
    outbox.fileStatusSweep();
    EXPECT_EQ(status()["connected"], false);
}

TEST_F(OutboxTest, NameThatIsNotUtf8StillWritesTheStatus) {
    connect(std::string("bad \xff\xfe name"));
    EXPECT_NO_THROW(outbox.fileStatusSweep());
    EXPECT_EQ(status()["connected"], true);
}

TEST_F(OutboxTest, OffersOldestFirstAndOneAtATime) {
    connect();
    outbox.fileStatusSweep();
    const std::string second = addItem("B-second", "two.txt", 1.0);
    const std::string first = addItem("A-first", "one.txt", 2.0);

    outbox.fileOutboxSweep();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].first, first + "/one.txt");
    EXPECT_EQ(offers[0].second, first);
    EXPECT_NE(logText().find("보낼함 — one.txt 를 폰에 제안한다\n"), std::string::npos);

    // While that offer is pending nothing else is offered.
    busy = true;
    clock.advance(1.0);
    heard();
    outbox.fileOutboxSweep();
    EXPECT_EQ(offers.size(), 1u);
    EXPECT_TRUE(fs::exists(second));

    // The send room ends the offer and deletes its item; the next goes out.
    fs::remove_all(first);
    busy = false;
    clock.advance(1.0);
    heard();
    outbox.fileOutboxSweep();
    ASSERT_EQ(offers.size(), 2u);
    EXPECT_EQ(offers[1].first, second + "/two.txt");
}

TEST_F(OutboxTest, NothingOfferedWithoutPhoneButItemsStay) {
    const std::string item = addItem("item", "a.txt", 5.0);
    outbox.fileOutboxSweep();  // no connection at all
    connect();
    clock.advance(10.0);  // connection but silent for 10 s
    outbox.fileOutboxSweep();
    EXPECT_TRUE(offers.empty());
    EXPECT_TRUE(fs::exists(item));
    heard();
    outbox.fileOutboxSweep();
    EXPECT_EQ(offers.size(), 1u);
}

TEST_F(OutboxTest, ItemsOlderThanTenMinutesAreDeletedEvenWhenConnected) {
    connect();
    const std::string old = addItem("old", "stale.txt", 600.5);
    const std::string young = addItem("young", "fresh.txt", 599.5);
    busy = true;  // keep the young one from being offered; expiry does not wait for it
    outbox.fileOutboxSweep();
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(young));
    EXPECT_NE(logText().find("보낼함 — 10분 넘게 못 보낸 항목을 지운다: old\n"), std::string::npos);

    // Disconnected: still aged out.
    phone.setPhoneConn(nullptr);
    clock.advance(1.0);
    outbox.fileOutboxSweep();
    EXPECT_FALSE(fs::exists(young));
    EXPECT_TRUE(offers.empty());
}

TEST_F(OutboxTest, MalformedEntriesAreDeleted) {
    connect();
    fs::create_directories(outbox.outboxDir());
    const std::string plain = outbox.outboxDir() + "/plain.txt";
    std::ofstream(plain) << "not an item";
    // A link to a folder is not an item either; the link goes, its target stays.
    const std::string target = tmp.path + "/elsewhere";
    fs::create_directories(target);
    std::ofstream(target + "/keep.txt") << "keep";
    fs::create_directory_symlink(target, outbox.outboxDir() + "/link");

    outbox.fileOutboxSweep();
    EXPECT_FALSE(fs::exists(plain));
    EXPECT_FALSE(fs::is_symlink(outbox.outboxDir() + "/link"));
    EXPECT_TRUE(fs::exists(target + "/keep.txt"));
    EXPECT_TRUE(offers.empty());
}

TEST_F(OutboxTest, EmptyItemIsDeletedWhenItsTurnComes) {
    connect();
    const std::string empty = addItem("empty", "", 3.0);
    const std::string hiddenOnly = addItem("hidden-only", "", 2.0);
    std::ofstream(hiddenOnly + "/.DS_Store") << "x";
    const std::string good = addItem("good", "real.txt", 1.0);

    outbox.fileOutboxSweep();  // the empty one is oldest: deleted, no offer this pass
    EXPECT_FALSE(fs::exists(empty));
    EXPECT_TRUE(offers.empty());
    outbox.fileOutboxSweep();  // a folder with only hidden names has no file either
    EXPECT_FALSE(fs::exists(hiddenOnly));
    EXPECT_TRUE(offers.empty());
    outbox.fileOutboxSweep();
    ASSERT_EQ(offers.size(), 1u);
    EXPECT_EQ(offers[0].first, good + "/real.txt");
}

TEST_F(OutboxTest, LinkAsTheItemsFileIsNotOffered) {
    connect();
    const std::string item = addItem("item", "", 1.0);
    std::ofstream(tmp.path + "/secret") << "secret";
    fs::create_symlink(tmp.path + "/secret", item + "/secret");
    outbox.fileOutboxSweep();
    EXPECT_TRUE(offers.empty());
    EXPECT_FALSE(fs::exists(item));
    EXPECT_TRUE(fs::exists(tmp.path + "/secret"));
}

TEST_F(OutboxTest, HiddenFoldersAreNeverTakenNorTouched) {
    connect();
    const std::string building = addItem(".tmp-0b5f7a5e-1111-4222-8333-444455556666", "half.bin", 5000.0);
    const std::string hidden = addItem(".hidden", "x.txt", 1.0);
    outbox.fileOutboxSweep();
    EXPECT_TRUE(offers.empty());
    EXPECT_TRUE(fs::exists(building + "/half.bin"));
    EXPECT_TRUE(fs::exists(hidden));
}

TEST(OutboxCreationTime, FreshFolderIsDatedNow) {
    TempDir tmp;
    const std::string dir = tmp.path + "/item";
    const double before = SystemClock().now();
    fs::create_directory(dir);
    const auto t = Outbox::folderCreationTime(dir);
    ASSERT_TRUE(t.has_value());
    // File-system time stamps are coarse; allow a little slack either side.
    EXPECT_GT(*t, before - 1.0);
    EXPECT_LT(*t, SystemClock().now() + 1.0);
    EXPECT_FALSE(Outbox::folderCreationTime(tmp.path + "/missing").has_value());
}

TEST(OutboxThread, GroupThreadSweepsUnderItsName) {
    TempDir tmp;
    FakeClock clock;
    Logger log(tmp.path + "/logs", clock);
    PhoneState phone(clock.now());
    phone.setPhoneConn(std::make_shared<vm::testing::RecordingPeer>(clock.now()));
    std::atomic<int> offered{0};
    bool sawName = false;
    {
        Outbox outbox(
            clock, log, phone, tmp.path + "/group", [&](const std::string&, const std::string&) { ++offered; },
            [] { return false; });
        outbox.start();
        outbox.start();  // a second start is harmless
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline && !(sawName && fs::exists(outbox.statusFile()))) {
            for (const auto& task : fs::directory_iterator("/proc/self/task")) {
                if (readAll((task.path() / "comm").string()) == "vellomark.group\n") sawName = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }  // destruction stops and joins the thread
    EXPECT_TRUE(sawName);
    EXPECT_TRUE(fs::exists(tmp.path + "/group/status.json"));
    EXPECT_EQ(offered.load(), 0);
}

}  // namespace
