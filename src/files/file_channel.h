#pragma once
// The file channel: TLS 1.2 with pre-shared keys over TCP. Each connection's
// first line says what it is for: "PUT" (a file from the phone), "TXT" (a long
// text) or "GET" (the phone fetches the file the Mac offered).
//
// Every connection is served by a thread of its own with blocking reads under
// time limits, so a slow phone never holds up another; outgoing files stream on
// the send room's queue. The port is open to the network, so a connection counts
// against the limits for key holders only once its handshake has succeeded; until
// then it is one of a few per address and a few in all, the oldest giving way to a
// newcomer, and it has a few seconds to finish the handshake. After that: the first
// line within 10 s, a silent PUT connection is ended by the 30 s stall sweep (or
// after 60 s without data when no sweep runs), a write may wait 30 s at most in all.
#include <atomic>
#include <cstdint>
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

struct FileChannelLimits {
    int pendingPerAddress = 4;     // handshakes in progress from one address
    int pending = 64;              // handshakes in progress in all
    int conns = kFileMaxConns;     // connections past their handshake
    double handshakeSeconds = 4.0;
    double firstLineSeconds = 10.0;
    double putReadSeconds = 60.0;  // backstop behind the 30 s stall sweep
    double writeSeconds = 30.0;
};

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
    // `fileQueue` is the send room's; the channel's own deadlines never wait on it, so a
    // download stuck behind a phone that stopped reading holds up nobody else.
    FileChannel(const Clock& clock, Logger& log, FileReceive& receive, FileSend& send, LongText& text,
                SerialQueue& fileQueue, uint16_t port);
    ~FileChannel();
    FileChannel(const FileChannel&) = delete;
    FileChannel& operator=(const FileChannel&) = delete;

    // Takes effect with the next restart.
    void setLimits(const FileChannelLimits& limits);
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
    void acceptLoop(Listener* l);
    void readRequest(const FileConnPtr& conn, const FileChannelLimits& limits);
    void serve(const std::shared_ptr<Listener>& l, const std::shared_ptr<FileConn>& conn);

    const Clock& clock_;
    Logger& log_;
    FileReceive& receive_;
    FileSend& send_;
    LongText& text_;
    uint16_t port_;
    std::mutex restartMu_;  // restart and stop, one at a time
    std::mutex mu_;         // listener_
    std::shared_ptr<Listener> listener_;
    FileChannelLimits limits_;  // guarded by restartMu_; each listener keeps its copy
    std::atomic<uint16_t> bound_{0};
    std::atomic<int> conns_{0};  // connection threads still running
};

}  // namespace vm
