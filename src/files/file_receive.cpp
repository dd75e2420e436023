#include "files/file_receive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "base/text.h"

namespace vm {

namespace fs = std::filesystem;

namespace {

// The code point at s[i] into *cp, as base's decoder reads it; its length in
// bytes, or 0 when the bytes there are not well-formed UTF-8.
size_t decodeAt(std::string_view s, size_t i, char32_t* cp) {
    size_t at = i;
    const auto c = nextCodePoint(s, at);
    if (!c) return 0;
    *cp = *c;
    return at - i;
}


// Characters that change the order or joining of what is shown without being seen
// themselves: bidi controls and marks, zero-width characters, the soft hyphen,
// invisible operators and tags. In a name they only serve to disguise it.
bool isInvisible(char32_t c) {
    return c == 0x00AD || c == 0x034F || c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || c == 0xE0001 || (c >= 0xE0020 && c <= 0xE007F);
}

// White space and line breaks, including the Unicode space characters.
bool isSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Splits well-formed UTF-8 text into code points, each kept as its bytes.
std::vector<std::string> codePoints(const std::string& s) {
    std::vector<std::string> out;
    for (size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const size_t n = std::max<size_t>(1, decodeAt(s, i, &cp));
        out.push_back(s.substr(i, n));
        i += n;
    }
    return out;
}

char32_t codePointOf(const std::string& bytes) {
    char32_t cp = 0;
    return decodeAt(bytes, 0, &cp) ? cp : 0xFFFD;
}

std::string join(const std::vector<std::string>& cps, size_t from, size_t to) {
    std::string r;
    for (size_t i = from; i < to && i < cps.size(); ++i) r += cps[i];
    return r;
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

std::string randomHex() {
    uint64_t v = 0;
    // Without randomness the time will do: creation is exclusive and retried anyway.
    if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v))
        v = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(v));
    return out;
}

// Gives `from` the name `to` unless something is there already (EEXIST then).
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the flag: a hard link cannot replace either.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    if (exists(to)) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

std::string fileLogText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char buf[16];
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        const size_t n = decodeAt(text, i, &cp);
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += buf;
            ++i;
            continue;
        }
        if (cp == '\n') {
            out += "\\n";
        } else if (cp == '\r') {
            out += "\\r";
        } else if (cp == '\t') {
            out += "\\t";
        } else if (cp < 0x80 && isControlChar(cp)) {
            std::snprintf(buf, sizeof buf, "\\x%02X", static_cast<unsigned>(cp));
            out += buf;
        } else if (isControlChar(cp) || isInvisible(cp) || cp == 0x2028 || cp == 0x2029) {
            std::snprintf(buf, sizeof buf, "\\u{%X}", static_cast<unsigned>(cp));
            out += buf;
        } else {
            out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

std::string fileSafeName(const std::string& name) {
    std::string s;
    for (char c : name) s += (c == '/' || c == '\\' || c == ':') ? '_' : c;
    // Control characters go, and with them what only disguises a name: bidi controls
    // ("invoice<RLO>fdp.exe" shows as "invoiceexe.pdf") and zero-width characters.
    std::string visible;
    for (size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const size_t n = decodeAt(s, i, &cp);
        if (n == 0) {
            ++i;
            continue;
        }
        if (!isControlChar(cp) && !isInvisible(cp)) visible.append(s, i, n);
        i += n;
    }
    s = visible;
    while (s.find("..") != std::string::npos) s = replaceAll(s, "..", "_");
    // Trimming and dropping leading dots repeat until neither changes anything, so a
    // name of spaces and dots cannot leave a blank or dot-led name behind.
    std::vector<std::string> cps;
    for (std::string before; before != s;) {
        before = s;
        cps = codePoints(s);
        size_t b = 0, e = cps.size();
        while (b < e && isSpace(codePointOf(cps[b]))) ++b;
        while (e > b && isSpace(codePointOf(cps[e - 1]))) --e;
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

int FileReceive::createPart(std::string* path) const {
    // The process id in the name tells the clean-up at start which leftovers are not ours.
    const std::string stem = dir_ + "/" + kFilePartPrefix + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 8; ++attempt) {
        *path = stem + randomHex();
        const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool FileReceive::publish(FileIncoming& in) const {
    // The name picked at the start may have been taken meanwhile; never replace a file.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int err = renameNoReplace(in.part, in.url);
        if (err == 0) return true;
        if (err != EEXIST) {
            errno = err;
            return false;
        }
        in.url = fileUniqueURL(in.name);
        in.name = fs::path(in.url).filename().string();
    }
    errno = EEXIST;
    return false;
}

bool FileReceive::fileInStart(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first) {
    if (static_cast<uint64_t>(size) > static_cast<uint64_t>(kFileInMax)) {
        refuse(conn, "TOOBIG", "상한 초과 (" + std::to_string(size) + "B): " + fileLogText(name));
        return false;
    }
    std::unique_lock<std::mutex> lk(fileInLock_);
    if (fileIn_) {
        lk.unlock();
        refuse(conn, "BUSY", "이미 받는 중 — 거절: " + fileLogText(name));
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
    const std::string target = fileUniqueURL(safe);
    std::string part;
    const int fd = createPart(&part);
    if (fd < 0) {
        lk.unlock();
        refuse(conn, "ERR Could not create file", "파일 못 만듦 " + fileLogText(target));
        return false;
    }
    const double now = clock_.now();
    const std::string stored = fs::path(target).filename().string();
    fileIn_ = FileIncoming{stored, size, target, now, part};
    fileInGot_ = 0;
    fileInConn_ = conn;
    fileInHandle_ = fd;
    fileInProgressAt_ = now;
    lk.unlock();
    log_.logLine("파일 받기 — " + fileLogText(stored) + " (" + std::to_string(size) + "B) 시작 — " + conn->endpoint() +
                 "\n");
    return fileInChunk(conn, first);
}

bool FileReceive::fileInChunk(const FileConnPtr& conn, const uint8_t* data, size_t len) {
    std::unique_lock<std::mutex> lk(fileInLock_);
    if (!fileIn_ || fileInConn_ != conn) return false;
    bool writeFailed = false;
    if (len > 0) {
        // Surplus beyond the announced size is dropped.
        const int64_t want = fileIn_->size - fileInGot_;
        size_t n = static_cast<size_t>(std::min<int64_t>(want, static_cast<int64_t>(len)));
        size_t off = 0;
        while (off < n) {
            ssize_t w = ::write(fileInHandle_, data + off, n - off);
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
    FileIncoming in = *fileIn_;
    fileIn_.reset();
    fileInConn_.reset();
    std::string reason = why;
    // Only a complete file gets its name; until then it is a hidden part.
    if (ok && !publish(in)) {
        ok = false;
        reason = std::string("제 이름으로 못 옮김 (") + std::strerror(errno) + ")";
    }
    const double now = clock_.now();
    fileInDone_ = std::make_pair(ok ? "Received " + in.name + " from iPhone" : in.name + ": not received", now);
    lk.unlock();
    if (ok) {
        log_.logLine("파일 받기 — " + fileLogText(in.name) + " 끝 (" + std::to_string(in.size) + "B) → " +
                     fileLogText(in.url) + "\n");
        conn->replyAndClose("OK");
        if (fileReceivedHook) fileReceivedHook(in.url);
    } else {
        log_.logLine("파일 받기 — " + fileLogText(in.name) + ": " + reason + " — 부분 파일을 지운다\n");
        ::unlink(in.part.c_str());
        conn->cancel();
    }
}

void FileReceive::fileInRun(const FileConnPtr& conn, const std::string& name, int64_t size, const Bytes& first) {
    if (!fileInStart(conn, name, size, first)) return;
    // One buffer for the whole transfer, left uninitialised: each read fills what it returns.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kFileInRead]);
    while (true) {
        auto r = conn->read(buf.get(), kFileInRead);
        if (r.n > 0) {
            if (!fileInChunk(conn, buf.get(), r.n)) return;
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

void FileReceive::removeLeftoverParts() {
    const std::string ours = kFilePartPrefix + std::to_string(::getpid()) + "-";
    std::error_code ec;
    int removed = 0;
    for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.rfind(kFilePartPrefix, 0) != 0 || n.rfind(ours, 0) == 0) continue;
        std::error_code e2;
        if (!fs::is_regular_file(fs::symlink_status(it->path(), e2))) continue;
        if (fs::remove(it->path(), e2)) ++removed;
    }
    if (removed > 0) log_.logLine("받다 끊긴 부분 파일 " + std::to_string(removed) + "개를 지웠다\n");
}

void FileReceive::migrateReceived() {
    removeLeftoverParts();
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
