#pragma once
// What the agent knows about the phone currently attached. Written by the input
// thread and the control queue, read by the menu, the display policy and the updater.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "control/ctl_peer.h"

namespace vm {

class PhoneState {
public:
    explicit PhoneState(double startedAt) : phoneLastSeen(startedAt) {}

    std::atomic<bool> hasPhone{false};
    std::atomic<double> phoneLastSeen;        // seconds since 1970
    std::atomic<bool> phoneWantsScreen{false};

    std::shared_ptr<CtlPeer> phoneConn() const {
        std::lock_guard<std::mutex> lk(mu_);
        return conn_;
    }
    void setPhoneConn(std::shared_ptr<CtlPeer> c) {
        std::lock_guard<std::mutex> lk(mu_);
        conn_ = std::move(c);
    }
    // Clears the current connection only if it is `c`.
    void clearPhoneConnIf(const CtlPeer* c) {
        std::lock_guard<std::mutex> lk(mu_);
        if (conn_.get() == c) conn_.reset();
    }
    std::string phoneName() const {
        std::lock_guard<std::mutex> lk(mu_);
        return name_;
    }
    void setPhoneName(std::string n) {
        std::lock_guard<std::mutex> lk(mu_);
        name_ = std::move(n);
    }

    // "Connected" as the menu shows it: attached, wanting the screen, heard within 30 s.
    bool connected(double now) const {
        return hasPhone.load() && phoneWantsScreen.load() && now - phoneLastSeen.load() < 30.0;
    }

private:
    mutable std::mutex mu_;
    std::shared_ptr<CtlPeer> conn_;
    std::string name_;
};

}  // namespace vm
