#include "base/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace vm {

namespace fs = std::filesystem;

void appendToFile(const std::string& path, std::string_view data) {
    // O_APPEND makes the one write land at the end even with several writers.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t r = ::write(fd, data.data(), data.size());
    (void)r;
    ::close(fd);
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

std::string Logger::preparePath(const char* fileName) {
    ensureDir();
    std::string path = dir_ + "/" + fileName;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && st.st_size > kLogRotateAbove) {
        std::string old = path + ".1";
        ::unlink(old.c_str());
        ::rename(path.c_str(), old.c_str());
    }
    return path;
}

const std::string& Logger::cursorLogPath() {
    std::call_once(cursorOnce_, [this] { cursorPath_ = preparePath("inputd.log"); });
    return cursorPath_;
}

const std::string& Logger::streamLogPath() {
    std::call_once(streamOnce_, [this] { streamPath_ = preparePath("videod.log"); });
    return streamPath_;
}

void Logger::logLine(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    std::string line = stamp(clock_.now());
    line += "  ";
    line += text;
    line += '\n';
    appendToFile(cursorLogPath(), line);
}

void Logger::streamLog(std::string_view text) {
    std::string line(text);
    if (line.empty() || line.back() != '\n') line += '\n';
    appendToFile(streamLogPath(), line);
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
    line += text;
    line += '\n';
    appendToFile(dir_ + "/vdisp.log", line);
}

}  // namespace vm
