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
        size_t n = 0;       // bytes placed in the buffer; 0 on end of stream or error
        bool eof = false;   // the peer ended the stream
        bool error = false; // the read failed (also after cancel or a read time-out)
        std::string why;
    };
    // Waits for at least one byte, then takes what has already arrived, up to `len`.
    virtual ReadResult read(uint8_t* buf, size_t len) = 0;
    // Sends all bytes; false with a reason when the connection failed.
    virtual bool write(const uint8_t* data, size_t len, std::string* error) = 0;
    // Whether the peer dropped the connection (reset, gone), as opposed to our own
    // cancel or a time-out.
    virtual bool lost() const { return false; }
    // Sends one reply line (a line feed is added) as the last data, then closes
    // without resetting: whatever the peer still sends is read and dropped for a while.
    virtual void replyAndClose(std::string_view line) = 0;
    // Ends the stream cleanly (the empty final message), then closes as above.
    virtual void finishAndClose() = 0;
    virtual void cancel() = 0;
    // Seconds a single read may wait before it fails (0: no limit).
    virtual void setReadTimeout(double seconds) = 0;
    // The remote endpoint for logs, "a.b.c.d:port".
    virtual std::string endpoint() const = 0;
};

using FileConnPtr = std::shared_ptr<FileConn>;

// Text from the network (or a file system) made safe for one log line: control
// characters, bidi controls, zero-width characters and bytes that are not UTF-8
// are written as escapes, so a name can neither break a line nor reorder it.
std::string fileLogText(std::string_view text);

}  // namespace vm
