#pragma once
// The outside automation agent's on/off state and the ways to stop it: the
// phone's STOP, a local STOP, the screen lock, and a person taking over from the
// phone shortly after the agent acted. Every stop is recorded in a JSON Lines log.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "control/ctl_send.h"

namespace vm {

struct AgentModePaths {
    std::string logDir;                        // <log folder>/agent
    std::string stopFile = "/tmp/agent.stop";
    std::string pkill = "/usr/bin/pkill";  // empty: stopping runs no pkill
};

class AgentMode {
public:
    AgentMode(const Clock& clock, Logger& log, CtlSender& sender, AgentModePaths paths);

    // Appends one record (plus "t") to this run's agent log.
    void agentLog(nlohmann::json record);
    // "SAY " + base64(text) to the phone, if one is connected.
    void agentSay(const std::string& text);
    void agentKillChild();
    void agentUserTookOver(const std::string& what);
    // Whether the agent acted less than 15 s ago.
    bool recentlyActive() const;

    // The stop paths. `releaseAll` releases everything held for the phone.
    void stopByPhone(const std::function<void()>& releaseAll);
    // The local STOP up to (not including) the release and its log line, which the loop does.
    void stopByLoopback();
    void stopForLock();
    void go();

    // For an agent integration: its last action and the child it runs.
    void setLastAct(double t) { agentLastAct_.store(t); }
    void setChild(pid_t pid);

    std::atomic<bool> agentStop{false};
    std::mutex askLock;

    const std::string& logPath();

private:
    void writeStopFile();
    void launchPkill();

    const Clock& clock_;
    Logger& log_;
    CtlSender& sender_;
    AgentModePaths paths_;
    std::atomic<double> agentLastAct_{-1e18};  // the distant past
    std::mutex childMu_;
    pid_t child_ = -1;
    bool childGone_ = false;  // seen to have exited (and reaped): its pid may belong to someone else now
    std::once_flag pathOnce_;
    std::string path_;
    double startedAt_;
};

}  // namespace vm
