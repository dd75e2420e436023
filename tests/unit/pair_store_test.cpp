// The pair store: its file, identities and key tags, migration of old files,
// listing and removing phones, cleaning names, and what it does with files it
// cannot read or write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/clock.h"
#include "base/log.h"
#include "integration/process_helper.h"
#include "pairing/pair_store.h"

using namespace vmtest;
using namespace vm;
using nlohmann::json;

namespace {

Bytes keyOf(uint8_t seed) {
    Bytes k(32);
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed + i);
    return k;
}

PairRecord record(const std::string& name, uint8_t seed, double pairedAt) { return {name, keyOf(seed), pairedAt}; }

std::string identity(const std::string& phoneID, const Bytes& key) { return phoneID + "." + pskTag(key); }

struct timespec mtimeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Pushes the file's modification time into the past, so that any rewrite shows.
void ageFile(const std::string& path) {
    struct timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class PairStoreTest : public ::testing::Test {
protected:
    TempDir tmp{"vellomark-pairs"};
    FakeClock clock;
    Logger log{tmp.path() + "/logs", clock};
    std::string supportDir() const { return tmp.path() + "/support/vellomark"; }
    std::string path() const { return supportDir() + "/pairings.json"; }
    std::string storePath() const { return PairStore::pathIn(supportDir()); }
    std::string logText() const { return fileText(tmp.path() + "/logs/inputd.log"); }
    void writeStore(const std::string& text) {
        fs::create_directories(supportDir());
        writeFile(path(), text);
    }
    json fileJson() const { return json::parse(fileText(path())); }
};

TEST(PskTag, IsTheStartOfSha256OverLabelAndKey) {
    // Reference values from `openssl dgst -sha256` over "vellomark-keytag" followed by the key.
    Bytes ascending(32);
    for (size_t i = 0; i < 32; ++i) ascending[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(pskTag(ascending), "3d4fccb48e6a");
    EXPECT_EQ(pskTag(Bytes(32, 0xff)), "81939793b59f");
}

TEST_F(PairStoreTest, PathCreatesAPrivateFolder) {
    const std::string p = PairStore::pathIn(supportDir());
    EXPECT_EQ(p, path());
    EXPECT_EQ(fileMode(supportDir()), 0700);
    // A folder left open by someone else is closed again.
    ::chmod(supportDir().c_str(), 0755);
    PairStore::pathIn(supportDir());
    EXPECT_EQ(fileMode(supportDir()), 0700);
}

TEST_F(PairStoreTest, MissingFileIsAnEmptyStore) {
    PairStore store(PairStore::pathIn(supportDir()), log);
    EXPECT_EQ(store.count(), 0u);
    EXPECT_TRUE(store.phones().empty());
    EXPECT_FALSE(fs::exists(path()));
    EXPECT_NE(logText().find("  짝짓기 기록 0개 — " + path() + "\n"), std::string::npos) << logText();
}

TEST_F(PairStoreTest, InsertWritesAPrivateFileInReferenceDateSeconds) {
    PairStore store(PairStore::pathIn(supportDir()), log);
    const double pairedAt = kReferenceDateOffset + 790'000'000.25;  // 2026-01-14
    const std::string id = identity("phone-1", keyOf(1));
    store.insert(id, record("Kim's iPhone", 1, pairedAt));

    EXPECT_EQ(fileMode(path()), 0600);
    EXPECT_EQ(fileMode(supportDir()), 0700);
    json j = fileJson();
    ASSERT_TRUE(j.is_object());
    ASSERT_EQ(j.size(), 1u);
    ASSERT_TRUE(j.contains(id));
    EXPECT_EQ(j[id]["name"], "Kim's iPhone");
    EXPECT_EQ(j[id]["psk"], base64Encode(keyOf(1)));
    EXPECT_DOUBLE_EQ(j[id]["pairedAt"].get<double>(), 790'000'000.25);

    PairStore again(path(), log);
    ASSERT_EQ(again.count(), 1u);
    EXPECT_TRUE(again.contains(id));
    EXPECT_EQ(again.name("phone-1"), "Kim's iPhone");
    auto psks = again.pskList();
    ASSERT_EQ(psks.size(), 1u);
    EXPECT_EQ(psks[0].first, id);
    EXPECT_EQ(psks[0].second, keyOf(1));
    EXPECT_DOUBLE_EQ(again.phones().at(0).pairedAt, pairedAt);
    EXPECT_NE(logText().find("짝짓기 기록 1개 — " + path() + "\n"), std::string::npos);
}

TEST_F(PairStoreTest, InsertUnderTheSameIdentityReplaces) {
    PairStore store(storePath(), log);
    const std::string id = identity("p", keyOf(1));
    store.insert(id, record("old", 1, 10));
    store.insert(id, record("new", 1, 20));
    EXPECT_EQ(store.count(), 1u);
    EXPECT_EQ(store.name("p"), "new");
    EXPECT_EQ(fileJson()[id]["name"], "new");
}

TEST_F(PairStoreTest, UntaggedIdentitiesAreMigratedOnceAndThenLeftAlone) {
    const double at = 700'000'000.5;
    json old = {{"phoneA", {{"name", "A"}, {"psk", base64Encode(keyOf(1))}, {"pairedAt", at}}},
                {"phoneB." + pskTag(keyOf(2)), {{"name", "B"}, {"psk", base64Encode(keyOf(2))}, {"pairedAt", at}}}};
    writeStore(old.dump());

    PairStore first(path(), log);
    EXPECT_EQ(first.count(), 2u);
    EXPECT_TRUE(first.contains("phoneA." + pskTag(keyOf(1))));
    EXPECT_FALSE(first.contains("phoneA"));
    EXPECT_TRUE(first.contains("phoneB." + pskTag(keyOf(2))));

    json rewritten = fileJson();
    EXPECT_EQ(rewritten.size(), 2u);
    EXPECT_TRUE(rewritten.contains("phoneA." + pskTag(keyOf(1))));
    EXPECT_FALSE(rewritten.contains("phoneA"));
    EXPECT_DOUBLE_EQ(rewritten["phoneA." + pskTag(keyOf(1))]["pairedAt"].get<double>(), at);
    EXPECT_EQ(fileMode(path()), 0600);

    const std::string bytes = fileText(path());
    ageFile(path());
    const auto before = mtimeOf(path());
    PairStore second(path(), log);
    EXPECT_EQ(second.count(), 2u);
    EXPECT_EQ(fileText(path()), bytes);
    EXPECT_TRUE(sameTime(mtimeOf(path()), before));
}

TEST_F(PairStoreTest, MigrationFoldsAnOldEntryIntoItsTaggedTwin) {
    const json rec = {{"name", "A"}, {"psk", base64Encode(keyOf(1))}, {"pairedAt", 5.0}};
    writeStore(json{{"phoneA", rec}, {"phoneA." + pskTag(keyOf(1)), rec}}.dump());
    PairStore store(storePath(), log);
    EXPECT_EQ(store.count(), 1u);
    EXPECT_EQ(fileJson().size(), 1u);
}

TEST_F(PairStoreTest, TwoKeysOfOnePhoneAreOnePhoneWithTheNewerNameAndDate) {
    PairStore store(storePath(), log);
    store.insert(identity("p1", keyOf(1)), record("Old name", 1, 1000));
    store.insert(identity("p2", keyOf(3)), record("Other", 3, 1500));
    store.insert(identity("p1", keyOf(2)), record("New name", 2, 2000));
    store.insert(identity("p3", keyOf(4)), record("Oldest", 4, 500));

    auto phones = store.phones();
    ASSERT_EQ(phones.size(), 3u);
    EXPECT_EQ(phones[0].id, "p1");
    EXPECT_EQ(phones[0].name, "New name");
    EXPECT_DOUBLE_EQ(phones[0].pairedAt, 2000);
    EXPECT_EQ(phones[1].id, "p2");
    EXPECT_EQ(phones[2].id, "p3");

    EXPECT_EQ(store.remove("p1"), 2);
    EXPECT_EQ(store.count(), 2u);
    EXPECT_FALSE(store.name("p1").has_value());
    json j = fileJson();
    EXPECT_EQ(j.size(), 2u);
    EXPECT_FALSE(j.contains(identity("p1", keyOf(1))));
    EXPECT_FALSE(j.contains(identity("p1", keyOf(2))));
    EXPECT_EQ(PairStore(path(), log).count(), 2u);
}

TEST_F(PairStoreTest, NewerKeyListedFirstWinsEvenIfStoredFirst) {
    PairStore store(storePath(), log);
    store.insert(identity("p", keyOf(2)), record("New", 2, 2000));
    store.insert(identity("p", keyOf(1)), record("Old", 1, 1000));
    auto phones = store.phones();
    ASSERT_EQ(phones.size(), 1u);
    EXPECT_EQ(phones[0].name, "New");
    EXPECT_DOUBLE_EQ(phones[0].pairedAt, 2000);
}

TEST_F(PairStoreTest, RemovingAnUnknownPhoneLeavesTheFileUntouched) {
    PairStore store(storePath(), log);
    store.insert(identity("p1", keyOf(1)), record("A", 1, 1000));
    const std::string bytes = fileText(path());
    ageFile(path());
    const auto before = mtimeOf(path());

    EXPECT_EQ(store.remove("nobody"), 0);
    EXPECT_EQ(store.remove("p"), 0);  // a prefix of "p1" is not "p1"
    EXPECT_EQ(store.remove(""), 0);
    EXPECT_EQ(fileText(path()), bytes);
    EXPECT_TRUE(sameTime(mtimeOf(path()), before));
    EXPECT_EQ(store.count(), 1u);
}

TEST_F(PairStoreTest, APhoneIdThatPrefixesAnotherDoesNotMatchIt) {
    PairStore store(storePath(), log);
    store.insert(identity("abc", keyOf(2)), record("ABC", 2, 2000));
    store.insert(identity("ab", keyOf(1)), record("AB", 1, 1000));
    EXPECT_EQ(store.name("ab"), "AB");
    EXPECT_EQ(store.name("abc"), "ABC");
    EXPECT_FALSE(store.name("a").has_value());
    EXPECT_EQ(store.remove("ab"), 1);
    EXPECT_TRUE(store.contains(identity("abc", keyOf(2))));
    EXPECT_EQ(store.name("abc"), "ABC");
}

TEST_F(PairStoreTest, NoFileWithLooserPermissionsIsEverLeftBehind) {
    // Even with a permissive umask, keys never sit in a file others can read.
    const mode_t oldMask = ::umask(0);
    {
        PairStore store(PairStore::pathIn(supportDir()), log);
        store.insert(identity("p1", keyOf(1)), record("A", 1, 1000));
        store.insert(identity("p2", keyOf(2)), record("B", 2, 1000));
        store.remove("p1");
    }
    ::umask(oldMask);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(supportDir())) {
        names.push_back(e.path().filename());
        EXPECT_EQ(fileMode(e.path()) & 077, 0) << e.path();
    }
    EXPECT_EQ(names, std::vector<std::string>{"pairings.json"});
    EXPECT_EQ(fileMode(path()), 0600);
}

TEST_F(PairStoreTest, AFailedSaveLeavesNoTemporaryFileAndNoKeyBehind) {
    PairStore store(PairStore::pathIn(supportDir()), log);
    store.insert(identity("p0", keyOf(7)), record("Kept", 7, 500));
    const std::string kept = fileText(path());
    // The file's place is taken by a non-empty folder: the final rename must fail.
    fs::rename(path(), tmp.path() + "/aside");
    fs::create_directories(path() + "/occupied");
    const std::string why = store.insert(identity("p1", keyOf(1)), record("A", 1, 1000));
    EXPECT_FALSE(why.empty());
    // A key that did not reach the file is not kept in memory either, and a key
    // replaced by a failed insert is back as it was.
    EXPECT_EQ(store.count(), 1u);
    EXPECT_FALSE(store.contains(identity("p1", keyOf(1))));
    EXPECT_FALSE(store.insert(identity("p0", keyOf(7)), record("Renamed", 7, 600)).empty());
    EXPECT_EQ(store.name("p0"), "Kept");
    EXPECT_EQ(store.pskList().size(), 1u);
    // An unpair that cannot be saved is said so, and the key stays gone.
    EXPECT_EQ(store.remove("p0"), 1);
    EXPECT_EQ(store.count(), 0u);
    EXPECT_NE(logText().find("⚠︎ 짝짓기 기록을 저장하지 못했다 — "), std::string::npos) << logText();
    EXPECT_EQ(fileText(tmp.path() + "/aside"), kept);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(supportDir())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"pairings.json"});
    EXPECT_TRUE(fs::is_directory(path()));
}

TEST_F(PairStoreTest, SaveDoesNotFollowALinkPlantedAtTheTemporaryName) {
    PairStore store(PairStore::pathIn(supportDir()), log);
    const std::string victim = tmp.path() + "/victim";
    writeFile(victim, "precious");
    fs::create_symlink(victim, path() + ".tmp-" + std::to_string(::getpid()));
    store.insert(identity("p1", keyOf(1)), record("A", 1, 1000));
    EXPECT_EQ(fileText(victim), "precious");
}

TEST_F(PairStoreTest, NamesAreCleanedOfControlAndDirectionCharacters) {
    PairStore store(storePath(), log);
    const std::string id = identity("p1", keyOf(1));
    EXPECT_EQ(store.insert(id, record("Mina\x1B[31m\tPhone\xE2\x80\xAE" "3gpj\xC2\x9B", 1, 10)), "");
    EXPECT_EQ(store.name("p1"), "Mina [31m Phone3gpj");
    EXPECT_EQ(fileJson()[id]["name"], "Mina [31m Phone3gpj");

    // A file written before names were cleaned is cleaned as it is read.
    json old = {{id, {{"name", "A\u202Eb\nc\x07"}, {"psk", base64Encode(keyOf(1))}, {"pairedAt", 1.0}}}};
    writeStore(old.dump());
    EXPECT_EQ(PairStore(path(), log).name("p1"), "Ab c");
}

struct Unreadable {
    const char* what;
    std::function<void(const std::string& path)> make;
};

class PairStoreUnreadable : public PairStoreTest, public ::testing::WithParamInterface<Unreadable> {};

// A file that cannot be read may hold sound keys: it is kept exactly as it is and
// never overwritten, and the warning says what was (not) done.
TEST_P(PairStoreUnreadable, IsKeptAndNeverOverwritten) {
    fs::create_directories(supportDir());
    GetParam().make(path());
    const auto before = fs::status(path()).type();
    const auto sizeBefore = before == fs::file_type::regular ? fs::file_size(path()) : 0;
    PairStore store(path(), log);
    EXPECT_EQ(store.count(), 0u);
    EXPECT_NE(logText().find("⚠︎ 짝짓기 기록을 못 읽었다 ("), std::string::npos) << logText();
    EXPECT_NE(logText().find("새 짝짓기를 저장하지 않는다 (" + path() + ")\n"), std::string::npos) << logText();
    EXPECT_EQ(logText().find(".broken"), std::string::npos) << logText();
    EXPECT_FALSE(fs::exists(path() + ".broken"));

    const std::string why = store.insert(identity("p9", keyOf(9)), record("Fresh", 9, 3000));
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(store.count(), 0u);
    EXPECT_TRUE(store.pskList().empty());
    EXPECT_EQ(fs::status(path()).type(), before);
    if (before == fs::file_type::regular) {
        EXPECT_EQ(fs::file_size(path()), sizeBefore);
    }
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(supportDir())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"pairings.json"});
}

INSTANTIATE_TEST_SUITE_P(
    Files, PairStoreUnreadable,
    ::testing::Values(
        Unreadable{"AFolder", [](const std::string& p) { fs::create_directories(p + "/occupied"); }},
        Unreadable{"AFifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); }},
        Unreadable{"Huge",
                   [](const std::string& p) {
                       writeFile(p, "{");
                       fs::resize_file(p, 17u << 20);
                   }}),
    [](const ::testing::TestParamInfo<Unreadable>& info) { return std::string(info.param.what); });

// A store file its owner may not read, met as that owner would; "" when all went as it should.
std::string unreadableByPermission(const std::string& base) {
    FakeClock clock;
    Logger log(base + "/logs", clock);
    const std::string file = PairStore::pathIn(base + "/support");
    const std::string sound = json{{"p1." + pskTag(keyOf(1)), {{"name", "A"}, {"psk", base64Encode(keyOf(1))}, {"pairedAt", 1}}}}.dump();
    writeFile(file, sound);
    ::chmod(file.c_str(), 0);
    PairStore store(file, log);
    if (store.count() != 0) return "the file was read after all";
    if (store.insert(identity("p9", keyOf(9)), record("Fresh", 9, 3000)).empty()) return "a key was stored over it";
    if (store.count() != 0) return "an unsaved key is kept";
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || st.st_size != static_cast<off_t>(sound.size()) || (st.st_mode & 0777) != 0)
        return "the file was changed";
    if (fs::exists(file + ".broken")) return "a copy was made";
    const std::string text = fileText(base + "/logs/inputd.log");
    if (text.find("⚠︎ 짝짓기 기록을 못 읽었다 (" + std::string(std::strerror(EACCES)) + ") — 파일을 그대로 두고") ==
        std::string::npos)
        return "no warning in: " + text;
    return "";
}

TEST_F(PairStoreTest, AFileWithoutReadPermissionIsKeptAndNeverOverwritten) {
    if (::geteuid() != 0) {
        EXPECT_EQ(unreadableByPermission(tmp.path()), "");
        return;
    }
    // The superuser reads any file: meet it as an ordinary user, in a child process.
    const std::string base = tmp.path() + "/user";
    fs::create_directories(base);
    ASSERT_EQ(::chmod(tmp.path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(base.c_str(), 65534, 65534), 0);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(out[0]);
        std::string said;
        try {
            said = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? unreadableByPermission(base) : "cannot drop privileges";
        } catch (const std::exception& e) {
            said = e.what();
        }
        if (said.empty()) said = "ok";
        if (::write(out[1], said.data(), said.size()) < 0) ::_exit(2);
        ::_exit(0);
    }
    ::close(out[1]);
    std::string said;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) said.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(said, "ok");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(PairStoreTest, BrokenCopiesAreNeverReplacedNorPiledUp) {
    writeStore("first garbage");
    { PairStore first(path(), log); }
    // Started again without a pairing in between: the same copy serves.
    { PairStore again(path(), log); }
    EXPECT_EQ(fileText(path() + ".broken"), "first garbage");
    EXPECT_FALSE(fs::exists(path() + ".broken.2"));

    // Other unreadable contents later get a copy of their own.
    writeStore("second garbage");
    { PairStore second(path(), log); }
    EXPECT_EQ(fileText(path() + ".broken"), "first garbage");
    EXPECT_EQ(fileText(path() + ".broken.2"), "second garbage");
    EXPECT_NE(logText().find("(원본은 " + path() + ".broken.2)"), std::string::npos);

    // With no room for a copy, the file is kept and not overwritten, and the warning says so.
    for (int n = 3; n <= 9; ++n) writeFile(path() + ".broken." + std::to_string(n), "other");
    writeStore("third garbage");
    PairStore store(path(), log);
    EXPECT_NE(logText().find("⚠︎ 짝짓기 기록을 못 읽었다 — 사본도 못 만들었다 ("), std::string::npos) << logText();
    EXPECT_FALSE(store.insert(identity("p1", keyOf(1)), record("A", 1, 1)).empty());
    EXPECT_EQ(fileText(path()), "third garbage");
}

struct Malformed {
    const char* what;
    std::string text;
};

class PairStoreMalformed : public PairStoreTest, public ::testing::WithParamInterface<Malformed> {};

TEST_P(PairStoreMalformed, GivesAnEmptyStoreAndKeepsTheOriginal) {
    const std::string original = GetParam().text;
    writeStore(original);
    std::optional<PairStore> store;
    ASSERT_NO_THROW(store.emplace(path(), log));
    EXPECT_EQ(store->count(), 0u);
    EXPECT_TRUE(store->phones().empty());
    EXPECT_FALSE(store->contains("p1." + pskTag(keyOf(1))));
    EXPECT_EQ(fileText(path() + ".broken"), original);
    EXPECT_EQ(fileMode(path() + ".broken"), 0600);
    EXPECT_EQ(fileText(path()), original);  // nothing written until something changes
    EXPECT_NE(logText().find("⚠︎ 짝짓기 기록을 못 읽었다 — 빈 목록으로 시작 (원본은 " + path() + ".broken)\n"),
              std::string::npos)
        << logText();
    EXPECT_NE(logText().find("짝짓기 기록 0개 — " + path() + "\n"), std::string::npos);

    // The next pairing replaces the file with a sound one; the copy stays.
    store->insert(identity("p9", keyOf(9)), record("Fresh", 9, 3000));
    json j = fileJson();
    EXPECT_EQ(j.size(), 1u);
    EXPECT_TRUE(j.contains(identity("p9", keyOf(9))));
    EXPECT_EQ(fileMode(path()), 0600);
    EXPECT_EQ(fileText(path() + ".broken"), original);
}

const std::string kGoodPsk = base64Encode(keyOf(1));
const std::string kId = "p1." + pskTag(keyOf(1));

INSTANTIATE_TEST_SUITE_P(
    Files, PairStoreMalformed,
    ::testing::Values(
        Malformed{"NotJson", "this is not json"},
        Malformed{"Empty", ""},
        Malformed{"TruncatedJson", R"({"p1.x": {"name": "A", "psk": ")"},
        Malformed{"TopLevelArray", R"([{"name":"A","psk":")" + kGoodPsk + R"(","pairedAt":1}])"},
        Malformed{"MissingPsk", R"({")" + kId + R"(": {"name":"A","pairedAt":1}})"},
        Malformed{"MissingName", R"({")" + kId + R"(": {"psk":")" + kGoodPsk + R"(","pairedAt":1}})"},
        Malformed{"MissingDate", R"({")" + kId + R"(": {"name":"A","psk":")" + kGoodPsk + R"("}})"},
        Malformed{"PskNotBase64", R"({")" + kId + R"(": {"name":"A","psk":"not base64!","pairedAt":1}})"},
        Malformed{"PskBadPadding", R"({")" + kId + R"(": {"name":"A","psk":"AAE=AAE=","pairedAt":1}})"},
        Malformed{"DateIsText", R"({")" + kId + R"(": {"name":"A","psk":")" + kGoodPsk + R"(","pairedAt":"today"}})"},
        Malformed{"NameIsNumber", R"({")" + kId + R"(": {"name":7,"psk":")" + kGoodPsk + R"(","pairedAt":1}})"},
        Malformed{"RecordIsString", R"({")" + kId + R"(": "x"})"},
        // One bad record spoils the whole file, good records included.
        Malformed{"OneBadAmongGood", R"({")" + kId + R"(": {"name":"A","psk":")" + kGoodPsk +
                                         R"(","pairedAt":1}, "p2.x": {"name":"B"}})"}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return std::string(info.param.what); });

}  // namespace
