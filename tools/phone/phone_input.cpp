#include "phone/phone_input.h"

#include <cmath>
#include <cstdlib>

#include "base/base64.h"

namespace vm::phone {

namespace {

bool isNumber(const std::string& s) {
    if (s.empty()) return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    return end && *end == '\0' && std::isfinite(v);
}

bool isHidUsage(const std::string& s) {
    if (s.empty() || s.size() > 3) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return std::atoi(s.c_str()) <= 255;
}

}  // namespace

std::optional<std::vector<std::string>> inputLines(const std::string& command, const std::vector<std::string>& args,
                                                   int64_t seq, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<std::vector<std::string>> {
        if (error) *error = command + ": " + why;
        return std::nullopt;
    };
    if (command == "move" || command == "scroll") {
        if (args.size() != 2 || !isNumber(args[0]) || !isNumber(args[1])) return fail("needs two numbers DX DY");
        return std::vector<std::string>{std::string(command == "move" ? "M " : "S ") + args[0] + " " + args[1]};
    }
    if (command == "click") {
        if (args.size() > 1) return fail("takes at most one button (L, R or M)");
        std::string b = args.empty() ? "L" : args[0];
        if (b != "L" && b != "R" && b != "M") return fail("the button is L, R or M");
        return std::vector<std::string>{"B " + b + " 1", "B " + b + " 0"};
    }
    if (command == "key") {
        if (args.size() != 1 || !isHidUsage(args[0])) return fail("needs one HID keyboard usage (0-255), e.g. 4 for 'a'");
        return std::vector<std::string>{"K " + args[0] + " 1", "K " + args[0] + " 0"};
    }
    if (command == "type") {
        if (args.size() != 1 || args[0].empty()) return fail("needs one text argument");
        return std::vector<std::string>{"T " + std::to_string(seq) + " " + base64Encode(args[0])};
    }
    return fail("unknown input command");
}

std::optional<std::string> explainPush(const std::string& line) {
    std::string payload;
    std::string what;
    if (line.rfind("SAY ", 0) == 0) {
        payload = line.substr(4);
        what = "the agent says: ";
    } else if (line.rfind("LOCKED 1 ", 0) == 0) {
        payload = line.substr(9);
        what = "the screen is locked for user ";
    } else {
        return std::nullopt;
    }
    auto bytes = base64Decode(payload);
    if (!bytes) return std::nullopt;
    return what + toString(*bytes);
}

}  // namespace vm::phone
