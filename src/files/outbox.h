#pragma once
// The app-group folder shared with the share tool: the agent publishes whether a
// phone is connected in "status.json" and offers what the tool drops into "outbox",
// oldest first and one at a time, through the send room.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/log.h"
#include "control/phone_state.h"

namespace vm {

class Outbox {
public:
    // Offers a file to the phone; the send room deletes itemDir when that offer ends.
    using OfferStart = std::function<void(const std::string& path, const std::string& itemDir)>;
    // True while an offer waits for an answer or is sending (read under the send room's lock).
    using OfferBusy = std::function<bool()>;
    // Creation time of a folder in seconds since 1970, or none when unknown.
    using CreationTime = std::function<std::optional<double>(const std::string& path)>;

    Outbox(const Clock& clock, Logger& log, const PhoneState& phone, std::string groupDir, OfferStart offerStart,
           OfferBusy offerBusy, CreationTime creationTime = folderCreationTime);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Rewrites the status file when the connection or the name changed, or 10 s passed.
    void fileStatusSweep();
    // Ages out, cleans up and offers the oldest waiting item.
    void fileOutboxSweep();
    // Starts the "vellomark.group" thread running both sweeps once a second. Once only.
    void fileGroupWatch();
    void start() { fileGroupWatch(); }

    const std::string& statusFile() const { return statusFile_; }
    const std::string& outboxDir() const { return outboxDir_; }

    // Birth time when the file system records one (statx), otherwise the earlier of
    // the folder's change and modification times: the item becomes visible by a rename
    // right after its copy, so both sit at (or just after) its arrival.
    static std::optional<double> folderCreationTime(const std::string& path);

private:
    bool connectedNow(double now) const;
    void writeStatus(bool connected, const std::string& name, double now);

    const Clock& clock_;
    Logger& log_;
    const PhoneState& phone_;
    std::string groupDir_, statusFile_, outboxDir_;
    OfferStart offerStart_;
    OfferBusy offerBusy_;
    CreationTime creationTime_;

    // Signature and time of the last status written; touched only by the sweeping thread.
    std::string statusWritten;
    double statusWrittenAt = 0;

    std::once_flag started_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vm
