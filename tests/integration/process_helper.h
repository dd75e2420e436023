#pragma once
// Helpers for tests that run real executables: temporary folders, spawning a
// program with a changed environment and its output captured to files, waiting
// for it with a deadline, signalling it, and watching the files it writes.
// Header-only so that any test binary can include it.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace vmtest {

namespace fs = std::filesystem;

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vellomark-test") {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
        path_ = buf.data();
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ec;
        // Tests may leave folders without write permission; give them back first.
        for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
        }
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

// The whole file, or nothing when it cannot be read.
inline std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The whole file, or "" when it cannot be read.
inline std::string fileText(const std::string& path) { return readFile(path).value_or(""); }

// Writes `data` as the whole file, creating missing parent folders. Throws on failure.
inline void writeFile(const std::string& path, const std::string& data) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << data;
    if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

// Permission bits (e.g. 0600) of the file or folder, or -1 when it does not exist.
inline int fileMode(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return -1;
    return static_cast<int>(st.st_mode & 07777);
}

using Deadline = std::chrono::steady_clock::time_point;
inline Deadline deadlineIn(double seconds) {
    return std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

// Polls `pred` until it holds or `timeoutSeconds` have passed; returns its last answer.
template <class Pred>
bool waitUntil(Pred pred, double timeoutSeconds, double pollSeconds = 0.01) {
    auto deadline = deadlineIn(timeoutSeconds);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::duration<double>(pollSeconds));
    }
}

// Waits until the file exists and contains `text`.
inline bool waitForFileContaining(const std::string& path, const std::string& text, double timeoutSeconds) {
    return waitUntil([&] { return fileText(path).find(text) != std::string::npos; }, timeoutSeconds);
}

// How a process ended.
struct ExitStatus {
    bool exited = false;    // ended by exit(); `code` holds the status
    int code = -1;
    bool signaled = false;  // ended by a signal; `signal` holds it
    int signal = 0;

    static ExitStatus fromWait(int status) {
        ExitStatus s;
        if (WIFEXITED(status)) {
            s.exited = true;
            s.code = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            s.signaled = true;
            s.signal = WTERMSIG(status);
        }
        return s;
    }
    bool exitedWith(int c) const { return exited && code == c; }
    std::string describe() const {
        if (exited) return "exit status " + std::to_string(code);
        if (signaled) return "signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
        return "unknown";
    }
};

// Environment changes for a child: a value sets the variable, nothing removes it.
using EnvOverrides = std::map<std::string, std::optional<std::string>>;

struct SpawnOptions {
    std::vector<std::string> argv;    // argv[0] is the executable's path
    EnvOverrides env;                 // applied on top of this process's environment
    bool inheritEnv = true;           // false: start from an empty environment
    std::string cwd;                  // empty: stay in the current folder
    std::string outputDir;            // where stdout/stderr go; empty: a folder of the Process's own
};

// A child process with its standard output and error captured to files. The
// child is killed (SIGKILL) and reaped when the object goes away still running.
class Process {
public:
    explicit Process(SpawnOptions opts) {
        if (opts.argv.empty()) throw std::invalid_argument("spawn: empty argv");
        std::string outDir = opts.outputDir;
        if (outDir.empty()) {
            ownDir_ = std::make_unique<TempDir>("vellomark-proc");
            outDir = ownDir_->path();
        }
        stdoutPath_ = outDir + "/stdout.txt";
        stderrPath_ = outDir + "/stderr.txt";

        // Everything the child needs is prepared before fork: after it, only
        // async-signal-safe calls are allowed (this process has threads).
        std::map<std::string, std::string> env;
        if (opts.inheritEnv) {
            for (char** e = environ; e && *e; ++e) {
                std::string kv(*e);
                auto eq = kv.find('=');
                if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
            }
        }
        for (const auto& [k, v] : opts.env) {
            if (v) env[k] = *v;
            else env.erase(k);
        }
        std::vector<std::string> envStrings;
        for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<char*> argvp;
        for (auto& a : opts.argv) argvp.push_back(a.data());
        argvp.push_back(nullptr);

        int outFd = ::open(stdoutPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int errFd = ::open(stderrPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (outFd < 0 || errFd < 0 || nullFd < 0) {
            for (int fd : {outFd, errFd, nullFd})
                if (fd >= 0) ::close(fd);
            throw std::runtime_error("spawn: cannot open output files in " + outDir);
        }
        const char* cwd = opts.cwd.empty() ? nullptr : opts.cwd.c_str();

        pid_t pid = ::fork();
        if (pid < 0) {
            ::close(outFd);
            ::close(errFd);
            ::close(nullFd);
            throw std::runtime_error("spawn: fork failed");
        }
        if (pid == 0) {
            // Child: a clean signal state, then the program.
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            for (int s : {SIGTERM, SIGINT, SIGPIPE, SIGHUP, SIGCHLD}) ::sigaction(s, &dfl, nullptr);
            ::dup2(nullFd, 0);
            ::dup2(outFd, 1);
            ::dup2(errFd, 2);
            if (cwd && ::chdir(cwd) != 0) ::_exit(126);
            ::execve(argvp[0], argvp.data(), envp.data());
            ::_exit(127);
        }
        ::close(outFd);
        ::close(errFd);
        ::close(nullFd);
        pid_ = pid;
    }

    ~Process() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            int st = 0;
            while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& stdoutPath() const { return stdoutPath_; }
    const std::string& stderrPath() const { return stderrPath_; }
    std::string stdoutText() const { return fileText(stdoutPath_); }
    std::string stderrText() const { return fileText(stderrPath_); }

    bool signal(int sig) const { return !status_ && ::kill(pid_, sig) == 0; }

    // Whether the child still runs (reaps it when it has ended).
    bool running() {
        if (status_) return false;
        poll();
        return !status_;
    }

    // The exit status once the child ended within `timeoutSeconds`; nothing if it still runs.
    std::optional<ExitStatus> waitExit(double timeoutSeconds) {
        waitUntil([this] { return !running(); }, timeoutSeconds, 0.005);
        return status_;
    }

    // The end status if known already.
    const std::optional<ExitStatus>& status() const { return status_; }

private:
    void poll() {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) status_ = ExitStatus::fromWait(st);
    }

    std::unique_ptr<TempDir> ownDir_;
    std::string stdoutPath_, stderrPath_;
    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
};

inline std::unique_ptr<Process> spawn(std::vector<std::string> argv, EnvOverrides env = {}, std::string cwd = {}) {
    SpawnOptions o;
    o.argv = std::move(argv);
    o.env = std::move(env);
    o.cwd = std::move(cwd);
    return std::make_unique<Process>(std::move(o));
}

// Whether `port` on the loopback address can be bound right now for `type`
// (SOCK_DGRAM or SOCK_STREAM).
inline bool portFree(uint16_t port, int type) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(port);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// A VELLOMARK_PORT_OFFSET whose four agent ports (UDP 47822-47824, TCP 47825
// moved by the offset) are free at the moment of asking. Spread by process id so
// that test binaries running side by side pick different offsets.
inline uint16_t freePortOffset() {
    static std::atomic<unsigned> counter{0};
    const unsigned seed = static_cast<unsigned>(::getpid()) * 37u;
    for (unsigned attempt = 0; attempt < 200; ++attempt) {
        uint16_t off = static_cast<uint16_t>(100 + (seed + 11u * counter++) % 9800);
        bool free = true;
        for (uint16_t base : {47822, 47823, 47824, 47825})
            free = free && portFree(static_cast<uint16_t>(base + off), SOCK_DGRAM);
        free = free && portFree(static_cast<uint16_t>(47825 + off), SOCK_STREAM);
        if (free) return off;
    }
    throw std::runtime_error("no free port offset found");
}

}  // namespace vmtest
