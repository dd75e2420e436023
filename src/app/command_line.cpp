#include "app/command_line.h"

namespace vm {

std::optional<uint32_t> parseUInt32(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::optional<uint32_t> inspectRequest(const std::vector<std::string>& args) {
    if (args.size() != 3 || args[1] != "--inspect") return std::nullopt;
    return parseUInt32(args[2]);
}

bool soleFlag(const std::vector<std::string>& args, const char* flag) { return args.size() == 2 && args[1] == flag; }

}  // namespace vm
