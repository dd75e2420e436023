#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vm {

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string writeFileAtomically(const std::string& path, std::string_view data, mode_t mode) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string tmp = dir + "/." + base + ".tmp-XXXXXX";
    // mkstemp creates the temporary 0600 with O_EXCL: nobody else can have it open.
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) return std::strerror(errno);
    int err = 0;
    if (::fchmod(fd, mode) != 0) err = errno;
    size_t off = 0;
    while (err == 0 && off < data.size()) {
        const ssize_t n = ::write(fd, data.data() + off, data.size() - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            break;
        }
        off += static_cast<size_t>(n);
    }
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(tmp.c_str());
        return std::strerror(err);
    }
    return {};
}

}  // namespace vm
