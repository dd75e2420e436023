// The three plain-text logs: line formats, rotation at first use, and that a
// broken log folder never hurts the caller.
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
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  abc\n\n08:00:00.125  짝짓기 기록 1개 — /x\n");
}

TEST_F(LogTest, VideoLineGetsExactlyOneLineFeed) {
    Logger log(dir(), clock);
    log.streamLog("frame 1");
    log.streamLog("frame 2\n");
    log.streamLog("two\n\n");
    EXPECT_EQ(fileText(videoLog()), "frame 1\nframe 2\ntwo\n\n");
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
}

TEST_F(LogTest, RotationHappensOncePerLogger) {
    Logger log(dir(), clock);
    log.logLine("first");
    // The file grows past the limit while the logger lives: it is left alone.
    {
        std::ofstream out(inputLog(), std::ios::app | std::ios::binary);
        out << std::string(5'000'001, 'b');
    }
    log.logLine("second");
    EXPECT_FALSE(fs::exists(inputLog() + ".1"));
    EXPECT_GT(fs::file_size(inputLog()), 5'000'001u);

    // The next process (a new logger) rotates it.
    Logger next(dir(), clock);
    next.logLine("after restart");
    EXPECT_TRUE(fs::exists(inputLog() + ".1"));
    EXPECT_EQ(fileText(inputLog()), "08:00:00.125  after restart\n");
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
