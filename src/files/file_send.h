#pragma once
// Files to the phone: one offer at a time, announced on the control channel and
// fetched by the phone over the file channel, streamed with one chunk in flight:
// 32 KiB chunks paced to 2,500 kbit/s while the phone watches the screen, 256 KiB
// chunks back to back otherwise.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "control/ctl_send.h"
#include "control/phone_state.h"
#include "files/file_conn.h"

namespace vm {

inline constexpr int64_t kFileOutMax = 2147483648LL;
inline constexpr size_t kFileChunk = 32768;        // paced
inline constexpr size_t kFileFastChunk = 262144;   // unpaced
inline constexpr double kFileSlowRate = 312500.0;  // bytes per second

struct FileOffer {
    int64_t id = 0;
    std::string url;
    std::string name;
    int64_t size = 0;
    double at = 0;
    std::optional<std::string> outbox;
};

struct FilePhase {
    enum Kind { idle, waiting, sending, sent, declined, failed } kind = idle;
    std::string text;  // the reason of `failed`
    static FilePhase failedWith(std::string why) { return FilePhase{failed, std::move(why)}; }
};

enum class FileMode { fast, slow };

// When the next chunk may go out after `n` bytes were read at `now`.
double fileNextAt(FileMode mode, bool phoneWantsScreen, double now, double nextAt, size_t n);

// "12 bytes", "345 KB", "1.2 MB" (decimal units, as file sizes are shown).
std::string fileByteCount(int64_t bytes);

class FileSend {
public:
    // `offerQueue` sends the offer copies at their delays; `fileQueue` streams.
    FileSend(const Clock& clock, Logger& log, PhoneState& phone, CtlSender& sender, DispatchQueue& offerQueue,
             DispatchQueue& fileQueue);

    void fileOfferStart(const std::string& path, const std::optional<std::string>& outbox = std::nullopt);
    void fileDeclined(int64_t id);
    void fileCancel(bool byPhone);
    void fileSlow(int64_t id);
    // The current offer's id while it is waiting or sending.
    std::optional<int64_t> activeOfferId();
    void fileSweep();
    std::pair<bool, std::string> fileSendStatus();
    void fileFinish(const FilePhase& phase, const std::string& text);
    // Waiting for an answer or sending (one offer at a time).
    bool offerBusy();

    // A GET line on the file channel.
    void fileGet(const FileConnPtr& conn, int64_t id, bool fast);
    // Ends the transfer carried by `conn`, if any: the connection failed under it.
    void fileConnFailed(const FileConnPtr& conn, const std::string& error);

    // For tests.
    FilePhase phase();
    int64_t sentBytes();

private:
    struct Handle;
    void fileStream(const FileConnPtr& conn, const std::shared_ptr<Handle>& handle, const FileOffer& offer,
                    double nextAt);
    void dropOutbox(const std::optional<std::string>& outbox);

    const Clock& clock_;
    Logger& log_;
    PhoneState& phone_;
    CtlSender& sender_;
    DispatchQueue& offerQueue_;
    DispatchQueue& fileQueue_;

    std::mutex fileLock_;
    std::optional<FileOffer> fileOffer_;
    FilePhase filePhase_;
    double fileDoneAt_ = 0;
    int64_t fileSent_ = 0;
    int64_t fileSerial_ = 0;
    FileConnPtr fileConn_;
    double fileProgressAt_ = 0;
    FileMode fileMode_ = FileMode::slow;
};

}  // namespace vm
