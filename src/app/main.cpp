// The agent's entry: answers --inspect, builds every room, fills the hook tables,
// starts the input side on its own thread and runs the main run loop.
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/cursor_main.h"
#include "app/sigterm.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_inbox.h"
#include "control/ctl_send.h"
#include "control/dtls_server.h"
#include "control/local_control.h"
#include "control/plain_port.h"
#include "control/ports.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "pairing/pair_store.h"
#include "input/dispatcher.h"
#include "input/input_sources.h"
#include "input/keyboard.h"
#include "input/pointer.h"
#include "input/text_entry.h"
#include "files/file_channel.h"
#include "files/file_receive.h"
#include "files/file_send.h"
#include "files/long_text.h"
#include "files/outbox.h"
#include "pairing/pairing.h"
#include "session/agent_mode.h"
#include "session/apps.h"
#include "session/screen_lock.h"
#include "session/window_gather.h"
#include "display/display_policy.h"
#include "display/vdisp_core.h"
#include "base/settings.h"
#include "video/capture.h"
#include "video/encoder.h"
#include "video/sink.h"
#include "video/stream_main.h"
#include "video/video_key.h"
#include "video/video_stats.h"
#include "platform/platform.h"

using namespace vm;

int main(int argc, char** argv) {
    // SIGTERM is taken by a thread of its own; every thread started from here on inherits the block.
    blockSigterm();

    const std::vector<std::string> args(argv, argv + argc);
    const std::optional<uint32_t> inspect = inspectRequest(args);

    static SystemClock clock;
    const auto locations = platform::Locations::fromEnvironment();
    static Logger log(locations.logDir, clock);
    std::unique_ptr<platform::Platform> platform;
    try {
        platform = platform::makePlatform(log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vellomark: %s\n", e.what());
        return 1;
    }
    // The display inspector: one line of facts about display N, then exit.
    if (inspect) return VDispCore::vdispInspect(platform->displays(), *inspect);

    log.logLine("vellomark " PROJECT_VERSION " 시작 — pid " + std::to_string(::getpid()) + ", 플랫폼 " +
                platform->name() + "\n");

    // The installer's hand-off comes here once the installer exists.

    static MainQueue mainQueue;
    mainQueue.adoptCurrentThread();

    // The virtual display core; it runs on the main thread and spins the main run loop while it waits.
    // Its creation lock lives in the user's runtime folder, so agents of different users never meet.
    std::string why;
    const std::string vdispLockPath = prepareRuntimeDir(locations.runtimeDir, &why)
                                          ? locations.runtimeDir + "/vdisp.lock"
                                          : "/tmp/vdisp-" + std::to_string(::getuid()) + ".lock";
    static VDispCore vdisp(clock, log, platform->displays(), &mainQueue,
                           [](double seconds) { mainQueue.spinRunLoop(seconds); },
                           locations.supportDir + "/vdisp/serial.txt", vdispLockPath);

    // The video side's pieces that the hooks reach: the session key, the sender and the encoder.
    static video::VideoKey videoKey(log);
    static video::VideoStats videoStats;
    static std::atomic<bool> videoAllowed{false};
    static Settings settings(locations.supportDir + "/settings.json");
    static video::Encoder* encoderPtr = nullptr;
    static std::unique_ptr<video::Sink> sink;
    try {
        sink = std::make_unique<video::Sink>(
            video::SinkDeps{clock, log, settings, videoKey, videoStats, videoAllowed,
                            [](double maxW) -> std::optional<Bytes> {
                                return encoderPtr ? encoderPtr->thumbnailJPEG(maxW) : std::nullopt;
                            }},
            port(kVideoPort));
    } catch (const std::exception& e) {
        log.streamLog(std::string("⚠︎ 영상 소켓을 못 열었다 — ") + e.what() + " · 영상 없이 간다\n");
    }
    static std::unique_ptr<video::Encoder> encoder;
    if (sink) {
        encoder = std::make_unique<video::Encoder>(video::EncoderDeps{
            clock, log, *sink, videoStats, [p = platform.get()](int status) { p->exitProcess(status); }});
        encoderPtr = encoder.get();
    }

    // Hook tables: filled here, before the input side starts, and never changed.
    static const HookTables hooks = [] {
        HookTables h;
        h.vdispHooks = VDispHooks{[] { return vdisp.vdispAlive(); }, [] { vdisp.vdispCreate(); },
                                  [] { vdisp.vdispDestroy(); },
                                  [](uint32_t w, uint32_t hgt) { return vdisp.vdispSetSize(w, hgt); }};
        if (sink) {
            VideoHooks v;
            v.control = [](const std::string& line, uint32_t ip) { sink->control(line, ip); };
            v.key = [] {
                auto pair = videoKey.current();
                return std::make_pair(pair->id, pair->key);
            };
            v.thumb = [] { return sink->thumbnailChunks(); };
            // Rotation waits its turn on the send queue, so it never falls between two chunks of a frame.
            v.rotateKey = [] {
                if (encoderPtr) {
                    encoderPtr->onSendQueue([] { videoKey.rotateNow(); });
                } else {
                    videoKey.rotateNow();
                }
            };
            h.videoHooks = std::move(v);
        }
        return h;
    }();

    const uint32_t onlineDisplays = platform->displays().onlineCount();
    if (onlineDisplays == 0) {
        if (vdisp.vdispCreate() != 0) {
            static const char kLine[] = "가상 화면을 못 세웠다\n";
            ssize_t r = ::write(2, kLine, sizeof kLine - 1);
            (void)r;
        }
    }

    static CtlInbox inbox;
    static PhoneState phone(clock.now());
    static PlainPort plainPort(inbox);
    static CtlSender sender(phone, &plainPort);
    static PairStore pairStore(PairStore::pathIn(locations.supportDir), log);
    static SerialQueue ctlQueue("local.umo.inputd.ctl");
    static DtlsServer dtls(clock, log, inbox, phone, ctlQueue, port(kCtlPort));
    static LocalControl localControl(inbox, log, locations.runtimeDir);

    // The pairing restarts the listeners through the loop, which is built after it.
    static CursorMain* cursorPtr = nullptr;
    static Pairing pairing(PairingDeps{clock, log, pairStore, sender, hooks, [] {
                                           if (cursorPtr) cursorPtr->ctlStartListener();
                                       }});

    // Remote input: keyboard, pointer, text, input sources and workspaces, agent mode, and
    // the dispatcher that drives them.
    static InputSourceSwitcher* sourcesPtr = nullptr;
    static Keyboard keyboard(clock, log, platform->events(), [] {
        if (sourcesPtr) sourcesPtr->switchInputSource();
    });
    static InputSourceSwitcher inputSources(
        clock, log, platform->inputSources(), platform->events(), mainQueue,
        [](const std::string& line) { dtls.sendToReadyPeers(toBytes(line)); },
        [] { return keyboard.phoneHoldsControl(); });
    sourcesPtr = &inputSources;
    static Pointer pointer(clock, log, platform->events(), keyboard);
    static TextEntry textEntry(clock, log, platform->events(), platform->pasteboard(), globalQueue());
    static AgentMode agent(clock, log, sender, AgentModePaths{locations.logDir + "/agent"});
    static TryLock vdispLock;

    // Windows, apps, the display policy and the screen lock.
    static WindowGather gather(clock, log, platform->displays(), platform->workspace(), platform->windowServer(),
                               platform->windowElements(), &globalQueue());
    auto gatherAll = [](std::optional<int32_t> pid, bool wake) { return gather.gatherWindows(pid, wake); };
    static DisplayPolicy policy(DisplayPolicyDeps{clock, log, platform->displays(), hooks, phone, vdispLock, &mainQueue,
                                                  &globalQueue(), gatherAll, locations.supportDir + "/physical-off"});
    static Apps apps(AppsDeps{clock, log, platform->workspace(), platform->windowElements(), sender, phone, gatherAll,
                              &mainQueue, &globalQueue()});
    static ScreenLock screenLock(ScreenLockDeps{log, platform->session(), platform->workspace(), sender, phone, agent,
                                                hooks, vdispLock, [] { policy.physicalDisplaysOn(); },
                                                [] { policy.ensureVDisp(); }, videoAllowed, &mainQueue});

    DispatcherRooms dispatcherRooms;
    dispatcherRooms.gatherWindows = [](std::optional<int32_t> pid, bool wake) { gather.gatherWindows(pid, wake); };
    dispatcherRooms.screenBlockedReason = [] { return screenLock.screenBlockedReason(); };
    dispatcherRooms.screenLocked = [] { return screenLock.screenLocked(); };
    dispatcherRooms.loginName = [p = platform.get()] { return p->workspace().loginName(); };
    dispatcherRooms.ensureVDisp = [] { policy.ensureVDisp(); };
    dispatcherRooms.setMain = [](bool toVirtual, bool gatherToo) { policy.setMain(toVirtual, gatherToo); };
    dispatcherRooms.physicalDisplaysOn = [] { policy.physicalDisplaysOn(); };
    dispatcherRooms.physicalDisplaysOff = [] { policy.physicalDisplaysOff(); };
    dispatcherRooms.setVDispGraceUntil = [](double until) { policy.setVDispGraceUntil(until); };
    static Dispatcher dispatcher(DispatcherDeps{clock, log, platform->events(), phone, sender, hooks, pointer, keyboard,
                                                textEntry, inputSources, agent, &mainQueue, &globalQueue(), vdispLock},
                                 dispatcherRooms);

    CursorRooms rooms;
    rooms.handle = [](const std::string& line) { dispatcher.handle(line); };
    rooms.sweepHolds = [] { pointer.sweepHolds(); };
    rooms.releaseAll = [] { pointer.releaseAll(); };
    rooms.inputSourceTag = [] { return inputSources.inputSourceTag(); };
    rooms.startInputSourceWatch = [] { inputSources.startInputSourceWatch(); };
    rooms.agentStop = [] { agent.stopByLoopback(); };
    rooms.runningAppsJSON = [] { return apps.runningAppsJSON(); };
    rooms.appIconPNG = [](int32_t pid) { return apps.appIconPNG(pid); };
    rooms.bringAppToFront = [](int32_t pid) { apps.bringAppToFront(pid); };
    rooms.physicalDisplaysOn = [] { policy.physicalDisplaysOn(); };
    rooms.physicalDisplaysOff = [] { policy.physicalDisplaysOff(); };
    rooms.ensureVDisp = [] { policy.ensureVDisp(); };
    rooms.mainIsVirtual = [] { return policy.mainIsVirtual(); };
    rooms.setMain = [](bool toVirtual, bool gatherToo) { policy.setMain(toVirtual, gatherToo); };
    rooms.currentDisplaySize = [] { return policy.currentDisplaySize(); };
    rooms.setDisplayMode = [](uint32_t w, uint32_t h) { return policy.setDisplayMode(w, h); };
    rooms.sweepVDispGrace = [] { policy.sweepVDispGrace(); };
    rooms.quietPhone = [](double quiet) { policy.quietPhone(quiet); };
    rooms.setVDispGraceUntil = [](double until) { policy.setVDispGraceUntil(until); };

    // Files both ways and long texts over the TLS file channel.
    static SerialQueue fileQueue("local.umo.inputd.file");
    static FileReceive fileReceive(clock, log, locations.receivedDir,
                                   locations.home + "/Library/Application Support/Vellomark/Received");
    static FileSend fileSend(clock, log, phone, sender, globalQueue(), fileQueue);
    static LongText longText(LongTextDeps{clock, log, [](int64_t seq) { return textEntry.claimTypedSeq(seq); },
                                          [](const std::string& text) { textEntry.typeText(text); }, &mainQueue});
    static FileChannel fileChannel(clock, log, fileReceive, fileSend, longText, fileQueue, port(kFilePort));
    rooms.fileSweep = [] { fileSend.fileSweep(); };
    rooms.fileInSweep = [] { fileReceive.fileInSweep(); };
    rooms.fileDeclined = [](int64_t id) { fileSend.fileDeclined(id); };
    rooms.fileSlow = [](int64_t id) { fileSend.fileSlow(id); };
    rooms.fileCancelByPhone = [](int64_t id) {
        if (fileSend.activeOfferId() == id) fileSend.fileCancel(true);
    };
    rooms.fileCancelLocal = [] { fileSend.fileCancel(false); };
    rooms.offerFile = [](const std::string& path) { fileSend.fileOfferStart(path); };
    rooms.restartFileListener = [] { fileChannel.restart(pairStore.pskList()); };

    // The app-group folder shared with vellomark-share: the status file and the outbox,
    // swept once a second on their own thread.
    static Outbox outbox(
        clock, log, phone, locations.groupDir,
        [](const std::string& path, const std::string& item) { fileSend.fileOfferStart(path, item); },
        [] { return fileSend.offerBusy(); });
    rooms.startWatchers = [] {
        std::thread([] { gather.watchNewWindows(); }).detach();
        outbox.start();
        fileReceive.migrateReceived();
        screenLock.watchVideoGate();
        screenLock.watchScreenLock();
    };

    CursorDeps deps{clock, log, *platform, hooks, inbox, phone, sender, pairStore, pairing};
    deps.mainQueue = &mainQueue;
    deps.dtls = &dtls;
    deps.plainPort = &plainPort;
    deps.localControl = &localControl;
    deps.plainPortNumber = port(kPlainPort);
    // Rooms not built yet leave their slots empty; their words are then no-ops.
    static CursorMain cursor(deps, rooms);
    cursorPtr = &cursor;
    std::thread([] { cursor.run(); }).detach();

    // The video side: capture, the timers, the advertisement.
    static std::unique_ptr<video::Capture> capture;
    static std::unique_ptr<video::StreamMain> stream;
    if (sink && encoder) {
        capture = std::make_unique<video::Capture>(video::CaptureDeps{clock, log, platform->displays(),
                                                                      platform->capture(), *encoder, *sink, videoStats,
                                                                      &mainQueue, &globalQueue()});
        stream = std::make_unique<video::StreamMain>(video::StreamMainDeps{
            clock, log, platform->displays(), platform->advertiser(), *encoder, *sink, *capture, videoStats, videoKey,
            mainQueue, nullptr});
        stream->start();
    }

    // The front app watch pushes a fresh app list whenever the phone's user switches apps.
    apps.startFrontAppTimer();

    mainQueue.run();
    return 0;
}
