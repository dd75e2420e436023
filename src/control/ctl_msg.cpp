#include "control/ctl_msg.h"

#include <string_view>

#include "base/text.h"

namespace vm {

std::optional<std::vector<std::string>> ctlLines(const Bytes& bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!isValidUtf8(text)) return std::nullopt;
    std::vector<std::string> lines;
    for (std::string_view line : splitLines(text)) lines.emplace_back(line);
    return lines;
}

std::vector<std::string> ctlWords(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        size_t j = line.find(' ', i);
        if (j == std::string::npos) j = line.size();
        if (j > i) words.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    return words;
}

}  // namespace vm
