#include "app/sigterm.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace vm {

void blockSigterm() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void startSigtermPath(std::function<void()> restore, std::function<void(int)> exit) {
    std::thread([restore = std::move(restore), exit = std::move(exit)] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        int sig = 0;
        while (sigwait(&set, &sig) != 0 || sig != SIGTERM) {
        }
        if (restore) restore();
        exit(0);
    }).detach();
}

}  // namespace vm
