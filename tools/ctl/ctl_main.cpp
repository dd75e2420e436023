// vellomark-ctl: hands text lines to the running agent through its local control
// socket, exactly as the menu bar would. Useful where there is no menu bar at all,
// for example to allow a pairing ("PAIROK 3") on a headless machine.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control/local_control.h"
#include "platform/platform.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;      // the agent refused the lines or did not confirm them
constexpr int kExitUsage = 2;
constexpr int kExitNotRunning = 3;  // no socket, or nobody listening on it
constexpr int kExitUnsafe = 4;      // the socket folder is not a private folder of ours
constexpr double kAnswerSeconds = 5.0;

void usage(FILE* out) {
    std::fputs(
        "usage: vellomark-ctl [--] LINE...\n"
        "\n"
        "Sends each LINE to the running Vellomark agent as one local control line, the\n"
        "way the menu bar does, and waits until the agent has queued them.\n"
        "Examples: vellomark-ctl \"PAIROK 3\"    vellomark-ctl \"PAIRNO 3\"\n"
        "          vellomark-ctl \"UNPAIR <phone id>\"    vellomark-ctl \"R 0\" \"BYE 0\" \"KICK 0\"\n"
        "\n"
        "The socket is $XDG_RUNTIME_DIR/vellomark/ctl.sock, or\n"
        "/tmp/vellomark-<uid>/vellomark/ctl.sock when XDG_RUNTIME_DIR is not set.\n"
        "\n"
        "Exit status:\n"
        "  0  the agent queued every line\n"
        "  1  the agent refused the lines or did not confirm them in time\n"
        "  2  usage error (no line, a line with a line feed, a line over 4096 bytes)\n"
        "  3  the agent is not running (no socket, or nobody listening)\n"
        "  4  the socket folder is not a private folder of this user\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> lines;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (options && (a == "--help" || a == "-h")) {
            usage(stdout);
            return kExitOk;
        }
        if (options && a == "--") {
            options = false;
            continue;
        }
        if (options && a.size() > 1 && a[0] == '-' && a[1] == '-') {
            std::fprintf(stderr, "vellomark-ctl: unknown option %s\n", a.c_str());
            usage(stderr);
            return kExitUsage;
        }
        if (a.empty()) {
            std::fputs("vellomark-ctl: an empty line cannot be sent\n", stderr);
            return kExitUsage;
        }
        if (a.find('\n') != std::string::npos || a.find('\r') != std::string::npos) {
            std::fputs("vellomark-ctl: a line may not contain a line break; give each line as its own argument\n",
                       stderr);
            return kExitUsage;
        }
        if (a.size() > vm::kLocalControlMaxLine) {
            std::fprintf(stderr, "vellomark-ctl: a line is longer than %zu bytes\n", vm::kLocalControlMaxLine);
            return kExitUsage;
        }
        lines.push_back(std::move(a));
    }
    if (lines.empty()) {
        usage(stderr);
        return kExitUsage;
    }
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    if (std::string why = vm::localControlCheck(text); !why.empty()) {
        std::fprintf(stderr, "vellomark-ctl: cannot send these lines: %s\n", why.c_str());
        return kExitUsage;
    }

    const std::string dir = vm::platform::Locations::fromEnvironment().runtimeDir;
    const std::string path = dir + "/" + vm::kLocalControlSocketName;
    std::string reason;
    if (access(dir.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "vellomark-ctl: the agent is not running (no %s)\n", dir.c_str());
        return kExitNotRunning;
    }
    if (!vm::runtimeDirIsOurs(dir, &reason)) {
        std::fprintf(stderr, "vellomark-ctl: not using the socket: %s\n", reason.c_str());
        return kExitUnsafe;
    }

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "vellomark-ctl: socket path too long: %s\n", path.c_str());
        return kExitNotRunning;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "vellomark-ctl: socket: %s\n", std::strerror(errno));
        return kExitFailed;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        ::close(fd);
        std::fprintf(stderr, "vellomark-ctl: the agent is not running (%s: %s)\n", path.c_str(), std::strerror(e));
        return kExitNotRunning;
    }

    int sendFlags = 0;
#ifdef MSG_NOSIGNAL
    sendFlags |= MSG_NOSIGNAL;
#endif
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd, text.data() + off, text.size() - off, sendFlags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::fprintf(stderr, "vellomark-ctl: sending failed: %s\n", std::strerror(errno));
            ::close(fd);
            return kExitFailed;
        }
        off += static_cast<size_t>(n);
    }
    // The agent handles the lines once it sees the end of them.
    ::shutdown(fd, SHUT_WR);

    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(
                                                                 static_cast<int>(kAnswerSeconds * 1000));
    while (answer.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int pr = ::poll(&p, 1, static_cast<int>(left));
        if (pr < 0 && errno == EINTR) continue;
        if (pr <= 0) break;
        char buf[256];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(buf, static_cast<size_t>(n));
        if (answer.size() > 4096) break;
    }
    ::close(fd);

    std::string first = answer.substr(0, answer.find('\n'));
    if (first == "OK") return kExitOk;
    if (first.rfind("ERR", 0) == 0) {
        std::fprintf(stderr, "vellomark-ctl: the agent refused the lines: %s\n",
                     first.size() > 4 ? first.c_str() + 4 : "no reason given");
        return kExitFailed;
    }
    std::fputs("vellomark-ctl: the agent did not confirm the lines\n", stderr);
    return kExitFailed;
}
