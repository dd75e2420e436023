#pragma once
// One real X server for the whole X11 test binary: Xorg with the dummy driver and
// openbox, started by start-x.sh before the first test and stopped after the last.
// Without Xorg installed the tests skip with one clear line, unless
// VELLOMARK_X11_REQUIRED=1 (CI), where a server that does not start fails them.
#include <string>

namespace vm::test {

// ":N" of the running server, or "" when there is none (tests then skip).
const std::string& xDisplay();
// The folder holding the server's log, auth file and pids.
const std::string& xFolder();
// Why there is no server (for the skip line).
const std::string& xMissingReason();
// Runs `command` with DISPLAY/XAUTHORITY of the fixture; its stdout, trimmed.
std::string xRun(const std::string& command);

}  // namespace vm::test

// Skips the current test (or fails it in CI) when there is no X server.
#define VM_REQUIRE_X()                                                                      \
    do {                                                                                    \
        if (::vm::test::xDisplay().empty()) GTEST_SKIP() << ::vm::test::xMissingReason();   \
    } while (0)
