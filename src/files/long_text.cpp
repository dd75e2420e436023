#include "files/long_text.h"

#include <future>
#include <memory>

#include "base/bytes.h"

namespace vm {

void LongText::refuse(const FileConnPtr& conn, const std::string& reply, const std::string& logText) {
    d_.log.logLine("긴 글 받기 — " + logText + "\n");
    conn->replyAndClose(reply);
}

void LongText::textInStart(const FileConnPtr& conn, int64_t size, int64_t seq, const Bytes& first) {
    if (size < 1 || size > kTextInMax) {
        refuse(conn, "TOOBIG", "상한 초과 (" + std::to_string(size) + "B)");
        return;
    }
    Bytes buffer;
    buffer.reserve(static_cast<size_t>(size));
    const double start = d_.clock.now();
    buffer.resize(first.size());
    std::copy(first.begin(), first.end(), buffer.begin());
    auto counts = [&] { return std::to_string(buffer.size()) + "/" + std::to_string(size) + "B)"; };
    // A silent phone is not waited for longer than the text may take at all.
    conn->setReadTimeout(15.0);
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[kTextInRead]);
    while (static_cast<int64_t>(buffer.size()) < size) {
        if (d_.clock.now() - start >= 15.0) {
            d_.log.logLine("긴 글 받기 — 너무 느리다, 닫는다 (" + counts() + "\n");
            conn->cancel();
            return;
        }
        auto r = conn->read(chunk.get(), kTextInRead);
        if (r.n > 0) {
            buffer.insert(buffer.end(), chunk.get(), chunk.get() + r.n);
            continue;
        }
        if (r.eof || r.error) {
            d_.log.logLine("긴 글 받기 — 끊겼다 (" + counts() + "\n");
            conn->cancel();
            return;
        }
    }
    finish(conn, buffer, seq);
}

void LongText::finish(const FileConnPtr& conn, const Bytes& buffer, int64_t seq) {
    const std::string text(buffer.begin(), buffer.end());
    if (!isValidUtf8(text)) {
        refuse(conn, "ERR Not UTF-8", "UTF-8 이 아니다 (" + std::to_string(buffer.size()) + "B)");
        return;
    }
    if (d_.claimTypedSeq && !d_.claimTypedSeq(seq)) {
        d_.log.logLine("긴 글 #" + std::to_string(seq) + " — 이미 친 것, 건너뛴다\n");
        conn->replyAndClose("OK");
        return;
    }
    size_t chars = 0;
    for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
    d_.log.logLine("긴 글 #" + std::to_string(seq) + " 받음 — " + std::to_string(chars) + "자 (" +
                   std::to_string(buffer.size()) + "B)\n");
    if (d_.mainQueue && !d_.mainQueue->isCurrent()) {
        auto done = std::make_shared<std::promise<void>>();
        auto fut = done->get_future();
        auto type = d_.typeText;
        d_.mainQueue->async([type, text, done] {
            if (type) type(text);
            done->set_value();
        });
        fut.wait();
    } else if (d_.typeText) {
        d_.typeText(text);
    }
    conn->replyAndClose("OK");
}

}  // namespace vm
