#pragma once
// One file-channel connection as the file rooms see it. The TLS channel provides
// the real one; tests provide their own. Reads and writes block; cancel() may be
// called from any thread and makes a blocked read or write return at once.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace vm {

class FileConn {
public:
    virtual ~FileConn() = default;

    struct ReadResult {
        Bytes data;         // empty on end of stream or error
        bool eof = false;   // the peer ended the stream
        bool error = false; // the read failed (also after cancel or a read time-out)
        std::string why;
    };
    // Waits for 1 to `maxBytes` bytes.
    virtual ReadResult read(size_t maxBytes) = 0;
    // Sends all bytes; false with a reason when the connection failed.
    virtual bool write(const uint8_t* data, size_t len, std::string* error) = 0;
    // Sends one reply line (a line feed is added) as the last data, then closes.
    virtual void replyAndClose(std::string_view line) = 0;
    // Ends the stream cleanly (the empty final message), then closes.
    virtual void finishAndClose() = 0;
    virtual void cancel() = 0;
    // Seconds a single read may wait before it fails (0: no limit).
    virtual void setReadTimeout(double seconds) = 0;
    // The remote endpoint for logs, "a.b.c.d:port".
    virtual std::string endpoint() const = 0;
};

using FileConnPtr = std::shared_ptr<FileConn>;

}  // namespace vm
