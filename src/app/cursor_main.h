#pragma once
// The input side: finishes its start-up, then takes one control message at a
// time from the inbox, runs the periodic sweeps, consumes the control side's own
// words (pairing, identity, liveness, key checks, video control, display size,
// local decisions) and hands every other line to the command dispatcher.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_inbox.h"
#include "control/ctl_send.h"
#include "control/ctl_throttle.h"
#include "control/hooks.h"
#include "control/phone_state.h"
#include "pairing/pair_store.h"
#include "platform/platform.h"

namespace vm {

class Pairing;
class DtlsServer;
class PlainPort;
class LocalControl;

// What the loop calls in the rooms around it. Each slot is filled by the room
// that owns it; an empty slot makes its words and sweeps do nothing.
struct CursorRooms {
    // Command dispatcher and pointer/keyboard state.
    std::function<void(const std::string& line)> handle;
    std::function<void()> sweepHolds;
    std::function<void()> releaseAll;
    // Whether the phone holds any key or button down.
    std::function<bool()> holdsInput;
    // Input sources.
    std::function<std::string()> inputSourceTag;
    std::function<void()> startInputSourceWatch;
    // Apps (run on the main queue).
    std::function<Bytes()> runningAppsJSON;
    std::function<std::optional<Bytes>(int32_t pid)> appIconPNG;
    std::function<void(int32_t pid)> bringAppToFront;
    // Display policy.
    std::function<void()> physicalDisplaysOn;
    // Its rules for each accepted message of the phone: the virtual display made,
    // made main, the physical displays off, as far as the phone wants the screen.
    std::function<void()> phoneTraffic;
    std::function<std::pair<uint32_t, uint32_t>()> currentDisplaySize;
    std::function<std::pair<uint32_t, uint32_t>(uint32_t w, uint32_t h)> setDisplayMode;
    std::function<void()> sweepVDispGrace;
    std::function<void(double quietSeconds)> quietPhone;
    std::function<void(double until)> setVDispGraceUntil;
    // Files.
    std::function<void()> fileSweep;
    std::function<void()> fileInSweep;
    std::function<void(int64_t id)> fileDeclined;
    std::function<void(int64_t id)> fileSlow;            // when `id` is the outgoing offer
    std::function<void(int64_t id)> fileCancelByPhone;   // when `id` is the outgoing offer
    std::function<void()> fileCancelLocal;
    std::function<void(const std::string& path)> offerFile;
    std::function<void()> restartFileListener;
    // Agent mode.
    std::function<void()> agentStop;
    // Watch threads and set-up calls of other rooms, run once at start.
    std::function<void()> startWatchers;
};

struct CursorDeps {
    const Clock& clock;
    Logger& log;
    platform::Platform& platform;
    const HookTables& hooks;
    CtlInbox& inbox;
    PhoneState& phone;
    CtlSender& sender;
    PairStore& pairStore;
    Pairing& pairing;
    MainQueue* mainQueue = nullptr;   // absent in tests: main-queue work runs in place
    DtlsServer* dtls = nullptr;       // absent in tests
    PlainPort* plainPort = nullptr;
    LocalControl* localControl = nullptr;
    uint16_t plainPortNumber = 47822;
};

// A phone not heard from for this long has no finger on anything: what it still
// holds is let go.
inline constexpr double kHeldSilenceLimit = 10.0;
// Pairing datagrams on the plain port: a phone sends about one a second. Beyond these
// budgets (per source address, and for all sources together, since a plain source
// can be forged) they are dropped unread, so a flood costs neither the input thread
// nor the log more than a trickle.
inline constexpr double kPairingBurstPerSource = 5, kPairingRatePerSource = 2;
inline constexpr double kPairingBurstTotal = 20, kPairingRateTotal = 5;
inline constexpr size_t kPairingSourcesKept = 1024;

class CursorMain {
public:
    CursorMain(CursorDeps deps, CursorRooms rooms) : d_(deps), r_(std::move(rooms)) {}

    // Start-up, then the message loop; never returns. A plain port that cannot be
    // bound ends the process with status 1.
    [[noreturn]] void run();
    // The start-up steps before the loop; false when the plain port could not be bound.
    bool startUp();
    // Binds the plain port and says so; when it cannot be bound, says which port and
    // why on standard error and in the log, and returns false.
    bool openPlainPort();
    // One pass of the loop, waiting at most `popTimeout` seconds for a message.
    void pass(double popTimeout = 1.0);
    // Handles one message as the loop would (no sweeps, no statistics window).
    void route(const CtlMsg& msg);

    // Rebuilds the encrypted listeners from the pair store (after pairing and unpair).
    void ctlStartListener();
    // The phone-silence sweep.
    void sweepPhone();

    // Pointer-move statistics of the current window (for tests).
    int mCount() const { return mCount_; }
    long long mLost() const { return mLost_; }

private:
    void logLatencyWindow(double now);
    void runSweeps();
    void routeEncrypted(const CtlMsg& msg, const std::string& text, const std::vector<std::string>& lines);
    void notePhonePresent(const CtlMsg& msg);
    void routeLocal(const CtlMsg& msg, const std::string& text, const std::vector<std::string>& lines);
    void routePlain(const CtlMsg& msg, const std::vector<std::string>& lines);
    bool pairingWithinBudget(const CtlMsg& msg);
    void refusePlain(const std::string& head);
    void onPeerClosed(const CtlPeer& peer);
    void releaseHeld(const std::string& why);
    void unpair(const std::string& id);
    void kick();

    // Line processing: each step takes its words and says whether the line is done.
    void processLine(const CtlMsg& msg, const std::string& line);
    bool takeIdentity(CtlPeer& peer, const std::string& line);
    void askIdentityIfMissing(const CtlMsg& msg);
    bool appWord(const CtlMsg& msg, const std::string& line);
    bool fileWord(const std::string& line);
    bool videoWord(const CtlMsg& msg, const std::string& line);
    void countMove(const std::string& line);
    bool echoOrDisplayWord(const CtlMsg& msg, const std::string& line);
    void answerDisplaySize(const CtlMsg& msg, const std::string& line);
    void handOn(const CtlMsg& msg, const std::string& line);

    CursorDeps d_;
    CursorRooms r_;

    // Latency statistics (reference-date clock).
    int mCount_ = 0;
    long long mLost_ = 0;
    double maxGap_ = 0, maxSweep_ = 0, maxHandle_ = 0;
    double lastM_ = 0;
    long long lastSeq_ = 0;
    double afterSweep_ = 0;
    double statAt_ = -1;
    double passT_ = 0;  // time right after the pop of the current pass
    // What strangers on the plain port may cost.
    LogThrottle refusedLog_{10.0};
    LogThrottle pairingDropLog_{10.0};
    SourceBudget pairingPerSource_{kPairingBurstPerSource, kPairingRatePerSource, kPairingSourcesKept};
    RateBucket pairingTotal_{kPairingBurstTotal, kPairingRateTotal};
};

}  // namespace vm
