#include "phone/phone_keyfile.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/base64.h"
#include "phone/phone_protocol.h"

namespace vm::phone {

namespace {

constexpr size_t kMaxKeyFileBytes = 64 * 1024;

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/tmp";
}

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// mkdir -p with 0700 for every folder it has to make.
bool makeFolders(const std::string& dir, std::string* error) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *error = dir + " is not a folder";
        return false;
    }
    if (errno != ENOENT) {
        *error = dir + ": " + std::strerror(errno);
        return false;
    }
    std::string parent = folderOf(dir);
    if (parent != dir && !makeFolders(parent, error)) return false;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = dir + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

std::string defaultKeyFilePath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base = (xdg && xdg[0] == '/') ? std::string(xdg) : homeFolder() + "/.config";
    return base + "/vellomark-phone/key.json";
}

KeyFileRead readKeyFile(const std::string& path) {
    KeyFileRead r;
    auto bad = [&](const std::string& why) {
        r.status = KeyFileStatus::Bad;
        r.error = "key file " + path + ": " + why;
        return r;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            r.status = KeyFileStatus::Missing;
            r.error = "no key file at " + path + " (pair first: vellomark-phone pair)";
            return r;
        }
        return bad(std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return bad("not a regular file");
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            return bad(std::strerror(e));
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxKeyFileBytes) {
            ::close(fd);
            return bad("too large");
        }
    }
    ::close(fd);
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded()) return bad("not valid JSON");
    if (!j.is_object()) return bad("not a JSON object");
    for (const char* field : {"id", "identity", "psk", "name"}) {
        if (!j.contains(field)) return bad(std::string("field \"") + field + "\" is missing");
        if (!j[field].is_string()) return bad(std::string("field \"") + field + "\" is not a string");
    }
    PhoneKey k;
    k.id = j["id"].get<std::string>();
    k.identity = j["identity"].get<std::string>();
    k.name = j["name"].get<std::string>();
    if (!validPhoneId(k.id)) return bad("field \"id\" is not a valid phone id");
    auto psk = base64Decode(j["psk"].get<std::string>());
    if (!psk || psk->size() != kPskBytes) return bad("field \"psk\" is not base64 of 32 bytes");
    k.psk = std::move(*psk);
    if (k.identity != identityFor(k.id, k.psk)) return bad("field \"identity\" does not match the id and the key");
    r.status = KeyFileStatus::Ok;
    r.key = std::move(k);
    return r;
}

bool writeKeyFile(const std::string& path, const PhoneKey& key, std::string* error) {
    std::string ignored;
    std::string& err = error ? *error : ignored;
    const std::string dir = folderOf(path);
    if (!makeFolders(dir, &err)) return false;
    // Keep the key's own folder private even when it existed before.
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077)) ::chmod(dir.c_str(), 0700);

    nlohmann::json j = {
        {"id", key.id}, {"identity", key.identity}, {"psk", base64Encode(key.psk)}, {"name", key.name}};
    std::string text = j.dump(2) + "\n";

    std::string tmpl = path + ".XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back('\0');
    int fd = ::mkstemp(tmp.data());  // created 0600
    if (fd < 0) {
        err = dir + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const char* what) {
        err = std::string(what) + " " + tmp.data() + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(tmp.data());
        return false;
    };
    if (::fchmod(fd, 0600) != 0) return fail("chmod");
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::write(fd, text.data() + off, text.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail("write");
        off += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) return fail("fsync");
    if (::close(fd) != 0) {
        err = std::string("close ") + tmp.data() + ": " + std::strerror(errno);
        ::unlink(tmp.data());
        return false;
    }
    if (::rename(tmp.data(), path.c_str()) != 0) {
        err = "rename to " + path + ": " + std::strerror(errno);
        ::unlink(tmp.data());
        return false;
    }
    return true;
}

}  // namespace vm::phone
