#include "files/outbox.h"

#include "base/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "files/file_conn.h"
#include "platform/group_paths.h"

namespace vm {

namespace fs = std::filesystem;

namespace {

constexpr double kConnectedWindow = 10.0;  // heard from within this long counts as connected
constexpr double kStatusRefresh = 10.0;    // rewrite the unchanged status at least this often
constexpr double kItemMaxAge = 600.0;      // give up on an item after 10 minutes

void removeQuietly(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

struct Entry {
    std::string name;
    bool readable = false;
    bool isDir = false;
    bool isFile = false;
};

// Names in listing order; empty with ok=false when the folder cannot be listed.
std::vector<Entry> listFolder(const std::string& dir, bool& ok) {
    std::vector<Entry> out;
    DIR* d = ::opendir(dir.c_str());
    ok = d != nullptr;
    if (!d) return out;
    while (const dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        Entry en;
        en.name = std::move(name);
        struct stat st {};
        // Never follow links: a link in the outbox is not an item, whatever it points at.
        if (::fstatat(::dirfd(d), en.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            en.readable = true;
            en.isDir = S_ISDIR(st.st_mode);
            en.isFile = S_ISREG(st.st_mode);
        }
        out.push_back(std::move(en));
    }
    ::closedir(d);
    return out;
}

double toSeconds(const statx_timestamp& t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; }

}  // namespace

Outbox::Outbox(const Clock& clock, Logger& log, const PhoneState& phone, std::string groupDir, OfferStart offerStart,
               OfferBusy offerBusy, CreationTime creationTime)
    : clock_(clock),
      log_(log),
      phone_(phone),
      groupDir_(std::move(groupDir)),
      statusFile_(group::statusPath(groupDir_)),
      outboxDir_(group::outboxPath(groupDir_)),
      offerStart_(std::move(offerStart)),
      offerBusy_(std::move(offerBusy)),
      creationTime_(creationTime ? std::move(creationTime) : CreationTime(folderCreationTime)) {}

Outbox::~Outbox() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

std::optional<double> Outbox::folderCreationTime(const std::string& path) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME | STATX_CTIME, &sx) != 0)
        return std::nullopt;
    if (sx.stx_mask & STATX_BTIME) return toSeconds(sx.stx_btime);
    const bool m = sx.stx_mask & STATX_MTIME, c = sx.stx_mask & STATX_CTIME;
    if (m && c) return std::min(toSeconds(sx.stx_mtime), toSeconds(sx.stx_ctime));
    if (m) return toSeconds(sx.stx_mtime);
    if (c) return toSeconds(sx.stx_ctime);
    return std::nullopt;
}

bool Outbox::connectedNow(double now) const {
    return phone_.phoneConn() != nullptr && now - phone_.phoneLastSeen.load() < kConnectedWindow;
}

void Outbox::fileStatusSweep() {
    const double now = clock_.now();
    const bool connected = connectedNow(now);
    const std::string name = phone_.phoneName();
    const std::string signature = std::string(connected ? "true" : "false") + "|" + name;
    if (signature == statusWritten && now - statusWrittenAt <= kStatusRefresh) return;
    statusWritten = signature;
    statusWrittenAt = now;
    writeStatus(connected, name, now);
}

void Outbox::writeStatus(bool connected, const std::string& name, double now) {
    std::error_code ec;
    fs::create_directories(outboxDir_, ec);  // also makes the group folder

    const nlohmann::json j = {{"phone", name}, {"connected", connected}, {"at", now}};
    // A phone name that is not valid UTF-8 must not stop the status from being written.
    const std::string text = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);

    // A reader sees either the old status or the new one, never half of one.
    writeFileAtomically(statusFile_, text, 0600);
}

void Outbox::fileOutboxSweep() {
    bool listed = false;
    const std::vector<Entry> entries = listFolder(outboxDir_, listed);
    if (!listed) return;

    struct Candidate {
        std::string name;
        double created;
    };
    std::vector<Candidate> candidates;
    const double now = clock_.now();
    for (const Entry& e : entries) {
        if (e.name[0] == '.') continue;
        const std::string path = outboxDir_ + "/" + e.name;
        if (!e.readable || !e.isDir) {
            removeQuietly(path);
            continue;
        }
        const double created = creationTime_(path).value_or(now);
        if (now - created > kItemMaxAge) {
            log_.logLine("보낼함 — 10분 넘게 못 보낸 항목을 지운다: " + fileLogText(e.name) + "\n");
            removeQuietly(path);
            continue;
        }
        if (connectedNow(now)) candidates.push_back({e.name, created});
    }
    if (candidates.empty() || !connectedNow(clock_.now())) return;
    if (offerBusy_ && offerBusy_()) return;  // one offer at a time

    // min_element keeps the first of equal dates, i.e. the earlier in the listing.
    const auto oldest = std::min_element(candidates.begin(), candidates.end(),
                                         [](const Candidate& a, const Candidate& b) { return a.created < b.created; });
    const std::string itemDir = outboxDir_ + "/" + oldest->name;
    bool itemListed = false;
    const std::vector<Entry> inside = listFolder(itemDir, itemListed);
    const auto file = std::find_if(inside.begin(), inside.end(), [](const Entry& e) { return e.name[0] != '.'; });
    if (file == inside.end()) {
        removeQuietly(itemDir);
        return;
    }
    if (file->readable && !file->isDir && !file->isFile) {
        // A link (or device, socket…) is not something the share tool writes; sending it
        // would hand the phone whatever it points at.
        removeQuietly(itemDir);
        return;
    }
    log_.logLine("보낼함 — " + fileLogText(file->name) + " 를 폰에 제안한다\n");
    if (offerStart_) offerStart_(itemDir + "/" + file->name, itemDir);
}

void Outbox::fileGroupWatch() {
    std::call_once(started_, [this] {
        thread_ = std::thread([this] {
            pthread_setname_np(pthread_self(), "vellomark.group");
            while (!stop_.load()) {
                fileStatusSweep();
                fileOutboxSweep();
                clock_.sleep(1.0);
            }
        });
    });
}

}  // namespace vm
