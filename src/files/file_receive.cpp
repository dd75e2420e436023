#include "files/file_receive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vm {

namespace fs = std::filesystem;

namespace {

// Splits UTF-8 text into code points, each kept as its bytes.
std::vector<std::string> codePoints(const std::string& s) {
    std::vector<std::string> out;
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        if (i + n > s.size()) n = s.size() - i;
        out.push_back(s.substr(i, n));
        i += n;
    }
    return out;
}

std::string join(const std::vector<std::string>& cps, size_t from, size_t to) {
    std::string r;
    for (size_t i = from; i < to && i < cps.size(); ++i) r += cps[i];
    return r;
}

bool isControl(const std::string& cp) {
    if (cp.size() == 1) {
        const auto c = static_cast<unsigned char>(cp[0]);
        return c < 0x20 || c == 0x7F;
    }
    // U+0080…U+009F
    return cp.size() == 2 && static_cast<unsigned char>(cp[0]) == 0xC2 && static_cast<unsigned char>(cp[1]) < 0xA0;
}

bool isSpace(const std::string& cp) {
    return cp == " " || cp == "\t" || cp == "\n" || cp == "\r" || cp == "\v" || cp == "\f" || cp == "\xC2\xA0" ||
           cp == "\xE2\x80\xA8" || cp == "\xE2\x80\xA9" || cp == "\xE3\x80\x80" || cp == "\xC2\x85";
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    std::string out;
    size_t i = 0;
    while (true) {
        size_t j = s.find(from, i);
        if (j == std::string::npos) break;
        out += s.substr(i, j - i) + to;
        i = j + from.size();
    }
    return out + s.substr(i);
}

// Name without and with its extension, as the path-extension rule splits it.
std::pair<std::string, std::string> splitExt(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {name, ""};
    return {name.substr(0, dot), name.substr(dot + 1)};
}

bool exists(const std::string& p) {
    struct stat st{};
    return ::lstat(p.c_str(), &st) == 0;
}

}  // namespace

std::string fileSafeName(const std::string& name) {
    std::string s;
    for (char c : name) s += (c == '/' || c == '\\' || c == ':') ? '_' : c;
    std::string noCtl;
    for (const auto& cp : codePoints(s))
        if (!isControl(cp)) noCtl += cp;
    s = noCtl;
    while (s.find("..") != std::string::npos) s = replaceAll(s, "..", "_");
    // Trimming and dropping leading dots repeat until neither changes anything, so a
    // name of spaces and dots cannot leave a blank or dot-led name behind.
    std::vector<std::string> cps;
    for (std::string before; before != s;) {
        before = s;
        cps = codePoints(s);
        size_t b = 0, e = cps.size();
        while (b < e && isSpace(cps[b])) ++b;
        while (e > b && isSpace(cps[e - 1])) --e;
        s = join(cps, b, e);
        while (!s.empty() && s[0] == '.') s.erase(0, 1);
    }
    if (s.empty()) s = "file";
    cps = codePoints(s);
    if (cps.size() > 120) {
        auto [base, ext] = splitExt(s);
        // An "extension" longer than any real one is part of the name.
        if (codePoints(ext).size() > 16) base = s, ext.clear();
        auto baseCps = codePoints(base);
        size_t keep = std::min<size_t>(100, baseCps.size());
        s = join(baseCps, 0, keep) + (ext.empty() ? "" : "." + ext);
    }
    // File systems here limit a name to 255 bytes; leave room for " N" of unique names.
    cps = codePoints(s);
    if (s.size() > 200) {
        auto [base, ext] = splitExt(s);
        auto baseCps = codePoints(base);
        std::string tail = ext.empty() ? "" : "." + ext;
        size_t keep = baseCps.size();
        while (keep > 1 && join(baseCps, 0, keep).size() + tail.size() > 200) --keep;
        s = join(baseCps, 0, keep) + tail;
    }
    return s;
}

FileReceive::FileReceive(const Clock& clock, Logger& log, std::string dir, std::string oldDir)
    : clock_(clock), log_(log), dir_(std::move(dir)), oldDir_(std::move(oldDir)) {}

std::string FileReceive::fileUniqueURL(const std::string& name) const {
    std::string p = dir_ + "/" + name;
    if (!exists(p)) return p;
    auto [base, ext] = splitExt(name);
    for (long n = 2;; ++n) {
        std::string cand = dir_ + "/" + base + " " + std::to_string(n) + (ext.empty() ? "" : "." + ext);
        if (!exists(cand)) return cand;
    }
}

void FileReceive::refuse(const FileConnPtr& conn, const std::string& reply, const std::string& logText) {
    log_.logLine("파일 받기 — " + logText + "\n");
    conn->replyAndClose(reply);
}

bool FileReceive::fileInStart(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first) {
    if (static_cast<uint64_t>(size) > static_cast<uint64_t>(kFileInMax)) {
        refuse(conn, "TOOBIG", "상한 초과 (" + std::to_string(size) + "B): " + name);
        return false;
    }
    std::unique_lock<std::mutex> lk(fileInLock_);
    if (fileIn_) {
        lk.unlock();
        refuse(conn, "BUSY", "이미 받는 중 — 거절: " + name);
        return false;
    }
    const std::string safe = fileSafeName(name);
    std::error_code ec;
    fs::create_directories(dir_, ec);
    if (ec || !fs::is_directory(dir_)) {
        lk.unlock();
        refuse(conn, "ERR Could not create folder",
               "폴더 못 만듦 " + dir_ + ": " + (ec ? ec.message() : std::string("not a folder")));
        return false;
    }
    // O_EXCL: a name taken between the check and the creation moves on to the next one.
    std::string target;
    int fd = -1;
    for (int attempt = 0; attempt < 20 && fd < 0; ++attempt) {
        target = fileUniqueURL(safe);
        fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        lk.unlock();
        refuse(conn, "ERR Could not create file", "파일 못 만듦 " + target);
        return false;
    }
    const double now = clock_.now();
    const std::string stored = fs::path(target).filename().string();
    fileIn_ = FileIncoming{stored, size, target, now};
    fileInGot_ = 0;
    fileInConn_ = conn;
    fileInHandle_ = fd;
    fileInProgressAt_ = now;
    lk.unlock();
    log_.logLine("파일 받기 — " + stored + " (" + std::to_string(size) + "B) 시작 — " + conn->endpoint() + "\n");
    return fileInChunk(conn, first);
}

bool FileReceive::fileInChunk(const FileConnPtr& conn, const Bytes& bytes) {
    std::unique_lock<std::mutex> lk(fileInLock_);
    if (!fileIn_ || fileInConn_ != conn) return false;
    bool writeFailed = false;
    if (!bytes.empty()) {
        const int64_t want = fileIn_->size - fileInGot_;
        size_t n = static_cast<size_t>(std::min<int64_t>(want, static_cast<int64_t>(bytes.size())));
        size_t off = 0;
        while (off < n) {
            ssize_t w = ::write(fileInHandle_, bytes.data() + off, n - off);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                writeFailed = true;
                break;
            }
            off += static_cast<size_t>(w);
        }
        fileInGot_ += static_cast<int64_t>(off);
        fileInProgressAt_ = clock_.now();
    }
    const bool complete = fileInGot_ >= fileIn_->size;
    const std::string got = std::to_string(fileInGot_) + "/" + std::to_string(fileIn_->size);
    lk.unlock();
    // A full disk would otherwise leave the phone sending into a file that never completes.
    if (writeFailed) {
        fileInFinish(conn, false, "쓰기 실패 (" + got + ")");
        return false;
    }
    if (complete) {
        fileInFinish(conn, true, "");
        return false;
    }
    return true;
}

void FileReceive::fileInFinish(const FileConnPtr& conn, bool ok, const std::string& why) {
    std::unique_lock<std::mutex> lk(fileInLock_);
    if (!fileIn_ || fileInConn_ != conn) return;
    if (fileInHandle_ >= 0) ::close(fileInHandle_);
    fileInHandle_ = -1;
    const FileIncoming in = *fileIn_;
    fileIn_.reset();
    fileInConn_.reset();
    const double now = clock_.now();
    fileInDone_ = std::make_pair(ok ? "Received " + in.name + " from iPhone" : in.name + ": not received", now);
    lk.unlock();
    if (ok) {
        log_.logLine("파일 받기 — " + in.name + " 끝 (" + std::to_string(in.size) + "B) → " + in.url + "\n");
        conn->replyAndClose("OK");
        if (fileReceivedHook) fileReceivedHook(in.url);
    } else {
        log_.logLine("파일 받기 — " + in.name + ": " + why + " — 부분 파일을 지운다\n");
        ::unlink(in.url.c_str());
        conn->cancel();
    }
}

void FileReceive::fileInRun(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first) {
    if (!fileInStart(conn, name, size, first)) return;
    while (true) {
        auto r = conn->read(262144);
        if (!r.data.empty()) {
            if (!fileInChunk(conn, r.data)) return;
            continue;
        }
        if (r.eof || r.error) {
            int64_t got = 0, total = 0;
            {
                std::lock_guard<std::mutex> lk(fileInLock_);
                if (!fileIn_ || fileInConn_ != conn) return;  // already ended (stall sweep)
                got = fileInGot_;
                total = fileIn_->size;
            }
            fileInFinish(conn, false, "모자란 채 끊김 (" + std::to_string(got) + "/" + std::to_string(total) + ")");
            return;
        }
    }
}

void FileReceive::fileInSweep() {
    std::unique_lock<std::mutex> lk(fileInLock_);
    if (!fileIn_ || !fileInConn_) return;
    if (clock_.now() - fileInProgressAt_ <= 30.0) return;
    FileConnPtr conn = fileInConn_;
    const std::string why = "30" + std::string("초 동안 진행 없음 (") + std::to_string(fileInGot_) + "/" +
                            std::to_string(fileIn_->size) + ")";
    lk.unlock();
    fileInFinish(conn, false, why);
}

std::string FileReceive::fileInStatus() {
    std::lock_guard<std::mutex> lk(fileInLock_);
    if (fileIn_) {
        const int64_t pct = fileIn_->size < 1 ? 100 : fileInGot_ * 100 / fileIn_->size;
        return "Receiving " + fileIn_->name + " — " + std::to_string(pct) + "%";
    }
    if (fileInDone_ && clock_.now() - fileInDone_->second < 10.0) return fileInDone_->first;
    return "";
}

void FileReceive::migrateReceived() {
    std::error_code ec;
    if (oldDir_.empty() || fs::weakly_canonical(oldDir_, ec) == fs::weakly_canonical(dir_, ec)) return;
    if (!fs::is_directory(oldDir_, ec)) return;
    int moved = 0;
    std::vector<fs::path> items;
    for (fs::directory_iterator it(oldDir_, ec), end; !ec && it != end; it.increment(ec)) items.push_back(it->path());
    for (const auto& p : items) {
        const std::string n = p.filename().string();
        if (n.empty() || n[0] == '.') continue;
        std::error_code e2;
        fs::create_directories(dir_, e2);
        fs::rename(p, fileUniqueURL(n), e2);
        if (!e2) ++moved;
    }
    bool onlyHidden = true;
    for (fs::directory_iterator it(oldDir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.empty() || n[0] != '.') onlyHidden = false;
    }
    if (onlyHidden) fs::remove_all(oldDir_, ec);
    if (moved > 0)
        log_.logLine("받은 파일 " + std::to_string(moved) + "개를 " + dir_ + " 로 옮겼다\n");
}

}  // namespace vm
