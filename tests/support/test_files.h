#pragma once
// Small file helpers the unit tests share: a temporary folder removed at the end,
// reading a whole file, counting occurrences in a text.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vm::testing {

struct TempDir {
    std::string path;
    explicit TempDir(const std::string& prefix = "vm-test") {
        std::string t = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        path = ::mkdtemp(t.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

// The whole file, or "" when it cannot be read.
inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline int countOf(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

}  // namespace vm::testing
