#pragma once
// Whole-file replacement that a crash or a reader never sees half done: the data
// goes to a hidden temporary beside the file (made exclusively, so a link planted
// there is never followed), is synced, and is renamed over the file.
#include <sys/types.h>

#include <string>
#include <string_view>

namespace vm {

// Returns an empty string on success, else the reason; the temporary is removed on failure.
std::string writeFileAtomically(const std::string& path, std::string_view data, mode_t mode);

}  // namespace vm
