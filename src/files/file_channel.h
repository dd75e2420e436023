#pragma once
// The file channel: TLS 1.2 with pre-shared keys over TCP. Each connection's
// first line says what it is for: "PUT" (a file from the phone), "TXT" (a long
// text) or "GET" (the phone fetches the file the Mac offered).
//
// Every connection is served by a thread of its own with blocking reads under
// time limits, so a slow phone never holds up another; outgoing files stream on
// the channel's serial queue. Limits against slow or hostile clients:
// at most kFileMaxConns connections at once, the handshake and the first line
// within 10 s each, a silent PUT connection is ended by the 30 s stall sweep (or
// after 60 s without data when no sweep runs), a write may block 30 s at most.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "files/file_conn.h"

namespace vm {

class FileReceive;
class FileSend;
class LongText;

inline constexpr size_t kFileFirstLineMax = 1023;
inline constexpr int kFileMaxConns = 16;

struct FileRequest {
    enum Kind { put, txt, get } kind = put;
    std::string name;  // PUT: the decoded name
    int64_t size = 0;  // PUT, TXT
    int64_t seq = 0;   // TXT
    int64_t id = 0;    // GET
    bool fast = false; // GET
};

// Parses a first line (without its line feed); nothing for a strange line.
std::optional<FileRequest> fileParseRequest(const std::string& line);

// The result of feeding the first-line reader: keep reading, close, or a line.
struct FirstLine {
    enum State { more, tooLong, done } state = more;
    std::string line;
    Bytes first;
};
FirstLine fileFirstLine(const Bytes& buffer);

class FileChannel {
public:
    FileChannel(const Clock& clock, Logger& log, FileReceive& receive, FileSend& send, LongText& text,
                SerialQueue& fileQueue, uint16_t port);
    ~FileChannel();
    FileChannel(const FileChannel&) = delete;
    FileChannel& operator=(const FileChannel&) = delete;

    // (Re)starts the listener with the current key list; no listener while it is empty.
    void restart(std::vector<std::pair<std::string, Bytes>> psks);
    void stop();
    // The bound port of the running listener (useful with port 0), 0 when none.
    uint16_t boundPort() const { return bound_.load(); }

    // Reads the first line from `conn` and hands the connection on.
    void fileReadRequest(const FileConnPtr& conn);

    struct Listener;

private:
    void stopLocked();
    void readRequest(const FileConnPtr& conn, const std::function<void()>& onLine);
    void serve(std::shared_ptr<Listener> l, int fd, std::string endpoint);

    const Clock& clock_;
    Logger& log_;
    FileReceive& receive_;
    FileSend& send_;
    LongText& text_;
    SerialQueue& fileQueue_;
    uint16_t port_;
    std::mutex restartMu_;  // restart and stop, one at a time
    std::mutex mu_;         // listener_
    std::shared_ptr<Listener> listener_;
    std::atomic<uint16_t> bound_{0};
    std::atomic<int> conns_{0};
};

}  // namespace vm
