#pragma once
// Answers and pushes on the control channel: a reply goes back the way its
// message came (encrypted connection, plain datagram, or nowhere for local
// messages); pushes go to the current phone. Binary payloads travel as chunk lines.
#include <sys/socket.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "control/ctl_msg.h"
#include "control/phone_state.h"

namespace vm {

// The plain port's socket as far as replies are concerned.
class PlainSender {
public:
    virtual ~PlainSender() = default;
    virtual void sendTo(const sockaddr_storage& to, socklen_t toLen, const Bytes& data) = 0;
};

inline constexpr size_t kChunkChars = 700;

// "head i/n piece\n" lines carrying `data` as base64 in pieces of 700 characters;
// no line at all for empty data.
std::vector<std::string> chunkLines(std::string_view head, const Bytes& data);

class CtlSender {
public:
    CtlSender(PhoneState& phone, PlainSender* plain) : phone_(phone), plain_(plain) {}

    void ctlReply(const CtlMsg& msg, std::string_view text);
    bool phoneSend(std::string_view text);
    void sendChunked(const CtlMsg& msg, std::string_view head, const Bytes& data);
    void pushChunked(std::string_view head, const Bytes& data);
    // Sends raw bytes back the way `msg` came, unchanged.
    void replyRaw(const CtlMsg& msg, const Bytes& data);

private:
    PhoneState& phone_;
    PlainSender* const plain_;
};

}  // namespace vm
