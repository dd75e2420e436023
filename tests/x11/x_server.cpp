#include "x11/x_server.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vm::test {

namespace {

std::string gDisplay, gFolder, gMissing;

std::string run(const std::string& cmd) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
    if (!p) return out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p.get())) > 0) out.append(buf.data(), n);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

class XServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const bool required = std::getenv("VELLOMARK_X11_REQUIRED") && std::string(std::getenv("VELLOMARK_X11_REQUIRED")) == "1";
        char tmpl[] = "/tmp/vellomark-x11-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            gMissing = "cannot make a folder for the X server";
            return;
        }
        gFolder = tmpl;
        const std::string out = run(std::string(VELLOMARK_X11_SCRIPTS) + "/start-x.sh " + gFolder + " 2>&1");
        const auto at = out.find("DISPLAY=");
        const auto auth = out.find("XAUTHORITY=");
        if (at == std::string::npos || auth == std::string::npos) {
            gMissing = "no X server for the X11 tests: " + out;
            if (required) {
                std::fprintf(stderr, "X11 tests: the X server did not start (VELLOMARK_X11_REQUIRED=1): %s\n", out.c_str());
                std::exit(1);
            }
            std::fprintf(stderr, "X11 tests skipped: %s\n", gMissing.c_str());
            return;
        }
        gDisplay = out.substr(at + 8, out.find('\n', at) - at - 8);
        const std::string authFile = out.substr(auth + 11, out.find('\n', auth) - auth - 11);
        ::setenv("DISPLAY", gDisplay.c_str(), 1);
        ::setenv("XAUTHORITY", authFile.c_str(), 1);
    }
    void TearDown() override {
        if (!gFolder.empty()) run(std::string(VELLOMARK_X11_SCRIPTS) + "/stop-x.sh " + gFolder);
    }
};

}  // namespace

const std::string& xDisplay() { return gDisplay; }
const std::string& xFolder() { return gFolder; }
const std::string& xMissingReason() { return gMissing; }
std::string xRun(const std::string& command) { return run(command); }

}  // namespace vm::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vm::test::XServerEnvironment);
    return RUN_ALL_TESTS();
}
