#pragma once
// A PipeWire consumer of one screen-cast node: takes BGRx/BGRA frames in shared
// memory and hands the newest one to a callback on PipeWire's own thread. For a
// virtual monitor the size it asks for becomes the monitor's size.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vm::platform::gnome {

struct Frame {
    const uint8_t* pixels = nullptr;  // BGRx (or BGRA), rows top to bottom
    int width = 0;
    int height = 0;
    int stride = 0;
};

class PipeWireStream {
public:
    using OnFrame = std::function<void(const Frame&)>;
    using OnEnd = std::function<void(const std::string& why)>;
    // Connects to node `nodeId` of the user's PipeWire daemon. A non-zero size is
    // the only size offered (a virtual monitor takes it). Throws std::runtime_error
    // when PipeWire cannot be reached.
    PipeWireStream(uint32_t nodeId, int width, int height, OnFrame onFrame, OnEnd onEnd);
    // Disconnects; no callback runs after it returns.
    ~PipeWireStream();
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    // Whether the node agreed on a format and is streaming.
    bool streaming() const { return streaming_.load(); }
    // The negotiated size (0×0 before).
    int width() const { return width_.load(); }
    int height() const { return height_.load(); }

    struct Impl;

private:
    void teardown();
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> streaming_{false};
    std::atomic<int> width_{0}, height_{0};
};

}  // namespace vm::platform::gnome
