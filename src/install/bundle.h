#pragma once
// What stands for the application bundle on Linux: a folder holding bin/ with the
// executables and share/vellomark/version, a small info file of "key=value" lines
// (CFBundleIdentifier, CFBundleShortVersionString, CFBundleVersion, and for updates
// SUFeedURL and SUPublicEDKey). The installed copy is such a folder in ~/.local/opt.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace vm::install {

// The per-user service's label; the bundle identifier and the service marker's value.
inline constexpr const char* kLabel = "dev.brisval.vellomark.helper";
inline constexpr const char* kUnitName = "vellomark.service";
// Set in the unit's environment: this process is the service.
inline constexpr const char* kServiceMarker = "XPC_SERVICE_NAME";
inline constexpr const char* kNoHandOff = "VELLOMARK_NO_HANDOFF";
// Inside a bundle.
inline constexpr const char* kInfoFile = "share/vellomark/version";
inline constexpr const char* kManifestFile = "share/vellomark/manifest";
// The executables a bundle may hold; each present one gets a link in ~/.local/bin.
inline const std::vector<std::string> kExecutables = {"vellomark", "vellomark-share", "vellomark-ctl",
                                                      "vellomark-phone"};

// The info file of a bundle, read leniently: unknown keys are kept, malformed lines skipped.
struct BundleInfo {
    std::map<std::string, std::string> values;

    static std::optional<BundleInfo> read(const std::string& bundleDir);
    static BundleInfo parse(const std::string& text);
    std::string get(const std::string& key) const;
    // CFBundleVersion as a decimal integer; absent when missing or not a number.
    std::optional<long long> buildNumber() const;
    // "CFBundleShortVersionString (CFBundleVersion)", "?" for a missing entry.
    std::string versionText() const;
};

// Every place the per-user install touches, from the user's home and XDG folders.
struct InstallPaths {
    std::string home;
    std::string optDir;          // ~/.local/opt
    std::string installed;       // ~/.local/opt/vellomark
    std::string binDir;          // ~/.local/bin (links to the tools)
    std::string unitDir;         // ~/.config/systemd/user
    std::string unitFile;        // .../vellomark.service
    std::string autostartFile;   // ~/.config/autostart/vellomark.desktop
    std::string dataHome;        // ~/.local/share (applications, icons, man pages)
    std::string logDir;          // the agent's log folder
    std::string serviceLog;      // logDir/launchd.log: the service's own output
    std::string supportDir;      // pairings, settings, state
    std::string runtimeDir;      // the local control socket
    std::string receivedDir;     // ~/Vellomark, never removed
    std::string dpkgInfoDir = "/var/lib/dpkg/info";

    static InstallPaths from(const platform::Locations& loc);
};

// The bundle folder that holds `exe` (bundle/bin/exe with an info file naming our
// label), or nothing.
std::optional<std::string> bundleOf(const std::string& exe);
// Whether `exe` belongs to the installed Debian package (listed in vellomark.list).
bool isPackaged(const std::string& exe, const std::string& dpkgInfoDir);
// The resolved path of the running executable.
std::string runningExecutable();

}  // namespace vm::install
