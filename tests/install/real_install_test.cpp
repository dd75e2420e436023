// The real executables install themselves into a temporary HOME and uninstall again.
// systemctl is a recording script on PATH; cp, the files and the unit are real, and
// the unit is checked by systemd-analyze.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "install_support.h"

namespace fs = std::filesystem;
using vmtest::fileText;

namespace {

std::string runCapture(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    *status = ::pclose(p);
    return out;
}

int mode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

}  // namespace

TEST(RealInstall, BundleInstallsItselfAndUninstallsExactlyWhatItMade) {
    vmtest::TempDir tmp{"vm-realinstall"};
    const std::string home = tmp.path() + "/home", run = tmp.path() + "/run", fakebin = tmp.path() + "/fakebin";
    const std::string log = tmp.path() + "/systemctl.log";
    fs::create_directories(home);
    fs::create_directories(run);
    fs::permissions(run, fs::perms(0700));
    fs::create_directories(fakebin);
    vmtest::writeFile(fakebin + "/systemctl",
                      "#!/bin/sh\necho \"$*\" >> \"$SYSTEMCTL_LOG\"\n"
                      "case \"$2\" in show-environment) exit 0;; is-active) exit 3;; is-enabled) exit 1;; esac\n"
                      "exit 0\n");
    fs::permissions(fakebin + "/systemctl", fs::perms(0755));
    const std::string dl = tmp.path() + "/Downloads/vellomark-0.1";
    vmtest::makeBundle(dl, 3, /*realExecutables=*/true);

    // Things of the user's own that must survive the uninstall.
    vmtest::writeFile(home + "/Vellomark/photo.jpg", "jpeg");
    vmtest::writeFile(home + "/.local/bin/vellomark-ctl", "#!/bin/sh\n# the user's own\n");
    vmtest::writeFile(home + "/.local/share/applications/other.desktop", "[Desktop Entry]\n");

    const vmtest::EnvOverrides env = {{"HOME", home},
                                      {"PATH", fakebin + ":" + std::string(std::getenv("PATH"))},
                                      {"SYSTEMCTL_LOG", log},
                                      {"XDG_RUNTIME_DIR", run},
                                      {"DISPLAY", std::nullopt},
                                      {"WAYLAND_DISPLAY", std::nullopt},
                                      {"XAUTHORITY", std::nullopt},
                                      {"XDG_SESSION_TYPE", std::nullopt},
                                      {"XDG_CURRENT_DESKTOP", std::nullopt},
                                      {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                                      {"XDG_CONFIG_HOME", std::nullopt},
                                      {"XDG_DATA_HOME", std::nullopt},
                                      {"XDG_STATE_HOME", std::nullopt},
                                      {"XPC_SERVICE_NAME", std::nullopt},
                                      {"VELLOMARK_NO_HANDOFF", std::nullopt},
                                      {"VELLOMARK_PLATFORM", "headless"}};
    auto p = vmtest::spawn({dl + "/bin/vellomark"}, env);
    auto st = p->waitExit(30);
    ASSERT_TRUE(st && st->exitedWith(0)) << (st ? st->describe() : "still running") << "\n" << p->stderrText();
    EXPECT_EQ(p->stderrText(), "");
    EXPECT_EQ(fileText(log), "--user show-environment\n--user is-active --quiet vellomark.service\n"
                             "--user daemon-reload\n--user enable --now vellomark.service\n");

    const std::string inst = home + "/.local/opt/vellomark";
    EXPECT_EQ(mode(inst + "/bin/vellomark"), 0755);
    EXPECT_EQ(fileText(inst + "/bin/vellomark").size(), fs::file_size(dl + "/bin/vellomark"));
    EXPECT_EQ(fs::read_symlink(home + "/.local/bin/vellomark"), inst + "/bin/vellomark");
    EXPECT_EQ(fs::read_symlink(home + "/.local/bin/vellomark-share"), inst + "/bin/vellomark-share");
    EXPECT_FALSE(fs::is_symlink(home + "/.local/bin/vellomark-ctl")) << "the user's own file stays";

    const std::string share = home + "/.local/share";
    const std::string entry = fileText(share + "/applications/vellomark-share.desktop");
    EXPECT_NE(entry.find("Name=Send to iPhone\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=" + inst + "/bin/vellomark-share --dialog %F\n"), std::string::npos);
    EXPECT_NE(fileText(home + "/.config/autostart/vellomark.desktop").find("Exec=" + inst + "/bin/vellomark\n"),
              std::string::npos);
    for (const std::string& f : {share + "/applications/vellomark.desktop", share + "/applications/vellomark-share.desktop",
                                share + "/icons/hicolor/scalable/apps/vellomark.svg", share + "/man/man1/vellomark.1",
                                home + "/.config/autostart/vellomark.desktop"})
        EXPECT_EQ(mode(f), 0644) << f;

    const std::string unit = home + "/.config/systemd/user/vellomark.service";
    EXPECT_EQ(mode(unit), 0644);
    const std::string text = fileText(unit);
    EXPECT_NE(text.find("ExecStart=" + inst + "/bin/vellomark\n"), std::string::npos);
    EXPECT_NE(text.find("StandardOutput=append:" + home + "/.local/state/vellomark/launchd.log\n"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(home + "/.local/state/vellomark"));
    int status = -1;
    const std::string verify =
        runCapture("XDG_RUNTIME_DIR='" + run + "' PATH='" + home + "/.local/bin':\"$PATH\" systemd-analyze --user verify '" + unit + "'", &status);
    EXPECT_EQ(status, 0) << verify;
    EXPECT_EQ(verify, "") << "systemd-analyze found fault with the unit";

    // The service's first run leaves its data behind; uninstall takes it all, keeps ~/Vellomark.
    vmtest::writeFile(home + "/.local/share/vellomark/pairings.json", "[]");
    vmtest::writeFile(home + "/.local/state/vellomark/inputd.log", "x\n");
    fs::remove(log);
    auto u = vmtest::spawn({home + "/.local/bin/vellomark", "--uninstall"}, env);
    st = u->waitExit(30);
    ASSERT_TRUE(st && st->exitedWith(0)) << (st ? st->describe() : "still running") << "\n" << u->stderrText();
    EXPECT_EQ(u->stderrText(), "제거 — 받은 파일은 " + home + "/Vellomark 에 그대로 둔다\n");
    EXPECT_EQ(fileText(log), "--user disable vellomark.service\n--user daemon-reload\n--user stop vellomark.service\n");

    std::vector<std::string> left;
    for (auto it = fs::recursive_directory_iterator(home); it != fs::recursive_directory_iterator(); ++it)
        if (!it->is_directory()) left.push_back(fs::relative(it->path(), home).string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".local/bin/vellomark-ctl", ".local/share/applications/other.desktop",
                                              "Vellomark/photo.jpg"}));
    EXPECT_TRUE(fs::exists(dl + "/bin/vellomark")) << "a download folder elsewhere is not the running copy";
}
