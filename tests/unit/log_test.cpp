// The three plain-text logs: line formats, escaping, rotation at first use and
// while running, and that a broken log folder never hurts the caller.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "integration/process_helper.h"

using namespace vmtest;
using vm::FakeClock;
using vm::kLogResyncEvery;
using vm::kLogRotateAbove;
using vm::Logger;

namespace {

// 2027-01-15 08:00:00.125 UTC.
constexpr double kWhen = 1'800'000'000.125;

// Pins local time to UTC for the test so that stamps are predictable.
class UtcZone {
public:
    UtcZone() {
        const char* old = std::getenv("TZ");
        if (old) old_ = old;
        had_ = old != nullptr;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    ~UtcZone() {
        if (had_) ::setenv("TZ", old_.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

class LogTest : public ::testing::Test {
protected:
    UtcZone utc;
    TempDir tmp{"vellomark-log"};
    FakeClock clock{kWhen};
    std::string dir() const { return tmp.path() + "/logs"; }
    std::string inputLog() const { return dir() + "/inputd.log"; }
    std::string videoLog() const { return dir() + "/videod.log"; }
};

TEST_F(LogTest, StampIsHoursMinutesSecondsAndMilliseconds) {
    EXPECT_EQ(Logger::stamp(kWhen), "08:00:00.125");
    EXPECT_EQ(Logger::stamp(1'800'000'000.0), "08:00:00.000");
    // 24-hour clock, and milliseconds are cut, never rounded up into the next second.
    EXPECT_EQ(Logger::stamp(1'800'000'000.0 + 6 * 3600 + 59 * 60 + 59.9996), "14:59:59.999");
    EXPECT_EQ(Logger::stamp(1'800'000'000.0 + 15 * 3600 + 3 * 60 + 7.125), "23:03:07.125");
}

TEST_F(LogTest, InputLineIsStampTwoBlanksAndTheText) {
    Logger log(dir(), clock);
    log.logLine("abc\n");
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  abc\n");
    clock.advance(1.5);
    log.logLine("no line feed");
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  abc\n08:00:01.625  no line feed\n");
}

TEST_F(LogTest, InputLineDropsOnlyOneTrailingLineFeed) {
    Logger log(dir(), clock);
    log.logLine("abc\n\n");
    log.logLine("짝짓기 기록 1개 — /x\n");
    // A second line feed is part of the text, and a line never holds a raw one.
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  abc\\x0A\n08:00:00.125  짝짓기 기록 1개 — /x\n");
}

TEST_F(LogTest, TextFromPeersCanNeitherForgeNorDisguiseALineInAnyLog) {
    Logger log(dir(), clock);
    // A name that tries to start a line of its own, clear the terminal line, or
    // turn "exe" around; Korean and other text stay as they are.
    const std::string name = "a.pdf\n08:00:00.000  짝짓기 허용 — #1\x1B[2K\r";
    log.logLine("받기 거부 — " + name + "\n");
    log.streamLog(std::string("클라이언트 invoice\xE2\x80\xAE") + "fdp.exe \xFF\xC2\x9B" + std::string(1, '\0') + " 끝");
    log.vdispLog("이름\t\x7F\xE2\x81\xA6x\n");
    EXPECT_EQ(fileText(inputLog()),
              "08:00:00.125  받기 거부 — a.pdf\\x0A08:00:00.000  짝짓기 허용 — #1\\x1B[2K\\x0D\n");
    EXPECT_EQ(fileText(videoLog()), "클라이언트 invoice\\u202Efdp.exe \\xFF\\u009B\\x00 끝\n");
    EXPECT_EQ(fileText(dir() + "/vdisp.log"), "[01/15/27 08:00:00] 이름\\x09\\x7F\\u2066x\\x0A\n");
}

TEST_F(LogTest, VideoLineGetsExactlyOneLineFeed) {
    Logger log(dir(), clock);
    log.streamLog("frame 1");
    log.streamLog("frame 2\n");
    log.streamLog("two\n\n");
    EXPECT_EQ(fileText(videoLog()), "frame 1\nframe 2\ntwo\\x0A\n");
    // The video log carries no stamp and does not touch the input log.
    EXPECT_FALSE(fs::exists(inputLog()));
}

TEST_F(LogTest, DisplayCoreLineIsBracketedDateAndTime) {
    Logger log(dir(), clock);
    log.vdispLog("만들었다 — 1170x2532");
    const std::string text = fileText(dir() + "/vdisp.log");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), '[');
    const size_t close = text.find("] ");
    ASSERT_NE(close, std::string::npos) << text;
    EXPECT_GT(close, 1u);
    EXPECT_EQ(text.substr(close), "] 만들었다 — 1170x2532\n");
    // In the C locale the short date and time read like this.
    EXPECT_EQ(text, "[01/15/27 08:00:00] 만들었다 — 1170x2532\n");
}

TEST_F(LogTest, DisplayCoreLogRecreatesItsFolderOnEveryWrite) {
    Logger log(dir(), clock);
    log.vdispLog("one");
    fs::remove_all(dir());
    log.vdispLog("two");
    EXPECT_EQ(fileText(dir() + "/vdisp.log"), "[01/15/27 08:00:00] two\n");
}

TEST_F(LogTest, LogFolderIsCreatedAtFirstUse) {
    Logger log(tmp.path() + "/a/b/c", clock);
    log.logLine("x");
    EXPECT_EQ(fileText(tmp.path() + "/a/b/c/inputd.log"), "08:00:00.125  x\n");
}

TEST_F(LogTest, PathsAreNamedAfterEachLog) {
    Logger log(dir(), clock);
    EXPECT_EQ(log.cursorLogPath(), inputLog());
    EXPECT_EQ(log.streamLogPath(), videoLog());
}

// --- rotation ---

TEST_F(LogTest, InputLogAboveFiveMillionBytesIsRotatedAtFirstUse) {
    const std::string big(5'000'001, 'a');
    writeFile(inputLog(), big);
    writeFile(inputLog() + ".1", "an older generation\n");
    Logger log(dir(), clock);
    log.logLine("fresh");
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  fresh\n");
    // Only one old generation is kept: the older ".1" is replaced.
    EXPECT_EQ(fileText(inputLog() + ".1"), big);
    EXPECT_FALSE(fs::exists(inputLog() + ".2"));
}

TEST_F(LogTest, ExactlyFiveMillionBytesIsNotRotated) {
    writeFile(inputLog(), std::string(5'000'000, 'a'));
    Logger log(dir(), clock);
    log.logLine("more");
    EXPECT_FALSE(fs::exists(inputLog() + ".1"));
    EXPECT_EQ(fs::file_size(inputLog()), 5'000'000u + std::string("08:00:00.125  more\n").size());
    // Now it is above the limit: the next line starts a fresh file.
    log.logLine("fresh");
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  fresh\n");
    EXPECT_EQ(fs::file_size(inputLog() + ".1"), 5'000'000u + std::string("08:00:00.125  more\n").size());
}

TEST_F(LogTest, ALogPassingTheLimitWhileRunningIsRotatedBeforeItsNextLine) {
    Logger log(dir(), clock);
    const std::string payload(1000, 'x');
    const size_t lineSize = std::string("08:00:00.125  ").size() + payload.size() + 1;
    const size_t toPass = kLogRotateAbove / lineSize + 1;  // the fewest lines that pass the limit
    auto fill = [&] {
        for (size_t i = 0; i < toPass; ++i) log.logLine(payload);
    };
    fill();
    EXPECT_FALSE(fs::exists(inputLog() + ".1"));
    EXPECT_EQ(fs::file_size(inputLog()), toPass * lineSize);
    EXPECT_GT(fs::file_size(inputLog()), static_cast<uintmax_t>(kLogRotateAbove));

    log.logLine("next");
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  next\n");
    EXPECT_EQ(fs::file_size(inputLog() + ".1"), toPass * lineSize);

    // Round again: the old generation is replaced, never a second one kept.
    fill();
    log.logLine("third");
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  third\n");
    EXPECT_EQ(fileText(inputLog() + ".1").rfind("08:00:00.125  next\n", 0), 0u);
    EXPECT_FALSE(fs::exists(inputLog() + ".2"));

    // The other two logs follow the same rule.
    const std::string video(1000, 'v');
    for (size_t i = 0; i <= kLogRotateAbove / (video.size() + 1); ++i) log.streamLog(video);
    log.streamLog("v");
    EXPECT_EQ(fileText(videoLog()), "v\n");
    const size_t vdispLine = std::string("[01/15/27 08:00:00] ").size() + video.size() + 1;
    for (size_t i = 0; i <= kLogRotateAbove / vdispLine; ++i) log.vdispLog(video);
    log.vdispLog("d");
    EXPECT_EQ(fileText(dir() + "/vdisp.log"), "[01/15/27 08:00:00] d\n");
    EXPECT_TRUE(fs::exists(dir() + "/vdisp.log.1"));
}

TEST_F(LogTest, GrowthByAnotherWriterIsNoticedWithinTheResyncAmount) {
    Logger log(dir(), clock);
    log.logLine("first");
    // Another process (a second agent) writes to the same file.
    {
        std::ofstream out(inputLog(), std::ios::app | std::ios::binary);
        out << std::string(5'000'001, 'b');
    }
    // Lines do not look at the disk one by one: the next one still goes on the end.
    log.logLine("second");
    EXPECT_FALSE(fs::exists(inputLog() + ".1"));
    // After at most kLogResyncEvery bytes of its own, the logger looks and rotates.
    const std::string payload(1000, 'y');
    for (long long written = 0; written <= kLogResyncEvery; written += 1015) log.logLine(payload);
    log.logLine("after");
    ASSERT_TRUE(fs::exists(inputLog() + ".1"));
    EXPECT_GT(fs::file_size(inputLog() + ".1"), 5'000'001u);
    EXPECT_LT(fs::file_size(inputLog()), static_cast<uintmax_t>(kLogResyncEvery));
    const std::string text = fileText(inputLog());
    EXPECT_EQ(text.substr(text.rfind("08:00:00.125  after")), "08:00:00.125  after\n");
}

TEST_F(LogTest, VideoLogRotatesOnItsOwn) {
    writeFile(videoLog(), std::string(5'000'001, 'v'));
    writeFile(inputLog(), std::string(5'000'001, 'i'));
    Logger log(dir(), clock);
    log.streamLog("v");
    EXPECT_EQ(fileText(videoLog()), "v\n");
    EXPECT_EQ(fs::file_size(videoLog() + ".1"), 5'000'001u);
    // The input log was not used yet, so it is not rotated yet.
    EXPECT_FALSE(fs::exists(inputLog() + ".1"));
    EXPECT_EQ(fs::file_size(inputLog()), 5'000'001u);
}

// --- failures ---

TEST_F(LogTest, UnwritableFolderLosesLinesQuietly) {
    // A folder cannot be made under a regular file, whoever we run as.
    writeFile(tmp.path() + "/plain-file", "not a folder");
    const std::string bad = tmp.path() + "/plain-file/logs";
    Logger log(bad, clock);
    EXPECT_NO_THROW(log.logLine("lost\n"));
    EXPECT_NO_THROW(log.streamLog("lost"));
    EXPECT_NO_THROW(log.vdispLog("lost"));
    EXPECT_FALSE(fs::exists(bad));
    EXPECT_EQ(fileText(tmp.path() + "/plain-file"), "not a folder");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
}

TEST_F(LogTest, LogFileThatIsAFolderLosesLinesQuietly) {
    fs::create_directories(inputLog());
    Logger log(dir(), clock);
    EXPECT_NO_THROW(log.logLine("lost"));
    EXPECT_TRUE(fs::is_directory(inputLog()));
}

// --- concurrency ---

TEST_F(LogTest, ConcurrentWritersProduceWholeLines) {
    Logger log(dir(), clock);
    constexpr int kThreads = 6;
    constexpr int kLines = 300;
    const std::string payload(180, 'p');
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) log.logLine("w" + std::to_string(t) + " " + std::to_string(i) + " " + payload + "\n");
        });
    }
    for (auto& w : writers) w.join();

    const std::string prefix = "08:00:00.125  w";
    std::set<std::pair<int, int>> seen;
    std::vector<int> lastIndex(kThreads, -1);
    std::istringstream in(fileText(inputLog()));
    int count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        // "08:00:00.125  w<t> <i> ppp…p", nothing else and nothing missing.
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << "torn line: " << line.substr(0, 60);
        const size_t blank1 = line.find(' ', prefix.size());
        const size_t blank2 = line.find(' ', blank1 + 1);
        ASSERT_NE(blank2, std::string::npos) << "torn line: " << line.substr(0, 60);
        ASSERT_EQ(line.substr(blank2 + 1), payload) << "torn line: " << line.substr(0, 60);
        int t = std::stoi(line.substr(prefix.size(), blank1 - prefix.size()));
        int i = std::stoi(line.substr(blank1 + 1, blank2 - blank1 - 1));
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_TRUE(seen.insert({t, i}).second);
        // Each writer's own lines keep their order.
        EXPECT_GT(i, lastIndex[t]);
        lastIndex[t] = i;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
