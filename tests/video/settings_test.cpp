// The user-defaults file: integers by key, atomic private rewrites, damaged files.
#include "base/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/test_files.h"

namespace vm {
namespace {

namespace fs = std::filesystem;
using vm::testing::readAll;

class SettingsTest : public ::testing::Test {
protected:
    vm::testing::TempDir tmp{"vm-settings"};
    std::string path = tmp.path + "/state/settings.json";

    void writeRaw(const std::string& text) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
};

TEST_F(SettingsTest, MissingFileHasNoValues) {
    Settings s(path);
    EXPECT_FALSE(s.integer("videoFrameSeq").has_value());
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(SettingsTest, WrittenIntegerIsReadBackByANewInstanceFromAPrivateJsonFile) {
    {
        Settings s(path);
        EXPECT_TRUE(s.setInteger("videoFrameSeq", 1800));
        EXPECT_EQ(s.integer("videoFrameSeq"), 1800);
    }
    Settings again(path);
    EXPECT_EQ(again.integer("videoFrameSeq"), 1800);
    auto j = nlohmann::json::parse(readAll(path));
    EXPECT_EQ(j["videoFrameSeq"].get<int64_t>(), 1800);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, RewritesKeepOtherKeysAndLeaveNoTemporaryFiles) {
    Settings s(path);
    ASSERT_TRUE(s.setInteger("a", -5));
    ASSERT_TRUE(s.setInteger("b", 9'000'000'000LL));
    ASSERT_TRUE(s.setInteger("a", 7));
    Settings again(path);
    EXPECT_EQ(again.integer("a"), 7);
    EXPECT_EQ(again.integer("b"), 9'000'000'000LL);
    int files = 0;
    for (const auto& e : fs::directory_iterator(fs::path(path).parent_path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(SettingsTest, DamagedOrForeignFileReadsAsEmptyAndIsReplacedOnWrite) {
    for (const std::string bad : {"{\"videoFrameSeq\": 12", "[1,2,3]", "\"text\"", "", "\x01\xff garbage"}) {
        writeRaw(bad);
        Settings s(path);
        EXPECT_FALSE(s.integer("videoFrameSeq").has_value()) << bad;
        EXPECT_TRUE(s.setInteger("videoFrameSeq", 600));
        Settings again(path);
        EXPECT_EQ(again.integer("videoFrameSeq"), 600) << bad;
    }
}

TEST_F(SettingsTest, ValuesThatAreNotIntegersAreAbsent) {
    writeRaw(R"({"s":"12","f":1.5,"n":null,"big":18446744073709551615,"ok":42,"neg":-3})");
    Settings s(path);
    EXPECT_FALSE(s.integer("s").has_value());
    EXPECT_FALSE(s.integer("f").has_value());
    EXPECT_FALSE(s.integer("n").has_value());
    EXPECT_FALSE(s.integer("big").has_value());
    EXPECT_EQ(s.integer("ok"), 42);
    EXPECT_EQ(s.integer("neg"), -3);
    // A write keeps the keys it does not understand.
    ASSERT_TRUE(s.setInteger("ok", 43));
    auto j = nlohmann::json::parse(readAll(path));
    EXPECT_EQ(j["s"], "12");
    EXPECT_EQ(j["f"], 1.5);
}

TEST_F(SettingsTest, FailedWriteKeepsTheValueInMemory) {
    // The folder where the file should go is a plain file, so nothing can be written.
    std::ofstream(tmp.path + "/blocked") << "x";
    Settings s(tmp.path + "/blocked/settings.json");
    EXPECT_FALSE(s.setInteger("videoFrameSeq", 77));
    EXPECT_EQ(s.integer("videoFrameSeq"), 77);
}

}  // namespace
}  // namespace vm
