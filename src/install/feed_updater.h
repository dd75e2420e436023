#pragma once
// The update mechanism of a per-user install: a JSON feed over HTTPS lists versions
// and archives; the newest archive above our build is downloaded, its Ed25519
// signature checked before anything touches the disk, and unpacked beside the
// installed copy. Installing swaps the folders and restarts the service.
//
// Feed: {"items": [{"version": "0.2.0", "build": 2000, "url": "https://…/x.tar.gz",
//                   "length": 12345, "edSignature": "<base64 of 64 bytes>"}, …]}
// Archive: a gzip'd tar of the bundle folder's contents (bin/, share/vellomark/version, …).
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/bytes.h"
#include "base/dispatch.h"
#include "install/command_runner.h"
#include "install/https_fetch.h"
#include "install/updater.h"

namespace vm::install {

struct FeedUpdaterConfig {
    std::string feedURL;
    std::string publicKey;   // base64 of the 32-byte Ed25519 public key
    long long myBuild = 0;   // CFBundleVersion of the running copy
    std::string installed;   // the folder an update replaces
    std::string caInfo;      // trust this CA bundle instead of the system's (tests)
    double firstCheck = 60.0;
    double checkInterval = 24 * 3600.0;
};

struct FeedUpdaterDeps {
    CommandRunner& runner;
    MainQueue* mainQueue;  // delegate calls go here; null runs them in place
    DispatchQueue* work;   // checks run here; null runs them in place
};

class FeedUpdater final : public UpdateDriver {
public:
    enum class Outcome { UpToDate, Staged, Refused, Busy };

    FeedUpdater(FeedUpdaterDeps deps, FeedUpdaterConfig config);
    void start(Delegate& delegate) override;
    void checkForUpdates() override;

    // One whole check: feed, newest item, download, signature, staging.
    Outcome checkOnce();
    std::string stagingDir() const;

private:
    struct Item {
        std::string version, url;
        long long build = 0;
        std::optional<long long> length;
        std::string signature;
    };
    Outcome refuse(const std::string& why);
    void report(std::function<void(Delegate&)> call);
    std::optional<Item> newestItem(const Bytes& feed, std::string& why) const;
    bool stage(const Item& item, const Bytes& archive, std::string& why);
    void installStaged(long long build);

    FeedUpdaterDeps deps_;
    FeedUpdaterConfig config_;
    Bytes key_;
    Delegate* delegate_ = nullptr;
    std::atomic<bool> busy_{false};
    std::unique_ptr<RepeatingTimer> timer_;
};

}  // namespace vm::install

namespace vm::install {

class Install;

// The agent's updater, configured from the running copy's info file: a feed updater
// for a per-user bundle, apt's note for the package, off for a build folder.
std::unique_ptr<Updater> makeAgentUpdater(const Clock& clock, Logger& log, const PhoneState& phone,
                                          MainQueue& mainQueue, const Install& installer, CommandRunner& runner,
                                          std::function<void()> restoreDisplays);

}  // namespace vm::install
