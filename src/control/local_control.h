#pragma once
// Local control: how the user interface and local tools talk to the input side.
// sendToCursor() pushes text lines as local messages; LocalControl listens on a
// Unix socket in the user's private runtime folder so a tool on a machine without
// a menu bar (vellomark-ctl) can send the same lines, decisions included, which the
// plain UDP port refuses by design.
#include <sys/types.h>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

#include "base/log.h"
#include "control/ctl_inbox.h"

namespace vm {

// Splits `text` at line feeds; each non-empty piece, with a line feed appended when
// missing, becomes one local message (plain, loopback, no address).
void sendToCursor(CtlInbox& inbox, std::string_view text);

inline constexpr const char* kLocalControlSocketName = "ctl.sock";
inline constexpr size_t kLocalControlMaxTotal = 64 * 1024;   // per connection
inline constexpr size_t kLocalControlMaxLine = 4096;         // per line, line feed excluded
inline constexpr double kLocalControlIdleSeconds = 5.0;      // a client that stalls is dropped

// Makes sure `dir` is a private folder of this user: creates it (and its parent when
// missing) with mode 0700, refuses a symlink, a non-folder, or a folder owned by
// someone else, and tightens its mode to 0700. Refuses a parent that another user
// could rename things in. On refusal returns false and puts a reason into `reason`.
bool prepareRuntimeDir(const std::string& dir, std::string* reason);

// Checks an existing folder without changing anything: a real folder owned by us.
bool runtimeDirIsOurs(const std::string& dir, std::string* reason);

// Checks what a local client sent: at most 64 KiB, lines of at most 4096 bytes,
// UTF-8. Empty on success, else a short reason (sent back as "ERR reason").
std::string localControlCheck(std::string_view text);

class LocalControl {
public:
    // `runtimeDir` is the platform's runtime folder ($XDG_RUNTIME_DIR/vellomark).
    LocalControl(CtlInbox& inbox, Logger& log, std::string runtimeDir);
    ~LocalControl();
    LocalControl(const LocalControl&) = delete;
    LocalControl& operator=(const LocalControl&) = delete;

    // Prepares the folder, binds and listens, and starts the serving thread. Logs the
    // socket path, or the reason it could not be opened; false in that case.
    bool start();
    // Ends the serving thread and removes the socket file.
    void stop();

    std::string socketPath() const { return dir_ + "/" + kLocalControlSocketName; }
    // Connections refused because the peer was another user.
    int refusedPeers() const { return refused_.load(); }

private:
    bool open(std::string* reason);
    void serve();
    void handleConnection(int fd);
    bool peerIsUs(int fd) const;

    CtlInbox& inbox_;
    Logger& log_;
    std::string dir_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> refused_{0};
    bool ownsSocketFile_ = false;
    ino_t socketIno_ = 0;
};

}  // namespace vm
