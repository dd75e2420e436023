// The agent's entry: answers --inspect, builds every room, fills the hook tables,
// starts the input side on its own thread and runs the main run loop.
#include <unistd.h>

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
#include "platform/platform.h"

using namespace vm;

int main(int argc, char** argv) {
    // SIGTERM is taken by a thread of its own; every thread started from here on inherits the block.
    blockSigterm();

    const std::vector<std::string> args(argv, argv + argc);
    if (auto display = inspectRequest(args)) {
        std::fprintf(stderr, "vellomark: --inspect %u: the display inspector is not part of this build yet\n",
                     *display);
        return 2;
    }

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
    log.logLine("vellomark " PROJECT_VERSION " 시작 — pid " + std::to_string(::getpid()) + ", 플랫폼 " +
                platform->name() + "\n");

    // The installer's hand-off comes here once the installer exists.

    // Hook tables: filled here, before any other thread starts, and never changed.
    // The virtual display, the video side and the approval UI are not built yet, so
    // their tables stay absent and the input side runs on alone.
    static const HookTables hooks{};

    static MainQueue mainQueue;
    mainQueue.adoptCurrentThread();

    const uint32_t onlineDisplays = platform->displays().onlineCount();
    if (onlineDisplays == 0) {
        // No virtual display can be made without its core; that counts as a failed creation.
        const bool created = hooks.vdispHooks && (hooks.vdispHooks->create(), hooks.vdispHooks->alive());
        if (!created) {
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
    static std::mutex vdispLock;
    static Dispatcher dispatcher(DispatcherDeps{clock, log, platform->events(), phone, sender, hooks, pointer, keyboard,
                                                textEntry, inputSources, agent, &mainQueue, &globalQueue(), vdispLock},
                                 DispatcherRooms{});

    CursorRooms rooms;
    rooms.handle = [](const std::string& line) { dispatcher.handle(line); };
    rooms.sweepHolds = [] { pointer.sweepHolds(); };
    rooms.releaseAll = [] { pointer.releaseAll(); };
    rooms.inputSourceTag = [] { return inputSources.inputSourceTag(); };
    rooms.startInputSourceWatch = [] { inputSources.startInputSourceWatch(); };
    rooms.agentStop = [] { agent.stopByLoopback(); };

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
        fileReceive.migrateReceived();
        outbox.start();
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

    mainQueue.run();
    return 0;
}
