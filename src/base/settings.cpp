#include "base/settings.h"

#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vm {

namespace {

using json = nlohmann::json;

json parseObject(const std::string& text) {
    json j = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (j.is_discarded() || !j.is_object()) return json::object();
    return j;
}


}  // namespace

Settings::Settings(std::string path) : path_(std::move(path)) {}

void Settings::loadLocked() {
    if (loaded_) return;
    loaded_ = true;
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    if (in) ss << in.rdbuf();
    // A missing or damaged file reads as no settings at all; the next write replaces it.
    doc_ = parseObject(ss.str()).dump();
}

std::optional<int64_t> Settings::integer(const std::string& key) {
    std::lock_guard<std::mutex> g(mu_);
    loadLocked();
    json j = parseObject(doc_);
    auto it = j.find(key);
    if (it == j.end()) return std::nullopt;
    if (it->is_number_unsigned()) {
        uint64_t u = it->get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        return static_cast<int64_t>(u);
    }
    if (it->is_number_integer()) return it->get<int64_t>();
    return std::nullopt;
}

std::optional<bool> Settings::boolean(const std::string& key) {
    std::lock_guard<std::mutex> g(mu_);
    loadLocked();
    json j = parseObject(doc_);
    auto it = j.find(key);
    if (it == j.end()) return std::nullopt;
    if (it->is_boolean()) return it->get<bool>();
    if (it->is_number_integer()) return it->get<int64_t>() != 0;
    return std::nullopt;
}

std::optional<std::string> Settings::string(const std::string& key) {
    std::lock_guard<std::mutex> g(mu_);
    loadLocked();
    json j = parseObject(doc_);
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

bool Settings::setInteger(const std::string& key, int64_t value) {
    std::lock_guard<std::mutex> g(mu_);
    loadLocked();
    json j = parseObject(doc_);
    j[key] = value;
    doc_ = j.dump();
    return writeLocked();
}

bool Settings::writeLocked() {
    namespace fs = std::filesystem;
    fs::path target(path_);
    std::error_code ec;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), ec);

    // A crash leaves either the old or the new settings, never half of them.
    if (!writeFileAtomically(path_, doc_, 0600).empty()) return false;
    // Make the rename itself durable.
    std::string dir = target.has_parent_path() ? target.parent_path().string() : std::string(".");
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace vm
