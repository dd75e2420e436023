// A phone pairs with a running agent and uses the encrypted channel, all as real
// processes on real sockets: vellomark, vellomark-phone, vellomark-ctl and openssl.
#include <gtest/gtest.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "base/base64.h"
#include "base/bytes.h"
#include "integration/agent_fixture.h"

using namespace vmtest;

namespace {

class PairingFlow : public AgentFixture {};

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
