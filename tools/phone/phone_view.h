#pragma once
// `vellomark-phone view`: a window that plays the agent's screen and sends the
// window's pointer and keyboard as the phone's lines. One thread keeps the
// connection, receives and decodes; the window shows only its newest picture.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "phone/phone_link.h"

namespace vm::phone {

inline constexpr int kExitNoWindow = 8;  // no window could be opened (no display, SDL without video)

struct ViewOptions {
    std::string host;  // for the title and the messages
    std::string phoneId;
    std::optional<std::pair<int, int>> vd;  // a whole session: HELLO, "VD w h", BYE on close
    std::optional<int> level;               // "VQ<level>"
    // Opens the encrypted control link; nothing, with a reason, when the agent cannot be reached.
    std::function<std::unique_ptr<MessageLink>(std::string* why)> connect;
    double retrySeconds = 2;
    double silentSeconds = 4;  // no answer to "P" for this long: the agent is gone
};

int runView(const ViewOptions& opt, const Output& io);

}  // namespace vm::phone
