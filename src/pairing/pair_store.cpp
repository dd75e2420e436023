#include "pairing/pair_store.h"

#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"
#include "base/text.h"

namespace vm {

using nlohmann::json;
namespace fs = std::filesystem;

std::string pskTag(const Bytes& psk) {
    static constexpr std::string_view kLabel = "vellomark-keytag";
    Bytes input(kLabel.size() + psk.size());
    std::copy(kLabel.begin(), kLabel.end(), input.begin());
    std::copy(psk.begin(), psk.end(), input.begin() + static_cast<std::ptrdiff_t>(kLabel.size()));
    Bytes digest = sha256(input);
    return hexLower(digest.data(), 6);
}

std::string pairNormaliseName(std::string_view utf8) {
    std::string out;
    size_t chars = 0;
    bool blankDue = false;
    for (size_t i = 0; i < utf8.size();) {
        const size_t start = i;
        const auto cp = nextCodePoint(utf8, i);
        if (!cp || isBidiControl(*cp)) continue;
        if (isControlChar(*cp) || isUnicodeLineSeparator(*cp)) {
            if (!out.empty()) blankDue = true;
            continue;
        }
        if (blankDue) {
            if (chars == kPairNameChars) break;
            out += ' ';
            ++chars;
            blankDue = false;
        }
        if (chars == kPairNameChars) break;
        out.append(utf8, start, i - start);
        ++chars;
    }
    return out;
}

std::string PairStore::pathIn(const std::string& supportDir) {
    std::error_code ec;
    fs::create_directories(supportDir, ec);
    ::chmod(supportDir.c_str(), 0700);
    return supportDir + "/pairings.json";
}

PairStore::PairStore(std::string path, Logger& log) : path_(std::move(path)), log_(log) { load(); }

bool PairStore::matchesPhone(const std::string& identity, const std::string& phoneID) {
    return identity.size() > phoneID.size() && identity.compare(0, phoneID.size(), phoneID) == 0 &&
           identity[phoneID.size()] == '.';
}

// One record from the file; nothing when a member is missing or of the wrong kind.
static std::optional<PairRecord> decodeRecord(const json& v) {
    if (!v.is_object()) return std::nullopt;
    auto name = v.find("name");
    auto psk = v.find("psk");
    auto at = v.find("pairedAt");
    if (name == v.end() || psk == v.end() || at == v.end()) return std::nullopt;
    if (!name->is_string() || !psk->is_string() || !at->is_number()) return std::nullopt;
    auto key = base64Decode(psk->get<std::string>());
    if (!key) return std::nullopt;
    PairRecord r;
    // Files written before names were cleaned may still hold control characters.
    r.name = pairNormaliseName(name->get<std::string>());
    r.psk = std::move(*key);
    r.pairedAt = at->get<double>() + kReferenceDateOffset;
    return r;
}

namespace {

// Larger than any real store: such a file is not ours to read into memory.
constexpr off_t kPairFileMax = 16 * 1024 * 1024;

enum class ReadResult { missing, read, unreadable };

// The whole file in `text`, or why it could not be read in `why`.
ReadResult readWhole(const std::string& path, std::string& text, std::string& why) {
    // Non-blocking, so that a FIFO planted at the path cannot stall the start.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return ReadResult::missing;
        why = std::strerror(errno);
        return ReadResult::unreadable;
    }
    struct stat st {};
    ReadResult result = ReadResult::read;
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        result = ReadResult::unreadable;
    } else if (!S_ISREG(st.st_mode)) {
        why = "보통 파일이 아니다";
        result = ReadResult::unreadable;
    } else if (st.st_size > kPairFileMax) {
        why = "너무 크다 (" + std::to_string(st.st_size) + "B)";
        result = ReadResult::unreadable;
    }
    char buf[16384];
    while (result == ReadResult::read) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            why = std::strerror(errno);
            result = ReadResult::unreadable;
        } else if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kPairFileMax)) {
            why = "너무 크다";
            result = ReadResult::unreadable;
        } else {
            text.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    if (result != ReadResult::read) text.clear();
    return result;
}

// Writes `text` into a new file (0600) at `path`: 0, or the errno of the failure
// (EEXIST when the name is taken). A half-written file is removed.
int writeNewFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno;
    int err = 0;
    size_t off = 0;
    while (err == 0 && off < text.size()) {
        const ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) err = n < 0 ? errno : EIO;
        else off += static_cast<size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err != 0) ::unlink(path.c_str());
    return err;
}

}  // namespace

std::optional<std::string> PairStore::keepBrokenCopy(const std::string& text, std::string& why) const {
    // An earlier copy is never replaced: it may hold keys of its own. The same
    // contents seen again (no pairing since the last start) reuse their copy.
    for (int n = 1; n <= 9; ++n) {
        const std::string copy = path_ + ".broken" + (n == 1 ? std::string() : "." + std::to_string(n));
        std::string existing, ignored;
        switch (readWhole(copy, existing, ignored)) {
            case ReadResult::read:
                if (existing == text) return copy;
                continue;
            case ReadResult::unreadable:
                continue;
            case ReadResult::missing:
                if (const int err = writeNewFile(copy, text); err == 0) {
                    return copy;
                } else if (err != EEXIST) {
                    why = std::strerror(err);
                    return std::nullopt;
                }
                continue;
        }
    }
    if (why.empty()) why = "사본 자리가 모두 찼다";
    return std::nullopt;
}

void PairStore::load() {
    std::string text, why;
    const ReadResult got = readWhole(path_, text, why);
    if (got == ReadResult::unreadable) {
        // Probably sound keys we may not see just now (a permission, an owner): keep
        // the file exactly as it is, and store nothing over it.
        saveBlocked_ = "읽지 못한 기록 파일을 덮어쓰지 않는다";
        log_.logLine("⚠︎ 짝짓기 기록을 못 읽었다 (" + why +
                     ") — 파일을 그대로 두고, 이번 실행에서는 새 짝짓기를 저장하지 않는다 (" + path_ + ")\n");
    } else if (got == ReadResult::read) {
        json root = json::parse(text, nullptr, false);
        std::vector<std::pair<std::string, PairRecord>> records;
        bool ok = root.is_object();
        if (ok) {
            for (auto it = root.begin(); it != root.end(); ++it) {
                auto r = decodeRecord(it.value());
                if (!r) {
                    ok = false;
                    break;
                }
                records.emplace_back(it.key(), std::move(*r));
            }
        }
        if (ok) {
            std::vector<std::string> before;
            for (auto& [id, _] : records) before.push_back(id);
            // Old files keyed records by the bare phone id; key them by identity now.
            for (auto& [id, rec] : records)
                if (id.find('.') == std::string::npos) id += "." + pskTag(rec.psk);
            std::vector<std::pair<std::string, PairRecord>> unique;
            for (auto& entry : records) {
                auto same = std::find_if(unique.begin(), unique.end(),
                                         [&](const auto& u) { return u.first == entry.first; });
                if (same != unique.end()) same->second = std::move(entry.second);
                else unique.push_back(std::move(entry));
            }
            std::vector<std::string> after;
            for (auto& [id, _] : unique) after.push_back(id);
            std::sort(before.begin(), before.end());
            std::sort(after.begin(), after.end());
            byID_ = std::move(unique);
            if (before != after) {
                if (auto err = save(); !err.empty())
                    log_.logLine("⚠︎ 짝짓기 기록을 저장하지 못했다 — " + err + " (" + path_ + ")\n");
            }
        } else if (auto copy = keepBrokenCopy(text, why)) {
            // The contents are safe beside the file: the next pairing may replace it.
            log_.logLine("⚠︎ 짝짓기 기록을 못 읽었다 — 빈 목록으로 시작 (원본은 " + *copy + ")\n");
        } else {
            saveBlocked_ = "읽지 못한 기록 파일을 덮어쓰지 않는다";
            log_.logLine("⚠︎ 짝짓기 기록을 못 읽었다 — 사본도 못 만들었다 (" + why +
                         ") — 파일을 그대로 두고, 이번 실행에서는 새 짝짓기를 저장하지 않는다 (" + path_ + ")\n");
        }
    }
    log_.logLine("짝짓기 기록 " + std::to_string(count()) + "개 — " + path_ + "\n");
}

std::string PairStore::save() {
    if (!saveBlocked_.empty()) return saveBlocked_;
    json root = json::object();
    {
        std::shared_lock<std::shared_mutex> lk(lock_);
        for (const auto& [id, rec] : byID_) {
            root[id] = json{{"name", rec.name},
                            {"psk", base64Encode(rec.psk)},
                            {"pairedAt", rec.pairedAt - kReferenceDateOffset}};
        }
    }
    std::string text;
    try {
        text = root.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const std::exception& e) {
        return e.what();
    }
    // The temporary file holds the keys too: it is 0600 from the start.
    return writeFileAtomically(path_, text, 0600);
}

std::string PairStore::insert(const std::string& identity, PairRecord record) {
    record.name = pairNormaliseName(record.name);
    std::optional<PairRecord> previous;
    {
        std::unique_lock<std::shared_mutex> lk(lock_);
        auto it = std::find_if(byID_.begin(), byID_.end(), [&](const auto& e) { return e.first == identity; });
        if (it != byID_.end()) {
            previous = std::move(it->second);
            it->second = std::move(record);
        } else {
            byID_.emplace_back(identity, std::move(record));
        }
    }
    std::string err = save();
    if (!err.empty()) {
        // A key that is not in the file must not be accepted either.
        std::unique_lock<std::shared_mutex> lk(lock_);
        auto it = std::find_if(byID_.begin(), byID_.end(), [&](const auto& e) { return e.first == identity; });
        if (it != byID_.end()) {
            if (previous) it->second = std::move(*previous);
            else byID_.erase(it);
        }
    }
    return err;
}

bool PairStore::contains(const std::string& identity) const {
    std::shared_lock<std::shared_mutex> lk(lock_);
    return std::any_of(byID_.begin(), byID_.end(), [&](const auto& e) { return e.first == identity; });
}

std::optional<std::string> PairStore::name(const std::string& phoneID) const {
    std::shared_lock<std::shared_mutex> lk(lock_);
    for (const auto& [id, rec] : byID_)
        if (matchesPhone(id, phoneID)) return rec.name;
    return std::nullopt;
}

std::vector<PairedPhone> PairStore::phones() const {
    std::vector<PairedPhone> out;
    {
        std::shared_lock<std::shared_mutex> lk(lock_);
        for (const auto& [id, rec] : byID_) {
            std::string phone = id.substr(0, id.find('.'));
            auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.id == phone; });
            if (it == out.end()) out.push_back({phone, rec.name, rec.pairedAt});
            else if (rec.pairedAt >= it->pairedAt) *it = {phone, rec.name, rec.pairedAt};
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.pairedAt > b.pairedAt; });
    return out;
}

int PairStore::remove(const std::string& phoneID) {
    int n = 0;
    {
        std::unique_lock<std::shared_mutex> lk(lock_);
        auto end = std::remove_if(byID_.begin(), byID_.end(), [&](const auto& e) { return matchesPhone(e.first, phoneID); });
        n = static_cast<int>(byID_.end() - end);
        byID_.erase(end, byID_.end());
    }
    if (n > 0) {
        if (auto err = save(); !err.empty())
            log_.logLine("⚠︎ 짝짓기 기록을 저장하지 못했다 — " + err + " (" + path_ + ")\n");
    }
    return n;
}

std::vector<std::pair<std::string, Bytes>> PairStore::pskList() const {
    std::shared_lock<std::shared_mutex> lk(lock_);
    std::vector<std::pair<std::string, Bytes>> out;
    for (const auto& [id, rec] : byID_) out.emplace_back(id, rec.psk);
    return out;
}

size_t PairStore::count() const {
    std::shared_lock<std::shared_mutex> lk(lock_);
    return byID_.size();
}

}  // namespace vm
