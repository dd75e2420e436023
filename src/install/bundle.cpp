#include "install/bundle.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/atomic_file.h"
#include "base/text.h"

namespace fs = std::filesystem;

namespace vm::install {

namespace {

std::string parentOf(const std::string& path) { return fs::path(path).parent_path().string(); }

}  // namespace

BundleInfo BundleInfo::parse(const std::string& text) {
    BundleInfo info;
    for (std::string_view line : splitLines(text)) {
        if (line.empty() || line.front() == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        std::string_view value = line.substr(eq + 1);
        if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
        info.values[std::string(line.substr(0, eq))] = std::string(value);
    }
    return info;
}

std::optional<BundleInfo> BundleInfo::read(const std::string& bundleDir) {
    std::error_code ec;
    const std::string path = bundleDir + "/" + kInfoFile;
    if (!fs::is_regular_file(path, ec)) return std::nullopt;
    return parse(readWholeFile(path));
}

std::string BundleInfo::get(const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

std::optional<long long> BundleInfo::buildNumber() const {
    auto it = values.find("CFBundleVersion");
    if (it == values.end()) return std::nullopt;
    return parseInt<long long>(it->second);
}

std::string BundleInfo::versionText() const {
    auto orQ = [this](const char* k) {
        std::string v = get(k);
        return v.empty() ? std::string("?") : v;
    };
    return orQ("CFBundleShortVersionString") + " (" + orQ("CFBundleVersion") + ")";
}

InstallPaths InstallPaths::from(const platform::Locations& loc) {
    auto envDir = [](const char* name, const std::string& fallback) {
        const char* v = std::getenv(name);
        return (v && v[0] == '/') ? std::string(v) : fallback;
    };
    InstallPaths p;
    p.home = loc.home;
    p.optDir = loc.home + "/.local/opt";
    p.installed = p.optDir + "/vellomark";
    p.binDir = loc.home + "/.local/bin";
    const std::string config = envDir("XDG_CONFIG_HOME", loc.home + "/.config");
    p.unitDir = config + "/systemd/user";
    p.unitFile = p.unitDir + "/" + kUnitName;
    p.autostartFile = config + "/autostart/vellomark.desktop";
    p.dataHome = parentOf(loc.supportDir);
    p.logDir = loc.logDir;
    p.serviceLog = loc.logDir + "/launchd.log";
    p.supportDir = loc.supportDir;
    p.runtimeDir = loc.runtimeDir;
    p.receivedDir = loc.receivedDir;
    return p;
}

std::optional<std::string> bundleOf(const std::string& exe) {
    fs::path dir = fs::path(exe).parent_path();
    if (dir.filename() != "bin") return std::nullopt;
    const std::string bundle = dir.parent_path().string();
    auto info = BundleInfo::read(bundle);
    if (!info || info->get("CFBundleIdentifier") != kLabel) return std::nullopt;
    return bundle;
}

bool isPackaged(const std::string& exe, const std::string& dpkgInfoDir) {
    const std::string list = readWholeFile(dpkgInfoDir + "/vellomark.list");
    for (std::string_view line : splitLines(list))
        if (line == exe) return true;
    return false;
}

std::string runningExecutable() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

}  // namespace vm::install
