#include "session/agent_mode.h"

#include "base/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

#include "base/base64.h"

extern char** environ;

namespace vm {

namespace {

constexpr double kTakeOverWindow = 15.0;

struct tm localTm(double wallSeconds) {
    time_t secs = static_cast<time_t>(std::floor(wallSeconds));
    struct tm tmv {};
    localtime_r(&secs, &tmv);
    return tmv;
}

// "HH:mm:ss.S": tenths of a second, truncated.
std::string recordTime(double wallSeconds) {
    const double whole = std::floor(wallSeconds);
    int tenths = static_cast<int>((wallSeconds - whole) * 10.0);
    if (tenths > 9) tenths = 9;
    const struct tm tmv = localTm(wallSeconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec, tenths);
    return buf;
}

// Waits for a child we will not look at again, so it does not linger as a zombie.
void reapInBackground(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread to spare: the exited child stays a zombie until we exit.
    }
}

}  // namespace

AgentMode::AgentMode(const Clock& clock, Logger& log, CtlSender& sender, AgentModePaths paths)
    : clock_(clock), log_(log), sender_(sender), paths_(std::move(paths)), startedAt_(clock.now()) {}

const std::string& AgentMode::logPath() {
    std::call_once(pathOnce_, [this] {
        if (paths_.logDir.empty()) return;
        std::error_code ec;
        std::filesystem::create_directories(paths_.logDir, ec);
        const struct tm tmv = localTm(startedAt_);
        char name[40];
        std::strftime(name, sizeof name, "%y%m%d-%H%M%S", &tmv);
        path_ = paths_.logDir + "/" + name + ".jsonl";
    });
    return path_;
}

void AgentMode::agentLog(nlohmann::json record) {
    std::string line;
    try {
        record["t"] = recordTime(clock_.now());
        line = record.dump();
    } catch (const std::exception&) {
        return;  // not an object, or text that is not UTF-8
    }
    line += '\n';
    const std::string& path = logPath();
    if (path.empty()) return;
    appendToFile(path, line);
}

void AgentMode::agentSay(const std::string& text) { sender_.phoneSend("SAY " + base64Encode(text)); }

bool AgentMode::recentlyActive() const { return clock_.now() - agentLastAct_.load() < kTakeOverWindow; }

void AgentMode::setChild(pid_t pid) {
    std::lock_guard<std::mutex> lk(childMu_);
    // 0 and negative numbers name process groups for kill(): never a child.
    child_ = pid > 0 ? pid : -1;
    childGone_ = false;
}

void AgentMode::agentKillChild() {
    std::lock_guard<std::mutex> lk(childMu_);
    if (child_ <= 0 || childGone_) return;
    int status = 0;
    const pid_t r = ::waitpid(child_, &status, WNOHANG);
    bool ours = false;
    bool running = false;
    if (r == 0) {
        ours = running = true;
    } else if (r == child_) {
        childGone_ = true;  // exited on its own; stays set but is never signalled
    } else {
        // Not our child (started by someone else for us): all we can do is ask whether it exists.
        running = ::kill(child_, 0) == 0;
    }
    if (!running) return;
    ::kill(child_, SIGTERM);
    if (ours) reapInBackground(child_);
    child_ = -1;
}

void AgentMode::agentUserTookOver(const std::string& what) {
    if (agentStop.load()) return;
    if (!recentlyActive()) return;
    bool expected = false;
    if (!agentStop.compare_exchange_strong(expected, true)) return;  // another stop got there first
    agentLog({{"action", "stop"}, {"by", "사람이 직접 조작"}, {"what", what}, {"decision", "함"}});
    log_.logLine("에이전트 중단 — 사람이 직접 조작했다 (" + what + ")\n");
}

void AgentMode::stopByPhone(const std::function<void()>& releaseAll) {
    agentStop.store(true);
    agentKillChild();
    writeStopFile();
    launchPkill();
    if (releaseAll) releaseAll();
    agentLog({{"action", "stop"}, {"by", "phone"}, {"decision", "함"}});
    log_.logLine("에이전트 중단 — 폰\n");
}

void AgentMode::stopByLoopback() {
    agentStop.store(true);
    agentKillChild();
    agentLog({{"action", "stop"}, {"by", "루프백"}, {"decision", "함"}});
    writeStopFile();
    launchPkill();
}

void AgentMode::stopForLock() {
    agentStop.store(true);
    agentKillChild();
}

void AgentMode::go() {
    agentStop.store(false);
    log_.logLine("에이전트 정지 해제\n");
}

void AgentMode::writeStopFile() {
    // Renamed over the target: the shared temporary folder may hold a link planted
    // there, and renaming replaces the link instead of truncating what it points at.
    writeFileAtomically(paths_.stopFile, "", 0644);
}

void AgentMode::launchPkill() {
    if (paths_.pkill.empty()) return;
    std::string prog = paths_.pkill;
    std::string flag = "-f";
    std::string pattern = "agent/drive";
    char* argv[] = {prog.data(), flag.data(), pattern.data(), nullptr};
    pid_t pid = -1;
    if (::posix_spawn(&pid, prog.c_str(), nullptr, nullptr, argv, environ) != 0) return;
    reapInBackground(pid);
}

}  // namespace vm
