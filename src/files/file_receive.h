#pragma once
// Files from the phone: one incoming transfer at a time into the received folder,
// with its size limit, stall watch, partial-file clean-up and the menu's text.
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

struct FileIncoming {
    std::string name;  // as stored
    int64_t size = 0;
    std::string url;   // path of the file being written
    double at = 0;
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
    bool fileInChunk(const FileConnPtr& conn, const Bytes& bytes);
    void fileInFinish(const FileConnPtr& conn, bool ok, const std::string& why);
    // The whole PUT: start, then read until complete, short or stalled.
    void fileInRun(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first);

    void fileInSweep();
    std::string fileInStatus();
    std::string fileUniqueURL(const std::string& name) const;
    void migrateReceived();

    std::function<void(const std::string& path)> fileReceivedHook;
    const std::string& dir() const { return dir_; }

private:
    void refuse(const FileConnPtr& conn, const std::string& reply, const std::string& logText);

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
