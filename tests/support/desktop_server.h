#pragma once
// What the test binaries that start a desktop server of their own (Xorg, a headless
// GNOME Shell) share: running a fixture script or tool for its output, and saying
// once why there is no server — a failure where the server is required (CI), a skip
// elsewhere.
#include <stdio.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace vm::test {

// Runs `cmd` with the shell; its stdout, trailing line breaks and blanks trimmed.
inline std::string commandOutput(const std::string& cmd) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(::popen(cmd.c_str(), "r"), ::pclose);
    if (!p) return out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p.get())) > 0) out.append(buf.data(), n);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// Whether the environment variable `name` is "1".
inline bool requiredByEnv(const char* name) {
    const char* v = std::getenv(name);
    return v && std::string(v) == "1";
}

// `server` of the `suite` did not start (the script said `output`). With `requiredVar`
// set to 1 the binary ends with status 1 after `cleanUp`; otherwise the tests skip and
// the reason, `missing`, is printed once.
inline void noServer(const char* suite, const char* server, const char* requiredVar, const std::string& output,
                     const std::string& missing, const std::function<void()>& cleanUp = {}) {
    if (requiredByEnv(requiredVar)) {
        std::fprintf(stderr, "%s: %s did not start (%s=1): %s\n", suite, server, requiredVar, output.c_str());
        if (cleanUp) cleanUp();
        std::exit(1);
    }
    std::fprintf(stderr, "%s skipped: %s\n", suite, missing.c_str());
}

}  // namespace vm::test
