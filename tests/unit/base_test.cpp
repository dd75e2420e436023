// Base pieces: strict base64, UTF-8 checking, hex, and the dispatch machinery
// (serial queues, delayed work, repeating timers, the main queue and its nested spin).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/bytes.h"
#include "base/clock.h"
#include "base/try_lock.h"
#include "base/crypto.h"
#include "base/dispatch.h"

using namespace vm;
using ::testing::ElementsAre;

namespace {

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

bool waitFlag(const std::atomic<bool>& flag, double seconds = 10.0) {
    const auto t0 = std::chrono::steady_clock::now();
    while (!flag.load()) {
        if (secondsSince(t0) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A latch that waits with a generous deadline, so a broken queue fails instead of hanging.
class Latch {
public:
    explicit Latch(int count) : left_(count) {}
    void countDown() {
        std::lock_guard<std::mutex> lk(mu_);
        if (--left_ <= 0) cv_.notify_all();
    }
    bool wait(double seconds = 10.0) {
        std::unique_lock<std::mutex> lk(mu_);
        return cv_.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return left_ <= 0; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    int left_;
};

// ---------------------------------------------------------------- base64

TEST(Base64, EncodesTheStandardVectors) {
    EXPECT_EQ(base64Encode(std::string_view("")), "");
    EXPECT_EQ(base64Encode(std::string_view("f")), "Zg==");
    EXPECT_EQ(base64Encode(std::string_view("fo")), "Zm8=");
    EXPECT_EQ(base64Encode(std::string_view("foo")), "Zm9v");
    EXPECT_EQ(base64Encode(std::string_view("foobar")), "Zm9vYmFy");
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    for (size_t n = 0; n < 70; ++n) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(255 - i * 7);
        auto back = base64Decode(base64Encode(b));
        ASSERT_TRUE(back.has_value()) << n;
        EXPECT_EQ(*back, b) << n;
    }
    Bytes all(256);
    for (size_t i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(base64Decode(base64Encode(all)), all);
}

TEST(Base64, DecodesPaddedText) {
    EXPECT_EQ(base64Decode("Zg=="), toBytes("f"));
    EXPECT_EQ(base64Decode("Zm8="), toBytes("fo"));
    EXPECT_EQ(base64Decode("Zm9vYmFy"), toBytes("foobar"));
    EXPECT_EQ(base64Decode(""), Bytes{});
}

TEST(Base64, RejectsAnythingNotStrictlyStandard) {
    for (const char* bad : {"Zg", "Zg=", "Zm9", "Zm9vY", "Zg=a", "Z===", "====", "Zm9v====", "Zg==Zg==", "=Zm9",
                            "Zm9v\n", " Zm9v", "Zm 9v", "Zm9v\r\n", "Zm-_", "Zm9v!AAA", "Zm.v", "Zm9 ", "\tZm9", "Zm9v\nAAA"}) {
        EXPECT_FALSE(base64Decode(bad).has_value()) << '"' << bad << '"';
    }
    EXPECT_FALSE(base64Decode(std::string_view("Zm9v\0AAA", 8)).has_value());
    EXPECT_FALSE(base64Decode("한글한").has_value());
}

// ---------------------------------------------------------------- utf-8, hex

TEST(Utf8, AcceptsWellFormedText) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("PING\n"));
    EXPECT_TRUE(isValidUtf8("가상 화면"));
    EXPECT_TRUE(isValidUtf8("⚠︎"));
    EXPECT_TRUE(isValidUtf8("\xf0\x9f\x98\x80"));  // U+1F600
    EXPECT_TRUE(isValidUtf8("\xf4\x8f\xbf\xbf"));  // U+10FFFF, the last one
    EXPECT_TRUE(isValidUtf8("\xed\x9f\xbf"));      // U+D7FF, just below the surrogates
    EXPECT_TRUE(isValidUtf8(std::string_view("a\0b", 3)));
}

TEST(Utf8, RejectsMalformedText) {
    for (const char* bad : {"\xff", "\xfe", "\x80", "a\xbf", "\xc0\xaf", "\xc1\xbf", "\xe0\x80\xaf", "\xf0\x80\x80\xaf",
                            "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf8\x88\x80\x80\x80",
                            "\xe3\x81", "\xea\xb0", "\xc3", "\xc3\x28", "\xe2\x82\x28"}) {
        EXPECT_FALSE(isValidUtf8(bad)) << ::testing::PrintToString(std::string(bad));
    }
}

TEST(Hex, IsLowerCaseTwoDigitsPerByte) {
    EXPECT_EQ(hexLower(Bytes{0x00, 0x0f, 0xab, 0xff}), "000fabff");
    EXPECT_EQ(hexLower(Bytes{}), "");
}

TEST(Crypto, Sha256AndHmacKnownAnswers) {
    EXPECT_EQ(hexLower(sha256(toBytes("abc"))), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // RFC 4231 test case 2.
    EXPECT_EQ(hexLower(hmacSha256(toBytes("Jefe"), toBytes("what do ya want for nothing?"))),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_TRUE(constantTimeEqual(toBytes("same"), toBytes("same")));
    EXPECT_FALSE(constantTimeEqual(toBytes("same"), toBytes("sane")));
    EXPECT_FALSE(constantTimeEqual(toBytes("same"), toBytes("same!")));
    EXPECT_EQ(randomBytes(32).size(), 32u);
    EXPECT_NE(randomBytes(16), randomBytes(16));
}

// ---------------------------------------------------------------- clock

TEST(Clocks, FakeClockMovesOnlyWhenTold) {
    FakeClock c(kReferenceDateOffset + 100.0);
    EXPECT_DOUBLE_EQ(c.referenceNow(), 100.0);
    double mono = c.monotonic();
    c.advance(2.5);
    EXPECT_DOUBLE_EQ(c.referenceNow(), 102.5);
    EXPECT_DOUBLE_EQ(c.monotonic(), mono + 2.5);
    c.set(1'000'000'000.5);
    EXPECT_EQ(c.nowMicros(), 1'000'000'000'500'000u);
    EXPECT_DOUBLE_EQ(c.monotonic(), mono + 2.5);  // setting the wall time never moves the monotonic one
}

// ---------------------------------------------------------------- dispatch

TEST(SerialQueueTest, RunsTasksOneAtATimeInOrderOnItsOwnThread) {
    SerialQueue q("local.umo.inputd.ctl");
    EXPECT_EQ(q.label(), "local.umo.inputd.ctl");
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::thread::id runner;
    Latch done(1);
    constexpr int kTasks = 2000;
    for (int i = 0; i < kTasks; ++i) {
        q.async([&, i] {
            if (inside.fetch_add(1) != 0) overlapped = true;
            if (i == 0) runner = std::this_thread::get_id();
            else if (std::this_thread::get_id() != runner) overlapped = true;
            order.push_back(i);
            inside.fetch_sub(1);
            if (i == kTasks - 1) done.countDown();
        });
    }
    ASSERT_TRUE(done.wait());
    EXPECT_FALSE(overlapped);
    EXPECT_NE(runner, std::this_thread::get_id());
    ASSERT_EQ(order.size(), static_cast<size_t>(kTasks));
    for (int i = 0; i < kTasks; ++i) ASSERT_EQ(order[i], i);
}

TEST(SerialQueueTest, SyncWaitsForTheTaskAndRunsInPlaceFromTheQueue) {
    SerialQueue q("vellomark.send");
    int value = 0;
    q.sync([&] { value = 1; });
    EXPECT_EQ(value, 1);
    bool innerRan = false;
    q.sync([&] {
        EXPECT_TRUE(q.isCurrent());
        q.sync([&] { innerRan = true; });  // must not deadlock
    });
    EXPECT_TRUE(innerRan);
    EXPECT_FALSE(q.isCurrent());
}

TEST(SerialQueueTest, DelayedWorkRunsAfterItsDelayAndAfterWorkDueEarlier) {
    SerialQueue q("capture");
    std::mutex mu;
    std::vector<std::string> order;
    auto record = [&](std::string what) {
        std::lock_guard<std::mutex> lk(mu);
        order.push_back(std::move(what));
    };
    Latch done(3);
    const auto t0 = std::chrono::steady_clock::now();
    double lateAt = 0;
    q.asyncAfter(0.2, [&] {
        lateAt = secondsSince(t0);
        record("late");
        done.countDown();
    });
    q.asyncAfter(0.05, [&] {
        record("soon");
        done.countDown();
    });
    q.async([&] {
        record("now");
        done.countDown();
    });
    ASSERT_TRUE(done.wait());
    EXPECT_THAT(order, ElementsAre("now", "soon", "late"));
    EXPECT_GE(lateAt, 0.19);
}

TEST(SerialQueueTest, DestroyingTheQueueDropsWorkNotYetDue) {
    std::atomic<bool> ran{false};
    {
        SerialQueue q("short-lived");
        q.asyncAfter(30.0, [&] { ran = true; });
    }
    EXPECT_FALSE(ran);
}

TEST(ConcurrentQueueTest, RunsEveryTask) {
    ConcurrentQueue q("pool", 3);
    std::atomic<int> n{0};
    Latch done(100);
    for (int i = 0; i < 100; ++i)
        q.async([&] {
            n.fetch_add(1);
            done.countDown();
        });
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(n.load(), 100);

    Latch global(1);
    globalQueue().async([&] { global.countDown(); });
    EXPECT_TRUE(global.wait());
}

TEST(RepeatingTimerTest, FiresRepeatedlyUntilCancelled) {
    SerialQueue q("timer");
    std::atomic<int> fired{0};
    Latch threeTimes(3);
    RepeatingTimer timer(q, 0.0, 0.01, [&] {
        fired.fetch_add(1);
        threeTimes.countDown();
    });
    ASSERT_TRUE(threeTimes.wait());
    timer.cancel();
    const int atCancel = fired.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(fired.load(), atCancel);
    timer.cancel();  // a second cancel is harmless
}

TEST(RepeatingTimerTest, CancelWaitsForAFiringInProgress) {
    SerialQueue q("timer");
    std::atomic<bool> started{false}, finished{false};
    RepeatingTimer timer(q, 0.0, 10.0, [&] {
        started = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        finished = true;
    });
    ASSERT_TRUE(waitFlag(started));
    timer.cancel();
    EXPECT_TRUE(finished.load());
}

TEST(RepeatingTimerTest, CanCancelItselfFromItsOwnFiring) {
    SerialQueue q("timer");
    std::atomic<int> fired{0};
    std::unique_ptr<RepeatingTimer> timer;
    Latch once(1);
    std::mutex mu;
    std::unique_lock<std::mutex> hold(mu);  // the timer must not fire before `timer` is set
    timer = std::make_unique<RepeatingTimer>(q, 0.0, 0.01, [&] {
        std::lock_guard<std::mutex> lk(mu);
        fired.fetch_add(1);
        timer->cancel();
        once.countDown();
    });
    hold.unlock();
    ASSERT_TRUE(once.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(fired.load(), 1);
}

TEST(RepeatingTimerTest, DestroyingTheTimerStopsIt) {
    SerialQueue q("timer");
    std::atomic<int> fired{0};
    {
        RepeatingTimer timer(q, 0.0, 0.01, [&] { fired.fetch_add(1); });
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    const int atEnd = fired.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(fired.load(), atEnd);
}

TEST(MainQueueTest, SpinRunsDueTasksAndReturnsAfterItsTime) {
    MainQueue main;
    EXPECT_EQ(main.label(), "main");
    std::vector<int> order;
    main.async([&] { order.push_back(1); });
    main.asyncAfter(0.05, [&] { order.push_back(3); });
    main.async([&] { order.push_back(2); });
    main.asyncAfter(60.0, [&] { order.push_back(99); });
    const auto t0 = std::chrono::steady_clock::now();
    main.spinRunLoop(0.2);
    EXPECT_GE(secondsSince(t0), 0.19);
    EXPECT_THAT(order, ElementsAre(1, 2, 3));
}

TEST(MainQueueTest, NestedSpinRunsOtherMainTasksWhileOneWaits) {
    MainQueue main;
    std::vector<std::string> order;
    main.async([&] {
        order.push_back("outer start");
        main.async([&] { order.push_back("inner"); });
        // Waiting on the main thread, as the display core does: other main work goes on.
        main.spinRunLoop(0.1);
        order.push_back("outer end");
        main.stop();
    });
    std::thread runner([&] { main.run(); });
    runner.join();
    EXPECT_THAT(order, ElementsAre("outer start", "inner", "outer end"));
}

TEST(MainQueueTest, WorkPostedFromOtherThreadsRunsOnTheMainThread) {
    MainQueue main;
    std::thread::id mainThread = std::this_thread::get_id();
    std::atomic<bool> allOnMain{true};
    std::atomic<int> n{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                main.async([&] {
                    if (std::this_thread::get_id() != mainThread) allOnMain = false;
                    if (n.fetch_add(1) == 299) main.stop();
                });
        });
    for (auto& p : posters) p.join();
    main.run();
    EXPECT_EQ(n.load(), 300);
    EXPECT_TRUE(allOnMain);
}

TEST(MainQueueTest, OnMainPostsToTheMainQueueOrRunsInPlaceWithoutOne) {
    MainQueue main;
    int ran = 0;
    onMain(&main, [&] { ++ran; });
    EXPECT_EQ(ran, 0);  // waits for the main thread
    main.spinRunLoop(0.01);
    EXPECT_EQ(ran, 1);
    onMain(nullptr, [&] { ++ran; });
    EXPECT_EQ(ran, 2);
}

}  // namespace

// Display work tries the lock again from inside its own nested run-loop spin on the
// same thread; that try must say "busy", not deadlock or pass.
TEST(TryLockTest, ASecondTryOnTheHoldingThreadFindsItBusy) {
    vm::TryLock l;
    ASSERT_TRUE(l.try_lock());
    EXPECT_FALSE(l.try_lock());
    bool otherThread = true;
    std::thread([&] { otherThread = l.try_lock(); }).join();
    EXPECT_FALSE(otherThread);
    l.unlock();
    EXPECT_TRUE(l.try_lock());
    l.unlock();
}
