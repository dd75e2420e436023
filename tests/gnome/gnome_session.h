#pragma once
// One headless GNOME Shell for the whole GNOME test binary, started by
// start-gnome.sh before the first test and stopped after the last. Without
// gnome-shell installed the tests skip with one clear line, unless
// VELLOMARK_GNOME_REQUIRED=1 (CI), where a shell that does not start fails them.
#include <map>
#include <string>

namespace vm::test {

// The fixture's environment (DBUS_SESSION_BUS_ADDRESS, WAYLAND_DISPLAY,
// XDG_RUNTIME_DIR …); empty when there is no shell (tests then skip).
const std::map<std::string, std::string>& gnomeEnv();
const std::string& gnomeFolder();
const std::string& gnomeMissingReason();
// Runs `command` in the fixture's environment; its stdout, trimmed.
std::string gnomeRun(const std::string& command);
// Calls a method of our shell extension with gdbus; the reply as gdbus prints it.
std::string shellCall(const std::string& method, const std::string& args = "");

}  // namespace vm::test

#define VM_REQUIRE_GNOME()                                                                       \
    do {                                                                                         \
        if (::vm::test::gnomeEnv().empty()) GTEST_SKIP() << ::vm::test::gnomeMissingReason();    \
    } while (0)
