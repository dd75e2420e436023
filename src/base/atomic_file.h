#pragma once
// Whole files: read at once, and replaced so that a crash or a reader never sees
// half done: the data goes to a hidden temporary beside the file (made exclusively,
// so a link planted there is never followed), is synced, and is renamed over the file.
#include <sys/types.h>

#include <string>
#include <string_view>

namespace vm {

// Returns an empty string on success, else the reason; the temporary is removed on failure.
std::string writeFileAtomically(const std::string& path, std::string_view data, mode_t mode);

// The file's bytes; empty when it is missing or cannot be read.
std::string readWholeFile(const std::string& path);

}  // namespace vm
