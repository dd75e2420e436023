#pragma once
// The agent's command-line options: "--inspect N", "--version" and "--uninstall".
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm {

// Parses an unsigned 32-bit decimal number the way the agent always has: digits
// with an optional leading "+", or "-" followed by digits only when the value is zero.
std::optional<uint32_t> parseUInt32(const std::string& text);

// The display number when the arguments are exactly (program, "--inspect", N) with a
// valid N; nothing otherwise (the agent then starts normally).
std::optional<uint32_t> inspectRequest(const std::vector<std::string>& args);

// Whether the arguments are exactly (program, `flag`), e.g. "--version" or "--uninstall".
bool soleFlag(const std::vector<std::string>& args, const char* flag);

}  // namespace vm
