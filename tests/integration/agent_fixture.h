#pragma once
// A running headless agent in a temporary home, with helpers to run the phone peer
// and the local control tool against it and to pair them.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>

#include "integration/process_helper.h"

namespace vmtest {

inline const std::string kBin = VELLOMARK_BIN_DIR;

// A running headless agent in a temporary home, and the tools that talk to it.
class AgentFixture : public ::testing::Test {
protected:
    TempDir home{"vellomark-pairing"};
    uint16_t offset = freePortOffset();
    std::unique_ptr<Process> agent;

    EnvOverrides env() const {
        return {{"HOME", home.path()},
                {"XDG_STATE_HOME", std::nullopt},
                {"XDG_DATA_HOME", std::nullopt},
                {"XDG_CONFIG_HOME", std::nullopt},
                {"XDG_RUNTIME_DIR", home / "run"},
                {"DISPLAY", std::nullopt},
                {"VELLOMARK_PLATFORM", std::nullopt},
                {"VELLOMARK_HEADLESS_SCENE", std::nullopt},
                {"VELLOMARK_PORT_OFFSET", std::to_string(offset)}};
    }
    std::string logPath() const { return home / ".local/state/vellomark/inputd.log"; }
    std::string keyPath() const { return home / ".config/vellomark-phone/key.json"; }

    // Extra environment for the agent (scene, trace file).
    virtual EnvOverrides agentEnv() const { return {}; }

    void SetUp() override {
        fs::create_directories(home / "run");
        ::chmod((home / "run").c_str(), 0700);
        EnvOverrides e = env();
        for (auto& [k, v] : agentEnv()) e[k] = v;
        agent = spawn({kBin + "/vellomark"}, e, home.path());
        ASSERT_TRUE(waitForFileContaining(logPath(), "짝지어진 폰이 없다", 20)) << fileText(logPath());
    }
    void TearDown() override {
        if (agent && agent->running()) {
            agent->signal(SIGTERM);
            auto st = agent->waitExit(5);
            EXPECT_TRUE(st && st->exitedWith(0));
        }
    }

    std::unique_ptr<Process> tool(const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), kBin + "/" + name);
        return spawn(args, env(), home.path());
    }
    ExitStatus run(const std::string& name, std::vector<std::string> args, std::string* out = nullptr,
                   double timeout = 30) {
        auto p = tool(name, std::move(args));
        auto st = p->waitExit(timeout);
        if (out) *out = p->stdoutText() + p->stderrText();
        return st.value_or(ExitStatus{});
    }

    // Pairs through the whole protocol and returns the phone's key file (the default
    // one, or `keyFile` for a second phone).
    nlohmann::json pair(const std::optional<std::string>& keyFile = std::nullopt) {
        std::vector<std::string> args{"pair", "--name", "Test phone", "--timeout", "30"};
        if (keyFile) args.insert(args.begin(), {"--key", *keyFile});
        const std::string keyPathUsed = keyFile ? *keyFile : keyPath();
        auto phone = tool("vellomark-phone", args);
        std::smatch m;
        std::string out;
        const std::regex shown("code: (\\d{6})\\s+request: (\\d+)");
        EXPECT_TRUE(waitUntil([&] { out = phone->stdoutText(); return std::regex_search(out, m, shown); }, 20))
            << out << phone->stderrText();
        const std::string code = m[1], request = m[2];
        // The agent shows the same code, and says how to decide without a menu bar.
        EXPECT_TRUE(waitForFileContaining(logPath(), "확인 코드 " + code, 10)) << fileText(logPath());
        EXPECT_TRUE(waitForFileContaining(logPath(), "vellomark-ctl \"PAIROK " + request + "\"", 10));
        EXPECT_TRUE(run("vellomark-ctl", {"PAIROK " + request}).exitedWith(0));
        auto st = phone->waitExit(20);
        EXPECT_TRUE(st && st->exitedWith(0)) << phone->stdoutText() << phone->stderrText();
        EXPECT_NE(phone->stdoutText().find("identity: "), std::string::npos);
        EXPECT_EQ(fileMode(keyPathUsed), 0600);
        EXPECT_TRUE(waitForFileContaining(logPath(), "listening dtls/" + std::to_string(47824 + offset), 10));
        return nlohmann::json::parse(fileText(keyPathUsed));
    }
};

}  // namespace vmtest
