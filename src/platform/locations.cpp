#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace vm::platform {

static std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    // XDG says relative paths in these variables are invalid and must be ignored.
    if (v && v[0] == '/') return v;
    return fallback;
}

Locations Locations::fromEnvironment() {
    Locations l;
    const char* home = std::getenv("HOME");
    if (home && home[0]) {
        l.home = home;
    } else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        l.home = pw->pw_dir;
    } else {
        l.home = "/tmp";
    }
    l.logDir = envOr("XDG_STATE_HOME", l.home + "/.local/state") + "/vellomark";
    l.supportDir = envOr("XDG_DATA_HOME", l.home + "/.local/share") + "/vellomark";
    l.groupDir = l.supportDir + "/group";
    l.receivedDir = l.home + "/Vellomark";
    l.runtimeDir = envOr("XDG_RUNTIME_DIR", "/tmp/vellomark-" + std::to_string(getuid())) + "/vellomark";
    return l;
}

}  // namespace vm::platform
