#pragma once
// Long texts from the phone over the file channel: collected under a size and
// time limit, checked to be UTF-8, entered once per sequence number, answered
// "OK" only after the text went in.
#include <cstdint>
#include <functional>
#include <string>

#include "base/clock.h"
#include "base/dispatch.h"
#include "base/log.h"
#include "files/file_conn.h"

namespace vm {

inline constexpr int64_t kTextInMax = 1048576;  // 1 MiB
inline constexpr size_t kTextInRead = 65536;    // at most this much per read

struct LongTextDeps {
    const Clock& clock;
    Logger& log;
    std::function<bool(int64_t seq)> claimTypedSeq;
    std::function<void(const std::string& text)> typeText;
    MainQueue* mainQueue = nullptr;  // absent in tests: the text is entered in place
};

class LongText {
public:
    explicit LongText(LongTextDeps deps) : d_(std::move(deps)) {}

    // A TXT line: reads the rest of the text from `conn` and answers. Blocks the caller.
    void textInStart(const FileConnPtr& conn, int64_t size, int64_t seq, const Bytes& first);

private:
    void refuse(const FileConnPtr& conn, const std::string& reply, const std::string& logText);
    void finish(const FileConnPtr& conn, const Bytes& buffer, int64_t seq);

    LongTextDeps d_;
};

}  // namespace vm
