#include "install/feed_updater.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "base/atomic_file.h"
#include "base/base64.h"
#include "install/bundle.h"
#include "install/install.h"
#include "install/signature.h"

namespace fs = std::filesystem;

namespace vm::install {

FeedUpdater::FeedUpdater(FeedUpdaterDeps deps, FeedUpdaterConfig config)
    : deps_(deps), config_(std::move(config)) {}

std::string FeedUpdater::stagingDir() const {
    return fs::path(config_.installed).parent_path().string() + "/.vellomark-staging";
}

void FeedUpdater::start(Delegate& delegate) {
    auto key = base64Decode(config_.publicKey);
    if (!key || key->size() != 32) throw std::runtime_error("SUPublicEDKey가 Ed25519 공개키(32바이트 base64)가 아니다");
    if (config_.installed.empty()) throw std::runtime_error("설치된 판이 없다");
    key_ = *key;
    delegate_ = &delegate;
    if (deps_.work)
        timer_ = std::make_unique<RepeatingTimer>(*deps_.work, config_.firstCheck, config_.checkInterval,
                                                  [this] { checkOnce(); });
}

void FeedUpdater::checkForUpdates() {
    if (deps_.work) deps_.work->async([this] { checkOnce(); });
    else checkOnce();
}

void FeedUpdater::report(std::function<void(Delegate&)> call) {
    if (!delegate_) return;
    onMain(deps_.mainQueue, [d = delegate_, call = std::move(call)] { call(*d); });
}

FeedUpdater::Outcome FeedUpdater::refuse(const std::string& why) {
    report([why](Delegate& d) { d.didAbortWithError(why); });
    return Outcome::Refused;
}

std::optional<FeedUpdater::Item> FeedUpdater::newestItem(const Bytes& feed, std::string& why) const {
    auto doc = nlohmann::json::parse(feed.begin(), feed.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || !doc.contains("items") || !doc["items"].is_array()) {
        why = "피드가 올바른 JSON이 아니다";
        return std::nullopt;
    }
    std::optional<Item> best;
    for (const auto& j : doc["items"]) {
        if (!j.is_object() || !j.contains("build") || !j["build"].is_number_integer() || !j.contains("url") ||
            !j["url"].is_string())
            continue;
        Item it;
        it.build = j["build"].get<long long>();
        it.url = j["url"].get<std::string>();
        it.version = j.contains("version") && j["version"].is_string() ? j["version"].get<std::string>()
                                                                         : std::to_string(it.build);
        if (j.contains("length") && j["length"].is_number_integer()) it.length = j["length"].get<long long>();
        if (j.contains("edSignature") && j["edSignature"].is_string()) it.signature = j["edSignature"];
        if (it.build > config_.myBuild && (!best || it.build > best->build)) best = it;
    }
    return best;
}

FeedUpdater::Outcome FeedUpdater::checkOnce() {
    if (busy_.exchange(true)) return Outcome::Busy;
    struct Done {
        std::atomic<bool>& b;
        ~Done() { b.store(false); }
    } done{busy_};

    FetchOptions opts;
    opts.caInfo = config_.caInfo;
    opts.maxBytes = 4u << 20;
    opts.timeoutSeconds = 60;
    FetchResult feed = httpsGet(config_.feedURL, opts);
    if (!feed.ok) return refuse("피드를 못 받았다 — " + feed.error);
    std::string why;
    auto item = newestItem(feed.body, why);
    if (!item) return why.empty() ? Outcome::UpToDate : refuse(why);

    if (item->signature.empty()) return refuse(item->version + " 에 서명이 없다. 받지 않는다");
    auto sig = base64Decode(item->signature);
    if (!sig || sig->size() != 64) return refuse(item->version + " 의 서명이 형식에 맞지 않는다. 받지 않는다");

    opts.maxBytes = 256u << 20;
    opts.timeoutSeconds = 600;
    FetchResult archive = httpsGet(item->url, opts);
    if (!archive.ok) return refuse(item->version + " 을 못 받았다 — " + archive.error);
    if (item->length && static_cast<long long>(archive.body.size()) != *item->length)
        return refuse(item->version + " 의 길이가 피드와 다르다. 받지 않는다");
    if (!ed25519Verify(key_, archive.body, *sig)) return refuse(item->version + " 의 서명이 맞지 않는다. 받지 않는다");

    if (!stage(*item, archive.body, why)) return refuse(item->version + " 을 풀지 못했다 — " + why);
    const long long build = item->build;
    report([this, version = item->version, build](Delegate& d) {
        d.willInstallUpdateOnQuit(version, [this, build] { installStaged(build); });
    });
    return Outcome::Staged;
}

bool FeedUpdater::stage(const Item& item, const Bytes& archive, std::string& why) {
    std::error_code ec;
    const std::string dir = stagingDir();
    const std::string tarball = dir + ".tar.gz";
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    if (ec) {
        why = dir + " 을 못 만들었다";
        return false;
    }
    std::string err = writeFileAtomically(tarball, std::string_view(reinterpret_cast<const char*>(archive.data()),
                                                                     archive.size()),
                                          0600);
    const int rc = err.empty() ? deps_.runner.run("tar", {"-xzf", tarball, "-C", dir, "--no-same-owner"}) : -1;
    fs::remove(tarball, ec);
    auto info = BundleInfo::read(dir);
    if (rc != 0) why = err.empty() ? "tar가 실패했다" : err;
    else if (!info || info->get("CFBundleIdentifier") != kLabel || info->buildNumber() != item.build ||
             !fs::is_regular_file(dir + "/bin/vellomark", ec))
        why = "꾸러미 안의 판이 피드와 맞지 않는다";
    else return true;
    fs::remove_all(dir, ec);
    return false;
}

void FeedUpdater::installStaged(long long build) {
    std::error_code ec;
    const std::string staged = stagingDir();
    auto info = BundleInfo::read(staged);
    if (!info || info->buildNumber() != build) return;  // replaced or gone since
    const std::string old = fs::path(config_.installed).parent_path().string() + "/.vellomark-old";
    fs::remove_all(old, ec);
    fs::rename(config_.installed, old, ec);
    if (ec) return;
    fs::rename(staged, config_.installed, ec);
    if (ec) {
        fs::rename(old, config_.installed, ec);
        return;
    }
    // The links and entries made at install point into the same folder; keep their list.
    fs::copy_file(old + "/" + kManifestFile, config_.installed + "/" + kManifestFile,
                  fs::copy_options::overwrite_existing, ec);
    fs::remove_all(old, ec);
    deps_.runner.run("systemctl", {"--user", "restart", kUnitName});
}

std::unique_ptr<Updater> makeAgentUpdater(const Clock& clock, Logger& log, const PhoneState& phone,
                                          MainQueue& mainQueue, const Install& installer, CommandRunner& runner,
                                          std::function<void()> restoreDisplays) {
    UpdaterConfig config;
    const auto info = installer.runningInfo();
    config.version = info ? info->versionText() : BundleInfo{}.versionText();
    config.packaged = installer.packaged();
    // A build folder is no bundle: nothing to replace, so no feed.
    if (info && !config.packaged) {
        config.feedURL = info->get("SUFeedURL");
        config.publicKey = info->get("SUPublicEDKey");
    }
    const std::string bundle = installer.runningBundle().value_or("");
    const long long build = info ? info->buildNumber().value_or(0) : 0;
    UpdaterDeps deps{clock, log, phone, std::move(restoreDisplays),
                     [&runner, &mainQueue, bundle, build](const UpdaterConfig& c) -> std::unique_ptr<UpdateDriver> {
                         FeedUpdaterConfig fc;
                         fc.feedURL = c.feedURL;
                         fc.publicKey = c.publicKey;
                         fc.myBuild = build;
                         fc.installed = bundle;
                         return std::make_unique<FeedUpdater>(FeedUpdaterDeps{runner, &mainQueue, &globalQueue()},
                                                              std::move(fc));
                     },
                     [&mainQueue](double interval, std::function<void()> fire) -> std::shared_ptr<void> {
                         return std::make_shared<RepeatingTimer>(mainQueue, interval, interval, std::move(fire));
                     }};
    return std::make_unique<Updater>(std::move(deps), std::move(config));
}

}  // namespace vm::install
