#pragma once
// Running the system's tools (systemctl, cp, tar) as the installer and the updater
// need them: wait for the tool, keep its output out of the agent's, and get its status.
#include <string>
#include <vector>

namespace vm::install {

class CommandRunner {
public:
    virtual ~CommandRunner() = default;
    // Runs `path` (looked up in PATH when it has no slash) with `args`, output to the
    // null device; the exit status, or -1 when it could not be started or did not exit.
    virtual int run(const std::string& path, const std::vector<std::string>& args) = 0;
};

class ProcessRunner final : public CommandRunner {
public:
    int run(const std::string& path, const std::vector<std::string>& args) override;
};

}  // namespace vm::install
