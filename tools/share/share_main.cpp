// vellomark-share FILE…: queues files for the phone through the agent's outbox.
#include <cstdio>
#include <string>
#include <sys/time.h>
#include <vector>

#include "platform/group_paths.h"
#include "share/share.h"

int main(int argc, char** argv) {
    const std::vector<std::string> paths(argv + 1, argv + argc);
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    const double now = double(tv.tv_sec) + double(tv.tv_usec) / 1e6;

    std::printf("%s\n", vm::share::kTextSending);
    std::fflush(stdout);
    const auto r = vm::share::shareFiles(vm::group::groupDirFromEnvironment(), paths, now);
    if (!r.ok) {
        std::fprintf(stderr, "%s\n", r.message.c_str());
        return 1;
    }
    return 0;
}
