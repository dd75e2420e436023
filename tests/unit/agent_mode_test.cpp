// The automation agent's stop machinery: the stop paths and their signals (stop
// file, pkill, child termination), the take-over rule, and the JSON Lines record.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/base64.h"
#include "base/clock.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"
#include "integration/process_helper.h"
#include "session/agent_mode.h"
#include "support/fake_peer.h"

using namespace vm;
namespace fs = std::filesystem;

namespace {

// 2027-01-15 08:00:00.25 UTC.
constexpr double kStart = 1'800'000'000.25;

class UtcZone {
public:
    UtcZone() {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (old) old_ = old;
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

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

// Starts `sh -c script` as our child.
pid_t startShell(const std::string& script) {
    std::string sh = "/bin/sh", c = "-c", body = script;
    char* argv[] = {sh.data(), c.data(), body.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, sh.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    return pid;
}

// Children of this process that have exited and nobody has waited for.
int zombieChildren() {
    int n = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string stat = vmtest::fileText(entry.path().string() + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size()) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == ::getpid() && state == 'Z') ++n;
    }
    return n;
}

class AgentModeTest : public ::testing::Test {
protected:
    AgentModeTest() {
        // Stands in for pkill: notes its arguments, one call per line.
        vmtest::writeFile(fakePkill(), "#!/bin/sh\necho \"$@\" >> '" + pkillCalls() + "'\n");
        ::chmod(fakePkill().c_str(), 0755);
        phone.setPhoneConn(peer);
    }

    std::string agentDir() const { return tmp.path() + "/logs/agent"; }
    std::string stopFile() const { return tmp.path() + "/agent.stop"; }
    std::string fakePkill() const { return tmp.path() + "/fake-pkill"; }
    std::string pkillCalls() const { return tmp.path() + "/pkill.calls"; }
    std::string inputLog() const { return vmtest::fileText(tmp.path() + "/logs/inputd.log"); }
    std::string agentLogFile() const { return agentDir() + "/270115-080000.jsonl"; }

    std::vector<nlohmann::json> records() const {
        std::vector<nlohmann::json> out;
        for (const auto& l : linesOf(vmtest::fileText(agentLogFile()))) out.push_back(nlohmann::json::parse(l));
        return out;
    }

    std::unique_ptr<AgentMode> makeAgent() {
        return std::make_unique<AgentMode>(clock, log, sender, AgentModePaths{agentDir(), stopFile(), fakePkill()});
    }

    UtcZone utc;
    vmtest::TempDir tmp{"vm-agent"};
    FakeClock clock{kStart};
    Logger log{tmp.path() + "/logs", clock};
    PhoneState phone{kStart};
    CtlSender sender{phone, nullptr};
    std::shared_ptr<vm::testing::RecordingPeer> peer = std::make_shared<vm::testing::RecordingPeer>(kStart);
    std::unique_ptr<AgentMode> agent = makeAgent();
};

TEST_F(AgentModeTest, PhoneStopTwiceRecordsAndSignalsTwice) {
    vmtest::writeFile(stopFile(), "left from before");
    int released = 0;
    agent->stopByPhone([&] { ++released; });
    clock.advance(1.0);
    agent->stopByPhone([&] { ++released; });

    EXPECT_TRUE(agent->agentStop.load());
    EXPECT_EQ(released, 2);
    auto recs = records();
    ASSERT_EQ(recs.size(), 2u);
    for (const auto& r : recs) {
        EXPECT_EQ(r.at("action"), "stop");
        EXPECT_EQ(r.at("by"), "phone");
        EXPECT_EQ(r.at("decision"), "함");
        EXPECT_FALSE(r.contains("what"));
    }
    EXPECT_EQ(countOf(inputLog(), "에이전트 중단 — 폰\n"), 2);

    // The stop file is there and empty, replacing what was there.
    EXPECT_EQ(vmtest::readFile(stopFile()), std::optional<std::string>(""));
    // pkill runs in the background; both launches arrive.
    ASSERT_TRUE(vmtest::waitUntil([&] { return linesOf(vmtest::fileText(pkillCalls())).size() >= 2; }, 10.0));
    EXPECT_EQ(linesOf(vmtest::fileText(pkillCalls())), (std::vector<std::string>{"-f agent/drive", "-f agent/drive"}));
    // Nobody waits for pkill in the foreground, yet it leaves no zombie behind.
    EXPECT_TRUE(vmtest::waitUntil([] { return zombieChildren() == 0; }, 10.0));
}

TEST_F(AgentModeTest, StopFileReplacesALinkRatherThanWritingThroughIt) {
    const std::string victim = tmp.path() + "/victim.txt";
    vmtest::writeFile(victim, "precious");
    fs::create_symlink(victim, stopFile());
    agent->stopByPhone({});
    EXPECT_EQ(vmtest::fileText(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(stopFile()));
    EXPECT_EQ(fs::file_size(stopFile()), 0u);
}

TEST_F(AgentModeTest, LoopbackStopRecordsAndSignalsButLeavesLoggingToTheCaller) {
    agent->stopByLoopback();
    EXPECT_TRUE(agent->agentStop.load());
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].at("by"), "루프백");
    EXPECT_EQ(recs[0].at("action"), "stop");
    EXPECT_EQ(recs[0].at("decision"), "함");
    EXPECT_TRUE(fs::exists(stopFile()));
    EXPECT_TRUE(vmtest::waitForFileContaining(pkillCalls(), "-f agent/drive", 10.0));
    EXPECT_EQ(inputLog().find("에이전트 중단"), std::string::npos);
}

TEST_F(AgentModeTest, LockStopAndGo) {
    agent->stopForLock();
    EXPECT_TRUE(agent->agentStop.load());
    EXPECT_FALSE(fs::exists(agentDir()));  // no record, no folder
    EXPECT_FALSE(fs::exists(stopFile()));
    agent->go();
    EXPECT_FALSE(agent->agentStop.load());
    EXPECT_NE(inputLog().find("에이전트 정지 해제\n"), std::string::npos);
}

TEST_F(AgentModeTest, TakeOverWithinFifteenSecondsOfAnAgentAction) {
    agent->setLastAct(clock.now());
    clock.advance(14.9);
    EXPECT_TRUE(agent->recentlyActive());
    agent->agentUserTookOver("K");
    EXPECT_TRUE(agent->agentStop.load());
    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].at("by"), "사람이 직접 조작");
    EXPECT_EQ(recs[0].at("what"), "K");
    EXPECT_EQ(recs[0].at("decision"), "함");
    EXPECT_EQ(recs[0].at("action"), "stop");
    EXPECT_NE(inputLog().find("에이전트 중단 — 사람이 직접 조작했다 (K)\n"), std::string::npos);

    // Already stopped: further human input writes nothing more.
    agent->agentUserTookOver("B");
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(countOf(inputLog(), "사람이 직접 조작했다"), 1);
}

TEST_F(AgentModeTest, NoTakeOverAfterFifteenSecondsOrWithoutAnAgent) {
    agent->agentUserTookOver("T");  // never acted: the distant past
    EXPECT_FALSE(agent->recentlyActive());
    agent->setLastAct(clock.now());
    clock.advance(15.0);
    EXPECT_FALSE(agent->recentlyActive());
    agent->agentUserTookOver("S");
    EXPECT_FALSE(agent->agentStop.load());
    EXPECT_FALSE(fs::exists(agentLogFile()));
    EXPECT_EQ(inputLog().find("에이전트"), std::string::npos);
}

TEST_F(AgentModeTest, KeyWhileStoppedWritesNoTakeOverRecord) {
    agent->stopForLock();
    agent->setLastAct(clock.now());
    agent->agentUserTookOver("K");
    EXPECT_TRUE(agent->agentStop.load());
    EXPECT_FALSE(fs::exists(agentLogFile()));
    EXPECT_EQ(inputLog().find("사람이 직접 조작"), std::string::npos);
}

TEST_F(AgentModeTest, FirstRecordCreatesTheFileLaterOnesAppend) {
    EXPECT_EQ(agent->logPath(), agentLogFile());  // named by the start time, folder made on the way
    EXPECT_TRUE(fs::is_directory(agentDir()));
    EXPECT_FALSE(fs::exists(agentLogFile()));

    clock.advance(3600.0 + 0.19);  // the name stays that of the start
    agent->agentLog({{"action", "one"}});
    EXPECT_EQ(vmtest::fileMode(agentLogFile()), 0600);
    clock.advance(61.5);
    agent->agentLog({{"action", "two"}, {"n", 2}});

    const std::string text = vmtest::fileText(agentLogFile());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    auto recs = records();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0], (nlohmann::json{{"action", "one"}, {"t", "09:00:00.4"}}));
    EXPECT_EQ(recs[1], (nlohmann::json{{"action", "two"}, {"n", 2}, {"t", "09:01:01.9"}}));
    // One compact object per line.
    EXPECT_EQ(linesOf(text)[0], R"({"action":"one","t":"09:00:00.4"})");

    // A record that cannot be serialised is dropped without harm.
    agent->agentLog({{"bad", std::string("\xFF")}});
    agent->agentLog(nlohmann::json::array({1, 2}));
    EXPECT_EQ(records().size(), 2u);
}

TEST_F(AgentModeTest, SayGoesToThePhoneAsBase64) {
    agent->agentSay("⚠︎ 섰다 — 직접 조작");
    ASSERT_EQ(peer->lines().size(), 1u);
    EXPECT_EQ(peer->lines()[0], "SAY " + base64Encode(std::string("⚠︎ 섰다 — 직접 조작")) + "\n");
    phone.setPhoneConn(nullptr);
    agent->agentSay("nobody");  // no phone: nothing happens
    EXPECT_EQ(peer->lines().size(), 1u);
}

TEST_F(AgentModeTest, RunningChildIsTerminatedOnEveryStopPath) {
    using Stop = std::function<void(AgentMode&)>;
    const std::vector<std::pair<std::string, Stop>> paths = {
        {"phone", [](AgentMode& a) { a.stopByPhone({}); }},
        {"loopback", [](AgentMode& a) { a.stopByLoopback(); }},
        {"lock", [](AgentMode& a) { a.stopForLock(); }},
    };
    for (const auto& [name, stop] : paths) {
        SCOPED_TRACE(name);
        const std::string ready = tmp.path() + "/ready-" + name;
        const std::string termed = tmp.path() + "/term-" + name;
        pid_t pid = startShell("trap 'echo term > " + termed + "; exit 0' TERM; echo > " + ready +
                               "; while :; do sleep 0.05; done");
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(vmtest::waitUntil([&] { return fs::exists(ready); }, 10.0));
        agent->setChild(pid);
        stop(*agent);
        EXPECT_TRUE(vmtest::waitForFileContaining(termed, "term", 10.0));
        EXPECT_TRUE(vmtest::waitUntil([&] { return !fs::exists("/proc/" + std::to_string(pid)); }, 10.0));
        // Cleared: a second stop has nothing to terminate.
        agent->agentKillChild();
    }
}

TEST_F(AgentModeTest, ExitedChildIsReapedAndLeftAlone) {
    pid_t pid = startShell("exit 0");
    ASSERT_GT(pid, 0);
    // Wait until it has exited (a zombie still answers kill 0, so look at its state).
    ASSERT_TRUE(vmtest::waitUntil([&] {
        std::string stat = vmtest::fileText("/proc/" + std::to_string(pid) + "/stat");
        auto close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
    }, 10.0));
    agent->setChild(pid);
    agent->agentKillChild();  // sees it gone and reaps it
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid)));
    agent->stopForLock();  // still set, never signalled again
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
}

}  // namespace
