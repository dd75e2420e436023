// The screen video end to end: a paired phone peer fetches the key, registers,
// receives the sealed datagrams from a headless agent and decodes real HEVC.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <thread>

#include "integration/agent_fixture.h"

using namespace vmtest;

namespace {

// "video frames=N decoded=N … latencyP99Ms=X" as a map of its fields.
std::map<std::string, std::string> summaryOf(const std::string& out) {
    std::map<std::string, std::string> m;
    auto at = out.rfind("video frames=");
    if (at == std::string::npos) return m;
    std::string line = out.substr(at, out.find('\n', at) - at);
    std::printf("  %s\n", line.c_str());  // the figures, for the record of the run
    std::regex field("(\\w+)=(\\S+)");
    for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) m[(*it)[1]] = (*it)[2];
    return m;
}

long num(const std::map<std::string, std::string>& m, const std::string& k) {
    auto it = m.find(k);
    return it == m.end() ? -1 : std::stol(it->second);
}

class VideoFlow : public AgentFixture {
protected:
    EnvOverrides agentEnv() const override {
        writeFile(home / "scene.json", R"({"displays":[{"width":1280,"height":720}]})");
        return {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}};
    }
    std::string videoLog() const { return home / ".local/state/vellomark/videod.log"; }
    // Without a phone asking for the screen there is no virtual display, and capture
    // gives it about 15 s before it settles for the physical one.
    void waitForCapture() {
        ASSERT_TRUE(waitForFileContaining(videoLog(), "캡처 시작됨 (시도 ", 30)) << fileText(videoLog());
    }
};

}  // namespace

TEST_F(VideoFlow, APairedPhoneDecodesTheScreen) {
    pair();
    waitForCapture();
    std::string out;
    const std::string png = home / "last.png";
    auto st = run("vellomark-phone", {"video", "--seconds", "5", "--save-png", png}, &out, 60);
    ASSERT_TRUE(st.exitedWith(0)) << out;
    auto s = summaryOf(out);
    ASSERT_FALSE(s.empty()) << out;
    EXPECT_GE(num(s, "decoded"), 100) << out;
    EXPECT_EQ(num(s, "decodeErrors"), 0) << out;
    EXPECT_EQ(num(s, "unrecoverable"), 0) << out;
    EXPECT_GE(num(s, "keyframes"), 1) << out;
    EXPECT_EQ(s["size"], "1280x720") << out;
    // The picture really is a PNG.
    std::string pngBytes = fileText(png);
    ASSERT_GT(pngBytes.size(), 8u);
    EXPECT_EQ(pngBytes.substr(1, 3), "PNG");
    // The agent saw the registration through the control channel and says how it seals.
    std::string log = fileText(videoLog());
    EXPECT_NE(log.find("클라이언트 등록됨 (제어 채널 경유, 영상 포트 "), std::string::npos) << log;
    EXPECT_NE(log.find("영상 봉인 켜짐 — 세션키 번호 "), std::string::npos) << log;
    EXPECT_NE(log.find("캡처 시작 1280×720"), std::string::npos) << log;
}

TEST_F(VideoFlow, LostDatagramsAreRepairedByParityAndResends) {
    pair();
    waitForCapture();
    std::string out;
    auto st = run("vellomark-phone", {"video", "--seconds", "6", "--drop", "5", "--seed", "7"}, &out, 60);
    ASSERT_TRUE(st.exitedWith(0)) << out;
    auto s = summaryOf(out);
    ASSERT_FALSE(s.empty()) << out;
    EXPECT_GE(num(s, "decoded"), 60) << out;
    EXPECT_GT(num(s, "lost"), 0) << out;
    EXPECT_GT(num(s, "recovered"), 0) << out;
    // Every frame that reached the decoder was whole: nothing given up, nothing broken.
    EXPECT_EQ(num(s, "unrecoverable"), 0) << out;
    EXPECT_EQ(num(s, "decodeErrors"), 0) << out;
    EXPECT_EQ(num(s, "decoded"), num(s, "frames") - num(s, "skipped")) << out;
}

TEST_F(VideoFlow, UnpairingAnotherPhoneRotatesTheKeyAndTheFirstKeepsDecoding) {
    auto first = pair();
    const std::string secondKey = home / "second-key.json";
    auto second = pair(secondKey);
    ASSERT_NE(first["id"], second["id"]);
    waitForCapture();
    auto video = tool("vellomark-phone", {"video", "--seconds", "9"});
    // Let it settle, then unpair the other phone.
    ASSERT_TRUE(waitForFileContaining(videoLog(), "클라이언트 등록됨", 15)) << fileText(videoLog());
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(run("vellomark-ctl", {"UNPAIR " + second["id"].get<std::string>()}).exitedWith(0));
    auto st = video->waitExit(60);
    std::string out = video->stdoutText() + video->stderrText();
    ASSERT_TRUE(st && st->exitedWith(0)) << out;
    EXPECT_TRUE(waitForFileContaining(videoLog(), "영상 세션키를 새로 만들었다 — 번호 ", 5)) << fileText(videoLog());
    auto s = summaryOf(out);
    EXPECT_GE(num(s, "keyChanges"), 1) << out;
    EXPECT_GE(num(s, "decodedAfterKeyChange"), 30) << out;
    EXPECT_EQ(num(s, "decodeErrors"), 0) << out;
}
