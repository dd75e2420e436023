#pragma once
// Pairing a new phone over the plain port: the phone commits to its P-256 key, we
// answer with ours, the phone reveals its key, both sides derive the same six-digit
// code and pre-shared key, and only the user's approval stores the key. At most one
// pairing is pending at a time. Everything here runs on the input thread.
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/log.h"
#include "control/ctl_msg.h"
#include "control/ctl_send.h"
#include "control/hooks.h"
#include "pairing/pair_store.h"
#include "pairing/pairing_crypto.h"

namespace vm {

inline constexpr double kPairTimeLimit = 60.0;       // a request's life, and the rate window
inline constexpr size_t kPairAttemptsPerWindow = 3;  // requests per address per window
inline constexpr size_t kPairAttemptsPruneAbove = 64;
// Beyond this many live addresses (a flood from many sources) the quietest one is
// forgotten, so the table cannot grow without bound.
inline constexpr size_t kPairAttemptsCap = 4096;
// Key identities go to the TLS stack as PSK identities; keep the phone's part short.
inline constexpr size_t kPairPhoneIDMax = 128;

struct PairingDeps {
    const Clock& clock;
    Logger& log;
    PairStore& store;
    CtlSender& sender;
    const HookTables& hooks;                 // pairPrompt / pairPromptDone may be absent
    std::function<void()> restartListeners;  // ctlStartListener after a stored key
};

// The one pairing in progress.
struct PairPending {
    int id = 0;
    std::string phoneID;
    std::string name;
    std::optional<std::string> code;
    std::optional<Bytes> psk;
    Bytes commit;
    std::optional<Bytes> phonePub;
    P256Key macPriv;
    Bytes macPub;
    sockaddr_storage from{};
    socklen_t fromLen = 0;
    double at = 0;
};

class Pairing {
public:
    explicit Pairing(PairingDeps deps);

    void pairRequest(const std::vector<std::string>& words, const CtlMsg& msg);  // "PAIR2"
    void pairOpen(const std::vector<std::string>& words, const CtlMsg& msg);     // "POPEN"
    void pairDecide(int id, bool allow);
    void pairSweep();
    // Counts a request from msg's source; true when it is one too many for the window.
    bool pairRateLimited(const CtlMsg& msg, double now);

    std::optional<int> pendingID() const;
    // Addresses in the rate table (for tests).
    size_t pairAttemptsSize() const { return pairAttempts_.size(); }

private:
    void log(const std::string& text) { d_.log.logLine(text); }
    void promptDone(int id);
    std::string who(const PairPending& p) const;  // "(name · phoneID)"

    PairingDeps d_;
    std::optional<PairPending> pairPending_;
    int pairSerial_ = 0;
    // Source address → request times within the window. IPv4 sources are keyed by
    // their 32-bit address field; others by a hash with the top bit set.
    std::unordered_map<uint64_t, std::vector<double>> pairAttempts_;
};

}  // namespace vm
