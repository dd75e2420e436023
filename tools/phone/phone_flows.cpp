#include "phone/phone_flows.h"
#include "phone/phone_input.h"

#include <algorithm>

#include "base/base64.h"
#include "base/crypto.h"
#include "pairing/pairing_crypto.h"
#include "phone/phone_protocol.h"

namespace vm::phone {

namespace {

// Sends `request` every second until `answer` accepts a line or `limit` seconds pass.
template <typename Accept>
bool askUntil(DatagramLink& link, const Clock& clock, const std::string& request, double limit, Accept accept) {
    const double end = clock.monotonic() + limit;
    double nextSend = clock.monotonic();
    for (;;) {
        double now = clock.monotonic();
        if (now >= end) return false;
        if (now >= nextSend) {
            link.send(request);
            nextSend = now + kRetransmitSeconds;
        }
        auto msg = link.receive(std::min(nextSend, end) - now);
        if (!msg) continue;
        for (const auto& line : messageLines(*msg))
            if (accept(line)) return true;
    }
}

}  // namespace

PairResult runPairing(DatagramLink& link, const Clock& clock, const PairOptions& opt, const Output& io) {
    PairResult result;
    P256Key key = P256Key::generate();
    const Bytes phonePub = key.publicX963();
    const Bytes commit = pairCommit(phonePub);

    // 1. Commitment, until the agent hands us its key (or tells us it is busy).
    std::optional<Pairing2> offer;
    bool busy = false;
    bool reached = askUntil(link, clock, pair2Message(opt.phoneId, opt.name, commit),
                            std::min(kFirstAnswerSeconds, opt.timeout), [&](const std::string& line) {
                                if (isBusy(line)) {
                                    busy = true;
                                    return true;
                                }
                                if (auto p = parsePairing2(line)) {
                                    offer = std::move(p);
                                    return true;
                                }
                                if (line == "OLDAPP") io.err("the agent answered OLDAPP; ignoring it");
                                return false;
                            });
    if (!reached) {
        io.err("no answer from the agent to the pairing request");
        result.exit = kExitNetwork;
        return result;
    }
    if (busy) {
        io.err("the agent is busy with another phone's pairing; try again in a minute");
        result.exit = kExitBusy;
        return result;
    }
    const int n = offer->n;

    // 2. Our key, the shared secret, the code.
    auto shared = key.agree(offer->macPub);
    if (!shared) {
        io.err("the agent's public key is not a valid P-256 point");
        result.exit = kExitNetwork;
        return result;
    }
    auto derived = pairDerive(*shared, phonePub, offer->macPub);
    if (!derived) {
        io.err("could not derive the pairing key");
        result.exit = kExitNetwork;
        return result;
    }
    io.out("code: " + derived->code);
    io.out("request: " + std::to_string(n));
    io.err("compare the code with the one on the desktop and allow it there (or: vellomark-ctl \"PAIROK " +
           std::to_string(n) + "\")");

    // 3. Reveal the key a few times (the agent does not answer it), then wait for the decision.
    const std::string open = popenMessage(n, phonePub);
    const double end = clock.monotonic() + opt.timeout;
    double nextSend = clock.monotonic();
    int sends = 0;
    for (;;) {
        double now = clock.monotonic();
        if (now >= end) break;
        if (sends < kPopenSends && now >= nextSend) {
            link.send(open);
            ++sends;
            nextSend = now + kRetransmitSeconds;
        }
        double wait = end - now;
        if (sends < kPopenSends) wait = std::min(wait, std::max(0.0, nextSend - now));
        auto msg = link.receive(wait);
        if (!msg) continue;
        for (const auto& line : messageLines(*msg)) {
            if (auto d = parseDenied(line); d && *d == n) {
                io.err("the pairing was denied");
                result.exit = kExitDenied;
                return result;
            }
            auto ok = parsePaired2(line);
            if (!ok || ok->n != n) continue;  // stray or retransmitted answers
            if (!constantTimeEqual(ok->mac, pairConfirm(derived->psk, n))) {
                io.err("the agent's confirmation does not match our key; not storing it");
                result.exit = kExitMismatch;
                return result;
            }
            PhoneKey k;
            k.id = opt.phoneId;
            k.psk = derived->psk;
            k.identity = identityFor(k.id, k.psk);
            k.name = opt.name;
            result.key = std::move(k);
            result.exit = kExitOk;
            return result;
        }
    }
    io.err("no decision within " + std::to_string(static_cast<int>(opt.timeout)) + " s");
    result.exit = kExitNetwork;
    return result;
}

int runPing(DatagramLink& link, const Clock& clock, double timeout, const Output& io) {
    bool ok = askUntil(link, clock, "PING\n", timeout, [](const std::string& line) { return line == "PONG"; });
    if (!ok) {
        io.err("no PONG within " + std::to_string(static_cast<int>(timeout)) + " s");
        return kExitNetwork;
    }
    io.out("PONG");
    return kExitOk;
}

int runKnown(DatagramLink& link, const Clock& clock, const std::string& identity, double timeout, const Output& io) {
    std::optional<bool> known;
    bool ok = askUntil(link, clock, "KNOWN " + identity + "\n", timeout, [&](const std::string& line) {
        known = parseKnown(line);
        return known.has_value();
    });
    if (!ok) {
        io.err("no answer to KNOWN within " + std::to_string(static_cast<int>(timeout)) + " s");
        return kExitNetwork;
    }
    io.out(*known ? "KNOWN 1" : "KNOWN 0");
    return kExitOk;
}

int runCtl(MessageLink& link, const Clock& clock, const CtlOptions& opt, const Output& io) {
    const std::string id = "ID " + opt.phoneId + "\n";
    if (!link.send(id)) {
        io.err("sending failed: the connection is closed");
        return kExitNetwork;
    }
    for (const auto& line : opt.lines) {
        std::string text = line;
        if (text.empty() || text.back() != '\n') text += '\n';
        if (!link.send(text)) {
            io.err("sending failed: the connection is closed");
            return kExitNetwork;
        }
    }
    const double end = clock.monotonic() + (opt.waitPrefix ? opt.timeout : opt.linger);
    double nextSign = clock.monotonic() + kSignOfLifeSeconds;
    for (;;) {
        double now = clock.monotonic();
        if (now >= end) break;
        if (now >= nextSign) {
            // A phone that only listens still says it is there, or the agent counts it gone.
            link.send(id);
            nextSign = now + kSignOfLifeSeconds;
        }
        auto msg = link.receive(std::min(end, nextSign) - now);
        if (!msg) {
            if (link.closed()) {
                if (opt.waitPrefix) {
                    io.err("the agent closed the connection");
                    return kExitNetwork;
                }
                return kExitOk;
            }
            continue;
        }
        for (const auto& line : messageLines(*msg)) {
            io.out(line);
            if (auto readable = explainPush(line)) io.out("  (" + *readable + ")");
            if (line == "ID?") link.send(id);
            if (opt.waitPrefix && line.rfind(*opt.waitPrefix, 0) == 0) return kExitOk;
        }
    }
    if (opt.waitPrefix) {
        io.err("no line starting with \"" + *opt.waitPrefix + "\" within " +
               std::to_string(static_cast<int>(opt.timeout)) + " s");
        return kExitNetwork;
    }
    return kExitOk;
}

}  // namespace vm::phone
