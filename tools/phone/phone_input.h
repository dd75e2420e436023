#pragma once
// The input commands of the phone peer, as the control lines the phone app sends.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vm::phone {

// Lines for `move DX DY`, `click [L|R|M]`, `key HID`, `type TEXT`, `scroll DX DY`;
// nothing (and a reason) when the arguments are wrong. `seq` numbers a typed text.
std::optional<std::vector<std::string>> inputLines(const std::string& command, const std::vector<std::string>& args,
                                                   int64_t seq, std::string* error);

// A readable form of a pushed line whose payload is base64 ("SAY", "LOCKED 1"); nothing otherwise.
std::optional<std::string> explainPush(const std::string& line);

}  // namespace vm::phone
