#pragma once
// Fetching a feed or an archive over HTTPS only (libcurl); redirects stay on HTTPS.
#include <cstddef>
#include <string>

#include "base/bytes.h"

namespace vm::install {

struct FetchResult {
    bool ok = false;
    Bytes body;
    std::string error;  // readable reason when not ok
};

struct FetchOptions {
    std::string caInfo;  // a CA bundle to trust instead of the system's; empty = system
    size_t maxBytes = 256u << 20;
    long timeoutSeconds = 300;
};

FetchResult httpsGet(const std::string& url, const FetchOptions& options);

}  // namespace vm::install
