#pragma once
// The bounded inbox every control message passes through: many producers (the
// encrypted channel, the plain port, local control), one consumer (the input thread).
#include <deque>
#include <mutex>
#include <optional>
#include <semaphore>

#include "control/ctl_msg.h"

namespace vm {

class CtlInbox {
public:
    static constexpr size_t kCap = 4096;

    // Queues the message, or counts it in dropped() when the inbox is full. Never blocks
    // beyond the lock.
    void push(CtlMsg msg);
    // The oldest message, waiting up to `timeout` seconds for one.
    std::optional<CtlMsg> pop(double timeout);
    size_t dropped() const;
    size_t size() const;

private:
    mutable std::mutex lock_;
    std::deque<CtlMsg> q_;
    std::counting_semaphore<> sem_{0};
    size_t dropped_ = 0;
};

}  // namespace vm
