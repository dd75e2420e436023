#pragma once
// SIGTERM takes a path of its own: a dedicated thread waits for the signal,
// restores what must not stay changed (the physical displays) and exits with 0.
#include <functional>

namespace vm {

// Blocks SIGTERM for the calling thread and every thread it starts later. Call first
// thing in main, before any thread exists.
void blockSigterm();

// Starts the thread that waits for SIGTERM; on it, runs `restore`, then `exit(0)`.
void startSigtermPath(std::function<void()> restore, std::function<void(int)> exit);

}  // namespace vm
