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
