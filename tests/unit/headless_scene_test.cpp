// The in-memory desktop's scene file, the backend choice, and where the agent
// keeps its files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "integration/process_helper.h"
#include "platform/headless/headless_desktop.h"
#include "platform/platform.h"

using namespace vmtest;
using namespace vm::platform;
using namespace vm::platform::headless;

namespace {

// Sets environment variables for one test and puts the old values back afterwards.
class ScopedEnv {
public:
    void set(const std::string& name, std::optional<std::string> value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// The message of the runtime_error that parsing `text` throws; "" when it does not throw.
std::string parseError(const std::string& text) {
    try {
        Scene::parse(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

Locations someLocations() {
    Locations l;
    l.home = "/nowhere";
    return l;
}

// ---------------------------------------------------------------- scenes

TEST(HeadlessScene, OneDisplayIsOneOnlineDisplay) {
    Scene s = Scene::parse(R"({"displays":[{"width":1920,"height":1080}]})");
    ASSERT_EQ(s.displays.size(), 1u);
    EXPECT_EQ(s.displays[0].width, 1920u);
    EXPECT_EQ(s.displays[0].height, 1080u);
    EXPECT_TRUE(s.displays[0].online);
    EXPECT_DOUBLE_EQ(s.displays[0].scale, 1.0);
    // A plain display is never mistaken for the virtual one.
    EXPECT_NE(s.displays[0].vendor, 13398u);
    EXPECT_NE(s.displays[0].id, 0u);

    HeadlessDesktop desk(someLocations(), s);
    EXPECT_EQ(desk.displays().onlineCount(), 1u);
    EXPECT_STREQ(desk.name(), "headless");
}

TEST(HeadlessScene, OfflineDisplaysAreListedButNotCounted) {
    Scene s = Scene::parse(R"({"displays":[
        {"width":1920,"height":1080},
        {"width":2560,"height":1440,"online":false},
        {"width":1170,"height":2532,"vendor":13398,"scale":3}]})");
    HeadlessDesktop desk(someLocations(), s);
    EXPECT_EQ(desk.onlineCount(), 2u);
    auto list = desk.displayList();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_FALSE(list[1].online);
    EXPECT_EQ(list[2].vendor, 13398u);
    EXPECT_DOUBLE_EQ(list[2].scale, 3.0);
    // Every display has its own number.
    EXPECT_NE(list[0].id, list[1].id);
    EXPECT_NE(list[1].id, list[2].id);
    EXPECT_NE(list[0].id, list[2].id);
}

TEST(HeadlessScene, NoDisplaysMeansZeroOnline) {
    EXPECT_TRUE(Scene::parse("{}").displays.empty());
    EXPECT_TRUE(Scene::parse(R"({"displays":[]})").displays.empty());
    HeadlessDesktop desk(someLocations(), Scene{});
    EXPECT_EQ(desk.onlineCount(), 0u);
}

TEST(HeadlessScene, BadScenesSayWhatIsWrong) {
    EXPECT_NE(parseError("not json").find("JSON"), std::string::npos);
    EXPECT_NE(parseError("").find("JSON"), std::string::npos);
    EXPECT_NE(parseError("[]").find("object"), std::string::npos);
    EXPECT_NE(parseError(R"({"displays":{}})").find("\"displays\""), std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[7]})").find("display 0"), std::string::npos);

    const std::string zeroWidth = parseError(R"({"displays":[{"width":0,"height":1080}]})");
    EXPECT_NE(zeroWidth.find("display 0"), std::string::npos) << zeroWidth;
    EXPECT_NE(zeroWidth.find("\"width\""), std::string::npos) << zeroWidth;

    const std::string second = parseError(R"({"displays":[{"width":800,"height":600},{"width":800}]})");
    EXPECT_NE(second.find("display 1"), std::string::npos) << second;
    EXPECT_NE(second.find("\"height\""), std::string::npos) << second;

    EXPECT_NE(parseError(R"({"displays":[{"width":1.5,"height":600}]})").find("\"width\""), std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":"800","height":600}]})").find("\"width\""), std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":99999,"height":600}]})").find("\"width\""), std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":800,"height":600,"vendor":-1}]})").find("\"vendor\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":800,"height":600,"vendor":4294967296}]})").find("\"vendor\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":800,"height":600,"scale":"x"}]})").find("\"scale\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":800,"height":600,"scale":0.5}]})").find("\"scale\""),
              std::string::npos);
    EXPECT_NE(parseError(R"({"displays":[{"width":800,"height":600,"online":"yes"}]})").find("\"online\""),
              std::string::npos);
}

TEST(HeadlessScene, InputSideKeysAreReadAndChecked) {
    Scene s = Scene::parse(R"({"pointer":{"x":12,"y":34.5},"inputSources":["x.English",{"id":"x.Korean"}],
                              "inputSource":"x.Korean","workspaces":3,"workspace":2,"trusted":false})");
    ASSERT_TRUE(s.pointer.has_value());
    EXPECT_DOUBLE_EQ(s.pointer->y, 34.5);
    ASSERT_EQ(s.inputSources.size(), 2u);
    EXPECT_EQ(s.inputSources[1].id, "x.Korean");
    EXPECT_EQ(s.inputSource.value_or(""), "x.Korean");
    EXPECT_EQ(s.workspaces, 3);
    EXPECT_EQ(s.workspace, 2);
    HeadlessDesktop desk(someLocations(), s);
    EXPECT_FALSE(desk.isTrusted(false));
    EXPECT_EQ(desk.space(), 2);

    Scene d = Scene::parse("{}");
    EXPECT_FALSE(d.pointer.has_value());
    EXPECT_EQ(d.workspaces, 4);
    EXPECT_TRUE(d.trusted);
    // The default sources can be named as the current one.
    EXPECT_EQ(Scene::parse(R"({"inputSource":"org.vellomark.inputsource.Korean"})").inputSource.value_or(""),
              "org.vellomark.inputsource.Korean");

    EXPECT_NE(parseError(R"({"pointer":[1,2]})").find("\"pointer\""), std::string::npos);
    EXPECT_NE(parseError(R"({"pointer":{"x":1}})").find("\"pointer\""), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSources":"x"})").find("\"inputSources\""), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSources":[3]})").find("input source 0"), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSources":[""]})").find("input source 0"), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSources":["a","a"]})").find("twice"), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSources":[{"id":"a","keyboard":1}]})").find("\"keyboard\""), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSources":["a"],"inputSource":"b"})").find("\"b\""), std::string::npos);
    EXPECT_NE(parseError(R"({"inputSource":"b"})").find("\"inputSource\""), std::string::npos);
    EXPECT_NE(parseError(R"({"workspaces":0})").find("\"workspaces\""), std::string::npos);
    EXPECT_NE(parseError(R"({"workspaces":2,"workspace":2})").find("\"workspace\""), std::string::npos);
    EXPECT_NE(parseError(R"({"trusted":"no"})").find("\"trusted\""), std::string::npos);
}

TEST(HeadlessScene, TheLargestVendorNumberIsAccepted) {
    Scene s = Scene::parse(R"({"displays":[{"width":800,"height":600,"vendor":4294967295}]})");
    EXPECT_EQ(s.displays.at(0).vendor, 4294967295u);
}

TEST(HeadlessScene, LoadingNamesTheFile) {
    TempDir tmp;
    const std::string good = tmp / "good.json";
    writeFile(good, R"({"displays":[{"width":1280,"height":800}]})");
    EXPECT_EQ(Scene::load(good).displays.size(), 1u);

    const std::string bad = tmp / "bad.json";
    writeFile(bad, R"({"displays":[{"width":1280,"height":800,"scale":"x"}]})");
    try {
        Scene::load(bad);
        ADD_FAILURE() << "no error for " << bad;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("\"scale\""), std::string::npos) << e.what();
    }
    try {
        Scene::load(tmp / "missing.json");
        ADD_FAILURE() << "no error for a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(tmp / "missing.json"), std::string::npos) << e.what();
    }
}

TEST(HeadlessScene, TheEnvironmentNamesTheSceneFile) {
    TempDir tmp;
    ScopedEnv env;
    env.set("VELLOMARK_HEADLESS_SCENE", std::nullopt);
    EXPECT_EQ(HeadlessDesktop::fromEnvironment(someLocations())->onlineCount(), 0u);

    env.set("VELLOMARK_HEADLESS_SCENE", "");
    EXPECT_EQ(HeadlessDesktop::fromEnvironment(someLocations())->onlineCount(), 0u);

    writeFile(tmp / "two.json", R"({"displays":[{"width":1,"height":1},{"width":2,"height":2}]})");
    env.set("VELLOMARK_HEADLESS_SCENE", tmp / "two.json");
    auto desk = HeadlessDesktop::fromEnvironment(someLocations());
    EXPECT_EQ(desk->onlineCount(), 2u);
    EXPECT_EQ(desk->locations().home, "/nowhere");

    env.set("VELLOMARK_HEADLESS_SCENE", tmp / "absent.json");
    EXPECT_THROW(HeadlessDesktop::fromEnvironment(someLocations()), std::runtime_error);
}

TEST(HeadlessDesktopTest, TrustCanBeScripted) {
    HeadlessDesktop desk(someLocations(), Scene{});
    EXPECT_TRUE(desk.accessibility().isTrusted(true));
    desk.setTrusted(false);
    EXPECT_FALSE(desk.accessibility().isTrusted(false));
}

// ---------------------------------------------------------------- backend choice

class BackendChoice : public ::testing::Test {
protected:
    TempDir tmp;
    vm::FakeClock clock;
    vm::Logger log{tmp / "logs", clock};
    ScopedEnv env;
    void SetUp() override {
        env.set("HOME", tmp.path());
        env.set("XDG_STATE_HOME", std::nullopt);
        env.set("XDG_DATA_HOME", std::nullopt);
        env.set("XDG_RUNTIME_DIR", std::nullopt);
        env.set("VELLOMARK_HEADLESS_SCENE", std::nullopt);
        env.set("DISPLAY", std::nullopt);
        env.set("VELLOMARK_PLATFORM", std::nullopt);
    }
    std::string logText() { return fileText(tmp / "logs/inputd.log"); }
};

TEST_F(BackendChoice, WithoutADisplayServerTheDesktopIsHeadless) {
    auto p = makePlatform(log);
    EXPECT_STREQ(p->name(), "headless");
    EXPECT_NE(logText().find("  플랫폼 — headless (디스플레이 서버 없음)\n"), std::string::npos) << logText();
    EXPECT_EQ(p->locations().home, tmp.path());
}

TEST_F(BackendChoice, AskingForHeadlessIsHonoured) {
    env.set("VELLOMARK_PLATFORM", "headless");
    env.set("DISPLAY", ":99");
    EXPECT_STREQ(makePlatform(log)->name(), "headless");
    EXPECT_NE(logText().find("플랫폼 — headless (VELLOMARK_PLATFORM)\n"), std::string::npos) << logText();
}

TEST_F(BackendChoice, UnknownOrUnavailableBackendsAreRefusedWithAReason) {
    env.set("VELLOMARK_PLATFORM", "wayland");
    try {
        makePlatform(log);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("wayland"), std::string::npos) << e.what();
    }
    env.set("VELLOMARK_PLATFORM", "x11");
    EXPECT_THROW(makePlatform(log), std::runtime_error);
}

TEST_F(BackendChoice, ABadSceneIsRefused) {
    writeFile(tmp / "scene.json", "{");
    env.set("VELLOMARK_HEADLESS_SCENE", tmp / "scene.json");
    EXPECT_THROW(makePlatform(log), std::runtime_error);
}

// ---------------------------------------------------------------- locations

TEST(LocationsTest, FollowTheXdgConventionsUnderHome) {
    ScopedEnv env;
    env.set("HOME", "/home/kim");
    env.set("XDG_STATE_HOME", std::nullopt);
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("XDG_RUNTIME_DIR", std::nullopt);
    Locations l = Locations::fromEnvironment();
    EXPECT_EQ(l.home, "/home/kim");
    EXPECT_EQ(l.logDir, "/home/kim/.local/state/vellomark");
    EXPECT_EQ(l.supportDir, "/home/kim/.local/share/vellomark");
    EXPECT_EQ(l.groupDir, "/home/kim/.local/share/vellomark/group");
    EXPECT_EQ(l.receivedDir, "/home/kim/Vellomark");
    EXPECT_EQ(l.runtimeDir.rfind("/tmp/vellomark-", 0), 0u);

    env.set("XDG_STATE_HOME", "/state");
    env.set("XDG_DATA_HOME", "/data");
    env.set("XDG_RUNTIME_DIR", "/run/user/1000");
    l = Locations::fromEnvironment();
    EXPECT_EQ(l.logDir, "/state/vellomark");
    EXPECT_EQ(l.supportDir, "/data/vellomark");
    EXPECT_EQ(l.groupDir, "/data/vellomark/group");
    EXPECT_EQ(l.runtimeDir, "/run/user/1000/vellomark");

    // Relative values are invalid by the conventions and ignored.
    env.set("XDG_STATE_HOME", "state");
    env.set("XDG_DATA_HOME", "");
    l = Locations::fromEnvironment();
    EXPECT_EQ(l.logDir, "/home/kim/.local/state/vellomark");
    EXPECT_EQ(l.supportDir, "/home/kim/.local/share/vellomark");
}

TEST(LocationsTest, WithoutHomeThePasswordDatabaseAnswers) {
    ScopedEnv env;
    env.set("HOME", std::nullopt);
    Locations l = Locations::fromEnvironment();
    EXPECT_FALSE(l.home.empty());
    EXPECT_EQ(l.home[0], '/');
}

}  // namespace
