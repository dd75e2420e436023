#pragma once
// The per-process video session key and its one-byte number. Readers always see
// a matching pair; rotation replaces the pair as one.
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "base/bytes.h"

namespace vm {
class Logger;
}

namespace vm::video {

struct KeyPair {
    uint8_t id = 0;  // 1…255
    Bytes key;       // 32 bytes
};

class VideoKey {
public:
    explicit VideoKey(Logger& log);
    // The pair in force; made on first use.
    std::shared_ptr<const KeyPair> current();
    uint8_t keyID() { return current()->id; }
    // A fresh random key and number, logged. Callers that send frames serialise
    // this with their sending (see the `rotateVideoKey` in the composition root).
    void rotateNow();

private:
    static std::shared_ptr<const KeyPair> fresh();
    Logger& log_;
    std::mutex mu_;
    std::shared_ptr<const KeyPair> pair_;
};

}  // namespace vm::video
