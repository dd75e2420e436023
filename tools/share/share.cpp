#include "share/share.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/group_paths.h"

namespace vm::share {

namespace fs = std::filesystem;

bool statusSaysConnected(const std::string& statusFile, double now) {
    std::ifstream in(statusFile, std::ios::binary);
    if (!in) return false;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    const auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!j.is_object()) return false;
    const auto at = j.find("at");
    if (at == j.end() || !at->is_number()) return false;
    if (!(now - at->get<double>() < kStatusFreshFor)) return false;
    const auto connected = j.find("connected");
    // The string "true" is not the boolean true.
    return connected != j.end() && connected->is_boolean() && connected->get<bool>();
}

static bool isUuidText(const std::string& s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

std::string newUuid() {
    {
        std::ifstream in("/proc/sys/kernel/random/uuid");
        std::string line;
        if (in && std::getline(in, line) && isUuidText(line)) return line;
    }
    unsigned char b[16];
    size_t got = 0;
    while (got < sizeof b) {
        const ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        got += size_t(n);
    }
    if (got < sizeof b) {
        // No randomness at all is not worth failing a share over; the time and pid still
        // make a name that nothing else in the outbox holds.
        const auto t = static_cast<unsigned long long>(::time(nullptr)) ^ (static_cast<unsigned long long>(::getpid()) << 32);
        for (size_t i = got; i < sizeof b; ++i) b[i] = static_cast<unsigned char>(t >> ((i % 8) * 8));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    char out[37];
    std::snprintf(out, sizeof out, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "scheme://…": a URL, not a path (a path may hold ":" but not a scheme before "//").
static bool looksLikeUrl(const std::string& arg) {
    const size_t colon = arg.find("://");
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(arg[0]))) return false;
    for (size_t i = 1; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(arg[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

std::string argumentPath(const std::string& arg) {
    static const std::string kScheme = "file://";
    if (arg.size() < kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), arg.begin(),
                    [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); })) {
        // A web page or any other URL is not a file: nothing to send, not a skipped file.
        return looksLikeUrl(arg) ? std::string() : arg;
    }
    std::string rest = arg.substr(kScheme.size());
    // Only local files: "file:///path" or "file://localhost/path".
    if (rest.compare(0, 9, "localhost") == 0) rest.erase(0, 9);
    if (rest.empty() || rest[0] != '/') return {};
    std::string out;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 && hexValue(rest[i + 2]) >= 0) {
            const char c = static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
            if (c == '\0') return {};
            out += c;
            i += 2;
        } else {
            out += rest[i];
        }
    }
    return out;
}

// One outbox item: hidden ".tmp-<uuid>" folder, the copy, then the rename that makes it visible.
static bool queueOne(const std::string& outbox, const fs::path& file, std::string& itemOut) {
    const std::string u = newUuid();
    const std::string tmp = outbox + "/" + group::TMP_PREFIX + u;
    const std::string final = outbox + "/" + u;
    std::error_code ec;
    bool ok = ::mkdir(tmp.c_str(), 0700) == 0;
    if (ok) ok = fs::copy_file(file, fs::path(tmp) / file.filename(), ec) && !ec;
    if (ok) ok = ::rename(tmp.c_str(), final.c_str()) == 0;
    if (!ok) {
        fs::remove_all(tmp, ec);
        return false;
    }
    itemOut = final;
    return true;
}

ShareResult shareFiles(const std::string& groupDir, const std::vector<std::string>& paths, double now,
                       uint64_t maxBytes) {
    ShareResult r;
    std::error_code ec;
    if (groupDir.empty() || !fs::is_directory(groupDir, ec)) {
        r.message = kTextNotSetUp;
        return r;
    }
    if (!statusSaysConnected(group::statusPath(groupDir), now)) {
        r.message = kTextNotConnected;
        return r;
    }
    const std::string outbox = group::outboxPath(groupDir);
    fs::create_directories(outbox, ec);

    std::vector<std::string> files;
    for (const auto& p : paths)
        if (std::string path = argumentPath(p); !path.empty()) files.push_back(std::move(path));
    if (files.empty()) {
        r.message = kTextNothing;
        return r;
    }

    for (const auto& p : files) {
        struct stat st {};
        // Missing, unreadable or a folder: skipped.
        if (::stat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode) || !S_ISREG(st.st_mode)) {
            ++r.skipped;
            continue;
        }
        if (static_cast<uint64_t>(st.st_size) > maxBytes) {
            ++r.skipped;
            continue;
        }
        fs::path file(p);
        if (!file.has_filename()) {
            ++r.skipped;
            continue;
        }
        std::string item;
        if (queueOne(outbox, file, item)) {
            ++r.sent;
            r.items.push_back(std::move(item));
        } else {
            ++r.skipped;
        }
    }
    if (r.sent > 0) {
        r.ok = true;
        return r;
    }
    r.message = r.skipped >= 1 ? kTextAllSkipped : kTextNothing;
    return r;
}

}  // namespace vm::share
