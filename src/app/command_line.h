#pragma once
// The agent's one command-line option, "--inspect N".
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

}  // namespace vm
