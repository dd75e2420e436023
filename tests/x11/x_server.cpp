#include "x11/x_server.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/desktop_server.h"

namespace vm::test {

namespace {

std::string gDisplay, gFolder, gMissing;

class XServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/vellomark-x11-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            gMissing = "cannot make a folder for the X server";
            return;
        }
        gFolder = tmpl;
        const std::string out = commandOutput(std::string(VELLOMARK_X11_SCRIPTS) + "/start-x.sh " + gFolder + " 2>&1");
        const auto at = out.find("DISPLAY=");
        const auto auth = out.find("XAUTHORITY=");
        if (at == std::string::npos || auth == std::string::npos) {
            gMissing = "no X server for the X11 tests: " + out;
            noServer("X11 tests", "the X server", "VELLOMARK_X11_REQUIRED", out, gMissing);
            return;
        }
        gDisplay = out.substr(at + 8, out.find('\n', at) - at - 8);
        const std::string authFile = out.substr(auth + 11, out.find('\n', auth) - auth - 11);
        ::setenv("DISPLAY", gDisplay.c_str(), 1);
        ::setenv("XAUTHORITY", authFile.c_str(), 1);
    }
    void TearDown() override {
        if (!gFolder.empty()) commandOutput(std::string(VELLOMARK_X11_SCRIPTS) + "/stop-x.sh " + gFolder);
    }
};

}  // namespace

const std::string& xDisplay() { return gDisplay; }
const std::string& xFolder() { return gFolder; }
const std::string& xMissingReason() { return gMissing; }
std::string xRun(const std::string& command) { return commandOutput(command); }

}  // namespace vm::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vm::test::XServerEnvironment);
    return RUN_ALL_TESTS();
}
