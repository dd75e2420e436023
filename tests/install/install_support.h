#pragma once
// Shared pieces of the install tests: a runner that records every tool call (and
// runs cp/tar for real), and a bundle folder made from the project's data files.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "install/bundle.h"
#include "install/command_runner.h"
#include "integration/process_helper.h"

namespace vmtest {

// Records "tool arg arg…" lines. systemctl answers come from `answers` (first matching
// prefix wins, default 0); cp and tar run for real.
class RecordingRunner final : public vm::install::CommandRunner {
public:
    std::vector<std::string> calls;
    std::vector<std::pair<std::string, std::function<int()>>> answers;

    int run(const std::string& path, const std::vector<std::string>& args) override {
        std::string line = path;
        for (const auto& a : args) line += " " + a;
        calls.push_back(line);
        if (path == "cp" || path == "tar") return real_.run(path, args);
        for (const auto& [prefix, answer] : answers)
            if (line.rfind(prefix, 0) == 0) return answer();
        return 0;
    }
    void answer(const std::string& prefix, int status) {
        answers.emplace_back(prefix, [status] { return status; });
    }
    std::vector<std::string> systemctlCalls() const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (c.rfind("systemctl ", 0) == 0) out.push_back(c.substr(10));
        return out;
    }

private:
    vm::install::ProcessRunner real_;
};

inline std::string infoText(long long build, const std::string& extra = "") {
    return "CFBundleIdentifier=dev.brisval.vellomark.helper\nCFBundleShortVersionString=0." +
           std::to_string(build) + "\nCFBundleVersion=" + std::to_string(build) + "\n" + extra;
}

// A bundle folder: bin/ with `executables` (copied from the build, or a small script),
// share/vellomark/version, the desktop entries, an icon and the man pages.
inline void makeBundle(const std::string& dir, long long build, bool realExecutables = false,
                       const std::string& extraInfo = "") {
    namespace fs = std::filesystem;
    fs::remove_all(dir);
    fs::create_directories(dir + "/bin");
    for (const char* tool : {"vellomark", "vellomark-share"}) {
        const std::string to = dir + "/bin/" + tool;
        if (realExecutables) fs::copy_file(std::string(VELLOMARK_BIN_DIR) + "/" + tool, to);
        else writeFile(to, "#!/bin/sh\nexit 0\n");
        fs::permissions(to, fs::perms(0755));
    }
    fs::create_directories(dir + "/share/vellomark");
    writeFile(dir + "/" + vm::install::kInfoFile, infoText(build, extraInfo));
    const std::string data = VELLOMARK_DATA_DIR;
    fs::create_directories(dir + "/share/applications");
    fs::copy_file(data + "/vellomark.desktop", dir + "/share/applications/vellomark.desktop");
    fs::copy_file(data + "/vellomark-share.desktop", dir + "/share/applications/vellomark-share.desktop");
    fs::copy_file(data + "/vellomark-autostart.desktop", dir + "/share/vellomark/vellomark-autostart.desktop");
    fs::create_directories(dir + "/share/icons/hicolor/scalable/apps");
    writeFile(dir + "/share/icons/hicolor/scalable/apps/vellomark.svg",
              "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\"/>\n");
    fs::create_directories(dir + "/share/man/man1");
    fs::copy_file(data + "/man/vellomark.1", dir + "/share/man/man1/vellomark.1");
}

}  // namespace vmtest
