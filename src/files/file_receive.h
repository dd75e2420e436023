#pragma once
// Files from the phone: one incoming transfer at a time into the received folder,
// with its size limit, stall watch, partial-file clean-up and the menu's text.
// A file is written under a hidden temporary name in the same folder and gets its
// own name only when the last byte is in, so a cut-off transfer never looks complete.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/log.h"
#include "files/file_conn.h"

namespace vm {

inline constexpr int64_t kFileInMax = 2147483648LL;  // 2 GiB, itself accepted
inline constexpr size_t kFileInRead = 262144;          // at most this much per read

inline constexpr const char kFilePartPrefix[] = ".vellomark-part-";

struct FileIncoming {
    std::string name;  // as stored
    int64_t size = 0;
    std::string url;   // path the file gets when complete
    double at = 0;
    std::string part;  // the hidden file being written
};

// The safe form of a file name the phone sent.
std::string fileSafeName(const std::string& name);

class FileReceive {
public:
    // `dir` is the received folder; `oldDir` the folder older versions used.
    FileReceive(const Clock& clock, Logger& log, std::string dir, std::string oldDir);

    // A PUT line: accept (then the caller keeps reading) or refuse with a reply.
    bool fileInStart(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first);
    // Writes bytes; true while more are expected from this connection.
    bool fileInChunk(const FileConnPtr& conn, const uint8_t* data, size_t len);
    bool fileInChunk(const FileConnPtr& conn, const Bytes& bytes) {
        return fileInChunk(conn, bytes.data(), bytes.size());
    }
    void fileInFinish(const FileConnPtr& conn, bool ok, const std::string& why);
    // The whole PUT: start, then read until complete, short or stalled.
    void fileInRun(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first);

    void fileInSweep();
    std::string fileInStatus();
    std::string fileUniqueURL(const std::string& name) const;
    // Moves files of the old folder over and removes hidden partial files that an
    // earlier run left behind (cut off by SIGTERM or a crash). Once, at start.
    void migrateReceived();

    std::function<void(const std::string& path)> fileReceivedHook;
    const std::string& dir() const { return dir_; }

private:
    void refuse(const FileConnPtr& conn, const std::string& reply, const std::string& logText);
    int createPart(std::string* path) const;
    void removeLeftoverParts();
    bool publish(FileIncoming& in) const;

    const Clock& clock_;
    Logger& log_;
    std::string dir_;
    std::string oldDir_;

    std::mutex fileInLock_;
    std::optional<FileIncoming> fileIn_;
    FileConnPtr fileInConn_;
    int fileInHandle_ = -1;
    int64_t fileInGot_ = 0;
    double fileInProgressAt_ = 0;
    std::optional<std::pair<std::string, double>> fileInDone_;
};

}  // namespace vm
