#include "control/local_control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/text.h"

namespace vm {

void sendToCursor(CtlInbox& inbox, std::string_view text) {
    for (std::string_view line : splitLines(text)) {
        CtlMsg msg;
        msg.bytes.assign(line.begin(), line.end());
        msg.bytes.push_back('\n');
        msg.plain = true;
        msg.loopback = true;
        msg.fromLen = 0;
        inbox.push(std::move(msg));
    }
}

// ---- the private folder ----

static std::string errText(int err) { return std::strerror(err); }

static std::string parentOf(const std::string& dir) {
    std::string d = dir;
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    size_t slash = d.rfind('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return d.substr(0, slash);
}

bool prepareRuntimeDir(const std::string& dir, std::string* reason) {
    auto fail = [&](std::string why) {
        if (reason) *reason = std::move(why);
        return false;
    };
    if (dir.empty() || dir[0] != '/') return fail("폴더 경로가 절대 경로가 아니다 (" + dir + ")");
    const uid_t me = ::geteuid();

    // The parent: $XDG_RUNTIME_DIR, or /tmp/vellomark-<uid> which we make ourselves.
    std::string parent = parentOf(dir);
    if (parent.empty()) return fail("상위 폴더가 없다 (" + dir + ")");
    struct stat pst {};
    if (::stat(parent.c_str(), &pst) != 0) {
        if (errno != ENOENT) return fail(parent + ": " + errText(errno));
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return fail(parent + ": " + errText(errno));
        if (::stat(parent.c_str(), &pst) != 0) return fail(parent + ": " + errText(errno));
    }
    if (!S_ISDIR(pst.st_mode)) return fail(parent + " 은 폴더가 아니다");
    // Someone else who may rename entries in the parent could swap our folder for theirs.
    bool parentSafe = pst.st_uid == me ||
                      (pst.st_uid == 0 && (!(pst.st_mode & (S_IWGRP | S_IWOTH)) || (pst.st_mode & S_ISVTX)));
    if (!parentSafe) return fail(parent + " 의 주인이 다른 사용자다 (uid " + std::to_string(pst.st_uid) + ")");

    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return fail(dir + ": " + errText(errno));
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        struct stat lst {};
        if (::lstat(dir.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) return fail(dir + " 은 심볼릭 링크다");
        if (e == ENOTDIR) return fail(dir + " 은 폴더가 아니다");
        return fail(dir + ": " + errText(e));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        return fail(dir + ": " + errText(e));
    }
    if (st.st_uid != me) {
        ::close(fd);
        return fail(dir + " 의 주인이 다른 사용자다 (uid " + std::to_string(st.st_uid) + ")");
    }
    if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        int e = errno;
        ::close(fd);
        return fail(dir + ": " + errText(e));
    }
    ::close(fd);
    return true;
}

bool runtimeDirIsOurs(const std::string& dir, std::string* reason) {
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (reason) *reason = dir + ": " + errText(errno);
        return false;
    }
    std::string why;
    if (S_ISLNK(st.st_mode)) {
        why = dir + " is a symbolic link";
    } else if (!S_ISDIR(st.st_mode)) {
        why = dir + " is not a folder";
    } else if (st.st_uid != ::geteuid()) {
        why = dir + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    } else if (st.st_mode & 077) {
        why = dir + " is open to other users";
    }
    if (why.empty()) return true;
    if (reason) *reason = why;
    return false;
}

std::string localControlCheck(std::string_view text) {
    if (text.size() > kLocalControlMaxTotal) return "too long";
    const auto lines = splitLines(text);
    for (std::string_view line : lines)
        if (line.size() > kLocalControlMaxLine) return "line too long";
    if (!isValidUtf8(text)) return "not UTF-8";
    if (lines.empty()) return "no line";
    return {};
}

// ---- the socket ----

static bool fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

static void sendQuietly(int fd, std::string_view text) {
    int flags = MSG_DONTWAIT;
#ifdef MSG_NOSIGNAL
    flags |= MSG_NOSIGNAL;
#endif
    ssize_t r = ::send(fd, text.data(), text.size(), flags);
    (void)r;
}

LocalControl::LocalControl(CtlInbox& inbox, Logger& log, std::string runtimeDir)
    : inbox_(inbox), log_(log), dir_(std::move(runtimeDir)) {
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

LocalControl::~LocalControl() { stop(); }

bool LocalControl::open(std::string* reason) {
    auto fail = [&](std::string why) {
        *reason = std::move(why);
        if (listenFd_ >= 0) ::close(listenFd_);
        listenFd_ = -1;
        return false;
    };
    if (!prepareRuntimeDir(dir_, reason)) return false;
    const std::string path = socketPath();
    sockaddr_un addr{};
    if (!fillAddress(path, addr)) return fail("소켓 경로가 너무 길다 (" + path + ")");

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return fail(path + " 자리에 소켓이 아닌 파일이 있다");
        // A socket nobody answers on is left over from an earlier run; a live one
        // belongs to another running agent, which we leave alone.
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (probe < 0) return fail(errText(errno));
        bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        ::close(probe);
        if (live) return fail("다른 에이전트가 이미 듣고 있다 (" + path + ")");
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return fail(path + ": " + errText(errno));
    }

    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return fail(errText(errno));
    if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return fail(path + ": " + errText(errno));
    ownsSocketFile_ = true;
    if (::lstat(path.c_str(), &st) == 0) socketIno_ = st.st_ino;
    if (::chmod(path.c_str(), 0600) != 0) {
        int e = errno;
        ::unlink(path.c_str());
        ownsSocketFile_ = false;
        return fail(path + ": " + errText(e));
    }
    if (::listen(listenFd_, 16) != 0) {
        int e = errno;
        ::unlink(path.c_str());
        ownsSocketFile_ = false;
        return fail(path + ": " + errText(e));
    }
    return true;
}

bool LocalControl::start() {
    if (thread_.joinable()) return true;
    std::string reason;
    if (!open(&reason)) {
        log_.logLine("⚠︎ 로컬 제어 소켓을 못 열었다 — " + reason + "\n");
        return false;
    }
    if (::pipe(wake_) != 0) {
        wake_[0] = wake_[1] = -1;
    } else {
        for (int w : wake_) ::fcntl(w, F_SETFD, FD_CLOEXEC);
        ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
    }
    stopping_ = false;
    log_.logLine("로컬 제어 소켓 — " + socketPath() + "\n");
    thread_ = std::thread([this] { serve(); });
    return true;
}

void LocalControl::stop() {
    stopping_ = true;
    if (wake_[1] >= 0) {
        char c = 1;
        ssize_t r = ::write(wake_[1], &c, 1);
        (void)r;
    }
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
    for (int& w : wake_) {
        if (w >= 0) ::close(w);
        w = -1;
    }
    if (ownsSocketFile_) {
        // Only our own socket: a newer agent may have taken the name since.
        struct stat st {};
        std::string path = socketPath();
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_ino == socketIno_)
            ::unlink(path.c_str());
        ownsSocketFile_ = false;
    }
}

void LocalControl::serve() {
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int nfds = wake_[0] >= 0 ? 2 : 1;
        int pr = ::poll(fds, nfds, nfds == 2 ? -1 : 250);
        if (pr < 0) {
            if (errno == EINTR) continue;
            ::usleep(10'000);
            continue;
        }
        if (nfds == 2 && (fds[1].revents & POLLIN)) break;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) continue;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        handleConnection(fd);
        ::close(fd);
    }
}

bool LocalControl::peerIsUs(int fd) const {
#if defined(SO_PEERCRED)
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
    return cred.uid == ::geteuid();
#else
    uid_t uid = 0;
    gid_t gid = 0;
    if (::getpeereid(fd, &uid, &gid) != 0) return false;
    return uid == ::geteuid();
#endif
}

void LocalControl::handleConnection(int fd) {
    if (!peerIsUs(fd)) {
        if (refused_.fetch_add(1) == 0)
            log_.logLine("⚠︎ 로컬 제어 소켓 — 다른 사용자의 연결을 끊었다\n");
        return;
    }
    // The client writes its lines and shuts down its sending side; the whole text is
    // then checked and queued at once, so a client that stalls or overflows queues nothing.
    using Steady = std::chrono::steady_clock;
    const auto deadline = Steady::now() + std::chrono::duration_cast<Steady::duration>(
                                              std::chrono::duration<double>(kLocalControlIdleSeconds));
    std::string text;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
        if (left <= 0) return;  // too slow: nothing queued, no answer
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int nfds = wake_[0] >= 0 ? 2 : 1;
        int pr = ::poll(fds, nfds, static_cast<int>(left));
        if (pr < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (pr == 0) continue;
        if (nfds == 2 && (fds[1].revents & POLLIN)) return;
        ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return;
        }
        if (n == 0) break;
        if (text.size() + static_cast<size_t>(n) > kLocalControlMaxTotal) {
            sendQuietly(fd, "ERR too long\n");
            return;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    std::string problem = localControlCheck(text);
    if (!problem.empty()) {
        sendQuietly(fd, "ERR " + problem + "\n");
        return;
    }
    sendToCursor(inbox_, text);
    sendQuietly(fd, "OK\n");
}

}  // namespace vm
