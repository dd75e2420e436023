#pragma once
// The phone's end of the file channel: TLS 1.2 over TCP with the pre-shared key.
// put sends a file, txt a long text, get fetches the file the Mac offered.
#include <cstdint>
#include <optional>
#include <string>

#include "base/bytes.h"

namespace vm::phone {

struct FileLink {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string identity;
    Bytes psk;
    double timeout = 30.0;  // per read or write
};

struct FileResult {
    bool ok = false;         // the connection worked (see reply)
    std::string reply;       // the Mac's reply line without its line feed (put, txt)
    std::string error;       // why it failed, when !ok
    std::string path;        // get: where the file went
    int64_t bytes = 0;       // bytes sent or received
};

FileResult filePut(const FileLink& link, const std::string& path, const std::string& nameOverride = "");
FileResult fileTxt(const FileLink& link, const std::string& text, int64_t seq);
// Fetches offer `id`, writing it as `outDir`/`name` (a unique name when taken).
FileResult fileGet(const FileLink& link, int64_t id, bool fast, const std::string& outDir, const std::string& name);
// Sends raw bytes as the whole request and returns what came back (tests).
FileResult fileRaw(const FileLink& link, const Bytes& request, bool closeWrite);

}  // namespace vm::phone
