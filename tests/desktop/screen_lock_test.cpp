// The screen lock and the video gate: the session's facts, what a lock and an
// unlock do (agent, virtual display, phone), and the gate poll.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/base64.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "platform/headless/headless_workspace.h"
#include "session/agent_mode.h"
#include "session/screen_lock.h"
#include "support/fake_peer.h"
#include "support/test_files.h"

extern char** environ;

using namespace vm;
using vm::platform::headless::HeadlessWorkspace;
using vm::testing::countOf;
using vm::testing::readAll;
using vm::testing::RecordingPeer;
using vm::testing::TempDir;

namespace {

struct LockRig {
    explicit LockRig(const std::string& scene = R"({"login": "kim"})", MainQueue* main = nullptr)
        : ws(scene), mainQueue(main) {
        VDispHooks vd;
        vd.alive = [this] { return vdispAlive.load(); };
        vd.create = [this] { calls.push_back("create"); };
        vd.destroy = [this] {
            calls.push_back("destroy");
            vdispAlive = false;
        };
        hooks.vdispHooks = vd;
    }

    TempDir dir{"vm-lock"};
    FakeClock clock;
    Logger log{dir.path, clock};
    HeadlessWorkspace ws;
    PhoneState phone{clock.now()};
    CtlSender sender{phone, nullptr};
    std::shared_ptr<RecordingPeer> peer = std::make_shared<RecordingPeer>(clock.now());
    AgentMode agent{clock, log, sender, AgentModePaths{dir.path + "/agent", dir.path + "/agent.stop", "/bin/true"}};
    HookTables hooks;
    TryLock vdispLock;
    std::atomic<bool> vdispAlive{true};
    std::vector<std::string> calls;
    std::atomic<bool> videoAllowed{false};
    MainQueue* mainQueue;
    ScreenLock lock{ScreenLockDeps{log, ws, ws, sender, phone, agent, hooks, vdispLock,
                                   [this] { calls.push_back("physicalOn"); },
                                   [this] {
                                       calls.push_back("ensureCreate");
                                       vdispAlive = true;
                                   },
                                   videoAllowed, mainQueue}};

    std::string logText() { return readAll(log.cursorLogPath()); }
};

pid_t spawnSleeper() {
    pid_t pid = -1;
    char prog[] = "/bin/sleep";
    char arg[] = "60";
    char* argv[] = {prog, arg, nullptr};
    if (posix_spawn(&pid, prog, nullptr, nullptr, argv, environ) != 0) return -1;
    return pid;
}

// Whether the process is gone (reaped) within a generous bound.
bool goneSoon(pid_t pid) {
    for (int i = 0; i < 500; ++i) {
        if (::kill(pid, 0) != 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace

TEST(ScreenLockFacts, ReadFromTheSessionDictionaryWithSafeDefaults) {
    LockRig r;
    EXPECT_FALSE(r.lock.screenBlockedReason().has_value());
    EXPECT_FALSE(r.lock.screenLocked());
    EXPECT_TRUE(r.lock.videoShouldFlow());

    r.ws.setOnConsole(false);
    auto reason = r.lock.screenBlockedReason();
    ASSERT_TRUE(reason.has_value());
    EXPECT_EQ(*reason,
              "⚠︎ 맥에서 다른 사용자가 화면을 쓰고 있습니다. 그 계정에서 로그아웃하거나 이 계정으로 전환하세요.");
    EXPECT_FALSE(r.lock.videoShouldFlow());

    // Missing key, missing dictionary: nothing reported, video flows.
    r.ws.setOnConsole(std::nullopt);
    EXPECT_FALSE(r.lock.screenBlockedReason().has_value());
    EXPECT_TRUE(r.lock.videoShouldFlow());
    r.ws.lock();
    EXPECT_TRUE(r.lock.screenLocked());
    r.ws.setSessionPresent(false);
    EXPECT_FALSE(r.lock.screenLocked());
    EXPECT_TRUE(r.lock.videoShouldFlow());
    EXPECT_FALSE(r.lock.screenBlockedReason().has_value());
}

namespace {
// A desktop that cannot tell whether the session is locked or on the console.
class OddSession final : public platform::Session {
public:
    std::optional<bool> onConsole() override { return std::nullopt; }
    std::optional<bool> locked() override { return std::nullopt; }
    void watchLock(std::function<void(bool)>) override {}
};
}  // namespace

TEST(ScreenLockFacts, UnknownFactsCountAsUnlockedOnConsole) {
    LockRig r;
    OddSession odd;
    ScreenLock lock{ScreenLockDeps{r.log, odd, r.ws, r.sender, r.phone, r.agent, r.hooks, r.vdispLock, nullptr,
                                   nullptr, r.videoAllowed, nullptr}};
    EXPECT_FALSE(lock.screenLocked());
    EXPECT_TRUE(lock.videoShouldFlow());
    EXPECT_FALSE(lock.screenBlockedReason().has_value());
}

TEST(ScreenLockHandlers, LockStopsTheAgentReleasesTheDisplayAndTellsThePhone) {
    LockRig r;
    r.phone.setPhoneConn(r.peer);
    r.videoAllowed = true;
    const pid_t child = spawnSleeper();
    ASSERT_GT(child, 0);
    r.agent.setChild(child);
    r.lock.watchScreenLock();

    r.ws.lock();

    EXPECT_FALSE(r.videoAllowed.load());
    EXPECT_TRUE(r.agent.agentStop.load());
    EXPECT_EQ(r.calls, (std::vector<std::string>{"physicalOn", "destroy"}));
    EXPECT_EQ(r.peer->lines(), (std::vector<std::string>{"LOCKED 1 " + base64Encode(std::string("kim")) + "\n"}));
    EXPECT_EQ(countOf(r.logText(), "맥이 잠겼다\n"), 1);
    EXPECT_TRUE(goneSoon(child)) << "the agent's child was terminated";
    EXPECT_EQ(r.lock.lockedLine(), "LOCKED 1 a2lt");
}

TEST(ScreenLockHandlers, LockLeavesTheDisplayWhenBusyOrDeadAndSendsNothingWithoutAPhone) {
    LockRig r;
    r.lock.watchScreenLock();
    {
        // Display work on another thread holds the lock meanwhile.
        std::promise<void> held, done;
        std::thread worker([&] {
            std::lock_guard<TryLock> busy(r.vdispLock);
            held.set_value();
            done.get_future().wait();
        });
        held.get_future().wait();
        r.ws.lock();
        done.set_value();
        worker.join();
    }
    EXPECT_TRUE(r.calls.empty()) << "a busy lock leaves the virtual display in place";
    EXPECT_TRUE(r.peer->lines().empty());

    r.vdispAlive = false;
    r.ws.lock();
    EXPECT_TRUE(r.calls.empty());

    // Without the hook table nothing is touched either.
    r.hooks.vdispHooks.reset();
    r.vdispAlive = true;
    r.ws.lock();
    EXPECT_TRUE(r.calls.empty());
    EXPECT_EQ(countOf(r.logText(), "맥이 잠겼다\n"), 3);
}

TEST(ScreenLockHandlers, UnlockWhileThePhoneWantsTheScreenRecreatesAndSaysLocked0) {
    LockRig r;
    r.phone.setPhoneConn(r.peer);
    r.phone.phoneWantsScreen = true;
    r.lock.watchScreenLock();
    r.ws.lock();
    ASSERT_FALSE(r.vdispAlive.load());
    r.calls.clear();

    r.ws.unlock();
    EXPECT_TRUE(r.videoAllowed.load());
    EXPECT_EQ(r.calls, (std::vector<std::string>{"ensureCreate"}));
    auto lines = r.peer->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "LOCKED 0\n");
    EXPECT_EQ(countOf(r.logText(), "맥이 풀렸다\n"), 1);
    EXPECT_TRUE(r.agent.agentStop.load()) << "the agent stays stopped until the phone says GO";

    // Alive already, or no longer wanted: no creation.
    r.calls.clear();
    r.ws.unlock();
    EXPECT_TRUE(r.calls.empty());
    r.vdispAlive = false;
    r.phone.phoneWantsScreen = false;
    r.ws.unlock();
    EXPECT_TRUE(r.calls.empty());
}

TEST(ScreenLockHandlers, UnlockWithAnotherUserOnTheConsoleKeepsTheGateShut) {
    LockRig r(R"({"login": "kim", "session": {"onConsole": false}})");
    r.lock.watchScreenLock();
    r.videoAllowed = true;
    r.ws.unlock();
    EXPECT_FALSE(r.videoAllowed.load());
    EXPECT_TRUE(r.peer->lines().empty()) << "no phone, nothing queued";
}

TEST(ScreenLockGate, OpenLineIsLoggedOnceAndTheGateFollowsTheConsole) {
    LockRig r;
    r.lock.gateTick();
    EXPECT_TRUE(r.videoAllowed.load());
    r.lock.gateTick();
    r.lock.gateTick();
    EXPECT_EQ(countOf(r.logText(), "영상 열림 — 쓸 수 있는 상태다\n"), 1);

    r.ws.setOnConsole(false);
    r.lock.gateTick();
    r.lock.gateTick();
    EXPECT_FALSE(r.videoAllowed.load());
    EXPECT_EQ(countOf(r.logText(), "영상 닫힘 — 잠겼거나 다른 사용자가 화면을 쥐었다\n"), 1);

    // After a lock closes it, the next tick sets it again from the console key alone.
    r.ws.setOnConsole(true);
    r.lock.gateTick();
    r.lock.watchScreenLock();
    r.ws.lock();
    EXPECT_FALSE(r.videoAllowed.load());
    r.lock.gateTick();
    EXPECT_TRUE(r.videoAllowed.load());
    EXPECT_EQ(countOf(r.logText(), "영상 열림 — 쓸 수 있는 상태다\n"), 3);
}

TEST(ScreenLockMainQueue, HandlersAndTheGateRunOnTheMainQueue) {
    MainQueue main;
    main.adoptCurrentThread();
    LockRig r(R"({"login": "kim"})", &main);
    r.lock.watchScreenLock();
    r.lock.watchVideoGate();

    // A lock from another thread is handled only when the main loop runs.
    std::thread([&] { r.ws.lock(); }).join();
    EXPECT_TRUE(r.calls.empty());
    main.spinRunLoop(0.8);
    EXPECT_EQ(r.calls, (std::vector<std::string>{"physicalOn", "destroy"}));
    // The gate's first tick came after the lock and opened it from the console key.
    EXPECT_TRUE(r.videoAllowed.load());
    EXPECT_EQ(countOf(r.logText(), "영상 열림 — 쓸 수 있는 상태다\n"), 1);
}
