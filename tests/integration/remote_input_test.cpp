// What the phone's input lines do to the desktop, seen through the headless
// desktop's trace file: pointer, buttons, keys and typed text, in order.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "base/base64.h"
#include "integration/agent_fixture.h"

using namespace vmtest;
using nlohmann::json;

namespace {

class RemoteInput : public AgentFixture {
protected:
    std::string tracePath() const { return home / "trace.jsonl"; }
    EnvOverrides agentEnv() const override {
        writeFile(home / "scene.json", R"({"displays":[{"width":1280,"height":720}],"pointer":{"x":100,"y":100}})");
        return {{"VELLOMARK_HEADLESS_SCENE", home / "scene.json"}, {"VELLOMARK_HEADLESS_TRACE", tracePath()}};
    }
    std::vector<json> trace() const {
        std::vector<json> out;
        std::istringstream in(fileText(tracePath()));
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) out.push_back(json::parse(line));
        return out;
    }
};

}  // namespace

TEST_F(RemoteInput, PhoneLinesBecomeDesktopEventsInOrder) {
    pair();
    const std::string text = "héllo, 세계";
    std::string out;
    // One message per line, as the phone sends them; "P 9" last, so its echo means all were handled.
    ASSERT_TRUE(run("vellomark-phone", {"ctl", "--wait", "P 9 ", "M 12 -3", "B L 1", "B L 0", "K 4 1", "K 4 0",
                                        "T 1 " + vm::base64Encode(text), "P 9"},
                    &out)
                    .exitedWith(0))
        << out;
    auto ev = trace();
    ASSERT_EQ(ev.size(), 7u) << fileText(tracePath());

    auto mouse = [](const json& e, int type, double x, double y) {
        EXPECT_EQ(e["kind"], "mouse") << e;
        EXPECT_EQ(e["type"], type) << e;
        EXPECT_DOUBLE_EQ(e["x"].get<double>(), x) << e;
        EXPECT_DOUBLE_EQ(e["y"].get<double>(), y) << e;
        EXPECT_EQ(e["button"], 0) << e;
    };
    mouse(ev[0], 5, 112, 97);
    mouse(ev[1], 1, 112, 97);
    EXPECT_EQ(ev[1]["clickState"], 1);
    mouse(ev[2], 2, 112, 97);
    EXPECT_EQ(ev[2]["clickState"], 1);

    for (int i : {3, 4}) {
        EXPECT_EQ(ev[i]["kind"], "key");
        EXPECT_EQ(ev[i]["type"], i == 3 ? 10 : 11);
        EXPECT_EQ(ev[i]["vk"], 0);
        EXPECT_EQ(ev[i]["flags"], 0);
        EXPECT_FALSE(ev[i].contains("text"));
    }
    for (int i : {5, 6}) {
        EXPECT_EQ(ev[i]["kind"], "key");
        EXPECT_EQ(ev[i]["type"], i == 5 ? 10 : 11);
        EXPECT_EQ(ev[i]["text"], text);
    }
}

TEST_F(RemoteInput, APhoneThatLeavesWhileHoldingLetsGo) {
    pair();
    std::string out;
    // Presses with no release, then the phone closes its connection.
    ASSERT_TRUE(run("vellomark-phone", {"ctl", "--wait", "P 9 ", "K 4 1", "B L 1", "P 9"}, &out).exitedWith(0)) << out;
    ASSERT_TRUE(waitForFileContaining(logPath(), "폰 연결이 끝났다 — 눌린 채인 키와 버튼을 놓는다", 10))
        << fileText(logPath());
    ASSERT_TRUE(waitUntil([&] { return trace().size() >= 4; }, 5)) << fileText(tracePath());
    auto ev = trace();
    // The key goes up, and the button.
    bool keyUp = false, buttonUp = false;
    for (size_t i = 2; i < ev.size(); ++i) {
        keyUp = keyUp || (ev[i]["kind"] == "key" && ev[i]["type"] == 11 && ev[i]["vk"] == 0);
        buttonUp = buttonUp || (ev[i]["kind"] == "mouse" && ev[i]["type"] == 2);
    }
    EXPECT_TRUE(keyUp) << fileText(tracePath());
    EXPECT_TRUE(buttonUp) << fileText(tracePath());
}
