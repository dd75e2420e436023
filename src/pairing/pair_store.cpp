#include "pairing/pair_store.h"

#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "base/base64.h"
#include "base/clock.h"
#include "base/crypto.h"
#include "base/log.h"

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
    r.name = name->get<std::string>();
    r.psk = std::move(*key);
    r.pairedAt = at->get<double>() + kReferenceDateOffset;
    return r;
}

void PairStore::load() {
    std::ifstream in(path_, std::ios::binary);
    if (in) {
        std::ostringstream ss;
        ss << in.rdbuf();
        json root = json::parse(ss.str(), nullptr, false);
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
            if (before != after) save();
        } else {
            // Keep the unreadable file beside the new one instead of losing it to the next save.
            std::error_code ec;
            fs::copy_file(path_, path_ + ".broken", fs::copy_options::overwrite_existing, ec);
            log_.logLine("⚠︎ 짝짓기 기록을 못 읽었다 — 빈 목록으로 시작 (원본은 " + path_ + ".broken)\n");
        }
    }
    log_.logLine("짝짓기 기록 " + std::to_string(count()) + "개 — " + path_ + "\n");
}

void PairStore::save() {
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
    } catch (...) {
        return;
    }
    // The temporary file holds the keys too: it is 0600 from the start.
    writeFileAtomically(path_, text, 0600);
}

void PairStore::insert(const std::string& identity, PairRecord record) {
    {
        std::unique_lock<std::shared_mutex> lk(lock_);
        auto it = std::find_if(byID_.begin(), byID_.end(), [&](const auto& e) { return e.first == identity; });
        if (it != byID_.end()) it->second = std::move(record);
        else byID_.emplace_back(identity, std::move(record));
    }
    save();
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
    if (n > 0) save();
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
