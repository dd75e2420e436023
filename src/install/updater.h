#pragma once
// Updates: an update mechanism finds, downloads, verifies and stages a new version;
// the updater switches it on only for a secure feed with a signing key, reports its
// progress in the log, and holds the installation (which restarts the agent and cuts
// the phone off) until the phone is not using the computer.
#include <functional>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/log.h"
#include "control/phone_state.h"

namespace vm::install {

// The update mechanism. Its delegate calls come on the main thread.
class UpdateDriver {
public:
    struct Delegate {
        virtual ~Delegate() = default;
        // A verified update is staged; `installNow` puts it in place and restarts the service.
        virtual void willInstallUpdateOnQuit(const std::string& displayVersion, std::function<void()> installNow) = 0;
        virtual void didAbortWithError(const std::string& description) = 0;
    };
    virtual ~UpdateDriver() = default;
    // Starts scheduled checks; throws std::runtime_error when it cannot.
    virtual void start(Delegate& delegate) = 0;
    virtual void checkForUpdates() = 0;
};

struct UpdaterConfig {
    std::string feedURL;    // the bundle's SUFeedURL
    std::string publicKey;  // the bundle's SUPublicEDKey (base64 of an Ed25519 key)
    std::string version;    // "short (build)"
    bool packaged = false;  // installed from the Debian package: apt updates it
};

struct UpdaterDeps {
    const Clock& clock;
    Logger& log;
    const PhoneState& phone;
    std::function<void()> restoreDisplays;
    // Builds the mechanism once updating may go on.
    std::function<std::unique_ptr<UpdateDriver>(const UpdaterConfig&)> makeDriver;
    // A repeating timer on the main run loop; dropping the handle cancels it.
    std::function<std::shared_ptr<void>(double interval, std::function<void()> fire)> repeat;
};

class Updater final : public UpdateDriver::Delegate {
public:
    static constexpr double kIdleCheckSeconds = 60.0;
    static constexpr double kPhoneQuietSeconds = 120.0;

    Updater(UpdaterDeps deps, UpdaterConfig config);

    // Once, at start-up, on the main thread.
    void start();

    // What the menu asks.
    bool present() const { return controller_ != nullptr; }
    void checkNow() {
        if (controller_) controller_->checkForUpdates();
    }
    // "Updates come from apt" for a package install; empty otherwise.
    std::string note() const { return config_.packaged ? "Updates come from apt" : std::string(); }

    void willInstallUpdateOnQuit(const std::string& displayVersion, std::function<void()> installNow) override;
    void didAbortWithError(const std::string& description) override;

    // Installs a waiting update when the phone neither wants the screen nor spoke within 120 s.
    void installIfIdle();
    bool waiting() const { return static_cast<bool>(pendingInstall_); }

private:
    UpdaterDeps deps_;
    UpdaterConfig config_;
    std::unique_ptr<UpdateDriver> controller_;
    std::function<void()> pendingInstall_;
    std::shared_ptr<void> idleTimer_;
};

}  // namespace vm::install
