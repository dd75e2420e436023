#include "base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "base/text.h"

namespace vm {

namespace fs = std::filesystem;

long long appendToFile(const std::string& path, std::string_view data) {
    // O_APPEND makes the one write land at the end even with several writers.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    ssize_t r = ::write(fd, data.data(), data.size());
    ::close(fd);
    return r;
}

std::string Logger::stamp(double wallSeconds) {
    double whole = std::floor(wallSeconds);
    time_t secs = static_cast<time_t>(whole);
    int millis = static_cast<int>((wallSeconds - whole) * 1000.0);
    if (millis > 999) millis = 999;
    struct tm tmv {};
    localtime_r(&secs, &tmv);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tmv.tm_hour, tmv.tm_min, tmv.tm_sec, millis);
    return buf;
}

void Logger::ensureDir() const {
    std::error_code ec;
    fs::create_directories(dir_, ec);
}

void Logger::syncWithDisk(File& f) {
    long long size = 0;
    struct stat st {};
    if (::stat(f.path.c_str(), &st) == 0) size = st.st_size;
    if (size > kLogRotateAbove) {
        // rename replaces an older ".1": only one old generation is kept.
        const std::string old = f.path + ".1";
        if (::rename(f.path.c_str(), old.c_str()) == 0) size = 0;
    }
    f.sinceSync.store(0);
    // Look again when the limit would be passed, or after a while in case others write too.
    // A file that could not be rotated is retried after a while, not on every line.
    const long long room = size > kLogRotateAbove ? kLogResyncEvery : kLogRotateAbove - size;
    f.budget.store(std::min(room, kLogResyncEvery));
}

const std::string& Logger::pathOf(File& f) {
    std::call_once(f.once, [&] {
        ensureDir();
        f.path = dir_ + "/" + f.name;
        std::lock_guard<std::mutex> lk(f.syncMu);
        syncWithDisk(f);
    });
    return f.path;
}

void Logger::append(File& f, std::string_view line) {
    const std::string& path = pathOf(f);
    // The counter decides when the disk is consulted; a line never costs a stat.
    if (f.sinceSync.load() > f.budget.load()) {
        std::lock_guard<std::mutex> lk(f.syncMu);
        if (f.sinceSync.load() > f.budget.load()) syncWithDisk(f);  // not done meanwhile by another writer
    }
    const long long n = appendToFile(path, line);
    if (n > 0) f.sinceSync.fetch_add(n);
}

void Logger::logLine(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string line = stamp(clock_.now());
    line += "  ";
    line += escapeControls(text);
    line += '\n';
    append(cursor_, line);
}

void Logger::streamLog(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string line = escapeControls(text);
    line += '\n';
    append(stream_, line);
}

void Logger::vdispLog(std::string_view text) {
    ensureDir();
    time_t secs = static_cast<time_t>(std::floor(clock_.now()));
    struct tm tmv {};
    localtime_r(&secs, &tmv);
    char date[64];
    size_t n = std::strftime(date, sizeof date, "%x %X", &tmv);
    std::string line = "[";
    line.append(date, n);
    line += "] ";
    line += escapeControls(text);
    line += '\n';
    append(vdisp_, line);
}

}  // namespace vm
