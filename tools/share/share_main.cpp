// vellomark-share [--dialog] FILE…: queues files for the phone through the agent's
// outbox; with --dialog it shows the small sheet instead of printing.
#include <cstdio>
#include <string>
#include <sys/time.h>
#include <vector>

#include "platform/group_paths.h"
#include "share/share.h"
#include "share/share_dialog.h"

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--dialog")
        return vm::share::runShareDialog(vm::group::groupDirFromEnvironment(),
                                         std::vector<std::string>(argv + 2, argv + argc));
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
