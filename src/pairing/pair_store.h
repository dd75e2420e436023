#pragma once
// The paired phones and their pre-shared keys, kept in "pairings.json": one JSON
// object mapping each key identity (phone id "." key tag) to its record.
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace vm {

class Logger;

struct PairRecord {
    std::string name;
    Bytes psk;              // 32 bytes
    double pairedAt = 0;    // seconds since 1970 (the file keeps reference-date seconds)
};

struct PairedPhone {
    std::string id;
    std::string name;
    double pairedAt = 0;
};

// First 6 bytes of SHA-256("vellomark-keytag" + key), as 12 lower-case hex digits.
std::string pskTag(const Bytes& psk);

inline constexpr size_t kPairNameChars = 40;

// The display name as we keep it: line breaks and other control characters (C0,
// DEL, C1, LS, PS) split it, empty pieces go, the rest is joined with single blanks
// and cut to 40 characters (Unicode scalar values). Bidi controls are dropped: the
// menu and the logs show the name, and they would reorder what follows it.
// Bytes that are not UTF-8 are dropped too.
std::string pairNormaliseName(std::string_view utf8);

class PairStore {
public:
    // Loads the file at `path`; a missing file gives an empty store. A file that
    // cannot be read or decoded also gives an empty store and is never lost: a
    // malformed one is copied aside first ("pairings.json.broken"), and one that
    // cannot be read or copied is left alone and saving stays off for this run.
    PairStore(std::string path, Logger& log);

    // Creates `supportDir` (0700) and returns the path of "pairings.json" in it.
    static std::string pathIn(const std::string& supportDir);

    // Inserts or replaces the record under `identity` (its name normalised), then
    // saves. When the save fails the store is left as it was and the reason is
    // returned; empty on success.
    std::string insert(const std::string& identity, PairRecord record);
    bool contains(const std::string& identity) const;
    std::optional<std::string> name(const std::string& phoneID) const;
    std::vector<PairedPhone> phones() const;
    // Removes the phone's keys and saves; a failed save is logged, the keys stay removed.
    int remove(const std::string& phoneID);
    // (identity, key) per stored key: what the encrypted channels accept.
    std::vector<std::pair<std::string, Bytes>> pskList() const;
    size_t count() const;
    const std::string& path() const { return path_; }

    // Writes the store atomically to its file (0600). Returns the reason of a
    // failure, empty on success.
    std::string save();

private:
    static bool matchesPhone(const std::string& identity, const std::string& phoneID);
    void load();
    // Keeps a copy of unreadable contents beside the file; its path, or nothing.
    std::optional<std::string> keepBrokenCopy(const std::string& text, std::string& why) const;

    // Why saving is off: the file holds something we could not read and did not copy.
    std::string saveBlocked_;
    std::string path_;
    Logger& log_;
    mutable std::shared_mutex lock_;
    std::vector<std::pair<std::string, PairRecord>> byID_;  // insertion order
};

}  // namespace vm
