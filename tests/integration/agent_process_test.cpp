// The agent as a real process: where it logs at start, what it says on standard
// error, how it ends on SIGTERM, and how it treats its command line and scene file.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "integration/process_helper.h"

using namespace vmtest;

namespace {

const std::string kAgent = std::string(VELLOMARK_BIN_DIR) + "/vellomark";
const std::string kNoVirtualScreen = "가상 화면을 못 세웠다\n";
const std::string kTrustedLine = "접근성 권한: 허용\n";

class AgentProcess : public ::testing::Test {
protected:
    TempDir home{"vellomark-home"};

    std::string logPath() const { return home.path() + "/.local/state/vellomark/inputd.log"; }
    std::string vdispLogPath() const { return home.path() + "/.local/state/vellomark/vdisp.log"; }
    std::string pairPath() const { return home.path() + "/.local/share/vellomark/pairings.json"; }
    std::string runtimeDir() const {
        const std::string dir = home.path() + "/run";
        fs::create_directories(dir);
        ::chmod(dir.c_str(), 0700);
        return dir;
    }

    // A clean user environment: our HOME, no XDG overrides, no display server.
    EnvOverrides baseEnv() const {
        return {
            {"HOME", home.path()},
            {"XDG_STATE_HOME", std::nullopt},
            {"XDG_DATA_HOME", std::nullopt},
            {"XDG_CONFIG_HOME", std::nullopt},
            // A runtime folder of its own, so that the local control socket never
            // meets another agent's (a real one, or a parallel test's).
            {"XDG_RUNTIME_DIR", runtimeDir()},
            {"DISPLAY", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"VELLOMARK_PLATFORM", std::nullopt},
            {"VELLOMARK_HEADLESS_SCENE", std::nullopt},
            {"VELLOMARK_NO_HANDOFF", "1"},
            {"VELLOMARK_PORT_OFFSET", std::to_string(freePortOffset())},
        };
    }

    std::unique_ptr<Process> start(std::vector<std::string> extraArgs = {}, EnvOverrides extraEnv = {}) {
        std::vector<std::string> argv{kAgent};
        argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
        EnvOverrides env = baseEnv();
        for (auto& [k, v] : extraEnv) env[k] = v;
        return spawn(argv, env, home.path());
    }

    // Waits until the input side has finished its start-up lines.
    void waitStarted(Process& p) {
        ASSERT_TRUE(waitForFileContaining(logPath(), kTrustedLine, 20.0))
            << "log so far:\n" << fileText(logPath()) << "\nstderr:\n" << p.stderrText();
    }

    void expectCleanTerm(Process& p) {
        ASSERT_TRUE(p.signal(SIGTERM));
        auto st = p.waitExit(1.0);
        ASSERT_TRUE(st.has_value()) << "still running 1 s after SIGTERM";
        EXPECT_TRUE(st->exitedWith(0)) << st->describe();
    }
};

TEST_F(AgentProcess, LogsItsStartAndEndsWithStatusZeroOnSigterm) {
    auto agent = start();
    waitStarted(*agent);

    const std::string log = fileText(logPath());
    EXPECT_NE(log.find("  짝짓기 기록 0개 — " + pairPath() + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find("  " + kTrustedLine), std::string::npos) << log;
    // Every line is stamped "HH:mm:ss.SSS" and two blanks.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_GE(line.size(), 14u) << line;
        EXPECT_EQ(line[2], ':') << line;
        EXPECT_EQ(line[5], ':') << line;
        EXPECT_EQ(line[8], '.') << line;
        EXPECT_EQ(line.substr(12, 2), "  ") << line;
    }
    // The pairing folder keeps keys: only the user may enter it.
    EXPECT_EQ(fileMode(home.path() + "/.local/share/vellomark"), 0700);

    // No display is online: the agent makes its virtual display before anything else, quietly.
    EXPECT_EQ(agent->stderrText(), "");
    EXPECT_TRUE(waitForFileContaining(vdispLogPath(), "가상 디스플레이 준비됨 — id=", 10)) << fileText(vdispLogPath());
    EXPECT_TRUE(agent->running());

    expectCleanTerm(*agent);
}

TEST_F(AgentProcess, WithAnOnlineDisplayNoVirtualScreenIsNeeded) {
    writeFile(home / "scene.json", R"({"displays":[{"width":1920,"height":1080}]})");
    auto agent = start({}, {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}});
    waitStarted(*agent);
    EXPECT_EQ(agent->stderrText().find(kNoVirtualScreen), std::string::npos) << agent->stderrText();
    expectCleanTerm(*agent);
}

TEST_F(AgentProcess, AnOfflineDisplayDoesNotCountAndTheVirtualOneIsMadeAtStart) {
    writeFile(home / "scene.json", R"({"displays":[{"width":1920,"height":1080,"online":false}]})");
    auto agent = start({}, {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}});
    waitStarted(*agent);
    EXPECT_EQ(agent->stderrText(), "");
    const std::string vlog = fileText(vdispLogPath());
    EXPECT_NE(vlog.find("가상 디스플레이 준비됨 — id="), std::string::npos) << vlog;
    EXPECT_NE(vlog.find("1024x576 pt (2048x1152 px)"), std::string::npos) << vlog;
    expectCleanTerm(*agent);
}

TEST_F(AgentProcess, InspectPrintsOneLineOfDisplayFactsAndExits) {
    writeFile(home / "scene.json", R"({"displays":[{"width":1440,"height":900,"scale":2}]})");
    auto agent = start({"--inspect", "1"}, {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}});
    auto st = agent->waitExit(20.0);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(st->exitedWith(0)) << st->describe();
    EXPECT_EQ(agent->stdoutText(),
              "scale=2.000 ns=2.000 mode=2.000 matched=1 screens=1 ids=1:2.0 pt=1440x900 px=2880x1800 "
              "ioflags=0x0 mm=762x476 online=1\n");
    // A display nobody reports: matched=0, nothing online.
    auto other = start({"--inspect", "7"}, {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}});
    auto st2 = other->waitExit(20.0);
    ASSERT_TRUE(st2 && st2->exitedWith(0));
    EXPECT_NE(other->stdoutText().find("matched=0 "), std::string::npos) << other->stdoutText();
    EXPECT_NE(other->stdoutText().find(" online=0\n"), std::string::npos) << other->stdoutText();
    // The diagnostic does not start the agent.
    EXPECT_FALSE(fs::exists(logPath()) && fileText(logPath()).find(kTrustedLine) != std::string::npos);
}

class AgentIgnoresOtherCommandLines : public AgentProcess,
                                      public ::testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(AgentIgnoresOtherCommandLines, StartsNormally) {
    auto agent = start(GetParam());
    waitStarted(*agent);
    EXPECT_TRUE(agent->running());
    expectCleanTerm(*agent);
}

std::string commandLineName(const ::testing::TestParamInfo<std::vector<std::string>>& info) {
    static const char* const kNames[] = {"InspectX", "InspectAlone", "InspectTwoValues", "InspectTooLarge"};
    return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(CommandLines, AgentIgnoresOtherCommandLines,
                         ::testing::Values(std::vector<std::string>{"--inspect", "x"},
                                           std::vector<std::string>{"--inspect"},
                                           std::vector<std::string>{"--inspect", "7", "8"},
                                           std::vector<std::string>{"--inspect", "4294967296"}),
                         commandLineName);

TEST_F(AgentProcess, ABadSceneFileStopsTheStartNamingTheFile) {
    writeFile(home / "bad-scene.json", R"({"displays":[{"width":0,"height":1080}]})");
    auto agent = start({}, {{"VELLOMARK_HEADLESS_SCENE", home / "bad-scene.json"}});
    auto st = agent->waitExit(20.0);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(st->exitedWith(1)) << st->describe();
    const std::string err = agent->stderrText();
    EXPECT_NE(err.find(home / "bad-scene.json"), std::string::npos) << err;
    EXPECT_NE(err.find("width"), std::string::npos) << err;
}

TEST_F(AgentProcess, AMissingSceneFileStopsTheStartNamingTheFile) {
    auto agent = start({}, {{"VELLOMARK_HEADLESS_SCENE", home / "nowhere.json"}});
    auto st = agent->waitExit(20.0);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(st->exitedWith(1)) << st->describe();
    EXPECT_NE(agent->stderrText().find(home / "nowhere.json"), std::string::npos) << agent->stderrText();
}

TEST_F(AgentProcess, AnUnknownBackendStopsTheStart) {
    auto agent = start({}, {{"VELLOMARK_PLATFORM", "wayland"}});
    auto st = agent->waitExit(20.0);
    ASSERT_TRUE(st.has_value());
    EXPECT_TRUE(st->exitedWith(1)) << st->describe();
    EXPECT_NE(agent->stderrText().find("wayland"), std::string::npos) << agent->stderrText();
}

TEST_F(AgentProcess, RotatesABigLogAtStart) {
    const std::string big(5'000'001, 'x');
    writeFile(logPath(), big);
    writeFile(logPath() + ".1", "older generation\n");
    auto agent = start();
    waitStarted(*agent);
    EXPECT_EQ(fs::file_size(logPath() + ".1"), big.size());
    EXPECT_LT(fs::file_size(logPath()), 10'000u);
    expectCleanTerm(*agent);
}

TEST_F(AgentProcess, FollowsXdgStateAndDataHomes) {
    TempDir state{"vellomark-state"}, data{"vellomark-data"};
    auto agent = start({}, {{"XDG_STATE_HOME", state.path()}, {"XDG_DATA_HOME", data.path()}});
    const std::string log = state.path() + "/vellomark/inputd.log";
    ASSERT_TRUE(waitForFileContaining(log, kTrustedLine, 20.0)) << agent->stderrText();
    EXPECT_NE(fileText(log).find(data.path() + "/vellomark/pairings.json"), std::string::npos);
    EXPECT_FALSE(fs::exists(logPath()));
    expectCleanTerm(*agent);
}

}  // namespace

namespace {

// A UDP socket holding 0.0.0.0:port, as another program (or agent) would.
struct HeldPort {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    explicit HeldPort(uint16_t port) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~HeldPort() { ::close(fd); }
    bool ok = false;
};

}  // namespace

TEST_F(AgentProcess, APortInUseStopsTheStartSayingWhichAndWhy) {
    for (uint16_t base : {uint16_t(47822), uint16_t(47823)}) {
        const uint16_t offset = freePortOffset();
        const std::string port = "udp/" + std::to_string(base + offset);
        HeldPort held(static_cast<uint16_t>(base + offset));
        ASSERT_TRUE(held.ok);
        auto agent = start({}, {{"VELLOMARK_PORT_OFFSET", std::to_string(offset)}});
        auto st = agent->waitExit(20.0);
        ASSERT_TRUE(st.has_value()) << "still running with " << port << " taken";
        EXPECT_TRUE(st->exitedWith(1)) << st->describe();
        const std::string err = agent->stderrText();
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_EQ(err.rfind("vellomark: ⚠︎ ", 0), 0u) << err;
        EXPECT_NE(err.find(port + " "), std::string::npos) << err;
        if (base == 47822) {
            EXPECT_NE(err.find(" 를 못 열었다 — Address already in use"), std::string::npos) << err;
        }
        const std::string log = fileText(logPath());
        EXPECT_NE(log.find(err.substr(std::string("vellomark: ").size())), std::string::npos) << log;
        EXPECT_EQ(log.find("listening udp/" + std::to_string(47822 + offset)), std::string::npos) << log;
    }
}

TEST_F(AgentProcess, ASecondAgentOnTheSamePortsStopsAndTheFirstServesOn) {
    const uint16_t offset = freePortOffset();
    auto first = start({}, {{"VELLOMARK_PORT_OFFSET", std::to_string(offset)}});
    waitStarted(*first);
    TempDir otherHome{"vellomark-second"};
    fs::create_directories(otherHome / "run");
    ::chmod((otherHome / "run").c_str(), 0700);
    EnvOverrides env = baseEnv();
    env["HOME"] = otherHome.path();
    env["XDG_RUNTIME_DIR"] = otherHome / "run";
    env["VELLOMARK_PORT_OFFSET"] = std::to_string(offset);
    auto second = spawn({kAgent}, env, otherHome.path());
    auto st = second->waitExit(20.0);
    ASSERT_TRUE(st.has_value()) << "the second agent kept running";
    EXPECT_TRUE(st->exitedWith(1)) << st->describe();
    // The video port or the plain one, whichever it tried first, named in one line.
    const std::string err = second->stderrText();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    const bool named = err.find("udp/" + std::to_string(47822 + offset) + " ") != std::string::npos ||
                       err.find("udp/" + std::to_string(47823 + offset) + " ") != std::string::npos;
    EXPECT_TRUE(named) << err;
    EXPECT_EQ(fileText(otherHome / ".local/state/vellomark/inputd.log").find("listening udp/"), std::string::npos);
    EXPECT_TRUE(first->running());
    expectCleanTerm(*first);
}
