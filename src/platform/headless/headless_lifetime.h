#pragma once
// Objects the desktop hands out (virtual displays, configuration transactions)
// may be dropped after the desktop itself; they reach it through this token,
// which the desktop clears when it goes.
#include <shared_mutex>

namespace vm::platform::headless {

class HeadlessDesktop;

class LifeToken {
public:
    explicit LifeToken(HeadlessDesktop* desk) : desk_(desk) {}
    // Runs fn(desk) while the desktop lives; nothing afterwards.
    template <typename Fn>
    void with(Fn&& fn) {
        std::shared_lock<std::shared_mutex> lk(mu_);
        if (desk_) fn(*desk_);
    }
    void clear() {
        std::unique_lock<std::shared_mutex> lk(mu_);
        desk_ = nullptr;
    }

private:
    std::shared_mutex mu_;
    HeadlessDesktop* desk_;
};

}  // namespace vm::platform::headless
