#include "files/file_send.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/base64.h"

namespace vm {

namespace fs = std::filesystem;

struct FileSend::Handle {
    int fd = -1;
    std::unique_ptr<uint8_t[]> buf{new uint8_t[kFileFastChunk]};  // one chunk, reused
    ~Handle() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

double fileNextAt(FileMode mode, bool phoneWantsScreen, double now, double nextAt, size_t n) {
    if (mode == FileMode::slow && phoneWantsScreen) return std::max(now, nextAt) + static_cast<double>(n) / kFileSlowRate;
    return now;
}

std::string fileByteCount(int64_t bytes) {
    if (bytes == 0) return "Zero KB";
    if (bytes == 1) return "1 byte";
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    char buf[64];
    const double b = static_cast<double>(bytes);
    if (bytes < 1000000) {
        std::snprintf(buf, sizeof buf, "%.0f KB", b / 1e3);
    } else if (bytes < 1000000000) {
        std::snprintf(buf, sizeof buf, "%.1f MB", b / 1e6);
    } else {
        std::snprintf(buf, sizeof buf, "%.2f GB", b / 1e9);
    }
    return buf;
}

FileSend::FileSend(const Clock& clock, Logger& log, PhoneState& phone, CtlSender& sender, DispatchQueue& offerQueue,
                   DispatchQueue& fileQueue)
    : clock_(clock), log_(log), phone_(phone), sender_(sender), offerQueue_(offerQueue), fileQueue_(fileQueue) {}

void FileSend::dropOutbox(const std::optional<std::string>& outbox) {
    if (!outbox) return;
    std::error_code ec;
    fs::remove_all(*outbox, ec);
}

void FileSend::fileOfferStart(const std::string& path, const std::optional<std::string>& outbox) {
    struct stat st{};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || !S_ISREG(st.st_mode)) {
        log_.logLine("파일 보내기 — 파일을 못 읽는다: " + fileLogText(path) + "\n");
        dropOutbox(outbox);
        return;
    }
    const std::string name = fs::path(path).filename().string();
    const int64_t size = static_cast<int64_t>(st.st_size);
    if (size > kFileOutMax) {
        log_.logLine("파일 보내기 — 상한 초과 (" + std::to_string(size) + "B): " + fileLogText(name) + "\n");
        dropOutbox(outbox);
        return;
    }
    const double now = clock_.now();
    if (!phone_.phoneConn() || now - phone_.phoneLastSeen.load() >= 10.0) {
        log_.logLine("파일 보내기 — 붙은 폰이 없다: " + fileLogText(name) + "\n");
        dropOutbox(outbox);
        return;
    }
    std::unique_lock<std::mutex> lk(fileLock_);
    if (filePhase_.kind == FilePhase::sending) {
        lk.unlock();
        log_.logLine("파일 보내기 — 이미 보내는 중이다\n");
        return;
    }
    if (filePhase_.kind == FilePhase::waiting) {
        lk.unlock();
        log_.logLine("파일 보내기 — 이미 제안 중이다\n");
        return;
    }
    const int64_t id = ++fileSerial_;
    fileOffer_ = FileOffer{id, path, name, size, now, outbox};
    filePhase_ = FilePhase{FilePhase::waiting, ""};
    fileSent_ = 0;
    lk.unlock();
    const std::string line = "FILE " + std::to_string(id) + " " + std::to_string(size) + " " + base64Encode(name);
    for (double delay : {0.0, 0.3, 0.6}) {
        offerQueue_.asyncAfter(delay, [this, line] { sender_.phoneSend(line); });
    }
    log_.logLine("파일 보내기 — 제안 #" + std::to_string(id) + " " + fileLogText(name) + " (" + std::to_string(size) +
                 "B)\n");
}

void FileSend::fileFinish(const FilePhase& phase, const std::string& text) {
    std::unique_lock<std::mutex> lk(fileLock_);
    if (filePhase_.kind != FilePhase::waiting && filePhase_.kind != FilePhase::sending) return;
    filePhase_ = phase;
    fileDoneAt_ = clock_.now();
    fileConn_.reset();
    std::optional<std::string> outbox = fileOffer_ ? fileOffer_->outbox : std::nullopt;
    lk.unlock();
    log_.logLine("파일 보내기 — " + text + "\n");
    dropOutbox(outbox);
}

void FileSend::fileDeclined(int64_t id) {
    std::unique_lock<std::mutex> lk(fileLock_);
    if (!fileOffer_ || fileOffer_->id != id || filePhase_.kind != FilePhase::waiting) return;
    const std::string name = fileOffer_->name;
    lk.unlock();
    fileFinish(FilePhase{FilePhase::declined, ""}, "폰이 거절 #" + std::to_string(id) + " " + fileLogText(name));
}

void FileSend::fileCancel(bool byPhone) {
    std::unique_lock<std::mutex> lk(fileLock_);
    if (!fileOffer_ || (filePhase_.kind != FilePhase::waiting && filePhase_.kind != FilePhase::sending)) return;
    const FileOffer offer = *fileOffer_;
    FileConnPtr conn = fileConn_;
    lk.unlock();
    if (!byPhone) {
        const std::string line = "FILECANCEL " + std::to_string(offer.id);
        sender_.phoneSend(line);
        sender_.phoneSend(line);
    }
    fileFinish(FilePhase::failedWith(byPhone ? "Cancelled on iPhone" : "Cancelled"),
               "#" + std::to_string(offer.id) + " " + fileLogText(offer.name) + " 취소 (" + (byPhone ? "폰" : "맥") + ")");
    if (conn) conn->cancel();
}

void FileSend::fileSlow(int64_t id) {
    std::lock_guard<std::mutex> lk(fileLock_);
    if (fileOffer_ && fileOffer_->id == id) fileMode_ = FileMode::slow;
}

std::optional<int64_t> FileSend::activeOfferId() {
    std::lock_guard<std::mutex> lk(fileLock_);
    if (!fileOffer_ || (filePhase_.kind != FilePhase::waiting && filePhase_.kind != FilePhase::sending))
        return std::nullopt;
    return fileOffer_->id;
}

bool FileSend::offerBusy() {
    std::lock_guard<std::mutex> lk(fileLock_);
    return filePhase_.kind == FilePhase::waiting || filePhase_.kind == FilePhase::sending;
}

FilePhase FileSend::phase() {
    std::lock_guard<std::mutex> lk(fileLock_);
    return filePhase_;
}

int64_t FileSend::sentBytes() {
    std::lock_guard<std::mutex> lk(fileLock_);
    return fileSent_;
}

void FileSend::fileSweep() {
    std::unique_lock<std::mutex> lk(fileLock_);
    if (!fileOffer_) return;
    const double now = clock_.now();
    const FileOffer offer = *fileOffer_;
    if (filePhase_.kind == FilePhase::sending && now - fileProgressAt_ > 30.0) {
        FileConnPtr conn = fileConn_;
        const int64_t sent = fileSent_;
        lk.unlock();
        fileFinish(FilePhase::failedWith("Connection lost"), "#" + std::to_string(offer.id) + " " +
                                                                 fileLogText(offer.name) + " " + std::to_string(30) +
                                                                 "초 동안 진행 없음 — 끊는다 (" + std::to_string(sent) +
                                                                 "B)");
        if (conn) conn->cancel();
    } else if (filePhase_.kind == FilePhase::waiting && now - offer.at > 120.0) {
        lk.unlock();
        fileFinish(FilePhase::failedWith("No answer from iPhone"),
                   "제안 #" + std::to_string(offer.id) + " 시한 만료 " + fileLogText(offer.name));
    }
}

std::pair<bool, std::string> FileSend::fileSendStatus() {
    std::lock_guard<std::mutex> lk(fileLock_);
    if (!fileOffer_) return {false, ""};
    const FileOffer& o = *fileOffer_;
    const bool recent = clock_.now() - fileDoneAt_ < 10.0;
    switch (filePhase_.kind) {
        case FilePhase::waiting:
            return {true, "Waiting for iPhone to accept " + o.name + "\xE2\x80\xA6"};
        case FilePhase::sending: {
            const int64_t pct = o.size < 1 ? 100 : fileSent_ * 100 / o.size;
            return {true, "Sending " + o.name + " — " + std::to_string(pct) + "% (" + fileByteCount(fileSent_) +
                              " of " + fileByteCount(o.size) + ")"};
        }
        case FilePhase::sent:
            return {false, recent ? "Sent " + o.name : ""};
        case FilePhase::declined:
            return {false, recent ? "iPhone declined " + o.name : ""};
        case FilePhase::failed:
            return {false, recent ? o.name + ": " + filePhase_.text : ""};
        case FilePhase::idle:
            break;
    }
    return {false, ""};
}

void FileSend::fileGet(const FileConnPtr& conn, int64_t id, bool fast) {
    std::unique_lock<std::mutex> lk(fileLock_);
    if (!fileOffer_ || fileOffer_->id != id || filePhase_.kind != FilePhase::waiting) {
        lk.unlock();
        log_.logLine("파일 채널 — 제안 #" + std::to_string(id) + " 이 없거나 이미 끝났다, 닫는다\n");
        conn->cancel();
        return;
    }
    const double now = clock_.now();
    filePhase_ = FilePhase{FilePhase::sending, ""};
    fileSent_ = 0;
    fileProgressAt_ = now;
    fileMode_ = fast ? FileMode::fast : FileMode::slow;
    fileConn_ = conn;
    const FileOffer offer = *fileOffer_;
    lk.unlock();

    auto handle = std::make_shared<Handle>();
    handle->fd = ::open(offer.url.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle->fd < 0) {
        fileFinish(FilePhase::failedWith("Could not open file"), "열기 실패 " + fileLogText(offer.url));
        conn->cancel();
        return;
    }
    const bool capped = !fast && phone_.phoneWantsScreen.load();
    log_.logLine("파일 보내기 — #" + std::to_string(id) + " " + fileLogText(offer.name) + " 시작 (" +
                 (fast ? "fast" : "slow") + " · 상한 " + (capped ? "2500kbps" : "없음") + ")\n");
    fileQueue_.async([this, conn, handle, offer, now] { fileStream(conn, handle, offer, now); });
}

void FileSend::fileConnFailed(const FileConnPtr& conn, const std::string& error) {
    {
        std::lock_guard<std::mutex> lk(fileLock_);
        if (!fileConn_ || fileConn_ != conn || filePhase_.kind != FilePhase::sending) return;
    }
    fileFinish(FilePhase::failedWith("Connection lost"), "전송 중 끊김: " + error);
    conn->cancel();
}

void FileSend::fileStream(const FileConnPtr& conn, const std::shared_ptr<Handle>& handle, const FileOffer& offer,
                          double nextAt) {
    FileMode mode;
    {
        std::lock_guard<std::mutex> lk(fileLock_);
        mode = fileMode_;
        // Ended meanwhile (cancel, sweep): nothing more goes out.
        if (fileConn_ != conn) {
            handle->close();
            return;
        }
    }
    const bool wants = phone_.phoneWantsScreen.load();
    // Unpaced, larger pieces cost fewer system calls and queue turns per byte; paced,
    // the 32 KiB steps keep the rate smooth.
    const size_t want = mode == FileMode::slow && wants ? kFileChunk : kFileFastChunk;
    uint8_t* buf = handle->buf.get();
    ssize_t n = -1;
    do {
        n = ::read(handle->fd, buf, want);
    } while (n < 0 && errno == EINTR);
    const double now = clock_.now();
    if (n > 0) {
        const size_t len = static_cast<size_t>(n);
        const double next = fileNextAt(mode, wants, now, nextAt, len);
        std::string err;
        if (!conn->write(buf, len, &err)) {
            handle->close();
            // The phone dropping the connection is a failed connection, not a failed send.
            if (conn->lost()) {
                fileConnFailed(conn, err);
                return;
            }
            fileFinish(FilePhase::failedWith("Connection lost"), "#" + std::to_string(offer.id) + " 보내다 끊김: " + err);
            conn->cancel();
            return;
        }
        const double done = clock_.now();
        {
            std::lock_guard<std::mutex> lk(fileLock_);
            if (!fileConn_ || fileConn_ != conn) {
                handle->close();
                return;
            }
            fileSent_ += static_cast<int64_t>(len);
            fileProgressAt_ = done;
        }
        fileQueue_.asyncAfter(std::max(0.0, next - done),
                              [this, conn, handle, offer, next] { fileStream(conn, handle, offer, next); });
        return;
    }
    handle->close();
    if (n < 0) {
        // A read error must not look like a complete file to the phone.
        fileFinish(FilePhase::failedWith("Could not open file"), "읽기 실패 " + fileLogText(offer.url));
        conn->cancel();
        return;
    }
    conn->finishAndClose();
    int64_t sent = 0;
    {
        std::lock_guard<std::mutex> lk(fileLock_);
        sent = fileSent_;
    }
    fileFinish(FilePhase{FilePhase::sent, ""},
               "#" + std::to_string(offer.id) + " " + fileLogText(offer.name) + " 끝 (" + std::to_string(sent) + "B)");
}

}  // namespace vm
