#pragma once
// Whole phone conversations over one control link: the app list (and an icon),
// and a screen session (HELLO, display size, virtual display, video, BYE).
#include <memory>
#include <optional>
#include <string>

#include "phone/phone_link.h"
#include "phone/phone_video.h"

namespace vm::phone {

// Collects the pieces of a chunked answer ("HEAD i/n piece") and gives the whole
// data once every piece is in; nullopt until then or when the pieces disagree.
class ChunkCollector {
public:
    explicit ChunkCollector(std::string head) : head_(std::move(head)) {}
    // True when `line` belonged to this answer.
    bool add(const std::string& line);
    std::optional<Bytes> data() const;

private:
    std::string head_;
    size_t count_ = 0;
    std::vector<std::optional<std::string>> pieces_;
    bool broken_ = false;
};

struct AppsOptions {
    std::string phoneId;
    std::optional<int> iconPid;
    std::optional<std::string> iconFile;
    double timeout = 10;
};
int runApps(MessageLink& link, const AppsOptions& opt, const Output& io);

struct SessionOptions {
    std::string phoneId;
    int vdWidth = 0, vdHeight = 0;
    std::optional<std::pair<int, int>> displaySize;  // "D w h"
    VideoOptions video;
    bool bye = true;
};
int runSession(std::unique_ptr<MessageLink>& link, const SessionOptions& opt, const Output& io);

}  // namespace vm::phone
