#pragma once
// What each vellomark-phone command does, over links that tests can script.
// Every function returns the process exit code (phone_protocol.h).
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "phone/phone_keyfile.h"
#include "phone/phone_link.h"
#include "phone/phone_protocol.h"

namespace vm::phone {

inline constexpr double kRetransmitSeconds = 1.0;
inline constexpr double kFirstAnswerSeconds = 10.0;  // how long we try to reach the agent at all
inline constexpr int kPopenSends = 3;
// While ctl waits it repeats its "ID" line this often: the agent answers nothing to
// it but counts the phone as present, which it does only for 10 s after the last message.
inline constexpr double kSignOfLifeSeconds = 4.0;

struct PairOptions {
    std::string phoneId;
    std::string name;
    double timeout = 120;  // waiting for the decision on the desktop
};
struct PairResult {
    int exit = kExitNetwork;
    std::optional<PhoneKey> key;  // set when the agent confirmed the pairing
};

// PAIR2 → PAIRING2 → POPEN, shows "code: …" and "request: …", then waits for
// PAIRED2 or DENIED and checks the confirmation. Storing the key is the caller's job.
PairResult runPairing(DatagramLink& link, const Clock& clock, const PairOptions& opt, const Output& io);

// PING until PONG.
int runPing(DatagramLink& link, const Clock& clock, double timeout, const Output& io);
// KNOWN identity until "KNOWN 0" or "KNOWN 1"; prints that answer.
int runKnown(DatagramLink& link, const Clock& clock, const std::string& identity, double timeout, const Output& io);

struct CtlOptions {
    std::string phoneId;
    std::vector<std::string> lines;
    std::optional<std::string> waitPrefix;
    double timeout = 10;  // with waitPrefix
    double linger = 1;    // without it
};
// Sends "ID <phoneId>" and each line, prints every line received, answers "ID?", and
// repeats "ID" every kSignOfLifeSeconds while it waits.
int runCtl(MessageLink& link, const Clock& clock, const CtlOptions& opt, const Output& io);

}  // namespace vm::phone
