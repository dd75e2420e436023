// Files and long texts from the phone tool into a running headless agent.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "base/base64.h"
#include "integration/agent_fixture.h"

using namespace vmtest;
using nlohmann::json;

namespace {

class FileFlow : public AgentFixture {
protected:
    std::string tracePath() const { return home / "trace.jsonl"; }
    EnvOverrides agentEnv() const override {
        writeFile(home / "scene.json", R"({"displays":[{"width":1280,"height":720}],"pointer":{"x":100,"y":100}})");
        return {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}, {"VELLOMARK_HEADLESS_TRACE", tracePath()}};
    }
};

}  // namespace

TEST_F(FileFlow, PutArrivesInTheReceivedFolderByteIdentical) {
    pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    std::string body(50 * 1000 * 1000, '\0');
    std::mt19937_64 rng(12345);
    for (size_t i = 0; i + 8 <= body.size(); i += 8) {
        const uint64_t v = rng();
        std::memcpy(&body[i], &v, 8);
    }
    const std::string src = home / "random.bin";
    writeFile(src, body);
    std::string out;
    ASSERT_TRUE(run("vellomark-phone", {"put", src}, &out).exitedWith(0)) << out;
    EXPECT_NE(out.find("OK"), std::string::npos);
    EXPECT_TRUE(fileText(home / "Vellomark/random.bin") == body);
    EXPECT_NE(fileText(logPath()).find("파일 받기 — random.bin 끝 (50000000B)"), std::string::npos);
}

TEST_F(FileFlow, MultiLineTextIsPasted) {
    pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    std::string out;
    ASSERT_TRUE(run("vellomark-phone", {"txt", "--seq", "77", "first line\nsecond line"}, &out).exitedWith(0)) << out;
    EXPECT_NE(out.find("OK"), std::string::npos);
    // The paste keystroke: "v" (virtual key 9) with the command flag.
    bool paste = false;
    std::istringstream in(fileText(tracePath()));
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        auto e = json::parse(line);
        if (e["kind"] == "key" && e["vk"] == 9 && (e["flags"].get<uint64_t>() & 0x100000)) paste = true;
    }
    EXPECT_TRUE(paste) << fileText(tracePath());
    EXPECT_NE(fileText(logPath()).find("긴 글 #77 받음 — 22자 (22B)"), std::string::npos);
}

TEST_F(FileFlow, OfferedFileIsFetchedByThePhone) {
    pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    std::string body(3 * 1000 * 1000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::string src = home / "to phone.bin";
    writeFile(src, body);
    const std::string got = home / "phone-inbox";
    // The phone keeps its control channel open and fetches what is offered.
    auto phone = tool("vellomark-phone", {"ctl", "--accept-files", got, "--linger", "8", "P 1"});
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    ASSERT_TRUE(run("vellomark-ctl", {"SENDFILE " + vm::base64Encode(src)}).exitedWith(0));
    ASSERT_TRUE(waitUntil([&] { return fileText(got + "/to phone.bin").size() == body.size(); }, 20))
        << fileText(logPath()) << phone->stderrText();
    EXPECT_TRUE(fileText(got + "/to phone.bin") == body);
    EXPECT_TRUE(waitForFileContaining(logPath(), "to phone.bin 끝 (3000000B)", 10)) << fileText(logPath());
    phone->waitExit(15);
}

TEST_F(FileFlow, SharedFileIsOfferedWhileThePhoneIsConnectedAndFetchedFast) {
    pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    std::string body(2 * 1000 * 1000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 40503u) >> 7);
    const std::string src = home / "shared.bin";
    writeFile(src, body);
    const std::string got = home / "phone-inbox";
    auto phone = tool("vellomark-phone", {"ctl", "--accept-files", got, "--linger", "10", "P 1"});
    // The share tool refuses while the status file does not say "connected"; the phone is
    // attached now, so the agent writes it within a second or so.
    ASSERT_TRUE(waitUntil([&] { return fileText(home / ".local/share/vellomark/group/status.json")
                                           .find("\"connected\":true") != std::string::npos; }, 10))
        << fileText(home / ".local/share/vellomark/group/status.json");
    std::string out;
    ASSERT_TRUE(run("vellomark-share", {src}, &out).exitedWith(0)) << out;
    ASSERT_TRUE(waitUntil([&] { return fileText(got + "/shared.bin").size() == body.size(); }, 20))
        << fileText(logPath()) << phone->stdoutText() << phone->stderrText();
    EXPECT_TRUE(fileText(got + "/shared.bin") == body);
    EXPECT_NE(fileText(logPath()).find("보낼함 — shared.bin 를 폰에 제안한다"), std::string::npos);
    // The offer ended: its outbox item is gone.
    EXPECT_TRUE(waitUntil([&] {
        std::error_code ec;
        return fs::is_empty(home / ".local/share/vellomark/group/outbox", ec);
    }, 10));
    phone->signal(SIGTERM);
}

TEST_F(FileFlow, OpensslSpeaksPutByHand) {
    auto key = pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    auto psk = vm::base64Decode(key["psk"].get<std::string>());
    ASSERT_TRUE(psk);
    // "PUT <size> <base64 name>", then the bytes; the agent answers "OK".
    const std::string script = "(printf 'PUT 5 " + vm::base64Encode(std::string("hand.txt")) +
                               "\\nhello'; sleep 2) | openssl s_client -quiet -tls1_2 -psk " + vm::hexLower(*psk) +
                               " -psk_identity " + key["identity"].get<std::string>() +
                               " -cipher PSK-AES128-GCM-SHA256 -connect 127.0.0.1:" +
                               std::to_string(47825 + offset) + " 2>&1";
    auto ossl = spawn({"/bin/sh", "-c", script}, env());
    EXPECT_TRUE(waitUntil([&] { return fileText(home / "Vellomark/hand.txt") == "hello"; }, 10))
        << ossl->stdoutText() << fileText(logPath());
    EXPECT_TRUE(waitUntil([&] { return ossl->stdoutText().find("OK") != std::string::npos; }, 10)) << ossl->stdoutText();
}

TEST_F(FileFlow, AListeningPhoneStaysConnectedWhileItLingers) {
    pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    const std::string status = home / ".local/share/vellomark/group/status.json";
    const std::string got = home / "phone-inbox";
    // As the README has it: the phone only waits for offers, sending nothing of its own.
    auto phone = tool("vellomark-phone", {"ctl", "--accept-files", got, "--linger", "30"});
    ASSERT_TRUE(waitUntil([&] { return fileText(status).find("\"connected\":true") != std::string::npos; }, 10))
        << fileText(status);
    // Well past the 10 s after which a silent phone counts as gone.
    std::this_thread::sleep_for(std::chrono::seconds(14));
    EXPECT_NE(fileText(status).find("\"connected\":true"), std::string::npos) << fileText(status);
    const std::string src = home / "late.txt";
    writeFile(src, "still here\n");
    std::string out;
    ASSERT_TRUE(run("vellomark-share", {src}, &out).exitedWith(0)) << out;
    EXPECT_TRUE(waitUntil([&] { return fileText(got + "/late.txt") == "still here\n"; }, 20))
        << fileText(logPath()) << phone->stderrText();
    phone->signal(SIGTERM);
}

TEST_F(FileFlow, UploadCutOffBySigtermNeverShowsUnderItsName) {
    auto key = pair();
    ASSERT_TRUE(waitForFileContaining(logPath(), "— 파일 채널", 10)) << fileText(logPath());
    auto psk = vm::base64Decode(key["psk"].get<std::string>());
    ASSERT_TRUE(psk);
    // 10 MB announced, 1 MB sent, then the phone goes quiet.
    const std::string script = "(printf 'PUT 10000000 " + vm::base64Encode(std::string("cut.bin")) +
                               "\\n'; head -c 1000000 /dev/zero; sleep 5) | openssl s_client -quiet -tls1_2 -psk " +
                               vm::hexLower(*psk) + " -psk_identity " + key["identity"].get<std::string>() +
                               " -cipher PSK-AES128-GCM-SHA256 -connect 127.0.0.1:" +
                               std::to_string(47825 + offset) + " 2>&1";
    auto ossl = spawn({"/bin/sh", "-c", script}, env());
    const fs::path dir = home / "Vellomark";
    auto parts = [&] {
        std::vector<fs::path> v;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            if (it->path().filename().string().rfind(".vellomark-part-", 0) == 0) v.push_back(it->path());
        return v;
    };
    ASSERT_TRUE(waitUntil([&] {
        auto v = parts();
        std::error_code ec;
        return v.size() == 1 && fs::file_size(v[0], ec) == 1000000;
    }, 15)) << fileText(logPath());
    EXPECT_FALSE(fs::exists(dir / "cut.bin"));

    agent->signal(SIGTERM);
    auto st = agent->waitExit(5);
    ASSERT_TRUE(st && st->exitedWith(0));
    EXPECT_FALSE(fs::exists(dir / "cut.bin")) << "a cut-off file must not look complete";

    // What a killed agent would leave behind goes at the next start.
    writeFile((dir / ".vellomark-part-1-0123456789abcdef").string(), "left by a crash");
    EnvOverrides e = env();
    for (auto& [k, v] : agentEnv()) e[k] = v;
    agent = spawn({kBin + "/vellomark"}, e, home.path());
    EXPECT_TRUE(waitForFileContaining(logPath(), "받다 끊긴 부분 파일 ", 20)) << fileText(logPath());
    EXPECT_TRUE(waitUntil([&] { return parts().empty(); }, 10));
    EXPECT_FALSE(fs::exists(dir / "cut.bin"));
}
