#include "platform/headless/headless_trace.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace vm::platform::headless {

std::string toJsonLine(const RecordedEvent& e) {
    nlohmann::ordered_json j;
    j["kind"] = e.kind;
    j["type"] = e.type;
    if (e.kind == "mouse" || e.kind == "scroll") {
        j["x"] = e.x;
        j["y"] = e.y;
    }
    if (e.kind == "mouse") {
        j["button"] = e.button;
        if (e.clickState != 0) j["clickState"] = e.clickState;
    }
    if (e.kind == "key") {
        j["vk"] = e.vk;
        j["flags"] = e.flags;
        if (!e.text.empty()) j["text"] = e.text;
    }
    if (e.kind == "scroll") {
        j["wheel1"] = e.wheel1;
        j["wheel2"] = e.wheel2;
    }
    // Typed text may hold anything; replacing bad bytes keeps every line valid JSON.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

static void putUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string utf8FromUtf16(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(s[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        putUtf8(out, c);
    }
    return out;
}

TraceFile::TraceFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) throw std::runtime_error("cannot open trace file " + path + ": " + std::strerror(errno));
}

TraceFile::~TraceFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool TraceFile::append(const std::string& line) {
    std::string buf = line + "\n";
    for (;;) {
        ssize_t n = ::write(fd_, buf.data(), buf.size());
        if (n == static_cast<ssize_t>(buf.size())) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

}  // namespace vm::platform::headless
