#pragma once
// vellomark-share --dialog FILE…: the small sheet a file manager's "Send to iPhone"
// entry opens. A spinner with "Sending to iPhone…" while the files are queued; it
// closes by itself on success, or turns into the message and an OK button.
#include <string>
#include <vector>

namespace vm::share {

// Runs the sheet until it closes; the exit status: 0 when something was queued,
// 1 after a message, 2 when there is no display.
int runShareDialog(const std::string& groupDir, const std::vector<std::string>& paths);

}  // namespace vm::share
