#pragma once
// The paired phones and their pre-shared keys, kept in "pairings.json": one JSON
// object mapping each key identity (phone id "." key tag) to its record.
#include <optional>
#include <shared_mutex>
#include <string>
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

class PairStore {
public:
    // Loads the file at `path`; a missing or malformed file gives an empty store.
    PairStore(std::string path, Logger& log);

    // Creates `supportDir` (0700) and returns the path of "pairings.json" in it.
    static std::string pathIn(const std::string& supportDir);

    // Inserts or replaces the record under `identity`, then saves.
    void insert(const std::string& identity, PairRecord record);
    bool contains(const std::string& identity) const;
    std::optional<std::string> name(const std::string& phoneID) const;
    std::vector<PairedPhone> phones() const;
    int remove(const std::string& phoneID);
    // (identity, key) per stored key: what the encrypted channels accept.
    std::vector<std::pair<std::string, Bytes>> pskList() const;
    size_t count() const;
    const std::string& path() const { return path_; }

    // Writes the store atomically to its file (0600). Failures are swallowed.
    void save();

private:
    static bool matchesPhone(const std::string& identity, const std::string& phoneID);
    void load();

    std::string path_;
    Logger& log_;
    mutable std::shared_mutex lock_;
    std::vector<std::pair<std::string, PairRecord>> byID_;  // insertion order
};

}  // namespace vm
