#pragma once
// The plain-port messages the phone exchanges with the agent, built and parsed as
// plain functions so they can be checked without a network.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"

namespace vm::phone {

// Exit codes of vellomark-phone.
enum Exit : int {
    kExitOk = 0,
    kExitUsage = 1,
    kExitNetwork = 2,     // no answer, time-out, connection lost, malformed answer
    kExitDenied = 3,
    kExitBusy = 4,
    kExitMismatch = 5,    // the agent's confirmation does not match our key
    kExitKeyFile = 6,     // key file missing, unreadable, malformed or not writable
    kExitHandshake = 7,   // DTLS handshake failed
};

inline constexpr size_t kPubKeyBytes = 65;  // X9.63 uncompressed P-256 point
inline constexpr size_t kCommitBytes = 32;
inline constexpr size_t kConfirmBytes = 32;
inline constexpr size_t kPskBytes = 32;
inline constexpr size_t kMaxPhoneIdChars = 64;

// "PAIR2 id base64(name) base64(commit)\n"
std::string pair2Message(const std::string& phoneId, const std::string& name, const Bytes& commit);
// "POPEN n base64(phonePub)\n"
std::string popenMessage(int n, const Bytes& phonePub);

// Agent answers.
struct Pairing2 {
    int n = 0;
    Bytes macPub;  // 65 bytes
};
std::optional<Pairing2> parsePairing2(std::string_view line);
struct Paired2 {
    int n = 0;
    Bytes mac;  // 32 bytes
};
std::optional<Paired2> parsePaired2(std::string_view line);
std::optional<int> parseDenied(std::string_view line);
bool isBusy(std::string_view line);
// "KNOWN 0" / "KNOWN 1".
std::optional<bool> parseKnown(std::string_view line);

// The lines of one received message: split at line feeds, a trailing carriage
// return dropped, empty lines left out.
std::vector<std::string> messageLines(const Bytes& message);

// A strictly decimal, positive number that fits an int.
std::optional<int> parseRequestNumber(std::string_view s);

// 16 lower-case hexadecimal digits from the system's random source.
std::string randomPhoneId();
// Letters, digits, "-" and "_", 1 to 64 characters: nothing that would break the
// blank-separated lines or the "id.tag" identity.
bool validPhoneId(std::string_view id);
// Phone id, ".", key tag: the name the agent knows the key by.
std::string identityFor(const std::string& phoneId, const Bytes& psk);

}  // namespace vm::phone
