#include "gnome/gnome_session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "support/desktop_server.h"

namespace vm::test {

namespace {

std::map<std::string, std::string> gEnv;
std::string gFolder, gMissing;

class GnomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char tmpl[] = "/tmp/vellomark-gnome-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            gMissing = "cannot make a folder for GNOME Shell";
            return;
        }
        gFolder = tmpl;
        const std::string out = commandOutput(std::string(VELLOMARK_GNOME_SCRIPTS) + "/start-gnome.sh " + gFolder +
                                              " " + VELLOMARK_GNOME_EXTENSION + " 2>&1");
        std::istringstream in(out);
        std::map<std::string, std::string> env;
        for (std::string line; std::getline(in, line);)
            if (auto eq = line.find('='); eq != std::string::npos && line.find(' ') == std::string::npos)
                env[line.substr(0, eq)] = line.substr(eq + 1);
        if (!env.count("WAYLAND_DISPLAY") || !env.count("DBUS_SESSION_BUS_ADDRESS")) {
            gMissing = "no GNOME Shell for the GNOME tests: " + out;
            noServer("GNOME tests", "GNOME Shell", "VELLOMARK_GNOME_REQUIRED", out, gMissing,
                     [] { commandOutput(std::string(VELLOMARK_GNOME_SCRIPTS) + "/stop-gnome.sh " + gFolder); });
            return;
        }
        gEnv = env;
        // The agent and the clients the tests start find the shell, the buses and PipeWire
        // from here; XDG_RUNTIME_DIR stays each process's own (the agent's socket lives there).
        for (const auto& [k, v] : env)
            if (k != "XDG_RUNTIME_DIR") ::setenv(k.c_str(), v.c_str(), 1);
        ::setenv("PIPEWIRE_RUNTIME_DIR", env["XDG_RUNTIME_DIR"].c_str(), 1);
    }
    void TearDown() override {
        if (!gFolder.empty()) commandOutput(std::string(VELLOMARK_GNOME_SCRIPTS) + "/stop-gnome.sh " + gFolder);
    }
};

}  // namespace

const std::map<std::string, std::string>& gnomeEnv() { return gEnv; }
const std::string& gnomeFolder() { return gFolder; }
const std::string& gnomeMissingReason() { return gMissing; }

std::string gnomeRun(const std::string& command) {
    auto it = gEnv.find("XDG_RUNTIME_DIR");
    return commandOutput("XDG_RUNTIME_DIR=" + (it == gEnv.end() ? std::string() : it->second) + " " + command);
}

std::string shellCall(const std::string& method, const std::string& args) {
    return gnomeRun("gdbus call --session -d dev.brisval.Vellomark.Shell -o /dev/brisval/Vellomark/Shell -m "
                    "dev.brisval.Vellomark.Shell." + method + " " + args);
}

}  // namespace vm::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new vm::test::GnomeEnvironment);
    return RUN_ALL_TESTS();
}
