#pragma once
// The keyboard input source as the phone sees it ("ko" or "en"), switching to
// the next source, telling the phones when it changes, and moving one workspace
// left or right with Control+Arrow.
#include <functional>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "platform/platform.h"

namespace vm {

class InputSourceSwitcher {
public:
    // `sendToReadyPeers` sends one message to every ready phone connection;
    // `phoneHoldsControl` tells whether the phone itself holds a Control key.
    InputSourceSwitcher(const Clock& clock, Logger& log, platform::InputSources& sources, platform::Events& events,
                        MainQueue& mainQueue, std::function<void(const std::string& line)> sendToReadyPeers,
                        std::function<bool()> phoneHoldsControl);

    void switchInputSource();
    std::string inputSourceTag();
    void startInputSourceWatch();
    void switchSpace(int delta);
    void pressSpaceKey(bool right);

    SerialQueue& spaceQueue() { return spaceQueue_; }

private:
    // Sends "IS tag" to the phones and remembers it as announced (main thread).
    void announce(const std::string& tag);

    const Clock& clock_;
    Logger& log_;
    platform::InputSources& sources_;
    platform::Events& events_;
    MainQueue& mainQueue_;
    std::function<void(const std::string&)> sendToReadyPeers_;
    std::function<bool()> phoneHoldsControl_;
    std::string lastInputSourceTag_;
    double ownSwitchUntil_ = 0;  // main thread: until when a change notice is our own switch
    std::mutex inputSourceLock_;
    std::string inputSourceCached_ = "en";
    SerialQueue spaceQueue_{"local.umo.inputd.space"};
};

}  // namespace vm
