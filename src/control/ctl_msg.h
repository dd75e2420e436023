#pragma once
// One received control message, and how its text is framed into command lines.
#include <sys/socket.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace vm {

class CtlPeer;

struct CtlMsg {
    Bytes bytes;                      // the payload exactly as received
    bool plain = false;               // not from the encrypted channel
    bool loopback = false;            // produced inside the agent (local control)
    std::shared_ptr<CtlPeer> peer;    // the encrypted connection, if any
    sockaddr_storage from{};          // source of a plain datagram; zero otherwise
    socklen_t fromLen = 0;            // 0 when there is no address to answer to
    // No payload: the encrypted connection `peer` has ended. It comes after every
    // message that connection delivered, so the input side can let go of what it held.
    bool peerClosed = false;
};

// The message's command lines: the text split at line feeds with empty pieces
// dropped, lines otherwise untouched. Nothing when the bytes are not UTF-8.
std::optional<std::vector<std::string>> ctlLines(const Bytes& bytes);

// Words of a line split at blanks, empty fields dropped.
std::vector<std::string> ctlWords(const std::string& line);

}  // namespace vm
