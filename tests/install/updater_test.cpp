// The updater: off unless a secure feed and a key are configured; a verified update is
// fetched from a local HTTPS server, staged and installed only when the phone is idle.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>

#include "base/base64.h"
#include "install/feed_updater.h"
#include "install/updater.h"
#include "install_support.h"

using namespace vm;
using namespace vm::install;
namespace fs = std::filesystem;

namespace {

// The timer the updater asks for: the test fires it by hand.
struct ManualTimer {
    double interval = 0;
    std::function<void()> fire;
    int made = 0;
    std::weak_ptr<void> handle;
    bool live() const { return !handle.expired(); }
};

struct Rig {
    vmtest::TempDir tmp{"vm-updater"};
    FakeClock clock;
    Logger log{tmp.path() + "/logs", clock};
    PhoneState phone{clock.now()};
    ManualTimer timer;
    int restored = 0;

    UpdaterDeps deps(std::function<std::unique_ptr<UpdateDriver>(const UpdaterConfig&)> make) {
        return UpdaterDeps{clock, log, phone, [this] { ++restored; }, std::move(make),
                           [this](double interval, std::function<void()> fire) -> std::shared_ptr<void> {
                               timer.interval = interval;
                               timer.fire = std::move(fire);
                               ++timer.made;
                               auto h = std::make_shared<int>(0);
                               timer.handle = h;
                               return h;
                           }};
    }
    std::string logText() { return vmtest::fileText(tmp.path() + "/logs/inputd.log"); }
    // Advances time and fires the 60 s re-check, as the main run loop would.
    void tick() {
        clock.advance(60);
        if (timer.live()) timer.fire();
    }
};

struct FakeDriver : UpdateDriver {
    Delegate* delegate = nullptr;
    int checks = 0;
    bool failStart = false;
    void start(Delegate& d) override {
        if (failStart) throw std::runtime_error("boom");
        delegate = &d;
    }
    void checkForUpdates() override { ++checks; }
};

// An Ed25519 key pair made for the test, and signatures with it.
struct TestKey {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
    TestKey() {
        EVP_PKEY* k = nullptr;
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
        EVP_PKEY_keygen_init(ctx);
        EVP_PKEY_keygen(ctx, &k);
        EVP_PKEY_CTX_free(ctx);
        key.reset(k);
    }
    std::string publicBase64() const {
        Bytes pub(32);
        size_t n = pub.size();
        EVP_PKEY_get_raw_public_key(key.get(), pub.data(), &n);
        return base64Encode(pub);
    }
    std::string sign(const Bytes& msg) const {
        Bytes sig(64);
        size_t n = sig.size();
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key.get());
        EVP_DigestSign(ctx, sig.data(), &n, msg.data(), msg.size());
        EVP_MD_CTX_free(ctx);
        return base64Encode(sig);
    }
};

// openssl s_server -WWW over a certificate from a CA made for the test; serves `www`.
struct HttpsServer {
    vmtest::TempDir dir{"vm-https"};
    std::string www = dir.path() + "/www", ca = dir.path() + "/ca.pem";
    std::unique_ptr<vmtest::Process> proc;
    int port = 0;

    HttpsServer() {
        fs::create_directories(www);
        const std::string d = dir.path();
        const std::string cmd =
            "cd '" + d + "' && openssl req -x509 -newkey ed25519 -keyout ca.key -out ca.pem -days 2 -nodes"
            " -subj '/CN=vellomark test ca' && openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256"
            " -keyout srv.key -out srv.csr -nodes -subj /CN=localhost &&"
            " printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext &&"
            " openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem -days 2"
            " -extfile ext";
        if (std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("test CA failed");
        proc = vmtest::spawn({"/usr/bin/openssl", "s_server", "-WWW", "-accept", "127.0.0.1:0", "-cert",
                              d + "/srv.pem", "-key", d + "/srv.key"},
                             {}, www);
        vmtest::waitUntil(
            [this] {
                auto out = proc->stdoutText();
                auto at = out.find("ACCEPT 127.0.0.1:");
                if (at == std::string::npos) return false;
                port = std::atoi(out.c_str() + at + 17);
                return port > 0;
            },
            10);
        if (port <= 0) throw std::runtime_error("s_server did not start: " + proc->stderrText());
    }
    std::string url(const std::string& name) const {
        return "https://localhost:" + std::to_string(port) + "/" + name;
    }
};

Bytes readBytes(const std::string& path) {
    std::string s = vmtest::fileText(path);
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(Updater, StaysOffWithoutSecureFeedOrKeyAndSaysWhy) {
    const std::pair<UpdaterConfig, std::string> cases[] = {
        {{"http://example.com/f.json", "a2V5", "0.1 (1)", false}, "업데이트 — 피드 주소가 없다. 자동 업데이트를 켜지 않는다 (버전 0.1 (1))\n"},
        {{"", "a2V5", "0.1 (1)", false}, "업데이트 — 피드 주소가 없다. 자동 업데이트를 켜지 않는다 (버전 0.1 (1))\n"},
        {{"https://example.com/f.json", "", "0.1 (1)", false}, "업데이트 — 서명 공개키가 없다. 자동 업데이트를 켜지 않는다 (버전 0.1 (1))\n"},
        {{"https://example.com/f.json", "a2V5", "0.1 (1)", true}, "업데이트 — 패키지로 설치된 판이다. 업데이트는 apt가 맡는다 (버전 0.1 (1))\n"}};
    for (const auto& [config, line] : cases) {
        Rig rig;
        Updater u(rig.deps([](const UpdaterConfig&) -> std::unique_ptr<UpdateDriver> { throw std::logic_error("made"); }),
                  config);
        u.start();
        EXPECT_FALSE(u.present()) << line;
        EXPECT_EQ(u.note(), config.packaged ? "Updates come from apt" : "");
        EXPECT_NE(rig.logText().find(line), std::string::npos) << rig.logText();
    }
}

TEST(Updater, StartFailureLeavesItOff) {
    Rig rig;
    Updater u(rig.deps([](const UpdaterConfig&) {
                  auto d = std::make_unique<FakeDriver>();
                  d->failStart = true;
                  return d;
              }),
              UpdaterConfig{"https://example.com/f.json", "a2V5", "0.1 (1)", false});
    u.start();
    EXPECT_FALSE(u.present());
    u.checkNow();  // nothing to ask: must not crash
    EXPECT_NE(rig.logText().find("⚠︎ 업데이트 — 시작 실패: boom\n"), std::string::npos);
}

TEST(Updater, WaitsForAnIdlePhoneAndRechecksEveryMinute) {
    Rig rig;
    FakeDriver* driver = nullptr;
    Updater u(rig.deps([&driver](const UpdaterConfig&) {
                  auto d = std::make_unique<FakeDriver>();
                  driver = d.get();
                  return d;
              }),
              UpdaterConfig{"https://example.com/f.json", "a2V5", "0.1 (1)", false});
    u.start();
    ASSERT_TRUE(u.present());
    u.checkNow();
    EXPECT_EQ(driver->checks, 1);
    EXPECT_NE(rig.logText().find("업데이트 — 켬 (버전 0.1 (1), 피드 https://example.com/f.json)\n"), std::string::npos);

    // A phone session: it wants the screen and speaks.
    rig.phone.phoneWantsScreen = true;
    rig.phone.phoneLastSeen = rig.clock.now();
    int installs = 0;
    driver->delegate->willInstallUpdateOnQuit("0.2", [&installs] { ++installs; });
    EXPECT_EQ(rig.timer.interval, 60.0);
    EXPECT_TRUE(u.waiting());
    for (int i = 0; i < 5; ++i) rig.tick();
    EXPECT_EQ(installs, 0) << "held while the phone wants the screen";

    // A second update replaces the waiting one and restarts the timer.
    int installs2 = 0;
    driver->delegate->willInstallUpdateOnQuit("0.3", [&installs2] { ++installs2; });
    EXPECT_EQ(rig.timer.made, 2);

    // BYE: no longer wants the screen, but spoke just now; 120 s must pass, strictly.
    rig.phone.phoneWantsScreen = false;
    rig.phone.phoneLastSeen = rig.clock.now();
    rig.tick();
    rig.tick();
    EXPECT_EQ(installs2, 0) << "exactly 120 s after the last message is still too soon";
    rig.tick();
    EXPECT_EQ(installs2, 1);
    EXPECT_EQ(installs, 0) << "the replaced update is never installed";
    EXPECT_EQ(rig.restored, 1);
    EXPECT_FALSE(rig.timer.live()) << "the re-check stops once installed";
    EXPECT_FALSE(u.waiting());
    const std::string log = rig.logText();
    EXPECT_NE(log.find("업데이트 — 0.2 받음. 폰이 안 쓸 때 설치한다\n"), std::string::npos);
    EXPECT_NE(log.find("업데이트 — 0.3 받음. 폰이 안 쓸 때 설치한다\n"), std::string::npos);
    EXPECT_NE(log.find("업데이트 — 설치하고 다시 켠다\n"), std::string::npos);

    driver->delegate->didAbortWithError("피드를 못 받았다");
    EXPECT_NE(rig.logText().find("업데이트 — 중단: 피드를 못 받았다\n"), std::string::npos);
}

// The whole way with the real mechanism: HTTPS feed, signed archive, staging, the
// swap and the service restart, held back during a phone session.
struct FeedTest : ::testing::Test {
    HttpsServer server;
    TestKey key;
    Rig rig;
    vmtest::RecordingRunner runner;
    std::string opt = rig.tmp.path() + "/opt", installed = opt + "/vellomark";

    void SetUp() override {
        vmtest::makeBundle(installed, 10);
        vmtest::writeFile(installed + "/share/vellomark/manifest", "/home/x/.local/bin/vellomark\n");
    }
    // Publishes build `build` as an archive; `sign` decides the signature written to the feed.
    Bytes publish(long long build, const std::string& signature, bool signIt) {
        const std::string src = rig.tmp.path() + "/src" + std::to_string(build);
        vmtest::makeBundle(src, build);
        const std::string tarball = server.www + "/vellomark-" + std::to_string(build) + ".tar.gz";
        EXPECT_EQ(std::system(("tar -czf '" + tarball + "' -C '" + src + "' .").c_str()), 0);
        Bytes archive = readBytes(tarball);
        std::string sig = signIt ? key.sign(archive) : signature;
        std::string item = "{\"version\":\"0." + std::to_string(build) + "\",\"build\":" + std::to_string(build) +
                           ",\"url\":\"" + server.url("vellomark-" + std::to_string(build) + ".tar.gz") +
                           "\",\"length\":" + std::to_string(archive.size());
        if (!sig.empty()) item += ",\"edSignature\":\"" + sig + "\"";
        vmtest::writeFile(server.www + "/feed.json", "{\"items\":[" + item + "},{\"build\":3,\"url\":\"x\"}]}");
        return archive;
    }
    std::unique_ptr<FeedUpdater> feed(const std::string& url = "", long long myBuild = 10) {
        FeedUpdaterConfig c;
        c.feedURL = url.empty() ? server.url("feed.json") : url;
        c.publicKey = key.publicBase64();
        c.myBuild = myBuild;
        c.installed = installed;
        c.caInfo = server.ca;
        return std::make_unique<FeedUpdater>(FeedUpdaterDeps{runner, nullptr, nullptr}, c);
    }
    std::string installedBuild() {
        auto info = BundleInfo::read(installed);
        return info ? info->get("CFBundleVersion") : "";
    }
};

TEST_F(FeedTest, SignedUpdateIsStagedAndInstalledAfterThePhoneSession) {
    publish(11, "", true);
    std::unique_ptr<FeedUpdater> owned = feed();
    FeedUpdater* driver = owned.get();
    Updater u(rig.deps([&owned](const UpdaterConfig&) -> std::unique_ptr<UpdateDriver> { return std::move(owned); }),
              UpdaterConfig{server.url("feed.json"), key.publicBase64(), "0.10 (10)", false});
    u.start();
    ASSERT_TRUE(u.present());

    rig.phone.phoneWantsScreen = true;
    rig.phone.phoneLastSeen = rig.clock.now();
    ASSERT_EQ(driver->checkOnce(), FeedUpdater::Outcome::Staged) << rig.logText();
    EXPECT_TRUE(u.waiting());
    EXPECT_TRUE(fs::exists(driver->stagingDir() + "/bin/vellomark"));
    EXPECT_EQ(installedBuild(), "10") << "held while the phone uses the screen";
    EXPECT_TRUE(runner.systemctlCalls().empty());

    rig.phone.phoneWantsScreen = false;
    for (int i = 0; i < 3; ++i) rig.tick();
    EXPECT_EQ(installedBuild(), "11");
    EXPECT_EQ(runner.systemctlCalls(), std::vector<std::string>{"--user restart vellomark.service"});
    EXPECT_FALSE(fs::exists(driver->stagingDir()));
    EXPECT_FALSE(fs::exists(opt + "/.vellomark-old"));
    EXPECT_EQ(vmtest::fileText(installed + "/share/vellomark/manifest"), "/home/x/.local/bin/vellomark\n");
    EXPECT_NE(rig.logText().find("업데이트 — 0.11 받음. 폰이 안 쓸 때 설치한다\n"), std::string::npos);

    // The restarted copy runs build 11: the feed has nothing newer.
    EXPECT_EQ(feed("", 11)->checkOnce(), FeedUpdater::Outcome::UpToDate);
}

TEST_F(FeedTest, TamperedUnsignedOrInsecureUpdatesAreRefusedBeforeStaging) {
    struct Aborts : UpdateDriver::Delegate {
        std::vector<std::string> errors;
        int staged = 0;
        void willInstallUpdateOnQuit(const std::string&, std::function<void()>) override { ++staged; }
        void didAbortWithError(const std::string& e) override { errors.push_back(e); }
    } d;

    // Tampered: one byte of the archive changed after signing.
    Bytes archive = publish(12, "", true);
    archive[archive.size() / 2] ^= 0x01;
    {
        std::ofstream out(server.www + "/vellomark-12.tar.gz", std::ios::binary);
        out.write(reinterpret_cast<const char*>(archive.data()), static_cast<std::streamsize>(archive.size()));
    }
    auto f1 = feed();
    f1->start(d);
    EXPECT_EQ(f1->checkOnce(), FeedUpdater::Outcome::Refused);
    ASSERT_EQ(d.errors.size(), 1u);
    EXPECT_EQ(d.errors.back(), "0.12 의 서명이 맞지 않는다. 받지 않는다");

    // Unsigned.
    publish(13, "", false);
    EXPECT_EQ(f1->checkOnce(), FeedUpdater::Outcome::Refused);
    EXPECT_EQ(d.errors.back(), "0.13 에 서명이 없다. 받지 않는다");

    // Signed by another key.
    TestKey other;
    Bytes a14 = publish(14, "", false);
    publish(14, other.sign(a14), false);
    EXPECT_EQ(f1->checkOnce(), FeedUpdater::Outcome::Refused);
    EXPECT_EQ(d.errors.back(), "0.14 의 서명이 맞지 않는다. 받지 않는다");

    // A plain-HTTP feed is never fetched, and neither is a server we do not trust.
    auto f2 = feed("http://localhost:" + std::to_string(server.port) + "/feed.json");
    f2->start(d);
    EXPECT_EQ(f2->checkOnce(), FeedUpdater::Outcome::Refused);
    EXPECT_NE(d.errors.back().find("https가 아닌 주소는 받지 않는다"), std::string::npos) << d.errors.back();
    FeedUpdaterConfig c;
    c.feedURL = server.url("feed.json");
    c.publicKey = key.publicBase64();
    c.installed = installed;
    FeedUpdater untrusted(FeedUpdaterDeps{runner, nullptr, nullptr}, c);
    untrusted.start(d);
    EXPECT_EQ(untrusted.checkOnce(), FeedUpdater::Outcome::Refused);
    EXPECT_NE(d.errors.back().find("피드를 못 받았다"), std::string::npos);

    EXPECT_EQ(d.staged, 0);
    EXPECT_FALSE(fs::exists(f1->stagingDir()));
    EXPECT_EQ(installedBuild(), "10");
    EXPECT_TRUE(runner.systemctlCalls().empty());
}

TEST_F(FeedTest, BadKeyStopsStart) {
    FeedUpdaterConfig c;
    c.feedURL = server.url("feed.json");
    c.publicKey = "c2hvcnQ=";
    c.installed = installed;
    FeedUpdater f(FeedUpdaterDeps{runner, nullptr, nullptr}, c);
    struct : UpdateDriver::Delegate {
        void willInstallUpdateOnQuit(const std::string&, std::function<void()>) override {}
        void didAbortWithError(const std::string&) override {}
    } d;
    EXPECT_THROW(f.start(d), std::runtime_error);
}
