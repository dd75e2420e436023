#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/local_control.h"
#include "support/test_files.h"

using namespace vm;
namespace fs = std::filesystem;

using vm::testing::TempDir;
using vm::testing::readAll;
using vm::testing::countOf;

namespace {

mode_t modeOf(const std::string& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode;
}

// Connects, sends `text`, closes the sending side and returns the agent's answer.
std::string talk(const std::string& sockPath, const std::string& text) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, sockPath.c_str(), sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return "<no connection>";
    }
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[256];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 5000) == 1) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return answer;
}

// Binds a Unix socket at `path` and closes it without removing the file, as a
// crashed agent would leave it.
void leaveStaleSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::close(fd);
}

struct Fixture : ::testing::Test {
    TempDir tmp;
    FakeClock clock;
    Logger log{tmp.path + "/logs", clock};
    CtlInbox inbox;
    std::string runtime = tmp.path + "/run/vellomark";  // "run" does not exist yet

    std::string logText() { return readAll(log.cursorLogPath()); }
    std::vector<std::string> drain() {
        std::vector<std::string> out;
        while (auto m = inbox.pop(0)) {
            EXPECT_TRUE(m->plain);
            EXPECT_TRUE(m->loopback);
            EXPECT_EQ(m->fromLen, 0u);
            EXPECT_EQ(m->peer, nullptr);
            out.push_back(toString(m->bytes));
        }
        return out;
    }
};

using LocalControlSocket = Fixture;

}  // namespace

TEST(SendToCursor, EachNonEmptyLineBecomesOneLocalMessage) {
    CtlInbox inbox;
    sendToCursor(inbox, "R 0\nBYE 0\n\nKICK 0");
    sendToCursor(inbox, "PAIROK 3\n");
    sendToCursor(inbox, "");
    sendToCursor(inbox, "\n\n");
    std::vector<std::string> got;
    while (auto m = inbox.pop(0)) {
        EXPECT_TRUE(m->plain);
        EXPECT_TRUE(m->loopback);
        EXPECT_EQ(m->peer, nullptr);
        EXPECT_EQ(m->fromLen, 0u);
        got.push_back(toString(m->bytes));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"R 0\n", "BYE 0\n", "KICK 0\n", "PAIROK 3\n"}));
}

TEST(LocalControlCheck, LimitsLinesSizeAndEncoding) {
    EXPECT_EQ(localControlCheck("PAIROK 1\nPAIRNO 2\n"), "");
    EXPECT_EQ(localControlCheck(std::string(kLocalControlMaxLine, 'x') + "\n"), "");
    EXPECT_EQ(localControlCheck(std::string(kLocalControlMaxLine + 1, 'x')), "line too long");
    EXPECT_EQ(localControlCheck("ok\n" + std::string(kLocalControlMaxLine + 1, 'x') + "\nok"), "line too long");
    std::string many;
    while (many.size() <= kLocalControlMaxTotal) many += "SAY hello\n";
    EXPECT_EQ(localControlCheck(many), "too long");
    EXPECT_EQ(localControlCheck("SAY \xff\xfe\n"), "not UTF-8");
    EXPECT_EQ(localControlCheck("\n\n"), "no line");
}

TEST_F(LocalControlSocket, LinesFromAClientBecomeLocalMessagesAndAreConfirmed) {
    LocalControl lc(inbox, log, runtime);
    ASSERT_TRUE(lc.start());
    EXPECT_EQ(lc.socketPath(), runtime + "/ctl.sock");
    EXPECT_EQ(talk(lc.socketPath(), "PAIROK 7\nSAY hi\n\nSTOP"), "OK\n");
    EXPECT_EQ(drain(), (std::vector<std::string>{"PAIROK 7\n", "SAY hi\n", "STOP\n"}));
    // A second connection works the same way.
    EXPECT_EQ(talk(lc.socketPath(), "KICK 0\n"), "OK\n");
    EXPECT_EQ(drain(), (std::vector<std::string>{"KICK 0\n"}));
    EXPECT_NE(logText().find("로컬 제어 소켓 — " + runtime + "/ctl.sock"), std::string::npos);
}

TEST_F(LocalControlSocket, OversizedInputIsRefusedAndNothingIsQueued) {
    LocalControl lc(inbox, log, runtime);
    ASSERT_TRUE(lc.start());
    EXPECT_EQ(talk(lc.socketPath(), "PAIROK 1\n" + std::string(kLocalControlMaxLine + 1, 'x') + "\n"),
              "ERR line too long\n");
    std::string many;
    while (many.size() <= kLocalControlMaxTotal + 100) many += "M 1 1\n";
    EXPECT_EQ(talk(lc.socketPath(), many), "ERR too long\n");
    EXPECT_EQ(talk(lc.socketPath(), "SAY \xc3\x28\n"), "ERR not UTF-8\n");
    EXPECT_TRUE(drain().empty());
    // The socket still serves afterwards.
    EXPECT_EQ(talk(lc.socketPath(), "PAIRNO 1"), "OK\n");
    EXPECT_EQ(drain(), (std::vector<std::string>{"PAIRNO 1\n"}));
}

TEST_F(LocalControlSocket, FolderAndSocketArePrivate) {
    LocalControl lc(inbox, log, runtime);
    ASSERT_TRUE(lc.start());
    EXPECT_EQ(modeOf(tmp.path + "/run") & 07777, 0700u);
    EXPECT_EQ(modeOf(runtime) & 07777, 0700u);
    mode_t sock = modeOf(lc.socketPath());
    EXPECT_TRUE(S_ISSOCK(sock));
    EXPECT_EQ(sock & 07777, 0600u);
    lc.stop();
    EXPECT_FALSE(fs::exists(lc.socketPath()));
}

TEST_F(LocalControlSocket, LooseExistingFolderIsTightened) {
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0755);
    LocalControl lc(inbox, log, runtime);
    ASSERT_TRUE(lc.start());
    EXPECT_EQ(modeOf(runtime) & 07777, 0700u);
}

TEST_F(LocalControlSocket, StaleSocketIsReplaced) {
    ASSERT_TRUE(prepareRuntimeDir(runtime, nullptr));
    leaveStaleSocket(runtime + "/ctl.sock");
    ASSERT_TRUE(S_ISSOCK(modeOf(runtime + "/ctl.sock")));
    LocalControl lc(inbox, log, runtime);
    ASSERT_TRUE(lc.start());
    EXPECT_EQ(talk(lc.socketPath(), "FILECANCEL"), "OK\n");
    EXPECT_EQ(drain(), (std::vector<std::string>{"FILECANCEL\n"}));
}

TEST_F(LocalControlSocket, LiveSocketOfAnotherAgentIsLeftAlone) {
    LocalControl first(inbox, log, runtime);
    ASSERT_TRUE(first.start());
    LocalControl second(inbox, log, runtime);
    EXPECT_FALSE(second.start());
    EXPECT_NE(logText().find("⚠︎ 로컬 제어 소켓을 못 열었다 — "), std::string::npos);
    second.stop();
    // The first one still owns and serves its socket.
    EXPECT_EQ(talk(first.socketPath(), "SNAP"), "OK\n");
    EXPECT_EQ(drain(), (std::vector<std::string>{"SNAP\n"}));
}

TEST_F(LocalControlSocket, NonSocketFileInTheWayIsNotRemoved) {
    ASSERT_TRUE(prepareRuntimeDir(runtime, nullptr));
    { std::ofstream(runtime + "/ctl.sock") << "keep me"; }
    LocalControl lc(inbox, log, runtime);
    EXPECT_FALSE(lc.start());
    EXPECT_EQ(readAll(runtime + "/ctl.sock"), "keep me");
    EXPECT_NE(logText().find("⚠︎ 로컬 제어 소켓을 못 열었다 — "), std::string::npos);
}

TEST_F(LocalControlSocket, RuntimeFolderThatIsASymlinkIsRefused) {
    std::string elsewhere = tmp.path + "/elsewhere";
    fs::create_directories(elsewhere);
    ::chmod(elsewhere.c_str(), 0700);
    fs::create_directories(tmp.path + "/run");
    fs::create_directory_symlink(elsewhere, runtime);

    std::string reason;
    EXPECT_FALSE(prepareRuntimeDir(runtime, &reason));
    EXPECT_NE(reason.find("심볼릭 링크"), std::string::npos) << reason;
    EXPECT_FALSE(runtimeDirIsOurs(runtime, &reason));

    LocalControl lc(inbox, log, runtime);
    EXPECT_FALSE(lc.start());
    EXPECT_FALSE(fs::exists(elsewhere + "/ctl.sock"));
    EXPECT_NE(logText().find("⚠︎ 로컬 제어 소켓을 못 열었다 — "), std::string::npos);
}

TEST_F(LocalControlSocket, FolderOwnedBySomeoneElseIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
    fs::create_directories(runtime);
    ASSERT_EQ(::chown(runtime.c_str(), 65534, 65534), 0);
    std::string reason;
    EXPECT_FALSE(prepareRuntimeDir(runtime, &reason));
    EXPECT_NE(reason.find("다른 사용자"), std::string::npos) << reason;
    EXPECT_FALSE(runtimeDirIsOurs(runtime, &reason));
    // A parent that belongs to someone else is refused as well.
    std::string other = tmp.path + "/theirs";
    fs::create_directories(other);
    ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(prepareRuntimeDir(other + "/vellomark", &reason));
    EXPECT_FALSE(fs::exists(other + "/vellomark"));
}

TEST_F(LocalControlSocket, ConnectionOfAnotherUserIsClosedAndLoggedOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
    LocalControl lc(inbox, log, runtime);
    ASSERT_TRUE(lc.start());
    // Let the other user reach the socket: a path handle opened here, used through
    // /proc by the child after it dropped to "nobody".
    int pathFd = ::open(lc.socketPath().c_str(), O_PATH | O_CLOEXEC);
    ASSERT_GE(pathFd, 0);
    ::chmod(lc.socketPath().c_str(), 0666);
    std::string viaProc = "/proc/self/fd/" + std::to_string(pathFd);
    for (int round = 0; round < 2; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::fcntl(pathFd, F_SETFD, 0);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
            int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::memcpy(a.sun_path, viaProc.c_str(), viaProc.size() + 1);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ::_exit(11);
            const char text[] = "PAIROK 1\n";
            // The agent may already have hung up; only its silence matters.
            ssize_t sent = ::send(fd, text, sizeof text - 1, MSG_NOSIGNAL);
            (void)sent;
            ::shutdown(fd, SHUT_WR);
            char buf[16];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            ::_exit(n > 0 ? 13 : 0);  // the agent must answer nothing
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    ::close(pathFd);
    EXPECT_EQ(lc.refusedPeers(), 2);
    EXPECT_TRUE(drain().empty());
    EXPECT_EQ(countOf(logText(), "다른 사용자의 연결을 끊었다"), 1);
    // Our own connections still work.
    EXPECT_EQ(talk(lc.socketPath(), "PAIRNO 1"), "OK\n");
}
