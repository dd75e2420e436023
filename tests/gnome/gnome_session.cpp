#include "gnome/gnome_session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace vm::test {

namespace {

std::map<std::string, std::string> gEnv;
std::string gFolder, gMissing;

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

class GnomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const char* req = std::getenv("VELLOMARK_GNOME_REQUIRED");
        const bool required = req && std::string(req) == "1";
        char tmpl[] = "/tmp/vellomark-gnome-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            gMissing = "cannot make a folder for GNOME Shell";
            return;
        }
        gFolder = tmpl;
        const std::string out = run(std::string(VELLOMARK_GNOME_SCRIPTS) + "/start-gnome.sh " + gFolder + " " +
                                    VELLOMARK_GNOME_EXTENSION + " 2>&1");
        std::istringstream in(out);
        std::map<std::string, std::string> env;
        for (std::string line; std::getline(in, line);)
            if (auto eq = line.find('='); eq != std::string::npos && line.find(' ') == std::string::npos)
                env[line.substr(0, eq)] = line.substr(eq + 1);
        if (!env.count("WAYLAND_DISPLAY") || !env.count("DBUS_SESSION_BUS_ADDRESS")) {
            gMissing = "no GNOME Shell for the GNOME tests: " + out;
            if (required) {
                std::fprintf(stderr, "GNOME tests: GNOME Shell did not start (VELLOMARK_GNOME_REQUIRED=1): %s\n", out.c_str());
                run(std::string(VELLOMARK_GNOME_SCRIPTS) + "/stop-gnome.sh " + gFolder);
                std::exit(1);
            }
            std::fprintf(stderr, "GNOME tests skipped: %s\n", gMissing.c_str());
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
        if (!gFolder.empty()) run(std::string(VELLOMARK_GNOME_SCRIPTS) + "/stop-gnome.sh " + gFolder);
    }
};

}  // namespace

const std::map<std::string, std::string>& gnomeEnv() { return gEnv; }
const std::string& gnomeFolder() { return gFolder; }
const std::string& gnomeMissingReason() { return gMissing; }

std::string gnomeRun(const std::string& command) {
    auto it = gEnv.find("XDG_RUNTIME_DIR");
    return run("XDG_RUNTIME_DIR=" + (it == gEnv.end() ? std::string() : it->second) + " " + command);
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
