#pragma once
// vellomark-share: queues files for the phone by dropping them into the agent's
// outbox. It never talks to the agent; it reads the agent's status file and writes
// outbox items, both in the app-group folder.
#include <cstdint>
#include <string>
#include <vector>

namespace vm::share {

// Exactly 2 GiB is still accepted.
inline constexpr uint64_t kMaxShareBytes = 2'147'483'648ULL;
// A status older than this says nothing about the phone any more.
inline constexpr double kStatusFreshFor = 30.0;

inline constexpr const char kTextSending[] = "Sending to iPhone…";
inline constexpr const char kTextNotSetUp[] = "Vellomark isn’t set up on this Mac.";
inline constexpr const char kTextNotConnected[] =
    "iPhone not connected.\nOpen Vellomark on your iPhone and connect to this Mac, then share again.";
inline constexpr const char kTextNothing[] = "Nothing to send.";
inline constexpr const char kTextAllSkipped[] = "Nothing sent — folders and files over 2 GB can’t be sent.";

struct ShareResult {
    bool ok = false;
    std::string message;              // the failure text; empty on success
    int sent = 0;
    int skipped = 0;
    std::vector<std::string> items;   // outbox item folders created, in order
};

// True only for a readable JSON object whose "at" is a number less than 30 s before
// `now` and whose "connected" is the boolean true.
bool statusSaysConnected(const std::string& statusFile, double now);

// A fresh random UUID in its standard textual form.
std::string newUuid();

// Turns a command-line argument (a path or a file:// URL) into a path; empty for any
// other URL and for file URLs of other hosts.
std::string argumentPath(const std::string& arg);

// The whole share: status check, then one outbox item per acceptable file.
ShareResult shareFiles(const std::string& groupDir, const std::vector<std::string>& paths, double now,
                       uint64_t maxBytes = kMaxShareBytes);

}  // namespace vm::share
