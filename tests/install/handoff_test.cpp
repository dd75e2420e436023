// Every branch of the hand-off decision, with systemctl recorded (never run) and the
// files in a temporary HOME.
#include <gtest/gtest.h>

#include "install/install.h"
#include "install_support.h"

using namespace vm;
using namespace vm::install;
using vmtest::RecordingRunner;
using Strings = std::vector<std::string>;

namespace {

struct HandOffTest : ::testing::Test {
    vmtest::TempDir tmp{"vm-handoff"};
    std::string home = tmp.path() + "/home";
    FakeClock clock;
    RecordingRunner runner;
    std::map<std::string, std::string> env;
    std::vector<std::string> said;
    std::vector<int> exits;

    InstallPaths paths() {
        platform::Locations loc;
        loc.home = home;
        loc.logDir = home + "/.local/state/vellomark";
        loc.supportDir = home + "/.local/share/vellomark";
        loc.groupDir = loc.supportDir + "/group";
        loc.receivedDir = home + "/Vellomark";
        loc.runtimeDir = tmp.path() + "/run/vellomark";
        InstallPaths p = InstallPaths::from(loc);
        p.unitDir = home + "/.config/systemd/user";
        p.unitFile = p.unitDir + "/vellomark.service";
        p.autostartFile = home + "/.config/autostart/vellomark.desktop";
        p.dpkgInfoDir = tmp.path() + "/dpkg";
        return p;
    }
    Install make(const std::string& exe) {
        return Install(InstallDeps{clock, runner, paths(), exe,
                                   [this](const char* n) -> const char* {
                                       auto it = env.find(n);
                                       return it == env.end() ? nullptr : it->second.c_str();
                                   },
                                   [this](const std::string& l) { said.push_back(l); }, nullptr,
                                   [this](int s) { exits.push_back(s); }});
    }
    std::string installed() { return home + "/.local/opt/vellomark"; }
};

const Strings kKickstart = {"--user show-environment", "--user import-environment DISPLAY",
                            "--user restart vellomark.service"};
const Strings kBootstrap = {"--user daemon-reload", "--user import-environment DISPLAY",
                            "--user enable --now vellomark.service"};

Strings join(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(HandOffTest, ServiceMarkerAndNoHandOffRunInPlaceAndInstallNothing) {
    vmtest::makeBundle(tmp.path() + "/dl", 5);
    env["XPC_SERVICE_NAME"] = kLabel;
    EXPECT_EQ(make(tmp.path() + "/dl/bin/vellomark").decideHandOff(), HandOff::Continue);

    env.clear();
    env["XPC_SERVICE_NAME"] = "something.else";  // another service's marker is no marker
    env["VELLOMARK_NO_HANDOFF"] = "";
    EXPECT_EQ(make(tmp.path() + "/dl/bin/vellomark").decideHandOff(), HandOff::Continue);

    EXPECT_TRUE(runner.calls.empty());
    EXPECT_TRUE(said.empty());
    EXPECT_FALSE(std::filesystem::exists(installed()));
}

TEST_F(HandOffTest, NotABundleSaysSoAndRunsInPlace) {
    // A build folder: bin/ without an info file; and a bundle of someone else.
    std::filesystem::create_directories(tmp.path() + "/build/bin");
    EXPECT_EQ(make(tmp.path() + "/build/bin/vellomark").decideHandOff(), HandOff::Continue);
    vmtest::makeBundle(tmp.path() + "/other", 5);
    vmtest::writeFile(tmp.path() + "/other/share/vellomark/version", "CFBundleIdentifier=org.example\nCFBundleVersion=5\n");
    EXPECT_EQ(make(tmp.path() + "/other/bin/vellomark").decideHandOff(), HandOff::Continue);

    EXPECT_EQ(said, (Strings{"설치 — 앱 번들이 아니다(" + tmp.path() + "/build). 이 자리에서 돈다\n",
                             "설치 — 앱 번들이 아니다(" + tmp.path() + "/other). 이 자리에서 돈다\n"}));
    EXPECT_TRUE(runner.calls.empty());
}

TEST_F(HandOffTest, WithoutUserSystemdOneLineAndForeground) {
    vmtest::makeBundle(tmp.path() + "/dl", 5);
    runner.answer("systemctl --user show-environment", 1);
    EXPECT_EQ(make(tmp.path() + "/dl/bin/vellomark").decideHandOff(), HandOff::Continue);
    EXPECT_EQ(said, Strings{"설치 — 사용자 systemd가 돌지 않는다. 이 자리에서 돈다\n"});
    EXPECT_EQ(runner.systemctlCalls(), Strings{"--user show-environment"});
    EXPECT_FALSE(std::filesystem::exists(installed()));
}

TEST_F(HandOffTest, InstalledCopyKickstartsOrBootstrapsTheService) {
    env["DISPLAY"] = ":0";
    vmtest::makeBundle(installed(), 5);
    auto inst = make(installed() + "/bin/vellomark");

    // No unit yet: written, then enabled and started.
    inst.handOffIfNeeded();
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(runner.systemctlCalls(), join({"--user show-environment"}, kBootstrap));
    const std::string unit = vmtest::fileText(paths().unitFile);
    EXPECT_NE(unit.find("ExecStart=" + installed() + "/bin/vellomark\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_directory(paths().logDir));

    // Unit present: restarted only.
    runner.calls.clear();
    EXPECT_EQ(inst.decideHandOff(), HandOff::Exit);
    EXPECT_EQ(runner.systemctlCalls(), kKickstart);
    EXPECT_TRUE(said.empty());
}

TEST_F(HandOffTest, OlderCopyDefersToNewerInstalledOne) {
    env["DISPLAY"] = ":0";
    vmtest::makeBundle(installed(), 7);
    vmtest::makeBundle(tmp.path() + "/dl", 6);
    EXPECT_EQ(make(tmp.path() + "/dl/bin/vellomark").decideHandOff(), HandOff::Exit);
    EXPECT_EQ(said, Strings{"설치 — 이미 더 새 판이 있다(7 > 6). 그대로 둔다\n"});
    EXPECT_EQ(runner.systemctlCalls(), kKickstart);
    EXPECT_NE(vmtest::fileText(installed() + "/share/vellomark/version").find("CFBundleVersion=7"), std::string::npos);
}

TEST_F(HandOffTest, EqualOrNewerCopyReplacesTheInstalledOne) {
    env["DISPLAY"] = ":0";
    for (long long mine : {7, 8}) {
        runner.calls.clear();
        vmtest::makeBundle(installed(), 7);
        vmtest::writeFile(installed() + "/stale-file", "x");
        const std::string dl = tmp.path() + "/dl" + std::to_string(mine);
        vmtest::makeBundle(dl, mine);
        // The running service is stopped first, and waited for.
        int polls = 0;
        runner.answers.clear();
        runner.answers.emplace_back("systemctl --user is-active", [&polls] { return ++polls < 3 ? 0 : 3; });
        EXPECT_EQ(make(dl + "/bin/vellomark").decideHandOff(), HandOff::Exit) << mine;
        EXPECT_EQ(runner.systemctlCalls(),
                  join({"--user show-environment", "--user is-active --quiet vellomark.service",
                        "--user disable --now vellomark.service", "--user is-active --quiet vellomark.service",
                        "--user is-active --quiet vellomark.service"},
                       kBootstrap));
        EXPECT_NE(std::find(runner.calls.begin(), runner.calls.end(), "cp -a -- " + dl + " " + installed()),
                  runner.calls.end());
        EXPECT_FALSE(std::filesystem::exists(installed() + "/stale-file")) << "the old copy is replaced whole";
        EXPECT_NE(vmtest::fileText(installed() + "/share/vellomark/version")
                      .find("CFBundleVersion=" + std::to_string(mine)),
                  std::string::npos);
        EXPECT_TRUE(said.empty());
    }
}

TEST_F(HandOffTest, StopServiceGivesUpAfterFiveSeconds) {
    vmtest::makeBundle(tmp.path() + "/dl", 5);
    auto inst = make(tmp.path() + "/dl/bin/vellomark");
    const double t0 = clock.monotonic();
    inst.stopService();  // is-active always answers 0: never stops
    EXPECT_EQ(runner.calls.size(), 1u + 1u + 50u);
    EXPECT_NEAR(clock.monotonic() - t0, 5.0, 1e-6);
}

TEST_F(HandOffTest, FailedCopyRunsInPlace) {
    vmtest::makeBundle(tmp.path() + "/dl", 5);
    // ~/.local/opt is a file: nothing can be copied below it.
    std::filesystem::create_directories(home + "/.local");
    vmtest::writeFile(home + "/.local/opt", "not a folder");
    runner.answer("systemctl --user is-active", 3);
    EXPECT_EQ(make(tmp.path() + "/dl/bin/vellomark").decideHandOff(), HandOff::Continue);
    EXPECT_EQ(said, Strings{"설치 — " + installed() + " 로 복사 실패. 이 자리에서 돈다\n"});
    EXPECT_EQ(runner.systemctlCalls(),
              (Strings{"--user show-environment", "--user is-active --quiet vellomark.service"}));
}

TEST_F(HandOffTest, PackagedCopyUsesThePackagesUnit) {
    const std::string usr = tmp.path() + "/usr";
    vmtest::makeBundle(usr, 5);
    vmtest::writeFile(tmp.path() + "/dpkg/vellomark.list", "/.\n" + usr + "/bin\n" + usr + "/bin/vellomark\n");
    env["DISPLAY"] = ":0";

    runner.answer("systemctl --user is-enabled", 1);
    auto inst = make(usr + "/bin/vellomark");
    EXPECT_TRUE(inst.packaged());
    EXPECT_EQ(inst.decideHandOff(), HandOff::Exit);
    EXPECT_EQ(runner.systemctlCalls(),
              join({"--user show-environment", "--user is-enabled --quiet vellomark.service"}, kBootstrap));

    runner.calls.clear();
    runner.answers.clear();
    EXPECT_EQ(inst.decideHandOff(), HandOff::Exit);
    EXPECT_EQ(runner.systemctlCalls(), (Strings{"--user show-environment", "--user is-enabled --quiet vellomark.service",
                                                "--user import-environment DISPLAY", "--user restart vellomark.service"}));
    // Nothing per-user is written for a package: its unit lives in /usr/lib/systemd/user.
    EXPECT_FALSE(std::filesystem::exists(paths().unitFile));
    EXPECT_FALSE(std::filesystem::exists(installed()));
}

TEST(UnitText, PathsAreQuotedAndEscaped) {
    const std::string t = Install::unitText("/home/a b/100%/bin/vellomark", "/home/a b/100%/log");
    EXPECT_NE(t.find("ExecStart=\"/home/a b/100%%/bin/vellomark\"\n"), std::string::npos);
    EXPECT_NE(t.find("StandardOutput=append:/home/a b/100%%/log\n"), std::string::npos);
    EXPECT_NE(t.find("Environment=XPC_SERVICE_NAME=dev.brisval.vellomark.helper\n"), std::string::npos);
    EXPECT_NE(t.find("Restart=on-failure\n"), std::string::npos);
    EXPECT_EQ(t.find('@'), std::string::npos);
}
