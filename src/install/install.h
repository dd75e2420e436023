#pragma once
// The agent always runs as the per-user systemd service "vellomark.service", from one
// fixed place (the installed copy in ~/.local/opt/vellomark, or the Debian package).
// However a copy is started, the first thing it does is let Install decide: go on in
// this process, or install/wake the service and exit. Uninstalling removes exactly
// what the agent created and keeps the received files.
//
// The service manager's verbs, as the agent uses them:
//   print     -> systemctl --user is-active vellomark.service
//   bootout   -> systemctl --user disable --now vellomark.service (stop + disable)
//   bootstrap -> daemon-reload, import the session's display variables, enable --now
//   kickstart -> import the session's display variables, restart
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "install/bundle.h"
#include "install/command_runner.h"

namespace vm::install {

struct InstallDeps {
    const Clock& clock;
    CommandRunner& runner;
    InstallPaths paths;
    std::string exe;  // the running executable, links resolved
    std::function<const char*(const char*)> getenv;
    // One line to standard error (the service's output goes to launchd.log).
    std::function<void(const std::string&)> say;
    // Physical displays back on, virtual display gone (empty when this process has none).
    std::function<void()> restoreDisplays;
    std::function<void(int)> exit;  // ends the process
};

enum class HandOff { Continue, Exit };

class Install {
public:
    explicit Install(InstallDeps deps);

    // Either returns, so that start-up goes on here, or ends the process with status 0.
    void handOffIfNeeded();
    // The same decision and its effects, without ending the process.
    HandOff decideHandOff();

    // Runs a tool; its exit status, -1 when it could not be started.
    int run(const std::string& path, const std::vector<std::string>& args) { return deps_.runner.run(path, args); }
    // Whether a user service manager answers (containers and bare sessions have none).
    bool userSystemd();
    // Stops and disables the running service, waiting up to 5 s for it to end.
    void stopService();
    // The log folder and the unit file for the installed copy; failures ignored.
    void writeUnit();
    // Links in ~/.local/bin, desktop and autostart entries, icons and man pages from
    // the installed copy; every file made is listed in the copy's manifest.
    void installDesktopFiles();

    // Restores the displays, stops and removes the service and everything the agent
    // created, keeps the received files; never returns.
    [[noreturn]] void uninstall();
    // The same, without ending the process.
    void uninstallSteps();

    std::optional<long long> myVersion() const;
    std::optional<long long> installedVersion() const;
    bool packaged() const { return packaged_; }
    const std::optional<std::string>& runningBundle() const { return bundle_; }
    // The info file of the running copy: its bundle's, or the package's under /usr.
    std::optional<BundleInfo> runningInfo() const;

    // The unit's text for an executable and a log file (absolute paths).
    static std::string unitText(const std::string& exec, const std::string& log);
    // A desktop entry with its Exec/TryExec naming our tools by absolute path in `binDir`.
    static std::string pointExecAt(const std::string& entry, const std::string& binDir);

private:
    std::vector<std::string> systemctl(std::vector<std::string> args) const;
    int ctl(const std::vector<std::string>& args);
    void importSessionEnv();
    void bootstrap();
    void kickstart();
    bool envIs(const char* name, const char* value) const;
    void removeManifestFiles(const std::string& bundle);

    InstallDeps deps_;
    std::optional<std::string> bundle_;
    bool packaged_ = false;
};

}  // namespace vm::install
