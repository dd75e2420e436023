// The agent's entry: answers --version, --uninstall and --inspect, hands off to the
// user service when started by hand, builds every room, fills the hook tables,
// starts the input side on its own thread and runs the main run loop.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/cursor_main.h"
#include "app/sigterm.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/try_lock.h"
#include "control/ctl_inbox.h"
#include "control/ctl_send.h"
#include "control/dtls_server.h"
#include "control/hooks.h"
#include "control/local_control.h"
#include "control/phone_state.h"
#include "control/plain_port.h"
#include "control/ports.h"
#include "display/display_policy.h"
#include "display/vdisp_core.h"
#include "files/file_channel.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"
#include "files/outbox.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_entry.h"
#include "install/feed_updater.h"
#include "install/install.h"
#include "pairing/pair_store.h"
#include "pairing/pairing.h"
#include "platform/platform.h"
#include "session/agent_mode.h"
#include "session/apps.h"
#include "session/screen_lock.h"
#include "session/window_gather.h"
#include "ui/desktop_ui.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/stream_main.h"
#include "video/video_key.h"
#include "video/video_stats.h"

using namespace vm;

namespace {

// A start that cannot go on; `what()` is the line for standard error and the log.
struct StartFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Its creation lock lives in the user's runtime folder, so agents of different users never meet.
std::string vdispLockPath(const platform::Locations& locations) {
    std::string why;
    if (prepareRuntimeDir(locations.runtimeDir, &why)) return locations.runtimeDir + "/vdisp.lock";
    return "/tmp/vdisp-" + std::to_string(::getuid()) + ".lock";
}

// The video side's pieces the hooks reach: the session key, the statistics, the gate,
// the datagram socket and the encoder.
struct VideoOut {
    VideoOut(const Clock& clock, Logger& log, const platform::Locations& locations, platform::Platform& platform)
        : key(log), settings(locations.supportDir + "/settings.json") {
        // A second agent finds the video port taken; sharing it would split the phones' video between the two.
        try {
            sink = std::make_unique<video::Sink>(
                video::SinkDeps{clock, log, settings, key, stats, allowed,
                                [this](double maxW) -> std::optional<Bytes> {
                                    return encoder ? encoder->thumbnailJPEG(maxW) : std::nullopt;
                                }},
                port(kVideoPort));
        } catch (const std::exception& e) {
            // The video side's reason names the port already, or it gets named here.
            const std::string name = "udp/" + std::to_string(port(kVideoPort));
            std::string why = e.what();
            if (why.find(name) == std::string::npos) why = "영상 포트 " + name + " 를 못 열었다 — " + why;
            throw StartFailure("⚠︎ " + why + " · 끝낸다\n");
        }
        encoder = std::make_unique<video::Encoder>(
            video::EncoderDeps{clock, log, *sink, stats, [&platform](int status) { platform.exitProcess(status); },
                               &settings});
    }

    video::VideoKey key;
    video::VideoStats stats;
    std::atomic<bool> allowed{false};
    Settings settings;
    std::unique_ptr<video::Sink> sink;
    std::unique_ptr<video::Encoder> encoder;
};

// Every room of the agent, built once in dependency order. It lives as long as the
// process, which ends through SIGTERM, an exit, or never.
class Agent {
public:
    Agent(const Clock& clock, Logger& log, platform::Locations locations, std::unique_ptr<platform::Platform> platform,
          MainQueue& mainQueue, bool withUi = false)
        : clock_(clock),
          log_(log),
          loc_(std::move(locations)),
          platform_(std::move(platform)),
          mainQueue_(mainQueue),
          withUi_(withUi) {}

    void startInputSide();
    void startVideoSide();
    // The status menu and pairing panel; GLib's loop runs the main queue from here on.
    void startDesktopUi(ui::MenuActions actions);
    // Physical displays back on and the virtual display gone (quit, uninstall, update).
    void restoreDisplays() {
        policy_.physicalDisplaysOn();
        if (vdisp_.vdispAlive()) vdisp_.vdispDestroy();
    }
    install::Updater& startUpdater(const install::Install& installer, install::CommandRunner& runner) {
        updater_ = install::makeAgentUpdater(clock_, log_, phone_, mainQueue_, installer, runner,
                                             [this] { restoreDisplays(); });
        updater_->start();
        return *updater_;
    }

private:
    HookTables fillHookTables();
    bool makeVirtualDisplayIfNoneIsOnline();
    // Locked, or another user's session on the console: no use to the phone.
    bool screenBlocked() { return screenLock_.screenLocked() || screenLock_.screenBlockedReason().has_value(); }
    CursorRooms inputRooms();
    void addFileRooms(CursorRooms& rooms);
    DispatcherRooms dispatcherRooms();
    CursorDeps cursorDeps();

    const Clock& clock_;
    Logger& log_;
    const platform::Locations loc_;
    std::unique_ptr<platform::Platform> platform_;
    MainQueue& mainQueue_;
    platform::Platform& p_ = *platform_;
    // The desktop interface runs (GTK is up): pairing asks through it.
    const bool withUi_;

    // The virtual display core runs on the main thread and spins the main run loop while it waits.
    VDispCore vdisp_{clock_, log_, p_.displays(), &mainQueue_, [this](double s) { mainQueue_.spinRunLoop(s); },
                     loc_.supportDir + "/vdisp/serial.txt", vdispLockPath(loc_)};
    VideoOut video_{clock_, log_, loc_, p_};
    // Filled before the input side starts, and never changed.
    const HookTables hooks_ = fillHookTables();
    // With no display online the virtual one is made now, before the rooms that look at displays.
    const bool madeVirtualDisplay_ = makeVirtualDisplayIfNoneIsOnline();

    // The control channel and pairing.
    CtlInbox inbox_;
    PhoneState phone_{clock_.now()};
    PlainPort plainPort_{inbox_};
    CtlSender sender_{phone_, &plainPort_};
    PairStore pairStore_{PairStore::pathIn(loc_.supportDir), log_};
    SerialQueue ctlQueue_{"local.umo.inputd.ctl"};
    DtlsServer dtls_{clock_, log_, inbox_, phone_, ctlQueue_, port(kCtlPort)};
    LocalControl localControl_{inbox_, log_, loc_.runtimeDir};
    // The pairing restarts the listeners through the loop, which is built after it.
    Pairing pairing_{PairingDeps{clock_, log_, pairStore_, sender_, hooks_, [this] {
                                     if (cursor_) cursor_->ctlStartListener();
                                 }}};

    // Remote input: keyboard, pointer, text, input sources and workspaces, agent mode.
    Keyboard keyboard_{clock_, log_, p_.events(), [this] { inputSources_.switchInputSource(); }};
    InputSourceSwitcher inputSources_{clock_,
                                      log_,
                                      p_.inputSources(),
                                      p_.events(),
                                      mainQueue_,
                                      [this](const std::string& line) { dtls_.sendToReadyPeers(toBytes(line)); },
                                      [this] { return keyboard_.phoneHoldsControl(); }};
    Pointer pointer_{clock_, log_, p_.events(), keyboard_};
    TextEntry textEntry_{clock_, log_, p_.events(), p_.pasteboard(), globalQueue()};
    AgentMode agentMode_{clock_, log_, sender_, AgentModePaths{loc_.logDir + "/agent"}};
    TryLock vdispLock_;

    // Windows, apps, the display policy and the screen lock.
    WindowGather gather_{clock_,          log_, p_.displays(), p_.workspace(), p_.windowServer(),
                         p_.windowElements(), &globalQueue()};
    std::function<int(std::optional<int32_t>, bool)> gatherAll_ = [this](std::optional<int32_t> pid, bool wake) {
        return gather_.gatherWindows(pid, wake);
    };
    DisplayPolicy policy_{DisplayPolicyDeps{clock_, log_, p_.displays(), hooks_, phone_, vdispLock_, &mainQueue_,
                                            &globalQueue(), gatherAll_, loc_.supportDir + "/physical-off",
                                            [this] { return screenBlocked(); }}};
    Apps apps_{AppsDeps{clock_, log_, p_.workspace(), p_.windowElements(), sender_, phone_, gatherAll_, &mainQueue_,
                        &globalQueue()}};
    ScreenLock screenLock_{ScreenLockDeps{log_, p_.session(), p_.workspace(), sender_, phone_, agentMode_, hooks_,
                                          vdispLock_, [this] { policy_.physicalDisplaysOn(); },
                                          [this] { policy_.ensureVDisp(); }, video_.allowed, &mainQueue_}};
    Dispatcher dispatcher_{DispatcherDeps{clock_, log_, p_.events(), phone_, sender_, hooks_, pointer_, keyboard_,
                                          textEntry_, inputSources_, agentMode_, &mainQueue_, &globalQueue(),
                                          vdispLock_},
                           dispatcherRooms()};

    // Files both ways and long texts over the TLS file channel; the app-group folder
    // shared with vellomark-share (status file and outbox).
    SerialQueue fileQueue_{"local.umo.inputd.file"};
    FileReceive fileReceive_{clock_, log_, loc_.receivedDir,
                             loc_.home + "/Library/Application Support/Vellomark/Received"};
    FileSend fileSend_{clock_, log_, phone_, sender_, globalQueue(), fileQueue_};
    LongText longText_{LongTextDeps{clock_, log_, [this](int64_t seq) { return textEntry_.claimTypedSeq(seq); },
                                    [this](const std::string& text) { textEntry_.typeText(text); }, &mainQueue_}};
    FileChannel fileChannel_{clock_, log_, fileReceive_, fileSend_, longText_, fileQueue_, port(kFilePort)};
    Outbox outbox_{clock_,
                   log_,
                   phone_,
                   loc_.groupDir,
                   [this](const std::string& path, const std::string& item) { fileSend_.fileOfferStart(path, item); },
                   [this] { return fileSend_.offerBusy(); }};

    std::unique_ptr<CursorMain> cursor_;
    std::unique_ptr<video::Capture> capture_;
    std::unique_ptr<video::StreamMain> stream_;
    std::unique_ptr<install::Updater> updater_;
    std::unique_ptr<ui::DesktopUi> ui_;  // main thread only
};

HookTables Agent::fillHookTables() {
    HookTables h;
    h.vdispHooks = VDispHooks{[this] { return vdisp_.vdispAlive(); }, [this] { vdisp_.vdispCreate(); },
                              [this] { vdisp_.vdispDestroy(); },
                              [this](uint32_t w, uint32_t hgt) { return vdisp_.vdispSetSize(w, hgt); }};
    VideoHooks v;
    v.control = [this](const std::string& line, uint32_t ip) { video_.sink->control(line, ip); };
    v.key = [this] {
        auto pair = video_.key.current();
        return std::make_pair(pair->id, pair->key);
    };
    v.thumb = [this] { return video_.sink->thumbnailChunks(); };
    // Rotation waits its turn on the send queue, so it never falls between two chunks of a frame.
    v.rotateKey = [this] { video_.encoder->onSendQueue([this] { video_.key.rotateNow(); }); };
    h.videoHooks = std::move(v);
    if (withUi_) {
        // Only posts to the main queue: the input side never waits for the interface.
        h.pairPrompt = [this](int id, const std::string& name, const std::string& code) {
            const std::string n = std::to_string(id);
            log_.logLine("승인 창을 띄운다 — 창이나 메뉴에서, 또는 vellomark-ctl \"PAIROK " + n +
                         "\" · vellomark-ctl \"PAIRNO " + n + "\"\n");
            mainQueue_.async([this, id, name, code] {
                if (ui_) ui_->menuBar().showPairing(id, name, code);
            });
        };
        h.pairPromptDone = [this](int id) {
            mainQueue_.async([this, id] {
                if (ui_) ui_->menuBar().hidePairing(id);
            });
        };
    }
    return h;
}

bool Agent::makeVirtualDisplayIfNoneIsOnline() {
    if (p_.displays().onlineCount() != 0) return false;
    if (vdisp_.vdispCreate() != 0) {
        static const char kLine[] = "가상 화면을 못 세웠다\n";
        ssize_t r = ::write(2, kLine, sizeof kLine - 1);
        (void)r;
    }
    return true;
}

DispatcherRooms Agent::dispatcherRooms() {
    DispatcherRooms r;
    r.gatherWindows = [this](std::optional<int32_t> pid, bool wake) { gather_.gatherWindows(pid, wake); };
    r.screenBlockedReason = [this] { return screenLock_.screenBlockedReason(); };
    r.screenLocked = [this] { return screenLock_.screenLocked(); };
    r.loginName = [this] { return p_.workspace().loginName(); };
    r.ensureVDisp = [this] { policy_.ensureVDisp(); };
    r.setMain = [this](bool toVirtual, bool gatherToo) { policy_.setMain(toVirtual, gatherToo); };
    r.physicalDisplaysOn = [this] { policy_.physicalDisplaysOn(); };
    r.physicalDisplaysOff = [this] { policy_.physicalDisplaysOff(); };
    r.setVDispGraceUntil = [this](double until) { policy_.setVDispGraceUntil(until); };
    return r;
}

CursorRooms Agent::inputRooms() {
    CursorRooms r;
    r.handle = [this](const std::string& line) { dispatcher_.handle(line); };
    r.sweepHolds = [this] { pointer_.sweepHolds(); };
    r.releaseAll = [this] { pointer_.releaseAll(); };
    r.holdsInput = [this] {
        return !pointer_.buttonsDown.empty() || !keyboard_.modsDown().empty() || !keyboard_.keysDown().empty();
    };
    r.inputSourceTag = [this] { return inputSources_.inputSourceTag(); };
    r.startInputSourceWatch = [this] { inputSources_.startInputSourceWatch(); };
    r.agentStop = [this] { agentMode_.stopByLoopback(); };
    r.runningAppsJSON = [this] { return apps_.runningAppsJSON(); };
    r.appIconPNG = [this](int32_t pid) { return apps_.appIconPNG(pid); };
    r.bringAppToFront = [this](int32_t pid) { apps_.bringAppToFront(pid); };
    r.physicalDisplaysOn = [this] { policy_.physicalDisplaysOn(); };
    r.phoneTraffic = [this] { policy_.phoneTraffic(); };
    r.currentDisplaySize = [this] { return policy_.currentDisplaySize(); };
    r.setDisplayMode = [this](uint32_t w, uint32_t h) { return policy_.setDisplayMode(w, h); };
    r.sweepVDispGrace = [this] { policy_.sweepVDispGrace(); };
    r.quietPhone = [this](double quiet) { policy_.quietPhone(quiet); };
    r.setVDispGraceUntil = [this](double until) { policy_.setVDispGraceUntil(until); };
    addFileRooms(r);
    r.startWatchers = [this] {
        std::thread([this] { gather_.watchNewWindows(); }).detach();
        outbox_.start();
        fileReceive_.migrateReceived();
        screenLock_.watchVideoGate();
        screenLock_.watchScreenLock();
    };
    return r;
}

void Agent::addFileRooms(CursorRooms& r) {
    r.fileSweep = [this] { fileSend_.fileSweep(); };
    r.fileInSweep = [this] { fileReceive_.fileInSweep(); };
    r.fileDeclined = [this](int64_t id) { fileSend_.fileDeclined(id); };
    r.fileSlow = [this](int64_t id) { fileSend_.fileSlow(id); };
    r.fileCancelByPhone = [this](int64_t id) {
        if (fileSend_.activeOfferId() == id) fileSend_.fileCancel(true);
    };
    r.fileCancelLocal = [this] { fileSend_.fileCancel(false); };
    r.offerFile = [this](const std::string& path) { fileSend_.fileOfferStart(path); };
    r.restartFileListener = [this] { fileChannel_.restart(pairStore_.pskList()); };
}

CursorDeps Agent::cursorDeps() {
    CursorDeps d{clock_, log_, p_, hooks_, inbox_, phone_, sender_, pairStore_, pairing_};
    d.mainQueue = &mainQueue_;
    d.dtls = &dtls_;
    d.plainPort = &plainPort_;
    d.localControl = &localControl_;
    d.plainPortNumber = port(kPlainPort);
    return d;
}

void Agent::startInputSide() {
    if (withUi_)
        fileReceive_.fileReceivedHook = [this](const std::string& path) {
            mainQueue_.async([this, path] {
                if (ui_) ui_->menuBar().revealFile(path);
            });
        };
    cursor_ = std::make_unique<CursorMain>(cursorDeps(), inputRooms());
    std::thread([c = cursor_.get()] { c->run(); }).detach();
}

void Agent::startDesktopUi(ui::MenuActions actions) {
    ui::MenuSources s;
    s.now = [this] { return clock_.now(); };
    s.phone = &phone_;
    s.displays = &p_.displays();
    s.pairedPhones = [this] { return pairStore_.phones(); };
    s.hasVideoTarget = [this] { return !video_.sink->targets().empty(); };
    s.frameCount = [this] { return video_.encoder->frameCount(); };
    s.capturingDisplay = [this] { return capture_ ? capture_->capturing() : 0; };
    s.vdispAlive = [this] { return vdisp_.vdispAlive(); };
    s.fileSendStatus = [this] { return fileSend_.fileSendStatus(); };
    s.fileInStatus = [this] { return fileReceive_.fileInStatus(); };
    s.inputControl = [this] { return p_.accessibility().isTrusted(false); };
    // A stream running, or at least a display the backend is able to capture.
    s.screenCapture = [this] {
        if (capture_ && capture_->running()) return true;
        std::string why;
        const auto shareable = p_.capture().shareableDisplays(&why);
        return shareable && !shareable->empty();
    };
    s.receivedDir = loc_.receivedDir;
    s.platformName = p_.name();
    s.version = PROJECT_VERSION;
    actions.quit = [this] {
        restoreDisplays();
        p_.exitProcess(0);
    };
    // The updater starts after the menu; the menu asks it only when opened.
    actions.updaterPresent = [this] { return updater_ && updater_->present(); };
    actions.checkForUpdates = [this] {
        if (updater_) updater_->checkNow();
    };
    actions.updateNote = [this] { return updater_ ? updater_->note() : std::string(); };
    ui_ = std::make_unique<ui::DesktopUi>(mainQueue_, inbox_, std::move(s), std::move(actions));
}

void Agent::startVideoSide() {
    capture_ = std::make_unique<video::Capture>(video::CaptureDeps{clock_, log_, p_.displays(), p_.capture(),
                                                                   *video_.encoder, *video_.sink, video_.stats,
                                                                   &mainQueue_, &globalQueue()});
    stream_ = std::make_unique<video::StreamMain>(
        video::StreamMainDeps{clock_, log_, p_.displays(), p_.advertiser(), *video_.encoder, *video_.sink, *capture_,
                              video_.stats, video_.key, mainQueue_, nullptr});
    stream_->start();
    // The front app watch pushes a fresh app list whenever the phone's user switches apps.
    apps_.startFrontAppTimer();
}

}  // namespace

int main(int argc, char** argv) {
    // SIGTERM is taken by a thread of its own; every thread started from here on inherits the block.
    blockSigterm();

    const std::vector<std::string> args(argv, argv + argc);
    if (soleFlag(args, "--version")) {
        std::printf("vellomark " PROJECT_VERSION "\n");
        return 0;
    }
    static SystemClock clock;
    const auto locations = platform::Locations::fromEnvironment();
    static Logger log(locations.logDir, clock);
    static std::unique_ptr<Agent> agent;

    // First the installer: uninstall on request, or hand off to the user service (and exit).
    static install::ProcessRunner runner;
    static install::Install installer(install::InstallDeps{
        clock, runner, install::InstallPaths::from(locations), install::runningExecutable(), nullptr,
        [](const std::string& line) {
            ssize_t r = ::write(2, line.data(), line.size());
            (void)r;
        },
        [] {
            if (agent) agent->restoreDisplays();
        },
        [](int status) { std::_Exit(status); }});
    if (soleFlag(args, "--uninstall")) installer.uninstall();
    if (!inspectRequest(args)) installer.handOffIfNeeded();

    std::unique_ptr<platform::Platform> platform;
    try {
        platform = platform::makePlatform(log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vellomark: %s\n", e.what());
        return 1;
    }
    // The display inspector: one line of facts about display N, then exit.
    if (auto inspect = inspectRequest(args)) return VDispCore::vdispInspect(platform->displays(), *inspect);

    log.logLine("vellomark " PROJECT_VERSION " 시작 — pid " + std::to_string(::getpid()) + ", 플랫폼 " +
                platform->name() + "\n");

    // The desktop interface, on a desktop backend only: GTK stays uninitialised otherwise.
    bool withUi = false;
    if (ui::isDesktopBackend(platform->name())) {
        std::string why;
        withUi = ui::initToolkit(&why);
        log.logLine(withUi ? std::string("메뉴 막대 — GTK\n") : "⚠︎ 메뉴 막대 없음 — " + why + "\n");
    }

    static MainQueue mainQueue;
    mainQueue.adoptCurrentThread();
    try {
        agent = std::make_unique<Agent>(clock, log, locations, std::move(platform), mainQueue, withUi);
    } catch (const StartFailure& e) {
        log.logLine(e.what());
        std::fprintf(stderr, "vellomark: %s", e.what());
        return 1;
    }
    agent->startInputSide();
    agent->startVideoSide();
    if (withUi) {
        ui::MenuActions actions;
        actions.uninstall = [] { installer.uninstall(); };
        agent->startDesktopUi(std::move(actions));
    }
    agent->startUpdater(installer, runner);
    mainQueue.run();
    return 0;
}
