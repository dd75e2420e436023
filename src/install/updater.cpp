#include "install/updater.h"

#include <stdexcept>

namespace vm::install {

Updater::Updater(UpdaterDeps deps, UpdaterConfig config) : deps_(std::move(deps)), config_(std::move(config)) {}

void Updater::start() {
    if (config_.packaged) {
        deps_.log.logLine("업데이트 — 패키지로 설치된 판이다. 업데이트는 apt가 맡는다 (버전 " + config_.version + ")\n");
        return;
    }
    if (config_.feedURL.rfind("https://", 0) != 0) {
        deps_.log.logLine("업데이트 — 피드 주소가 없다. 자동 업데이트를 켜지 않는다 (버전 " + config_.version + ")\n");
        return;
    }
    if (config_.publicKey.empty()) {
        deps_.log.logLine("업데이트 — 서명 공개키가 없다. 자동 업데이트를 켜지 않는다 (버전 " + config_.version + ")\n");
        return;
    }
    try {
        controller_ = deps_.makeDriver(config_);
        if (!controller_) throw std::runtime_error("no update mechanism");
        controller_->start(*this);
    } catch (const std::exception& e) {
        deps_.log.logLine(std::string("⚠︎ 업데이트 — 시작 실패: ") + e.what() + "\n");
        controller_.reset();
        return;
    }
    deps_.log.logLine("업데이트 — 켬 (버전 " + config_.version + ", 피드 " + config_.feedURL + ")\n");
}

void Updater::willInstallUpdateOnQuit(const std::string& displayVersion, std::function<void()> installNow) {
    deps_.log.logLine("업데이트 — " + displayVersion + " 받음. 폰이 안 쓸 때 설치한다\n");
    pendingInstall_ = std::move(installNow);
    idleTimer_.reset();
    idleTimer_ = deps_.repeat(kIdleCheckSeconds, [this] { installIfIdle(); });
    installIfIdle();
}

void Updater::installIfIdle() {
    if (!pendingInstall_ || deps_.phone.phoneWantsScreen.load() ||
        deps_.clock.now() - deps_.phone.phoneLastSeen.load() <= kPhoneQuietSeconds)
        return;
    idleTimer_.reset();
    auto install = std::move(pendingInstall_);
    pendingInstall_ = nullptr;
    deps_.log.logLine("업데이트 — 설치하고 다시 켠다\n");
    if (deps_.restoreDisplays) deps_.restoreDisplays();
    install();
}

void Updater::didAbortWithError(const std::string& description) {
    deps_.log.logLine("업데이트 — 중단: " + description + "\n");
}

}  // namespace vm::install
