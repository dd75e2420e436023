#pragma once
// The agent's user defaults: a small JSON object in one file, rewritten
// atomically (0600) on every change. A missing or malformed file reads as empty.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace vm {

class Settings {
public:
    explicit Settings(std::string path);  // e.g. <supportDir>/settings.json
    std::optional<int64_t> integer(const std::string& key);
    // A text value; nullopt when missing or not a string.
    std::optional<std::string> string(const std::string& key);
    // A switch: true/false, or an integer (non-zero is true); nullopt when missing or anything else.
    std::optional<bool> boolean(const std::string& key);
    // False when the file could not be written (the value is still kept in memory).
    bool setInteger(const std::string& key, int64_t value);
    const std::string& path() const { return path_; }

private:
    void loadLocked();
    bool writeLocked();

    std::string path_;
    std::mutex mu_;
    bool loaded_ = false;
    std::string doc_;  // the JSON object as text, the in-memory copy (under mu_)
};

}  // namespace vm
