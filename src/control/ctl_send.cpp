#include "control/ctl_send.h"

#include "base/base64.h"
#include "control/ctl_peer.h"

namespace vm {

static Bytes asLine(std::string_view text) {
    Bytes b(text.begin(), text.end());
    if (b.empty() || b.back() != '\n') b.push_back('\n');
    return b;
}

std::vector<std::string> chunkLines(std::string_view head, const Bytes& data) {
    std::vector<std::string> lines;
    if (data.empty()) return lines;
    std::string b64 = base64Encode(data);
    size_t n = (b64.size() + kChunkChars - 1) / kChunkChars;
    lines.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        std::string line(head);
        line += ' ';
        line += std::to_string(i);
        line += '/';
        line += std::to_string(n);
        line += ' ';
        line.append(b64, i * kChunkChars, kChunkChars);
        line += '\n';
        lines.push_back(std::move(line));
    }
    return lines;
}

void CtlSender::replyRaw(const CtlMsg& msg, const Bytes& data) {
    if (msg.peer) {
        msg.peer->send(data);
    } else if (msg.fromLen != 0 && plain_) {
        plain_->sendTo(msg.from, msg.fromLen, data);
    }
    // A local message has no address: the answer is dropped.
}

void CtlSender::ctlReply(const CtlMsg& msg, std::string_view text) { replyRaw(msg, asLine(text)); }

bool CtlSender::phoneSend(std::string_view text) {
    auto conn = phone_.phoneConn();
    if (!conn) return false;
    conn->send(asLine(text));
    return true;
}

void CtlSender::sendChunked(const CtlMsg& msg, std::string_view head, const Bytes& data) {
    for (const auto& line : chunkLines(head, data)) replyRaw(msg, toBytes(line));
}

void CtlSender::pushChunked(std::string_view head, const Bytes& data) {
    auto conn = phone_.phoneConn();
    if (!conn) return;
    for (const auto& line : chunkLines(head, data)) conn->send(toBytes(line));
}

}  // namespace vm
