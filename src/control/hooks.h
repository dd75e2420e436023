#pragma once
// The tables through which the input side reaches the virtual display, the video
// side and the pairing approval. `main` fills them before any other thread starts;
// they never change afterwards. An absent table is legal: callers check and skip.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace vm {

struct VDispHooks {
    std::function<bool()> alive;
    std::function<void()> create;
    std::function<void()> destroy;
    std::function<int32_t(uint32_t width, uint32_t height)> setSize;
};

struct VideoHooks {
    // A video control line (without its leading "V") and the phone's IPv4 address
    // as its four bytes lie in the socket address.
    std::function<void(const std::string& line, uint32_t ip)> control;
    std::function<std::pair<uint8_t, Bytes>()> key;
    std::function<std::optional<std::vector<Bytes>>()> thumb;
    std::function<void()> rotateKey;
};

using PairPromptHook = std::function<void(int id, const std::string& name, const std::string& code)>;
using PairPromptDoneHook = std::function<void(int id)>;

struct HookTables {
    std::optional<VDispHooks> vdispHooks;
    std::optional<VideoHooks> videoHooks;
    std::optional<PairPromptHook> pairPrompt;
    std::optional<PairPromptDoneHook> pairPromptDone;
};

}  // namespace vm
