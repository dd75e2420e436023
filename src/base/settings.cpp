#include "base/settings.h"

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

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t w = ::write(fd, data.data() + done, data.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

std::atomic<unsigned> tempCounter{0};

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

    // Write a private temporary beside the file and rename it over, so a crash
    // leaves either the old or the new settings, never half of them.
    std::string tmp = path_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(tempCounter++);
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, doc_) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
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
