#include "install/install.h"

#include <sys/stat.h>

#include <filesystem>

#include "base/atomic_file.h"
#include "base/text.h"
#include "install/unit_template.h"

namespace fs = std::filesystem;

namespace vm::install {

namespace {

// The session's variables a desktop agent needs; user managers do not always have them.
const char* const kSessionVars[] = {"DISPLAY",           "WAYLAND_DISPLAY",     "XAUTHORITY",
                                    "XDG_SESSION_TYPE",  "XDG_CURRENT_DESKTOP", "DBUS_SESSION_BUS_ADDRESS"};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// A path as a unit file value: "%" is a specifier there.
std::string unitValue(std::string path) {
    replaceAll(path, "%", "%%");
    return path;
}

// An executable path as a command line word in a unit or a desktop entry.
std::string commandWord(const std::string& path) {
    if (path.find_first_of(" \t\"\\") == std::string::npos) return path;
    std::string q = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

bool isOurs(const std::string& path, const std::string& home) {
    return path.size() > home.size() + 1 && path.compare(0, home.size() + 1, home + "/") == 0 &&
           path.find("/../") == std::string::npos;
}

}  // namespace

Install::Install(InstallDeps deps) : deps_(std::move(deps)) {
    if (!deps_.getenv) deps_.getenv = [](const char* n) -> const char* { return std::getenv(n); };
    if (!deps_.exe.empty()) {
        packaged_ = isPackaged(deps_.exe, deps_.paths.dpkgInfoDir);
        if (!packaged_) bundle_ = bundleOf(deps_.exe);
    }
}

bool Install::envIs(const char* name, const char* value) const {
    const char* v = deps_.getenv(name);
    return v && (value == nullptr || std::string(v) == value);
}

std::vector<std::string> Install::systemctl(std::vector<std::string> args) const {
    args.insert(args.begin(), "--user");
    return args;
}

int Install::ctl(const std::vector<std::string>& args) { return run("systemctl", systemctl(args)); }

bool Install::userSystemd() { return ctl({"show-environment"}) == 0; }

void Install::importSessionEnv() {
    std::vector<std::string> imp{"import-environment"};
    for (const char* v : kSessionVars)
        if (deps_.getenv(v)) imp.emplace_back(v);
    if (imp.size() > 1) ctl(imp);
}

void Install::bootstrap() {
    ctl({"daemon-reload"});
    importSessionEnv();
    ctl({"enable", "--now", kUnitName});
}

void Install::kickstart() {
    importSessionEnv();
    ctl({"restart", kUnitName});
}

std::optional<long long> Install::myVersion() const {
    if (!bundle_) return std::nullopt;
    auto info = BundleInfo::read(*bundle_);
    return info ? info->buildNumber() : std::nullopt;
}

std::optional<BundleInfo> Install::runningInfo() const {
    if (bundle_) return BundleInfo::read(*bundle_);
    if (packaged_) return BundleInfo::read(fs::path(deps_.exe).parent_path().parent_path().string());
    return std::nullopt;
}

std::optional<long long> Install::installedVersion() const {
    auto info = BundleInfo::read(deps_.paths.installed);
    return info ? info->buildNumber() : std::nullopt;
}

void Install::handOffIfNeeded() {
    if (decideHandOff() == HandOff::Exit) deps_.exit(0);
}

HandOff Install::decideHandOff() {
    const InstallPaths& p = deps_.paths;
    if (envIs(kServiceMarker, kLabel) || envIs(kNoHandOff, nullptr)) return HandOff::Continue;

    if (!packaged_ && !bundle_) {
        const std::string where = fs::path(deps_.exe).parent_path().parent_path().string();
        deps_.say("설치 — 앱 번들이 아니다(" + where + "). 이 자리에서 돈다\n");
        return HandOff::Continue;
    }
    // Without a user service manager there is nothing to hand off to.
    if (!userSystemd()) {
        deps_.say("설치 — 사용자 systemd가 돌지 않는다. 이 자리에서 돈다\n");
        return HandOff::Continue;
    }

    // The package's unit lives in /usr/lib/systemd/user; enabling it is this user's part.
    if (packaged_) {
        if (ctl({"is-enabled", "--quiet", kUnitName}) == 0) {
            kickstart();
        } else {
            std::error_code ec;
            fs::create_directories(p.logDir, ec);
            bootstrap();
        }
        return HandOff::Exit;
    }

    std::error_code ec;
    if (fs::equivalent(*bundle_, p.installed, ec)) {
        if (fs::exists(p.unitFile, ec)) {
            kickstart();
        } else {
            writeUnit();
            bootstrap();
        }
        return HandOff::Exit;
    }

    auto installed = installedVersion();
    auto mine = myVersion();
    if (installed && mine && *mine < *installed) {
        deps_.say("설치 — 이미 더 새 판이 있다(" + std::to_string(*installed) + " > " + std::to_string(*mine) +
                  "). 그대로 둔다\n");
        kickstart();
        return HandOff::Exit;
    }

    stopService();
    fs::create_directories(p.optDir, ec);
    // The old copy's own files outside it go with it; the new copy lists its own.
    removeManifestFiles(p.installed);
    fs::remove_all(p.installed, ec);
    if (run("cp", {"-a", "--", *bundle_, p.installed}) != 0) {
        deps_.say("설치 — " + p.installed + " 로 복사 실패. 이 자리에서 돈다\n");
        return HandOff::Continue;
    }
    installDesktopFiles();
    writeUnit();
    bootstrap();
    return HandOff::Exit;
}

void Install::stopService() {
    if (ctl({"is-active", "--quiet", kUnitName}) != 0) return;
    ctl({"disable", "--now", kUnitName});
    for (int i = 0; i < 50; ++i) {
        if (ctl({"is-active", "--quiet", kUnitName}) != 0) break;
        deps_.clock.sleep(0.1);
    }
}

std::string Install::unitText(const std::string& exec, const std::string& log) {
    std::string text = kUnitTemplate;
    replaceAll(text, "@VELLOMARK_EXEC@", unitValue(commandWord(exec)));
    replaceAll(text, "@VELLOMARK_LOG@", unitValue(log));
    return text;
}

void Install::writeUnit() {
    const InstallPaths& p = deps_.paths;
    std::error_code ec;
    fs::create_directories(p.unitDir, ec);
    fs::create_directories(p.logDir, ec);
    writeFileAtomically(p.unitFile, unitText(p.installed + "/bin/vellomark", p.serviceLog), 0644);
}

std::string Install::pointExecAt(const std::string& entry, const std::string& binDir) {
    std::string out;
    std::istringstream in(entry);
    for (std::string line; std::getline(in, line);) {
        for (const char* key : {"Exec=", "TryExec="}) {
            if (line.rfind(key, 0) != 0) continue;
            const size_t start = std::string(key).size();
            const size_t end = std::min(line.find(' ', start), line.size());
            const std::string word = line.substr(start, end - start);
            for (const auto& tool : kExecutables)
                if (word == tool) line = key + commandWord(binDir + "/" + tool) + line.substr(end);
        }
        out += line + "\n";
    }
    return out;
}

void Install::installDesktopFiles() {
    const InstallPaths& p = deps_.paths;
    const std::string bin = p.installed + "/bin";
    std::vector<std::string> made;
    std::error_code ec;

    fs::create_directories(p.binDir, ec);
    for (const auto& tool : kExecutables) {
        const std::string target = bin + "/" + tool, link = p.binDir + "/" + tool;
        if (!fs::exists(target, ec)) continue;
        // Only a link is ever replaced; a user's own file of that name stays.
        if (fs::is_symlink(fs::symlink_status(link, ec))) fs::remove(link, ec);
        else if (fs::exists(fs::symlink_status(link, ec))) continue;
        fs::create_symlink(target, link, ec);
        if (!ec) made.push_back(link);
    }

    auto copyEntry = [&](const std::string& from, const std::string& to) {
        std::string text = readWholeFile(from);
        if (text.empty()) return;
        fs::create_directories(fs::path(to).parent_path(), ec);
        if (writeFileAtomically(to, pointExecAt(text, bin), 0644).empty()) made.push_back(to);
    };
    auto copyTree = [&](const std::string& fromDir, const std::string& toDir) {
        if (!fs::is_directory(fromDir, ec)) return;
        for (auto it = fs::recursive_directory_iterator(fromDir, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (!it->is_regular_file(ec)) continue;
            const std::string to = toDir + "/" + fs::relative(it->path(), fromDir, ec).string();
            fs::create_directories(fs::path(to).parent_path(), ec);
            if (writeFileAtomically(to, readWholeFile(it->path().string()), 0644).empty()) made.push_back(to);
        }
    };

    const std::string share = p.installed + "/share";
    if (fs::is_directory(share + "/applications", ec))
        for (const auto& e : fs::directory_iterator(share + "/applications", ec))
            if (e.path().extension() == ".desktop")
                copyEntry(e.path().string(), p.dataHome + "/applications/" + e.path().filename().string());
    copyEntry(share + "/vellomark/vellomark-autostart.desktop", p.autostartFile);
    copyTree(share + "/icons/hicolor", p.dataHome + "/icons/hicolor");
    copyTree(share + "/man", p.dataHome + "/man");
    // GNOME Shell reads extensions from here; the shell enables it at the next login.
    copyTree(share + "/gnome-shell/extensions", p.dataHome + "/gnome-shell/extensions");

    std::string manifest;
    for (const auto& m : made) manifest += m + "\n";
    writeFileAtomically(p.installed + "/" + kManifestFile, manifest, 0644);
}

void Install::removeManifestFiles(const std::string& bundle) {
    std::error_code ec;
    const std::string list = readWholeFile(bundle + "/" + kManifestFile);
    for (std::string_view line : splitLines(list)) {
        const std::string path(line);
        if (!isOurs(path, deps_.paths.home)) continue;
        auto st = fs::symlink_status(path, ec);
        if (fs::is_regular_file(st) || fs::is_symlink(st)) fs::remove(path, ec);
    }
}

void Install::uninstallSteps() {
    const InstallPaths& p = deps_.paths;
    if (deps_.restoreDisplays) deps_.restoreDisplays();

    const std::string picked = bundle_ ? *bundle_ : p.installed;
    std::error_code ec;
    removeManifestFiles(p.installed);
    if (picked != p.installed) removeManifestFiles(picked);
    for (const std::string& dir : {p.installed, picked, p.supportDir, p.logDir, p.runtimeDir})
        fs::remove_all(dir, ec);

    ctl({"disable", kUnitName});
    fs::remove(p.unitFile, ec);
    ctl({"daemon-reload"});

    deps_.say("제거 — 받은 파일은 " + p.receivedDir + " 에 그대로 둔다\n");
    if (packaged_) deps_.say("제거 — 패키지로 설치된 판은 남는다. 지우려면: sudo apt remove vellomark\n");
    // Stopping the service normally ends this process itself.
    ctl({"stop", kUnitName});
}

void Install::uninstall() {
    uninstallSteps();
    deps_.exit(0);
    std::_Exit(0);
}

}  // namespace vm::install
