#include "control/ctl_inbox.h"

#include <chrono>

namespace vm {

void CtlInbox::push(CtlMsg msg) {
    {
        std::lock_guard<std::mutex> lk(lock_);
        if (q_.size() >= kCap) {
            ++dropped_;
            return;
        }
        q_.push_back(std::move(msg));
    }
    sem_.release();
}

std::optional<CtlMsg> CtlInbox::pop(double timeout) {
    auto wait = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeout > 0 ? timeout : 0));
    if (!sem_.try_acquire_for(wait)) return std::nullopt;
    std::lock_guard<std::mutex> lk(lock_);
    if (q_.empty()) return std::nullopt;
    CtlMsg m = std::move(q_.front());
    q_.pop_front();
    return m;
}

size_t CtlInbox::dropped() const {
    std::lock_guard<std::mutex> lk(lock_);
    return dropped_;
}

size_t CtlInbox::size() const {
    std::lock_guard<std::mutex> lk(lock_);
    return q_.size();
}

}  // namespace vm
