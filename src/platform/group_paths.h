#pragma once
// Names inside the app-group folder, the one place where the agent and the share
// tool meet. Header-only on purpose: the share tool includes it without linking
// any of the agent.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace vm::group {

// Written by the agent: {"phone","connected","at"}.
inline constexpr const char STATUS_FILE[] = "status.json";
// Items written by the share tool, deleted by the agent once offered or given up.
inline constexpr const char OUTBOX_DIR[] = "outbox";
// Prefix of an item still being built; names starting with "." are never items.
inline constexpr const char TMP_PREFIX[] = ".tmp-";

// ~/.local/share/vellomark/group (XDG_DATA_HOME honoured when absolute).
inline std::string groupDirFromEnvironment() {
    std::string data;
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && x[0] == '/') {
        data = x;
    } else {
        std::string home;
        if (const char* h = std::getenv("HOME"); h && h[0]) {
            home = h;
        } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
            home = pw->pw_dir;
        } else {
            home = "/tmp";
        }
        data = home + "/.local/share";
    }
    return data + "/vellomark/group";
}

inline std::string statusPath(const std::string& groupDir) { return groupDir + "/" + STATUS_FILE; }
inline std::string outboxPath(const std::string& groupDir) { return groupDir + "/" + OUTBOX_DIR; }

}  // namespace vm::group
