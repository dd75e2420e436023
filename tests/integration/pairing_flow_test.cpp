// A phone pairs with a running agent and uses the encrypted channel, all as real
// processes on real sockets: vellomark, vellomark-phone, vellomark-ctl and openssl.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "base/base64.h"
#include "base/bytes.h"
#include "integration/process_helper.h"

using namespace vmtest;

namespace {

const std::string kBin = VELLOMARK_BIN_DIR;

class PairingFlow : public ::testing::Test {
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

    void SetUp() override {
        fs::create_directories(home / "run");
        ::chmod((home / "run").c_str(), 0700);
        agent = spawn({kBin + "/vellomark"}, env(), home.path());
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

    // Pairs through the whole protocol and returns the phone's key file.
    nlohmann::json pair() {
        auto phone = tool("vellomark-phone", {"pair", "--name", "Test phone", "--timeout", "30"});
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
        EXPECT_EQ(fileMode(keyPath()), 0600);
        EXPECT_TRUE(waitForFileContaining(logPath(), "listening dtls/" + std::to_string(47824 + offset), 10));
        return nlohmann::json::parse(fileText(keyPath()));
    }
};

}  // namespace

TEST_F(PairingFlow, ApprovedPhoneTalksOverDtlsAndAnIndependentClientToo) {
    auto key = pair();
    const std::string identity = key["identity"];
    EXPECT_EQ(fileMode(home / ".local/share/vellomark/pairings.json"), 0600);
    EXPECT_NE(fileText(home / ".local/share/vellomark/pairings.json").find(identity), std::string::npos);

    std::string out;
    EXPECT_TRUE(run("vellomark-phone", {"ctl", "--wait", "P 1 ", "P 1"}, &out).exitedWith(0)) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("P 1 \\d{16}"))) << out;
    EXPECT_TRUE(waitForFileContaining(logPath(), "폰 붙음 — Test phone", 5));

    std::string known;
    EXPECT_TRUE(run("vellomark-phone", {"known"}, &known).exitedWith(0));
    EXPECT_NE(known.find("KNOWN 1"), std::string::npos) << known;

    // openssl's own DTLS client with the same key: an independent implementation.
    auto psk = vm::base64Decode(key["psk"].get<std::string>());
    ASSERT_TRUE(psk && psk->size() == 32);
    const std::string script = "(printf 'P 7\\n'; sleep 2) | openssl s_client -quiet -dtls1_2 -psk " +
                               vm::hexLower(*psk) + " -psk_identity " + identity +
                               " -cipher PSK-AES128-GCM-SHA256 -connect 127.0.0.1:" +
                               std::to_string(47824 + offset) + " 2>&1";
    auto ossl = spawn({"/bin/sh", "-c", script}, env());
    EXPECT_TRUE(waitUntil([&] { return std::regex_search(ossl->stdoutText(), std::regex("P 7 \\d{16}")); }, 10))
        << ossl->stdoutText();
}

TEST_F(PairingFlow, WrongKeyNeverReachesReadyAndUnpairSaysGoodbye) {
    auto key = pair();

    // Same identity, different key (openssl as the client, since our phone checks its own
    // key file): the handshake fails and nothing is attached.
    const std::string identity = key["identity"];
    const std::string script = "(printf 'P 1\\n'; sleep 2) | openssl s_client -quiet -dtls1_2 -psk " +
                               std::string(64, 'a') + " -psk_identity " + identity +
                               " -cipher PSK-AES128-GCM-SHA256 -connect 127.0.0.1:" +
                               std::to_string(47824 + offset) + " 2>&1";
    auto ossl = spawn({"/bin/sh", "-c", script}, env());
    // A record with the wrong key is discarded silently; the client just retries. Give it time.
    ossl->waitExit(6);
    EXPECT_EQ(ossl->stdoutText().find("P 1 "), std::string::npos) << ossl->stdoutText();
    EXPECT_EQ(fileText(logPath()).find("DTLS 연결 —"), std::string::npos) << fileText(logPath());

    // The right key attaches; unpairing closes its channel with "BYE".
    auto phone = tool("vellomark-phone", {"ctl", "--wait", "BYE", "--timeout", "20", "IS?"});
    ASSERT_TRUE(waitForFileContaining(logPath(), "폰 붙음 — Test phone", 10)) << fileText(logPath());
    EXPECT_TRUE(run("vellomark-ctl", {"UNPAIR " + key["id"].get<std::string>()}).exitedWith(0));
    auto st = phone->waitExit(10);
    EXPECT_TRUE(st && st->exitedWith(0)) << phone->stdoutText() << phone->stderrText();
    EXPECT_TRUE(waitForFileContaining(logPath(), "짝 해제 — ", 5));
    EXPECT_TRUE(waitForFileContaining(logPath(), "짝지어진 폰이 없다", 5));

    // The key is gone: the agent no longer knows it and the channel no longer answers.
    std::string known;
    EXPECT_TRUE(run("vellomark-phone", {"known"}, &known).exitedWith(0));
    EXPECT_NE(known.find("KNOWN 0"), std::string::npos) << known;
    EXPECT_FALSE(run("vellomark-phone", {"ctl", "--wait", "P 1 ", "--timeout", "3", "P 1"}).exitedWith(0));
}
