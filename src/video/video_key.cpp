#include "video/video_key.h"

#include <string>

#include "base/crypto.h"
#include "base/log.h"
#include "video/video_wire.h"

namespace vm::video {

VideoKey::VideoKey(Logger& log) : log_(log) {}

std::shared_ptr<const KeyPair> VideoKey::fresh() {
    auto pair = std::make_shared<KeyPair>();
    pair->key = randomBytes(kKeySize);
    // Redraw on 0 instead of folding 0…255 onto 1…255, so every number is equally likely.
    uint8_t id = 0;
    while (id == 0) id = randomBytes(1)[0];
    pair->id = id;
    return pair;
}

std::shared_ptr<const KeyPair> VideoKey::current() {
    std::lock_guard<std::mutex> g(mu_);
    if (!pair_) pair_ = fresh();
    return pair_;
}

void VideoKey::rotateNow() {
    auto next = fresh();
    uint8_t id = next->id;
    {
        std::lock_guard<std::mutex> g(mu_);
        pair_ = std::move(next);
    }
    log_.streamLog("영상 세션키를 새로 만들었다 — 번호 " + std::to_string(id) + "\n");
}

}  // namespace vm::video
